// Program entry: no arguments are read.
#include "Application.h"
#include "MainWindow.h"
#include "SnapshotFiles.h"
#include "Splash.h"

#include <QIcon>

int main(int argc, char** argv) {
    KeepFrameBuffersInHeap();
    Q_INIT_RESOURCE(kamvero);
    TApplication app(argc, argv);
    TApplication::setApplicationName(QStringLiteral("kamvero"));
    TApplication::setApplicationDisplayName(QStringLiteral("Kamvero"));
    TApplication::setWindowIcon(QIcon(QStringLiteral(":/kamvero/kamvero.png")));

    TfrmMain frmMain(TMainWindowEnvironment::ForRunningProgram());

    // The splash is shown once the main window exists, so the settings are already loaded.
    TfrmSplash frmSplash;
    frmSplash.setAttribute(Qt::WA_QuitOnClose, false);
    frmMain.SetSplash(&frmSplash);
    frmSplash.show();
    frmSplash.repaint();

    frmMain.show();
    // Stay on top even where no window manager keeps it there.
    frmSplash.raise();
    return TApplication::exec();
}
