#pragma once

#include <QImage>
#include <QWidget>
#include <functional>

class TGraphConfig;

// The frame handed to OnBitmapGrabbed. The component owns it for the duration of the event,
// so a handler copies what it keeps.
using TCapturedBitmap = QImage;

// The capture component: a windowed control that shows the live picture and turns a
// requested frame into a bitmap on the GUI thread.
//
// FIXME: no capture graph yet. InitGraph reports no device, so the window runs without
// frames; the operations keep their names and results so callers need not change later.
class TVideoCapture : public QWidget {
    Q_OBJECT
  public:
    explicit TVideoCapture(QWidget* parent = nullptr);

    bool InitGraph();
    void LoadConfig(const TGraphConfig* config);
    void SaveConfig(TGraphConfig* config);
    bool StartPreview();
    bool StopPreview();
    bool StopCapture();
    bool RequestFrame();

    std::function<void(const TCapturedBitmap&)> OnBitmapGrabbed;
    std::function<void(TVideoCapture*)> OnStartPreview;
    std::function<void(TVideoCapture*)> OnChangeDevice;

  private:
    bool FPreviewing = false;
};
