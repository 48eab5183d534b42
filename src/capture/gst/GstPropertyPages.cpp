#include "GstPropertyPages.h"

#include <QDialogButtonBox>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

std::unique_ptr<QDialog> MakePropertyDialog(const std::shared_ptr<IUnknown>& object,
                                            QWidget* owner) {
    if (!object || !object->Offers(TIID::ISpecifyPropertyPages))
        return nullptr;
    const auto pages = std::dynamic_pointer_cast<TGstPropertyPages>(object);
    return pages && pages->HasPages() ? pages->MakeDialog(owner) : nullptr;
}

std::unique_ptr<QDialog> MakeLiveDialog(QWidget* owner, const QString& title,
                                        const std::function<TLiveEditor*(QWidget*)>& makeEditor) {
    auto dialog = std::make_unique<QDialog>(owner);
    dialog->setWindowTitle(title);
    dialog->setModal(true);
    // Encoders have dozens of settings: they scroll rather than outgrow the screen.
    auto* scroll = new QScrollArea(dialog.get());
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    TLiveEditor* const editor = makeEditor(scroll);
    scroll->setWidget(editor);
    const QSize wanted =
        editor->sizeHint() + QSize(scroll->verticalScrollBar()->sizeHint().width(), 0);
    scroll->setMinimumSize(wanted.boundedTo(QSize(640, 480)));
    auto* buttons =
        new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dialog.get());
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog.get(), &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog.get(), &QDialog::reject);
    QObject::connect(dialog.get(), &QDialog::rejected, editor, [editor] { editor->Revert(); });
    auto* layout = new QVBoxLayout(dialog.get());
    layout->addWidget(scroll);
    layout->addWidget(buttons);
    return dialog;
}

HRESULT ShowModal(std::unique_ptr<QDialog> dialog) {
    if (!dialog)
        return E_NOINTERFACE;
    const QPointer<QDialog> alive = dialog.get();
    dialog->exec();
    // An owner destroyed while the dialog ran took its child along.
    if (!alive)
        (void)dialog.release();
    return S_OK;
}
