#pragma once

// Headless Chromium for the tests that need a real browser against our web server.

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

inline const QString ChromiumPath = QStringLiteral("/usr/bin/chromium");
inline constexpr int BrowserTimeLimitMs = 60000;

struct TBrowserRun {
    bool Finished = false;
    int ExitCode = -1;
    QByteArray Output;
    QByteArray Errors; // Chromium is chatty here; only worth showing when something failed

    QByteArray ErrorsTail() const { return Errors.right(3000); }
};

// Runs headless Chromium until it exits, at most the time limit. Everything it writes (profile,
// crash reports, caches, temporary files) stays in the given folder, not in the user's home.
// It leads a process group of its own, so a browser that hangs is killed with its helpers.
TBrowserRun RunChromium(const QString& folder, const QStringList& arguments);

// Success when the browser finished in time and exited with 0; otherwise what it said.
testing::AssertionResult RanToTheEnd(const TBrowserRun& run);
