#pragma once

// moc reads Qt's headers first; it cannot parse the C++20 standard headers on its own.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QString>
#include <QWidget>

#include "CapturePlatform.h"
#include "GraphConfig.h"

// A line edit with a browse button that picks the name of a file to write.
class TFileNameEdit : public QLineEdit {
    Q_OBJECT
  public:
    explicit TFileNameEdit(QWidget* parent = nullptr);

  private:
    void BrowseForFile();
};

// The modal dialog in which the user edits a capture configuration: devices, compressors,
// what the graph contains and where captures go. The controls are public so that the window
// and the tests can reach them by their names.
class TFGraphConfig : public QDialog {
    Q_OBJECT
  public:
    // The device lists come from the process-wide lists, enumerated only where still empty.
    explicit TFGraphConfig(ICapturePlatform& platform, QWidget* parent = nullptr);

    // Shows the configuration in the controls and applies the enabling rules.
    void Fill(const TGraphConfig& config);
    // Writes the controls into the configuration as OK does: defaults first, so the modes are
    // zeroed and the compressor state emptied.
    void Store(TGraphConfig& config) const;

    // The enabling rules, each run when its check box is clicked.
    void cbWantPreviewClick();
    void cbWantAudioClick();
    void cbWantCaptureClick();
    void cbUseTempFileClick();
    void cbVCompClick();
    void cbACompClick();
    void cbDoPreallocCaptureFileClick();

    QCheckBox* cbWantPreview = nullptr;
    QCheckBox* cbWantCapture = nullptr;
    QCheckBox* cbWantBitmaps = nullptr;
    QCheckBox* cbWantDVAudio = nullptr;
    QCheckBox* cbDoPreallocCaptureFile = nullptr;
    QCheckBox* cbUseTempFile = nullptr;
    QComboBox* cbVSources = nullptr;
    QComboBox* cbASources = nullptr;
    QComboBox* cbVComps = nullptr;
    QComboBox* cbAComps = nullptr;
    QCheckBox* cbVComp = nullptr;
    QCheckBox* cbAComp = nullptr;
    QCheckBox* cbWantAudio = nullptr;
    QComboBox* cbDVResolution = nullptr;
    QComboBox* cbPixelFormat = nullptr;
    TFileNameEdit* feCaptureFile = nullptr;
    TFileNameEdit* feTempFile = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
    QSpinBox* sePreallocSize = nullptr;
    QCheckBox* cbWantAudioPreview = nullptr;

  private:
    void CreateControls();
    void ConnectRules();
    void FillDeviceLists(ICapturePlatform& platform);
    void SetTabOrder();
    void CenterOnScreen();
};

// Runs the dialog modally on the configuration. Answers true and updates the configuration
// when the user confirms with OK; answers false and leaves it untouched otherwise.
bool EditGraphConfig(ICapturePlatform& platform, TGraphConfig& config, QWidget* parent = nullptr);
