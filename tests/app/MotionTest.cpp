// The motion detector as the window runs it, on small frames with hand-computed totals.
#include "TestSupport.h"

#include <gtest/gtest.h>

namespace {

class MotionTest : public testing::Test {
  protected:
    void SetUp() override { ShownMessages().clear(); }
    TTempDir Folder;
    TWindowUnderTest w{Folder};
};

struct TStep {
    int grey;          // the whole 2x2 frame in this grey
    bool motion;       // what the detector answers
    std::int64_t last; // LastDiff afterwards
};

struct TSequence {
    const char* name;
    int sensitivity;
    std::vector<TStep> steps;
};

// Brightness of a grey pixel is the grey itself; a 2x2 frame sums four equal squares.
const std::vector<TSequence> Sequences = {
    {"first frame against the empty reference, then the re-reference",
     20,
     {{30, true, 4 * 30 * 30}, {30, false, 3600}, {30, true, 0}, {30, false, 0}, {30, false, 0}}},
    {"equal totals never report motion",
     100,
     {{10, true, 400}, {50, false, 400}, {60, false, 400}, {40, false, 400}}},
    {"s = 0: any change of the total is motion",
     0,
     {{10, true, 400},
      {50, false, 400},
      {60, false, 400},
      {61, true, 484},
      {61, false, 484},
      {61, true, 0}}},
    {"s = 100: only a total more than doubled is motion",
     100,
     {{10, true, 400}, {10, false, 400}, {20, false, 400}, {40, true, 3600}}},
    {"s = 20: within a fifth is no motion",
     20,
     {{10, true, 400}, {10, false, 400}, {20, false, 400}, {19, false, 324}, {21, true, 484}}},
};

TEST_F(MotionTest, SequencesFollowTheThresholdRule) {
    for (const TSequence& sequence : Sequences) {
        SCOPED_TRACE(sequence.name);
        w.Restart();
        const TWindowUnderTest& fresh = w;
        fresh->Sensitivity1->setValue(sequence.sensitivity);
        int step = 0;
        for (const TStep& s : sequence.steps) {
            SCOPED_TRACE(step++);
            EXPECT_EQ(fresh->DetectMotion(UniformFrame({2, 2}, s.grey)), s.motion);
            EXPECT_EQ(fresh->LastDiff, s.last);
            // A frame taken as the reference leaves the status text as it was.
            if (s.motion) {
                EXPECT_EQ(fresh->StatusBar->PanelText(1), "Motion Detected");
            }
        }
    }
}

TEST_F(MotionTest, MotionTurnsTheSensitivityRedAndBold) {
    ASSERT_TRUE(w->DetectMotion(UniformFrame({2, 2}, 90)));
    EXPECT_TRUE(w->lblSens->font().bold());
    EXPECT_EQ(w->lblSens->palette().color(QPalette::WindowText), QColor(Qt::red));
    EXPECT_FALSE(w->SnapShot1->pixmap().isNull());
    EXPECT_TRUE(w->TakeReference);
    EXPECT_FALSE(w->DetectMotion(UniformFrame({2, 2}, 90))) << "only taken as the reference";
    EXPECT_TRUE(w->DetectMotion(UniformFrame({2, 2}, 90))) << "the total fell from 32400 to 0";
    EXPECT_FALSE(w->DetectMotion(UniformFrame({2, 2}, 90)));
    EXPECT_FALSE(w->DetectMotion(UniformFrame({2, 2}, 90)));
    EXPECT_FALSE(w->lblSens->font().bold());
    EXPECT_EQ(w->lblSens->palette().color(QPalette::WindowText), QColor(Qt::black));
    EXPECT_EQ(w->StatusBar->PanelText(1), "");
}

// A frame of 20 x 10: a bright block left of x = 10, dark elsewhere.
QImage SplitFrame(int leftGrey, int rightGrey) {
    QImage frame(20, 10, QImage::Format_BGR888);
    frame.fill(QColor(rightGrey, rightGrey, rightGrey));
    for (int y = 0; y < 10; ++y)
        for (int x = 0; x < 10; ++x)
            frame.setPixelColor(x, y, QColor(leftGrey, leftGrey, leftGrey));
    return frame;
}

TEST_F(MotionTest, GridDecidesWhichPixelsAreCompared) {
    w->cap1BitmapGrabbed(SplitFrame(0, 0)); // sizes the track bars to 20 x 10
    w->LeftTrack->setValue(10);
    w->RightTrack->setValue(20);
    w->TopTrack->setValue(0);
    w->BottomTrack->setValue(10);

    // Grid off: the whole frame is compared, whatever the track bars say.
    w->cap1BitmapGrabbed(SplitFrame(10, 0));
    EXPECT_EQ(w->CurDiff, 100 * 10 * 10);

    // Grid on: only Left <= x < Right, Top <= y < Bottom, so the left block does not count.
    w.Restart();
    const TWindowUnderTest& grid = w;
    grid->cap1BitmapGrabbed(SplitFrame(0, 0));
    grid->chkUseGrid->setChecked(true);
    grid->LeftTrack->setValue(10);
    grid->cap1BitmapGrabbed(SplitFrame(200, 0));
    EXPECT_EQ(grid->CurDiff, 0);
    EXPECT_EQ(grid->Label14->text(), "9") << "the right edge stays at 19 for frames 20 wide";
    grid->cap1BitmapGrabbed(SplitFrame(200, 3));
    EXPECT_EQ(grid->CurDiff, 9 * 9 * 9);
}

TEST_F(MotionTest, EveryDepthComparesItsReducedCopies) {
    for (int index = 0; index < 5; ++index) {
        SCOPED_TRACE(index);
        w.Restart();
        const TWindowUnderTest& fresh = w;
        fresh->cbPixelFormat->setCurrentIndex(index);
        EXPECT_TRUE(fresh->DetectMotion(UniformFrame({3, 5}, 255)));
        EXPECT_GT(fresh->CurDiff, 0);
        EXPECT_EQ(fresh->CurBitmap.format(), WorkingFormat(static_cast<TDetectDepth>(index)));
        EXPECT_EQ(fresh->CurBitmap.size(), QSize(3, 5));
    }
}

TEST_F(MotionTest, SmallFramesClampTheTrackBarsAndLeaveTheGuideLines) {
    const QPoint lines[] = {w->LeftLine->pos(), w->RightLine->pos(), w->TopLine->pos(),
                            w->BottomLine->pos()};
    w->cap1BitmapGrabbed(UniformFrame({160, 120}, 0));
    EXPECT_EQ(w->FrameWidth, 160);
    EXPECT_EQ(w->LeftTrack->maximum(), 159);
    EXPECT_EQ(w->RightTrack->value(), 159);
    EXPECT_EQ(w->BottomTrack->value(), 119);
    EXPECT_EQ(w->LeftLine->pos(), lines[0]);
    EXPECT_EQ(w->RightLine->pos(), lines[1]);
    EXPECT_EQ(w->TopLine->pos(), lines[2]);
    EXPECT_EQ(w->BottomLine->pos(), lines[3]);

    // Frames twice the preview's size move the lines by half the position.
    w->cap1BitmapGrabbed(UniformFrame({640, 480}, 0));
    w->RightTrack->setValue(399);
    EXPECT_EQ(w->RightLine->x(), 200);
    w->LeftTrack->setValue(100);
    EXPECT_EQ(w->LeftLine->x(), 50);
}

TEST_F(MotionTest, FiveConsecutivePixelsAtLeastBothWays) {
    w->RightTrack->setValue(50);
    w->LeftTrack->setValue(200);
    EXPECT_EQ(w->LeftTrack->value(), 45);
    w->TopTrack->setValue(100);
    w->BottomTrack->setValue(20);
    EXPECT_EQ(w->BottomTrack->value(), 105);
}

TEST_F(MotionTest, NoGrabWhileAnFTPTickRunsButTheHeartbeatGoesOn) {
    const QColor before = w->lblSens1->palette().color(QPalette::WindowText);
    w->FTPBusy = true;
    w->MotionTimerTimer();
    EXPECT_NE(w->lblSens1->palette().color(QPalette::WindowText), before);
    EXPECT_FALSE(w.Platform->Script->Called("GetConnectedMediaType"));
}

TEST_F(MotionTest, CompareIntervalRearmsTheMotionTimer) {
    w->spnSense->setValue(0.5);
    EXPECT_EQ(w->MotionTimer->interval(), 500);
    EXPECT_TRUE(w->MotionTimer->isActive());
    w->Sensitivity1->setValue(73);
    EXPECT_EQ(w->lblSens->text(), "73");
}

} // namespace
