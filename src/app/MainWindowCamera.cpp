// The chosen camera's modes and configuration dialogs on the "Video Adjust" page.
#include "MainWindow.h"

#include "CaptureUtils.h"

#include <QListWidgetItem>

void TfrmMain::cap1ChangeDevice() {
    const TVCapMode currentVideo = cap1->GetCurrentVideoMode();
    const TACapMode currentAudio = cap1->GetCurrentAudioMode();

    cbVModes1->clear();
    for (int i = 0; i < cap1->VideoModeCount(); ++i) {
        const TVCapMode mode = cap1->GetVideoMode(i);
        cbVModes1->addItem(VCapModeName(mode));
        if (SameVCapMode(mode, currentVideo))
            cbVModes1->setCurrentIndex(i);
    }
    cbAModes1->clear();
    for (int i = 0; i < cap1->AudioModeCount(); ++i) {
        const TACapMode mode = cap1->GetAudioMode(i);
        cbAModes1->addItem(ACapModeName(mode));
        if (SameACapMode(mode, currentAudio))
            cbAModes1->setCurrentIndex(i);
    }
    lbDialogs1->clear();
    for (int kind = 0; kind < DialogKindCount; ++kind) {
        if (!cap1->HasDialog(kind))
            continue;
        auto* item = new QListWidgetItem(DialogKindName(kind), lbDialogs1);
        item->setData(Qt::UserRole, kind);
    }
}

void TfrmMain::cap1StartPreview() {
    cbVModes1->setCurrentIndex(cap1->CurrentVideoModeIndex());
    const TACapMode current = cap1->GetCurrentAudioMode();
    int audioIndex = -1;
    for (int i = 0; i < cbAModes1->count() && audioIndex < 0; ++i)
        if (SameACapMode(cap1->GetAudioMode(i), current))
            audioIndex = i;
    cbAModes1->setCurrentIndex(audioIndex);
}

void TfrmMain::cbVModes1Change() {
    cap1->SetVideoMode(cbVModes1->currentIndex());
    cap1->StartPreview();
}

void TfrmMain::lbDialogs1DblClick() {
    if (lbDialogs1->count() == 0 || lbDialogs1->currentItem() == nullptr)
        return;
    cap1->ShowDialog(lbDialogs1->currentItem()->data(Qt::UserRole).toInt());
}

void TfrmMain::btnVideoFilter1Click() {
    // Each dialog is modal, so it is closed before the next one opens.
    for (int i = 0; i < lbDialogs1->count(); ++i)
        cap1->ShowDialog(lbDialogs1->item(i)->data(Qt::UserRole).toInt());
}
