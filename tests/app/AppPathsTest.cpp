#include "AppPaths.h"

#include <gtest/gtest.h>

TEST(SettingsFileName, FollowsTheExecutableName) {
    const struct {
        const char* executable;
        const char* settings;
    } cases[] = {
        {"kamvero", "kamvero.ini"},
        {"Cam.EXE", "Cam.ini"},
        {"webcam", "webcam.ini"},
        // Once ".exe" is cut off, the rest of the name still has an extension to replace.
        {"my.app.exe", "my.ini"},
        {"cam.exe.old", "cam.ini"},
        {"kamvero.bin", "kamvero.ini"},
        {"/opt/kamvero/bin/kamvero", "kamvero.ini"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(SettingsFileNameOf(QString::fromUtf8(c.executable)),
                  QString::fromUtf8(c.settings))
            << c.executable;
}

TEST(AppPath, IsTheExecutableFolderWithOneSlash) {
    EXPECT_EQ(AppPathOf("/opt/kamvero/kamvero"), "/opt/kamvero/");
    EXPECT_EQ(AppPathOf("/kamvero"), "/");
    EXPECT_TRUE(RunningExecutablePath().endsWith("app_tests"));
}
