// libFuzzer target for the capture configuration text stored in the settings file: any text
// loads without failing, and what it loads is stable: saved and loaded again, it is the same
// configuration and saves to the same text.

#include "FuzzSupport.h"
#include "GraphConfig.h"

#include <QString>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    TGraphConfig loaded;
    loaded.LoadFromString(text);
    const QString saved = loaded.SaveToString();
    TGraphConfig reloaded;
    reloaded.LoadFromString(saved);
    Require(reloaded == loaded);
    Require(reloaded.SaveToString() == saved);
    return 0;
}
