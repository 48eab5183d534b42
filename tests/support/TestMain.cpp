#include "Application.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    // Widgets need no screen; a developer's display is left alone.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    Q_INIT_RESOURCE(kamvero);
    TApplication app(argc, argv);
    app.SetMessageSink([](const QString& text) { ShownMessages() << text; });
    return RUN_ALL_TESTS();
}
