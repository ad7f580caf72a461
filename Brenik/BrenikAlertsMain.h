// The main window and the start-up of the program.
//
// TMainForm lets the user log in, shows the session status, opens the ten
// alert windows and the external linking window, and keeps the user name and
// every window's placement in the registry settings:
//
//   \Software\Quillet\Brenik Alerts\Main       "User" (string), "Left", "Top"
//   \Software\Quillet\Brenik Alerts\Window<N>  "Width", "Height", "Left", "Top",
//                                               "State" (0 normal, 1 minimised,
//                                               2 maximised), "Visible" ("1"/"0")
//
// N is the alert window's w_id. Integers are written as REG_DWORD unless the
// value already exists as a string; the password is never stored. Positions
// are those of the window frame for the main window and of the client area
// for the alert windows (their restored, normal rectangle), so that a saved
// placement comes back unchanged. A rectangle that lies wholly off every
// screen is moved onto the primary screen; a stored State other than 0, 1 or
// 2 counts as normal. A value of an unusable type keeps its default, and all
// such values are named in one error box once start-up is complete; the rest
// of the start-up is not skipped, since the exit would then overwrite every
// other saved placement with defaults. A damaged settings file is reported
// the same way and set aside (see TRegistrySettings::Load).
//
// TBrenikProgram is the start-up and shut-down sequence shared by main() and
// the tests: it owns the three windows of the application and destroys them
// in reverse order of creation, so the main window, destroyed last, writes the
// registry settings.
//
// Everything runs on the GUI thread.
#pragma once

#include <QByteArray>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>
#include <array>
#include <memory>

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QWidget;
class TAlertForm;
class TAlertTestForm;
class TExternalLinkingWindow;
class TIniFile;
class TRegistrySettings;

class TMainForm : public QWidget {
    Q_OBJECT
public:
    static constexpr int AlertWindowCount = 10;
    // The form as designed: frame position, and size of the client area.
    static constexpr int DesignLeft = 70;
    static constexpr int DesignTop = 123;
    static constexpr int DesignWidth = 353;
    static constexpr int DesignHeight = 267;

    // RegistryFileName: the registry settings file (empty = the user's).
    // IniFileName: the settings file, relative to the current folder.
    // Runs FormCreate; an error in it is shown in the error box and the rest
    // of FormCreate is skipped.
    explicit TMainForm(const QString& RegistryFileName = QString(), const QString& IniFileName = QStringLiteral("ZVR.ini"));
    // Runs FormDestroy. The alert windows are not destroyed: they live as
    // long as the program.
    ~TMainForm() override;
    TMainForm(const TMainForm&) = delete;
    TMainForm& operator=(const TMainForm&) = delete;

    // Not owned; set by the program right after creating them.
    void SetAlertTestForm(TAlertTestForm* Form);
    void SetExternalLinkingWindow(TExternalLinkingWindow* Window);

    // The registry settings, open from FormCreate to FormDestroy (null when
    // FormCreate failed before opening them). The external linking control
    // keeps its settings there too.
    TRegistrySettings* RegistrySettings() const { return FRegistrySettings.get(); }

    // Index 0 to 9; a window is null only when FormCreate failed before
    // creating it. Not owned by anyone: alert windows are never destroyed.
    TAlertForm* AlertWindow(int Index) const { return AlertWindows.at(Index); }

    // Handlers (each shows an escaping exception in the error box).
    void LoginButtonClick();
    void ResetConnectionButtonClick();
    void ShowAlertWindow(QPushButton* Button);
    void ConfigureExternalLinkingButtonClick();
    void UpdateStatus();

    // The controls, named as in the designer; owned through the Qt parent.
    QTabWidget* PageControl1 = nullptr;
    QWidget* Connection = nullptr;
    QWidget* Windows = nullptr;
    QLabel* Label3 = nullptr;
    QLabel* StatusLabel = nullptr;
    QLabel* Label1 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* UsernameEdit = nullptr;
    QLineEdit* PasswordEdit = nullptr;
    QPushButton* LoginButton = nullptr;
    QPushButton* ResetConnectionButton = nullptr;
    std::array<QPushButton*, 8> WindowButtons{}; // Button1 to Button8
    QPushButton* AdditionalAlerts1Button = nullptr;
    QPushButton* AdditionalAlerts2Button = nullptr;
    QPushButton* ConfigureExternalLinkingButton = nullptr;

protected:
    void showEvent(QShowEvent* Event) override;   // FormShow
    void closeEvent(QCloseEvent* Event) override; // ends the program

private:
    void CreateControls();
    void FormCreate(const QString& RegistryFileName);
    void FormShow();
    void FormDestroy();
    void LoadAdditionalAlertWindows();
    void LoadAdditionalAlertWindow(const TIniFile& Ini, const QString& Section, QPushButton* Button, TAlertForm* Window);
    void RestorePlacements();
    // Registry reads of FormCreate: a value of an unusable type gives Default
    // and its message is kept for one error box at the end of FormCreate.
    QString ReadRegistryString(const QString& Section, const QString& Name, const QString& Default);
    qint32 ReadRegistryInteger(const QString& Section, const QString& Name, qint32 Default);
    void SavePlacements();

    QString FIniFileName;
    std::array<TAlertForm*, AlertWindowCount> AlertWindows{}; // never destroyed
    std::unique_ptr<TRegistrySettings> FRegistrySettings;
    QStringList FRegistryProblems;
    QPointer<TAlertTestForm> FAlertTestForm;                 // owned by the program
    QPointer<TExternalLinkingWindow> FExternalLinkingWindow; // owned by the program
};

// The application's windows, created in the order main window, alert test
// window, external linking window (with its control), and destroyed in the
// reverse order. Installs the external linking window as the receiver of
// clicked symbols for its lifetime.
class TBrenikProgram {
public:
    // Sets the application's name, then creates the windows (nothing is
    // shown yet). Arguments as for TMainForm.
    explicit TBrenikProgram(const QString& RegistryFileName = QString(), const QString& IniFileName = QStringLiteral("ZVR.ini"));
    ~TBrenikProgram();
    TBrenikProgram(const TBrenikProgram&) = delete;
    TBrenikProgram& operator=(const TBrenikProgram&) = delete;

    TMainForm* MainForm() const { return FMainForm.get(); }
    TAlertTestForm* AlertTestForm() const { return FAlertTestForm.get(); }
    TExternalLinkingWindow* ExternalLinkingWindow() const { return FExternalLinkingWindow.get(); }

    // The application's title.
    static const char* const Title; // "Brenik Trading Alerts"
    static const char* const VersionCaption; // "Brenik Trading Alerts 1.1.3"

private:
    std::unique_ptr<TMainForm> FMainForm;
    std::unique_ptr<TAlertTestForm> FAlertTestForm;
    std::unique_ptr<TExternalLinkingWindow> FExternalLinkingWindow;
};
