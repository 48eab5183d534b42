// The window side of frame processing: the motion detector's controls and the snapshot
// settings.
#include "MainWindow.h"

namespace {

constexpr int MinimumRectangleSpan = 5;
constexpr int PreviewWidth = 320;
constexpr int PreviewHeight = 240;

QString WithTrailingSlash(QString path) {
    if (!path.isEmpty() && !path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}

} // namespace

namespace {

// A maximum below zero (no frame size yet) is ignored; lowering the maximum under the
// position moves the position, which runs the track bar's handler.
void SetTrackMaximum(QSlider* track, int maximum) {
    if (maximum >= 0)
        track->setMaximum(maximum);
}

} // namespace

void TfrmMain::UpdateFrameSize(const TCapturedBitmap& frame) {
    FrameWidth = frame.width();
    FrameHeight = frame.height();
    SetTrackMaximum(LeftTrack, FrameWidth - 1);
    SetTrackMaximum(RightTrack, FrameWidth - 1);
    SetTrackMaximum(TopTrack, FrameHeight - 1);
    SetTrackMaximum(BottomTrack, FrameHeight - 1);
}

void TfrmMain::cap1BitmapGrabbed(const TCapturedBitmap& CapturedImage) {
    UpdateFrameSize(CapturedImage);
    // FIXME: motion detection and snapshot writing come with the frame processing.
}

void TfrmMain::MotionTimerTimer() {
    // The caption blinks once per tick, so a stalled timer shows.
    QPalette heartbeat = lblSens1->palette();
    const bool black = heartbeat.color(QPalette::WindowText) == QColor(Qt::black);
    heartbeat.setColor(QPalette::WindowText, black ? Qt::blue : Qt::black);
    lblSens1->setPalette(heartbeat);
    if (!FTPBusy)
        cap1->RequestFrame();
}

void TfrmMain::spnSenseChange() {
    MotionTimer->stop();
    MotionTimer->setInterval(qRound(spnSense->value() * 1000.0));
    MotionTimer->start();
}

void TfrmMain::Sensitivity1Change() {
    lblSens->setText(QString::number(Sensitivity1->value()));
}

void TfrmMain::cbPixelFormatChange() {
    // FIXME: the working copies take the chosen depth with the motion detector.
}

// Guide lines sit over the 320 x 240 preview; frames smaller than that leave them in place.
void TfrmMain::MoveGuideLine(QFrame* line, Qt::Orientation axis, int position) const {
    const int scale =
        axis == Qt::Horizontal ? FrameWidth / PreviewWidth : FrameHeight / PreviewHeight;
    if (scale == 0)
        return;
    if (axis == Qt::Horizontal)
        line->move(position / scale, line->y());
    else
        line->move(line->x(), position / scale);
}

void TfrmMain::LeftTrackChange() {
    if (LeftTrack->value() > RightTrack->value() - MinimumRectangleSpan)
        LeftTrack->setValue(RightTrack->value() - MinimumRectangleSpan);
    MoveGuideLine(LeftLine, Qt::Horizontal, LeftTrack->value());
}

void TfrmMain::RightTrackChange() {
    if (RightTrack->value() < LeftTrack->value() + MinimumRectangleSpan)
        RightTrack->setValue(LeftTrack->value() + MinimumRectangleSpan);
    MoveGuideLine(RightLine, Qt::Horizontal, RightTrack->value() + 1);
}

void TfrmMain::TopTrackChange() {
    if (TopTrack->value() > BottomTrack->value() - MinimumRectangleSpan)
        TopTrack->setValue(BottomTrack->value() - MinimumRectangleSpan);
    MoveGuideLine(TopLine, Qt::Vertical, TopTrack->value() + 1);
}

void TfrmMain::BottomTrackChange() {
    if (BottomTrack->value() < TopTrack->value() + MinimumRectangleSpan)
        BottomTrack->setValue(TopTrack->value() + MinimumRectangleSpan);
    MoveGuideLine(BottomLine, Qt::Vertical, BottomTrack->value() + 1);
}

void TfrmMain::chkShowGridClick() {
    const bool visible = chkShowGrid->isChecked();
    for (QWidget* part : {static_cast<QWidget*>(LeftTrack), static_cast<QWidget*>(LeftLine),
                          static_cast<QWidget*>(RightTrack), static_cast<QWidget*>(RightLine),
                          static_cast<QWidget*>(TopTrack), static_cast<QWidget*>(TopLine),
                          static_cast<QWidget*>(BottomTrack), static_cast<QWidget*>(BottomLine)})
        part->setVisible(visible);
}

void TfrmMain::spnArchiveChange() {
    ArchiveMax = spnArchive->value();
    lblLocalQTY->setText(QString::number(ArchiveMax));
}

void TfrmMain::edtFilename1Change() {
    lblImageFilename1->setText(edtFilename1->text());
}

void TfrmMain::chkTS1Click() {
    lblUseTimestamp1->setText(chkTS1->isChecked() ? QStringLiteral("Yes") : QStringLiteral("No"));
}

void TfrmMain::edtLocalDirectory1Exit(TDirectoryEdit* Sender) {
    Sender->setText(WithTrailingSlash(Sender->text()));
}

void TfrmMain::edtLocalDirectory1AfterDialog(QString& Name) {
    Name = WithTrailingSlash(Name);
}
