#include "Controls.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QStyle>
#include <QVariant>

namespace {
constexpr const char* TagProperty = "Tag";
constexpr int FirstPanelWidth = 200;
} // namespace

void SetTag(QWidget* control, int tag) {
    control->setProperty(TagProperty, tag);
}

int TagOf(const QWidget* control) {
    return control->property(TagProperty).toInt();
}

void SetTaggedEnabled(QWidget* window, int tag, bool enabled) {
    for (QWidget* control : window->findChildren<QWidget*>()) {
        if (TagOf(control) == tag)
            control->setEnabled(enabled);
    }
}

TStatusBar::TStatusBar(QWidget* parent) : QFrame(parent) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 2, 0, 0);
    layout->setSpacing(2);
    for (std::size_t i = 0; i < Panels.size(); ++i) {
        auto* panel = new QLabel(this);
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        panel->setMinimumWidth(i == 0 ? FirstPanelWidth : 50);
        if (i == 0)
            panel->setFixedWidth(FirstPanelWidth);
        // A long text must not push the window wider; the first panel keeps its width, or the
        // layout would give it none and lay the second over it.
        panel->setSizePolicy(i == 0 ? QSizePolicy::Fixed : QSizePolicy::Ignored,
                             QSizePolicy::Preferred);
        layout->addWidget(panel, i == 0 ? 0 : 1);
        Panels[i] = panel;
    }
}

void TStatusBar::SetPanelText(int panel, const QString& text) {
    Panels.at(static_cast<std::size_t>(panel))->setText(text);
    emit PanelTextChanged(panel, text);
}

QString TStatusBar::PanelText(int panel) const {
    return Panels.at(static_cast<std::size_t>(panel))->text();
}

TDirectoryEdit::TDirectoryEdit(QWidget* parent) : QLineEdit(parent) {
    QAction* browse =
        addAction(style()->standardIcon(QStyle::SP_DirOpenIcon), QLineEdit::TrailingPosition);
    browse->setToolTip(tr("Choose a folder"));
    connect(browse, &QAction::triggered, this, &TDirectoryEdit::BrowseForFolder);
}

void TDirectoryEdit::AcceptDialogName(QString name) {
    if (OnAfterDialog)
        OnAfterDialog(name);
    setText(name);
}

void TDirectoryEdit::focusOutEvent(QFocusEvent* event) {
    QLineEdit::focusOutEvent(event);
    if (OnExit && FocusMovedWithinWindow(*event))
        OnExit();
}

bool TDirectoryEdit::FocusMovedWithinWindow(const QFocusEvent& event) const {
    // Another window, a popup or the field's context menu taking the focus leaves a path typed
    // half-way as it is; the user comes back to it.
    switch (event.reason()) {
    case Qt::ActiveWindowFocusReason:
    case Qt::PopupFocusReason:
    case Qt::MenuBarFocusReason:
        return false;
    default:
        break;
    }
    // The application's focus has already moved on when the old widget hears of it.
    const QWidget* next = QApplication::focusWidget();
    return next != nullptr && next != this && next->window() == window();
}

void TDirectoryEdit::BrowseForFolder() {
    const QString chosen = QFileDialog::getExistingDirectory(this, QString(), text());
    if (!chosen.isEmpty())
        AcceptDialogName(chosen);
}

QLabel* AddCaptionedValue(QWidget* page, const QString& caption, const QString& value, int x,
                          int y) {
    auto* captionLabel = new QLabel(caption, page);
    captionLabel->adjustSize();
    captionLabel->move(x - 4 - captionLabel->width(), y);

    auto* valueLabel = new QLabel(value, page);
    QFont bold = valueLabel->font();
    bold.setBold(true);
    valueLabel->setFont(bold);
    valueLabel->setTextFormat(Qt::PlainText);
    // Without a layout a label keeps its first size, so leave room for longer values.
    valueLabel->setGeometry(x, y, 110, valueLabel->sizeHint().height());
    return valueLabel;
}
