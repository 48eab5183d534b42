#include "AppPaths.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <gtest/gtest.h>
#include <unistd.h>

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

// An installed copy cannot write its own folder: its settings and error log go to the user's
// configuration folder instead, which a fresh account may not even have yet.
TEST(SettingsFolder, IsTheProgramFolderUnlessItCannotBeWritten) {
    const TTempDir temp;
    const QString programFolder = temp.QPath() + QLatin1Char('/');
    const QString configHome = temp.File("home/.config");
    EXPECT_EQ(SettingsFolderOf(programFolder, configHome), programFolder);
    EXPECT_FALSE(QFileInfo::exists(configHome)) << "a writable copy made a config folder";

    // Permission bits do not hold root back; no-one may write into /proc/self.
    QStringList readOnlyFolders{QStringLiteral("/proc/self/")};
    if (::geteuid() != 0) {
        ASSERT_TRUE(QDir(temp.QPath()).mkdir("installed"));
        ASSERT_TRUE(
            QFile::setPermissions(temp.File("installed"), QFile::ReadOwner | QFile::ExeOwner |
                                                              QFile::ReadOther | QFile::ExeOther));
        readOnlyFolders << temp.File("installed/");
    }
    for (const QString& folder : readOnlyFolders) {
        EXPECT_EQ(SettingsFolderOf(folder, configHome), configHome + "/kamvero/")
            << folder.toStdString();
        EXPECT_EQ(SettingsFolderOf(folder, configHome + "/"), configHome + "/kamvero/")
            << folder.toStdString();
    }
    EXPECT_TRUE(QFileInfo(configHome + "/kamvero").isDir());
}
