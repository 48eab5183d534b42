#include "GstModeDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <algorithm>
#include <cstdlib>
#include <optional>

namespace {

QString FormatLabel(const TAMMediaType& mode) {
    const TGstCapsRef caps = CapsForSubtype(mode.subtype);
    const GstStructure* structure =
        caps && gst_caps_get_size(caps.Get()) > 0 ? gst_caps_get_structure(caps.Get(), 0) : nullptr;
    if (const char* format = structure ? gst_structure_get_string(structure, "format") : nullptr)
        return QString::fromUtf8(format);
    if (mode.Bitmap && mode.Bitmap->biCompression > 0xFF) {
        const std::uint32_t code = mode.Bitmap->biCompression;
        const char fourCC[] = {char(code), char(code >> 8), char(code >> 16), char(code >> 24)};
        return QString::fromLatin1(fourCC, 4);
    }
    return structure ? QString::fromUtf8(gst_structure_get_name(structure)) : QString("?");
}

QSize SizeOf(const TAMMediaType& mode) {
    return mode.Bitmap ? QSize(mode.Bitmap->biWidth, std::abs(mode.Bitmap->biHeight)) : QSize();
}

QString RateLabel(TFraction rate) {
    return QStringLiteral("%1 fps").arg(RateValue(rate), 0, 'g', 5);
}

QString SoundLabel(const TAMMediaType& mode) {
    if (!mode.Wave)
        return QStringLiteral("?");
    const int channels = mode.Wave->nChannels;
    const QString layout = channels == 1   ? QDialog::tr("mono")
                           : channels == 2 ? QDialog::tr("stereo")
                                           : QDialog::tr("%1 channels").arg(channels);
    return QStringLiteral("%1 Hz, %2 bit, %3")
        .arg(mode.Wave->nSamplesPerSec)
        .arg(mode.Wave->wBitsPerSample)
        .arg(layout);
}

// What both dialogs share: the pin's modes, OK through SetFormat, and the message when the
// pin refuses the choice (the dialog then stays open).
class TModeDialog : public QDialog {
  public:
    TModeDialog(QWidget* owner, std::shared_ptr<IAMStreamConfig> config)
        : QDialog(owner), Config(std::move(config)) {
        setModal(true);
        setWindowTitle(tr("Capture format"));
        int count = 0;
        Config->GetNumberOfCapabilities(count);
        for (int i = 0; i < count; ++i)
            if (TAMMediaType mode; SUCCEEDED(Config->GetStreamCaps(i, mode)))
                Modes.push_back(mode);
        if (FAILED(Config->GetFormat(Current)))
            Current = Modes.empty() ? TAMMediaType{} : Modes.front();
        Form = new QFormLayout;
        Refused = new QLabel(tr("The device does not take this format."), this);
        Refused->hide();
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
        connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
        connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
        auto* layout = new QVBoxLayout(this);
        layout->addLayout(Form);
        layout->addWidget(Refused);
        layout->addWidget(buttons);
    }

    void accept() override {
        const std::optional<TAMMediaType> chosen = Chosen();
        if (!chosen || FAILED(Config->SetFormat(*chosen))) {
            Refused->show();
            return;
        }
        QDialog::accept();
    }

  protected:
    virtual std::optional<TAMMediaType> Chosen() const = 0;

    QComboBox* AddList(const QString& label, const char* name) {
        auto* combo = new QComboBox(this);
        combo->setObjectName(name);
        Form->addRow(label, combo);
        return combo;
    }

    std::shared_ptr<IAMStreamConfig> Config;
    std::vector<TAMMediaType> Modes;
    TAMMediaType Current;

  private:
    QFormLayout* Form = nullptr;
    QLabel* Refused = nullptr;
};

class TVideoModeDialog : public TModeDialog {
  public:
    TVideoModeDialog(QWidget* owner, std::shared_ptr<IAMStreamConfig> config, TGstCapsRef offered)
        : TModeDialog(owner, std::move(config)), Offered(std::move(offered)) {
        Formats = AddList(tr("Format"), "format");
        Sizes = AddList(tr("Size"), "size");
        Rates = AddList(tr("Frame rate"), "rate");
        for (const TAMMediaType& mode : Modes)
            if (std::find(Subtypes.begin(), Subtypes.end(), mode.subtype) == Subtypes.end()) {
                Subtypes.push_back(mode.subtype);
                Formats->addItem(FormatLabel(mode));
            }
        connect(Formats, &QComboBox::currentIndexChanged, this, [this] { ListSizes(); });
        connect(Sizes, &QComboBox::currentIndexChanged, this, [this] { ListRates(); });
        const auto current = std::find(Subtypes.begin(), Subtypes.end(), Current.subtype);
        Formats->setCurrentIndex(
            current == Subtypes.end() ? 0 : static_cast<int>(current - Subtypes.begin()));
        ListSizes();
    }

  protected:
    std::optional<TAMMediaType> Chosen() const override {
        const int mode = Sizes->currentData().toInt();
        if (Sizes->currentIndex() < 0 || mode < 0 || mode >= static_cast<int>(Modes.size()))
            return std::nullopt;
        TAMMediaType chosen = Modes[static_cast<std::size_t>(mode)];
        const int rate = Rates->currentIndex();
        if (rate >= 0 && rate < static_cast<int>(RateList.size()))
            chosen.AvgTimePerFrame =
                AvgTimePerFrameFromFrameRate(RateList[static_cast<std::size_t>(rate)]);
        return chosen;
    }

  private:
    // Each list keeps its choice when the new one still holds it, else takes the current mode's.
    void ListSizes() {
        const QSize kept =
            Sizes->currentIndex() >= 0
                ? SizeOf(Modes[static_cast<std::size_t>(Sizes->currentData().toInt())])
                : SizeOf(Current);
        const QSignalBlocker quiet(Sizes);
        Sizes->clear();
        const int format = Formats->currentIndex();
        for (std::size_t i = 0; format >= 0 && i < Modes.size(); ++i) {
            const QSize size = SizeOf(Modes[i]);
            const QString label = QStringLiteral("%1 x %2").arg(size.width()).arg(size.height());
            if (Modes[i].subtype != Subtypes[static_cast<std::size_t>(format)] ||
                Sizes->findText(label) >= 0)
                continue;
            Sizes->addItem(label, static_cast<int>(i));
            if (size == kept)
                Sizes->setCurrentIndex(Sizes->count() - 1);
        }
        ListRates();
    }

    void ListRates() {
        const int current = Rates->currentIndex();
        const TFraction kept = current >= 0 && current < static_cast<int>(RateList.size())
                                   ? RateList[static_cast<std::size_t>(current)]
                                   : FrameRateFromAvgTimePerFrame(Current.AvgTimePerFrame);
        const QSignalBlocker quiet(Rates);
        Rates->clear();
        RateList.clear();
        const int mode = Sizes->currentData().toInt();
        if (Sizes->currentIndex() < 0)
            return;
        const TAMMediaType& chosen = Modes[static_cast<std::size_t>(mode)];
        RateList = OfferedFrameRates(Offered.Get(), chosen);
        if (RateList.empty() && chosen.AvgTimePerFrame > 0)
            RateList.push_back(FrameRateFromAvgTimePerFrame(chosen.AvgTimePerFrame));
        for (const TFraction rate : RateList) {
            Rates->addItem(RateLabel(rate));
            if (SameRate(rate, kept))
                Rates->setCurrentIndex(Rates->count() - 1);
        }
    }

    TGstCapsRef Offered;
    std::vector<TGuid> Subtypes;
    std::vector<TFraction> RateList;
    QComboBox* Formats = nullptr;
    QComboBox* Sizes = nullptr;
    QComboBox* Rates = nullptr;
};

class TAudioModeDialog : public TModeDialog {
  public:
    TAudioModeDialog(QWidget* owner, std::shared_ptr<IAMStreamConfig> config)
        : TModeDialog(owner, std::move(config)) {
        List = AddList(tr("Format"), "mode");
        for (const TAMMediaType& mode : Modes) {
            List->addItem(SoundLabel(mode));
            if (mode.subtype == Current.subtype && SoundLabel(mode) == SoundLabel(Current))
                List->setCurrentIndex(List->count() - 1);
        }
    }

  protected:
    std::optional<TAMMediaType> Chosen() const override {
        const int index = List->currentIndex();
        if (index < 0 || index >= static_cast<int>(Modes.size()))
            return std::nullopt;
        return Modes[static_cast<std::size_t>(index)];
    }

  private:
    QComboBox* List = nullptr;
};

} // namespace

std::unique_ptr<QDialog>
MakeVideoModeDialog(QWidget* owner, std::shared_ptr<IAMStreamConfig> config, TGstCapsRef offered) {
    return std::make_unique<TVideoModeDialog>(owner, std::move(config), std::move(offered));
}

std::unique_ptr<QDialog> MakeAudioModeDialog(QWidget* owner,
                                             std::shared_ptr<IAMStreamConfig> config) {
    return std::make_unique<TAudioModeDialog>(owner, std::move(config));
}
