// The external-linking control: receives the symbols the user clicks in the
// alert grids and hands them to other programs.
//
// The program reaches it the way it would reach a hosted control, through
// property put/get by dispatch identifier and one linking call:
//
//   id  type     meaning
//    1  bool     Active: set true once after creation; while false, Link()
//                does nothing
//   18  QString  Symbol: the symbol to link next
//   19  int      read after each Link(): 0 when the control wants its window
//                shown ("Show this window for every symbol" is on), else 1;
//                read-only
//
// Any other identifier, a value of the wrong type, a write to property 19 or
// a failing linking call raises EOleException with a text for the user.
//
// Link() hands the current Symbol on, in this order: it is put first in the
// list of the last symbols linked (at most MaxRecentSymbols, newest first),
// copied to the clipboard when "Copy symbol to the clipboard" is on, and given
// to the link command when one is set.
//
// The link command is a program and its arguments, split by SplitCommandLine
// (rules there) and started detached, never through a shell: "{symbol}" in an
// argument is replaced by the symbol after the split, so no symbol text can
// add arguments, start other programs or reach a shell. Without "{symbol}" in
// any argument the symbol is appended as the last argument. The program name
// itself is never substituted. A symbol that begins with "-" may be taken for
// an option by the program; put "--" before "{symbol}" where that matters.
//
// The control's own window lets the user set the command and the two options
// and shows the recent symbols. Settings live in the registry store under
// SettingsKey ("Command" as a string, "Copy To Clipboard" and
// "Show Window For Every Symbol" as integers) and are written to the store as
// the user changes them; the store's owner saves the file.
#pragma once

#include "Exceptions.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class TRegistrySettings;

// An error status of the control; the message is its description.
BRENIK_DECLARE_EXCEPTION(EOleException, Exception)

class TQuilletGenericConnector2X : public QWidget {
    Q_OBJECT
public:
    static constexpr int DispIdActive = 1;
    static constexpr int DispIdSymbol = 18;
    static constexpr int DispIdShowWindow = 19;
    static constexpr int MaxRecentSymbols = 20;
    static const QString SettingsKey; // "\Software\Quillet\Brenik Alerts\External Linking"

    // Owner becomes the Qt parent and owns the control. Settings is the
    // registry store the settings are read from by LoadSettings() and written
    // to on change; it is not owned, may be null (settings then last for the
    // run only) and must outlive the control.
    TQuilletGenericConnector2X(QWidget* Owner, TRegistrySettings* Settings);
    ~TQuilletGenericConnector2X() override;
    TQuilletGenericConnector2X(const TQuilletGenericConnector2X&) = delete;
    TQuilletGenericConnector2X& operator=(const TQuilletGenericConnector2X&) = delete;

    // The dispatch interface (virtual so that a host can be tested with a
    // recording control).
    virtual void SetProperty(int DispId, const QVariant& Value);
    virtual QVariant GetProperty(int DispId) const;
    // The linking call.
    virtual void Link();

    // Reads the settings from the store. Every value that can be read is
    // applied; values of an unusable type keep their defaults (and stay in
    // the store untouched until the user changes that setting), and one
    // EOleException then names them all.
    void LoadSettings();

    bool Active() const { return FActive; }
    const QString& Symbol() const { return FSymbol; }
    QString LinkCommand() const;
    void SetLinkCommand(const QString& CommandLine);
    bool CopyToClipboard() const;
    void SetCopyToClipboard(bool On);
    bool ShowForEverySymbol() const;
    void SetShowForEverySymbol(bool On);
    // Newest first; an empty symbol is listed as an empty string.
    const QStringList& RecentSymbols() const { return FRecentSymbols; }

    // Splits a command line into the program (first item) and its arguments.
    // Rules: blanks (spaces, tabs) separate words; inside '...' every
    // character stands for itself; inside "..." only \" and \\ are escapes;
    // outside quotes a backslash makes the next character literal; quoted and
    // plain pieces next to each other form one word, and "" or '' alone is an
    // empty word. An unclosed quote or a backslash at the very end raises
    // EOleException. Blank input gives an empty list.
    static QStringList SplitCommandLine(const QString& CommandLine);

    // The program and the arguments Link() starts for Symbol under
    // CommandLine (empty when no command is set).
    static QStringList LinkArguments(const QString& CommandLine, const QString& Symbol);

    // The control's own widgets; owned through the Qt parent.
    QLineEdit* LinkCommandEdit = nullptr;
    QLabel* CommandErrorLabel = nullptr;
    QCheckBox* CopyToClipboardCheck = nullptr;
    QCheckBox* ShowWindowCheck = nullptr;
    QListWidget* RecentSymbolsList = nullptr;
    QLabel* LastLinkLabel = nullptr;

private:
    void LinkCommandEditChanged(const QString& Text);
    void StoreInteger(const QString& Name, bool Value);
    void AddRecent(const QString& Symbol);
    void RunLinkCommand(const QString& Symbol);

    TRegistrySettings* FSettings; // not owned
    bool FActive = false;
    QString FSymbol;
    QStringList FRecentSymbols;
    bool FLoading = false; // true while LoadSettings fills the widgets
};
