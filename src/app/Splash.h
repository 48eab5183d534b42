#pragma once

#include <QFrame>
#include <QLabel>
#include <QTimer>
#include <QWidget>

// The splash window: a picture with the program's name, shown on top while the main window
// starts. It closes on a click on the picture or when its timer fires.
class TfrmSplash : public QWidget {
    Q_OBJECT
  public:
    static constexpr int ClientWidth = 336;
    static constexpr int ClientHeight = 257;
    static constexpr int TimerIntervalMs = 3000;

    explicit TfrmSplash(QWidget* parent = nullptr);

    void imgSplashClick();
    void TimerTimer();

    QFrame* pnlSplash = nullptr;
    QLabel* imgSplash = nullptr;
    QLabel* lblSplash = nullptr;
    QTimer* Timer = nullptr;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};
