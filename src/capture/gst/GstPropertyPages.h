#pragma once

// Settings dialogs of the layer's objects, as the platform's property frame shows them. An
// object with a dialog implements TGstPropertyPages; the dialog is made without being shown,
// so that tests can drive it.

#include "CapturePlatform.h"

#include <QDialog>
#include <QWidget>

#include <functional>
#include <memory>

class QString;

class TGstPropertyPages : public ISpecifyPropertyPages {
  public:
    // One page when the object has a dialog, a failure otherwise.
    HRESULT GetPages(int& count) override {
        count = HasPages() ? 1 : 0;
        return count > 0 ? S_OK : E_FAIL;
    }
    virtual bool HasPages() = 0;
    // The dialog, modal, owned by `owner`; nullptr when there is nothing to show.
    virtual std::unique_ptr<QDialog> MakeDialog(QWidget* owner) = 0;
};

// An editor that applies each change as it is made; Revert puts back what it found.
class TLiveEditor : public QWidget {
  public:
    using QWidget::QWidget;
    virtual void Revert() = 0;
};

// The settings dialog of a layer object; nullptr when the object has none.
std::unique_ptr<QDialog> MakePropertyDialog(const std::shared_ptr<IUnknown>& object,
                                            QWidget* owner);

// A dialog around a live editor: OK keeps the changes, Cancel (or closing) reverts them.
std::unique_ptr<QDialog> MakeLiveDialog(QWidget* owner, const QString& title,
                                        const std::function<TLiveEditor*(QWidget*)>& makeEditor);

// Shows the dialog modally and waits for it to close; S_OK, or E_NOINTERFACE without one.
HRESULT ShowModal(std::unique_ptr<QDialog> dialog);
