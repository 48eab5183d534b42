// The window side of frame processing: the motion detector's controls and the snapshot
// settings.
#include "MainWindow.h"

#include <cstdlib>

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
    const QString base = edtLocalDirectory1->text() + edtFilename1->text();
    if (DetectMotion(CapturedImage) && Capturing)
        WriteSnapshot(CapturedImage, base);
}

QRect TfrmMain::DetectionRectangle(const TCapturedBitmap& frame) const {
    if (!chkUseGrid->isChecked())
        return {0, 0, frame.width(), frame.height()};
    // The compared pixels are Left <= x < Right and Top <= y < Bottom.
    const int left = LeftTrack->value();
    const int top = TopTrack->value();
    return {left, top, RightTrack->value() - left, BottomTrack->value() - top};
}

namespace {

void ShowImage(QLabel* view, const QImage& image) {
    view->setPixmap(QPixmap::fromImage(image));
}

void SetSensitivityLook(QLabel* label, bool motion) {
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, motion ? Qt::red : Qt::black);
    label->setPalette(palette);
    QFont font = label->font();
    font.setBold(motion);
    label->setFont(font);
}

// A working copy keeps its depth when it is resized; an empty one takes the chosen depth.
void SizeWorkingCopy(QImage& copy, QSize size, TDetectDepth depth) {
    if (copy.isNull())
        copy = BlankWorkingCopy(size, depth);
    else
        ResizeWorkingCopy(copy, size);
}

} // namespace

void TfrmMain::ShowDetection(bool motion, const TCapturedBitmap& frame) {
    if (motion)
        ShowImage(SnapShot1, frame);
    StatusBar->SetPanelText(1, motion ? QStringLiteral("Motion Detected") : QString());
    SetSensitivityLook(lblSens, motion);
}

bool TfrmMain::DetectMotion(const TCapturedBitmap& CapturedImage) {
    const QRect area = DetectionRectangle(CapturedImage);
    Label10->setText(QString::number(area.left()));
    Label11->setText(QString::number(area.left() + area.width()));
    Label12->setText(QString::number(area.top()));
    Label13->setText(QString::number(area.top() + area.height()));
    Label14->setText(QString::number(area.width()));
    Label15->setText(QString::number(area.height()));
    SizeWorkingCopy(RefBitmap, area.size(), WorkingDepth);
    SizeWorkingCopy(CurBitmap, area.size(), WorkingDepth);

    if (TakeReference) {
        CopyAreaInto(CapturedImage, area, RefBitmap);
        ShowImage(Image1, RefBitmap);
        TakeReference = false;
        return false;
    }
    CopyAreaInto(CapturedImage, area, CurBitmap);
    ShowImage(Image2, CurBitmap);
    ShowImage(Image1, RefBitmap);

    try {
        CurDiff = BrightnessDifference(RefBitmap, CurBitmap);
        Threshold = static_cast<double>(LastDiff) * (Sensitivity1->value() / 100.0);
        const bool motion = static_cast<double>(std::abs(CurDiff - LastDiff)) > Threshold;
        ShowDetection(motion, CapturedImage);
        // After a detection the next frame becomes the reference.
        TakeReference = motion;
        LastDiff = CurDiff;
        return motion;
    } catch (const std::exception& error) {
        LogError(QString::fromUtf8(error.what()));
        return false;
    }
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
    const int index = cbPixelFormat->currentIndex();
    // Nothing selected (a stored index outside the list) keeps the depth the copies have.
    if (index < 0 || index > static_cast<int>(TDetectDepth::Colors16M))
        return;
    WorkingDepth = static_cast<TDetectDepth>(index);
    for (QImage* copy : {&RefBitmap, &CurBitmap})
        if (!copy->isNull())
            SetWorkingDepth(*copy, WorkingDepth);
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
