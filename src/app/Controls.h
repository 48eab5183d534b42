#pragma once

#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QString>
#include <QWidget>
#include <array>
#include <functional>

// Small widgets and helpers that give the window the behaviour its settings rely on.

// A control's Tag names its lock group: 1 capture settings, 2 FTP server, 3 web server.
void SetTag(QWidget* control, int tag);
int TagOf(const QWidget* control);

// Enables or disables every control below the window whose Tag is the given one.
void SetTaggedEnabled(QWidget* window, int tag, bool enabled);

// The status bar with its two panels: panel 0 (200 pixels) and panel 1 (the rest).
class TStatusBar : public QFrame {
    Q_OBJECT
  public:
    static constexpr int PanelCount = 2;

    explicit TStatusBar(QWidget* parent = nullptr);
    void SetPanelText(int panel, const QString& text);
    QString PanelText(int panel) const;

  signals:
    // Every text set, also one that a later one replaces before the screen is painted.
    void PanelTextChanged(int panel, const QString& text);

  private:
    std::array<QLabel*, PanelCount> Panels{};
};

// A line edit with a folder button. The dialog's choice passes through OnAfterDialog before
// it becomes the text; OnExit runs when the focus moves from the field to another control of
// the same window (not when the window, a popup or a context menu takes it).
class TDirectoryEdit : public QLineEdit {
    Q_OBJECT
  public:
    explicit TDirectoryEdit(QWidget* parent = nullptr);

    std::function<void(QString& name)> OnAfterDialog;
    std::function<void()> OnExit;

    // Applies a name as if the folder dialog had returned it (the dialog itself is modal).
    void AcceptDialogName(QString name);

  protected:
    void focusOutEvent(QFocusEvent* event) override;

  private:
    bool FocusMovedWithinWindow(const QFocusEvent& event) const;
    void BrowseForFolder();
};

// A bold value label placed after its caption; the caption is right-aligned against it.
QLabel* AddCaptionedValue(QWidget* page, const QString& caption, const QString& value, int x,
                          int y);
