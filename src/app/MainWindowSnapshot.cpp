// The snapshot writer: archive ring, timestamp, temporary bitmap and JPEG.
#include "MainWindow.h"

#include "SnapshotFiles.h"
#include "SnapshotStamp.h"

#include <QCoreApplication>
#include <QFile>

void TfrmMain::RotateArchive(const QString& base) {
    if (ArchiveMax <= 0)
        return;
    try {
        // No newest snapshot yet (the first of a run) starts the ring again.
        if (!PutNewestIntoSlot(base, ArchiveIndex))
            ArchiveIndex = 0;
    } catch (const std::exception& error) {
        LogError(QString::fromUtf8(error.what()));
    }
}

QImage TfrmMain::StampSnapshot(const TCapturedBitmap& frame, const QString& base) {
    // A 24-bit frame is stamped as it is, so the bitmap gets its rows without a conversion to
    // 32 bits and back; frames of other depths are stamped in 32 bits.
    QImage picture = frame.format() == QImage::Format_BGR888
                         ? frame.copy()
                         : frame.convertToFormat(QImage::Format_RGB32);
    if (chkTS1->isChecked()) {
        const QString text =
            QLocale().toString(Environment.Clock(), QStringLiteral(" dd MMM yyyy  hh:mm:ss"));
        DrawStamp(picture, text, FrameHeight);
    }
    SnapShot1->setPixmap(QPixmap::fromImage(picture));
    WriteBitmapFile(picture, base + QStringLiteral(".bmp"));
    return picture;
}

void TfrmMain::WriteSnapshot(const TCapturedBitmap& frame, const QString& base) {
    RotateArchive(base);
    const QString bitmapFile = base + QStringLiteral(".bmp");
    try {
        StampSnapshot(frame, base);
        WriteJpegFileFromBitmap(bitmapFile, base + QStringLiteral(".jpg"));
    } catch (const std::exception& error) {
        // A snapshot that could not be written must leave a trace, not vanish.
        LogError(QString::fromUtf8(error.what()));
        return;
    }
    QCoreApplication::processEvents();
    if (QFile::exists(bitmapFile))
        QFile::remove(bitmapFile);
    NewSnapshot = true;
    ++ArchiveIndex;
    if (ArchiveIndex > ArchiveMax || ArchiveIndex == 0)
        ArchiveIndex = 1;
}
