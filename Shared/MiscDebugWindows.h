// The program's diagnostic log: a plain window captioned "Quillet Debug Window"
// that shows logged lines in a scrolling memo.
//
// The window does not exist until the first line is logged (DebugWindow is
// null until then); every logged line makes it visible again. Lines are
// collected in PendingText and moved into the memo by a 250 ms timer armed by
// the first line of a batch, so a burst of reports costs one memo update.
// The window is created without a parent on first use and lives until the
// program ends; closing it only minimises and hides it.
#pragma once

#include <QString>
#include <QWidget>
#include <exception>

class QPlainTextEdit;
class QTimer;

class TMiscDebugWindow : public QWidget {
    Q_OBJECT
public:
    explicit TMiscDebugWindow(QWidget* Owner = nullptr);

    // Adds a line and shows the window.
    void AppendText(const QString& Text);

    // Everything the memo shows, one logged line per line.
    QString MemoText() const;
    const QString& PendingText() const { return FPendingText; }
    bool FlushScheduled() const { return FFlushScheduled; }

    QPlainTextEdit* Memo1 = nullptr; // owned through the Qt parent
    QTimer* Timer1 = nullptr;        // owned through the Qt parent

protected:
    void closeEvent(QCloseEvent* event) override; // FormClose
    void showEvent(QShowEvent* event) override;   // fits the outer size once

private:
    void Timer1Timer();

    bool FFlushScheduled = false;
    QString FPendingText;
    bool FMemoHasEntries = false;   // the memo holds at least one flushed entry
    bool FOuterSizeApplied = false; // frame margins taken off the size
};

// The one debug window; null until the first line is logged, never cleared.
extern TMiscDebugWindow* DebugWindow;

// Creates a TMiscDebugWindow into Window if it is null, then appends Text.
// Without a QApplication (a console program) no window can exist: the text
// then goes to the Qt message log (qWarning) and Window stays null.
void ShowDebugText(TMiscDebugWindow*& Window, const QString& Text, QWidget* Owner = nullptr);
// ShowDebugText with DebugWindow and no owner.
void DebugOutput(const QString& Text);
// Logs "Class=<class>, Message=<message>, Location=<Location>". Never raises.
void ReportException(const std::exception& E, const QString& Location) noexcept;
