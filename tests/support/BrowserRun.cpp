#include "BrowserRun.h"

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>

#include <signal.h>
#include <unistd.h>

TBrowserRun RunChromium(const QString& folder, const QStringList& arguments) {
    const QDir place(folder);
    for (const char* name : {"profile", "config", "cache", "tmp"})
        place.mkpath(QString::fromLatin1(name));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", place.filePath("config"));
    environment.insert("XDG_CACHE_HOME", place.filePath("cache"));
    environment.insert("TMPDIR", place.filePath("tmp"));

    QProcess browser;
    browser.setProcessEnvironment(environment);
    browser.setChildProcessModifier([] { ::setsid(); });
    browser.start(ChromiumPath,
                  QStringList{"--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                              "--disable-background-networking", "--disable-component-update",
                              "--disable-sync", "--disable-quic",
                              "--user-data-dir=" + place.filePath("profile")} +
                      arguments);
    TBrowserRun run;
    if (!browser.waitForStarted(10000)) {
        run.Errors = browser.errorString().toUtf8();
        return run;
    }
    run.Finished = browser.waitForFinished(BrowserTimeLimitMs);
    if (!run.Finished) {
        ::kill(-static_cast<pid_t>(browser.processId()), SIGKILL);
        browser.waitForFinished(5000);
    }
    run.ExitCode = browser.exitStatus() == QProcess::NormalExit ? browser.exitCode() : -1;
    run.Output = browser.readAllStandardOutput();
    run.Errors += browser.readAllStandardError();
    return run;
}

testing::AssertionResult RanToTheEnd(const TBrowserRun& run) {
    if (!run.Finished)
        return testing::AssertionFailure()
               << "Chromium did not finish within " << BrowserTimeLimitMs << " ms:\n"
               << run.ErrorsTail().constData();
    if (run.ExitCode != 0)
        return testing::AssertionFailure() << "Chromium exited with " << run.ExitCode << ":\n"
                                           << run.ErrorsTail().constData();
    return testing::AssertionSuccess();
}
