#include "BrenikAlertsMain.h"

#include "AlertWindowTestUnit.h"
#include "AlertWindowUnit.h"
#include "ErrorBox.h"
#include "ExternalLinkingUnit.h"
#include "IniFiles.h"
#include "MainConnectionUnit.h"
#include "RegistrySettings.h"
#include "SymbolHandOff.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QScreen>
#include <QShowEvent>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>

const char* const TBrenikProgram::Title = "Brenik Trading Alerts";
const char* const TBrenikProgram::VersionCaption = "Brenik Trading Alerts 1.1.3";

namespace {

const QString MainSection = QStringLiteral("Main");
constexpr int WindowButtonWidth = 153;
constexpr int WindowButtonHeight = 25;
// The form's font: 8 points at 96 dpi, the size the design's control sizes
// were made for (the captions of the 153-pixel buttons fit).
constexpr int FormFontPixelSize = 11;
// Registry sizes beyond this are not a window anyone could have had.
constexpr int MaxWindowSide = 16384;

enum TWindowState { wsNormal = 0, wsMinimized = 1, wsMaximized = 2 };

// Masks every character of the password edit as "~".
class TTildePasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint Hint, const QStyleOption* Option, const QWidget* Widget,
        QStyleHintReturn* ReturnData) const override
    {
        if (Hint == SH_LineEdit_PasswordCharacter)
            return '~';
        if (Hint == SH_LineEdit_PasswordMaskDelay)
            return 0; // never show a typed character in clear
        return QProxyStyle::styleHint(Hint, Option, Widget, ReturnData);
    }
};

QString WindowSection(const TAlertForm* Window)
{
    return QStringLiteral("Window") + QString::number(Window->w_id);
}

int StateOf(const QWidget* Window)
{
    if (Window->isMinimized())
        return wsMinimized;
    if (Window->isMaximized())
        return wsMaximized;
    return wsNormal;
}

void ApplyState(QWidget* Window, int State)
{
    switch (State) {
    case wsMinimized:
        Window->setWindowState(Qt::WindowMinimized);
        break;
    case wsMaximized:
        Window->setWindowState(Qt::WindowMaximized);
        break;
    default: // 0, and any other number: only the program writes it
        Window->setWindowState(Qt::WindowNoState);
        break;
    }
}

// A rectangle that no screen shows any part of (a monitor that is gone, a
// resolution that shrank) is moved to the top left of the primary screen's
// work area, shrunk to fit it when needed.
QRect OntoScreen(const QRect& Rect)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    for (const QScreen* screen : screens)
        if (screen->geometry().intersects(Rect))
            return Rect;
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return Rect;
    const QRect area = primary->availableGeometry();
    return QRect(area.topLeft(), QSize(std::min(Rect.width(), area.width()), std::min(Rect.height(), area.height())));
}

QLabel* MakeLabel(QWidget* Parent, const char* Name, const QString& Caption, int Left, int Top)
{
    auto* label = new QLabel(Caption, Parent);
    label->setObjectName(QString::fromLatin1(Name));
    label->move(Left, Top);
    label->adjustSize();
    return label;
}

QPushButton* MakeButton(QWidget* Parent, const char* Name, const QString& Caption, const QRect& Geometry)
{
    auto* button = new QPushButton(Caption, Parent);
    button->setObjectName(QString::fromLatin1(Name));
    button->setGeometry(Geometry);
    button->setAutoDefault(false);
    return button;
}

} // namespace

// ---------------------------------------------------------------------------
// TMainForm

TMainForm::TMainForm(const QString& RegistryFileName, const QString& IniFileName)
    : QWidget(nullptr), FIniFileName(IniFileName)
{
    CreateControls();
    RunShowingErrors([&] { FormCreate(RegistryFileName); });
}

TMainForm::~TMainForm()
{
    // The session manager outlives this window: stop it calling back here.
    RunShowingErrors([] { MainConnection()->OnStatusChange = nullptr; });
    FormDestroy();
}

void TMainForm::SetAlertTestForm(TAlertTestForm* Form)
{
    FAlertTestForm = Form;
}

void TMainForm::SetExternalLinkingWindow(TExternalLinkingWindow* Window)
{
    FExternalLinkingWindow = Window;
}

void TMainForm::CreateControls()
{
    setObjectName(QStringLiteral("MainForm"));
    setWindowTitle(QString::fromLatin1(TBrenikProgram::Title));
    move(DesignLeft, DesignTop);
    resize(DesignWidth, DesignHeight);
    QFont formFont = font();
    formFont.setPixelSize(FormFontPixelSize);
    setFont(formFont);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    layout->addWidget(PageControl1);

    Connection = new QWidget;
    Connection->setObjectName(QStringLiteral("Connection"));
    PageControl1->addTab(Connection, QStringLiteral("Connection"));
    Windows = new QWidget;
    Windows->setObjectName(QStringLiteral("Windows"));
    PageControl1->addTab(Windows, QStringLiteral("Windows"));
    PageControl1->setCurrentWidget(Connection);

    Label3 = MakeLabel(Connection, "Label3", QStringLiteral("Status:"), 8, 8);
    StatusLabel = MakeLabel(Connection, "StatusLabel", QString(), 48, 8);
    Label1 = MakeLabel(Connection, "Label1", QStringLiteral("Username:"), 8, 48);
    Label2 = MakeLabel(Connection, "Label2", QStringLiteral("Password:"), 144, 48);

    UsernameEdit = new QLineEdit(Connection);
    UsernameEdit->setObjectName(QStringLiteral("UsernameEdit"));
    UsernameEdit->setGeometry(8, 64, 121, UsernameEdit->sizeHint().height());
    PasswordEdit = new QLineEdit(Connection);
    PasswordEdit->setObjectName(QStringLiteral("PasswordEdit"));
    PasswordEdit->setGeometry(144, 64, 121, PasswordEdit->sizeHint().height());
    PasswordEdit->setEchoMode(QLineEdit::Password);
    // Created after the page control, so it is destroyed after the edit
    // that uses it (children go in creation order).
    auto* passwordStyle = new TTildePasswordStyle;
    passwordStyle->setParent(this);
    PasswordEdit->setStyle(passwordStyle);

    LoginButton = MakeButton(Connection, "LoginButton", QStringLiteral("Login"), QRect(24, 96, 75, 25));
    ResetConnectionButton = MakeButton(Connection, "ResetConnectionButton", QStringLiteral("Reset Connection"),
        QRect(120, 96, 121, 25));

    static const char* const titles[8] = {"Quickstrike Down", "Quickstrike Up", "Bollinger Long (NASDAQ)",
        "Bollinger Short (NASDAQ)", "Bollinger Long (NYSE)", "Bollinger Short (NYSE)", "Break Lo 5", "Break Hi 5"};
    for (int i = 0; i < 8; ++i) {
        const QByteArray name = "Button" + QByteArray::number(i + 1);
        WindowButtons[i] = MakeButton(Windows, name.constData(), QString::fromLatin1(titles[i]),
            QRect(i % 2 == 0 ? 8 : 168, 8 + 32 * (i / 2), WindowButtonWidth, WindowButtonHeight));
        WindowButtons[i]->setProperty("Tag", i + 1);
    }
    AdditionalAlerts1Button = MakeButton(Windows, "AdditionalAlerts1Button", QStringLiteral("Additional Alerts 1"),
        QRect(8, 136, WindowButtonWidth, WindowButtonHeight));
    AdditionalAlerts1Button->setProperty("Tag", 9);
    AdditionalAlerts1Button->hide();
    AdditionalAlerts2Button = MakeButton(Windows, "AdditionalAlerts2Button", QStringLiteral("Additional Alerts 2"),
        QRect(168, 136, WindowButtonWidth, WindowButtonHeight));
    AdditionalAlerts2Button->setProperty("Tag", 10);
    AdditionalAlerts2Button->hide();
    ConfigureExternalLinkingButton = MakeButton(Windows, "ConfigureExternalLinkingButton",
        QStringLiteral("Configure External Linking"), QRect(88, 168, WindowButtonWidth, WindowButtonHeight));

    // Tab order: the order of the design table.
    QWidget::setTabOrder(UsernameEdit, PasswordEdit);
    QWidget::setTabOrder(PasswordEdit, LoginButton);
    QWidget::setTabOrder(LoginButton, ResetConnectionButton);
    QWidget* previous = nullptr;
    for (QPushButton* button : WindowButtons) {
        if (previous)
            QWidget::setTabOrder(previous, button);
        previous = button;
    }
    QWidget::setTabOrder(previous, AdditionalAlerts1Button);
    QWidget::setTabOrder(AdditionalAlerts1Button, AdditionalAlerts2Button);
    QWidget::setTabOrder(AdditionalAlerts2Button, ConfigureExternalLinkingButton);
    UsernameEdit->setFocus();

    connect(LoginButton, &QPushButton::clicked, this, [this] { RunShowingErrors([this] { LoginButtonClick(); }); });
    // Beyond the button: Enter in either edit logs in too.
    connect(UsernameEdit, &QLineEdit::returnPressed, this, [this] { RunShowingErrors([this] { LoginButtonClick(); }); });
    connect(PasswordEdit, &QLineEdit::returnPressed, this, [this] { RunShowingErrors([this] { LoginButtonClick(); }); });
    connect(ResetConnectionButton, &QPushButton::clicked, this,
        [this] { RunShowingErrors([this] { ResetConnectionButtonClick(); }); });
    for (QPushButton* button : WindowButtons)
        connect(button, &QPushButton::clicked, this, [this, button] { RunShowingErrors([&] { ShowAlertWindow(button); }); });
    for (QPushButton* button : {AdditionalAlerts1Button, AdditionalAlerts2Button})
        connect(button, &QPushButton::clicked, this, [this, button] { RunShowingErrors([&] { ShowAlertWindow(button); }); });
    connect(ConfigureExternalLinkingButton, &QPushButton::clicked, this,
        [this] { RunShowingErrors([this] { ConfigureExternalLinkingButtonClick(); }); });
}

void TMainForm::FormCreate(const QString& RegistryFileName)
{
    TMainConnection* connection = MainConnection();
    connection->OnStatusChange = [this] { UpdateStatus(); };
    UpdateStatus();

    for (TAlertForm*& window : AlertWindows)
        window = new TAlertForm(); // no owner: never destroyed
    for (int i = 0; i < 8; ++i)
        AlertWindows[i]->SetKind(i + 1);

    LoadAdditionalAlertWindows();

    FRegistrySettings = std::make_unique<TRegistrySettings>(RegistryFileName);
    try {
        FRegistrySettings->Load();
    } catch (const ERegistryException& e) {
        // Told once; the defaults are used and start-up goes on.
        ShowErrorBox(e.Message());
    }
    FRegistrySettings->OpenKey(QString::fromLatin1(BrenikRegistryKey), true);

    FRegistryProblems.clear();
    UsernameEdit->setText(ReadRegistryString(MainSection, QStringLiteral("User"), QString()));
    const int left = ReadRegistryInteger(MainSection, QStringLiteral("Left"), x());
    const int top = ReadRegistryInteger(MainSection, QStringLiteral("Top"), y());
    move(OntoScreen(QRect(QPoint(left, top), frameGeometry().size())).topLeft());

    RestorePlacements();

    setWindowTitle(QString::fromLatin1(TBrenikProgram::VersionCaption));

    // Told once, after everything else was restored: skipping the rest of
    // the start-up for one bad value would have every other window's
    // placement overwritten with defaults at exit.
    if (!FRegistryProblems.isEmpty())
        ShowErrorBox(QStringLiteral("Some settings could not be read and keep their defaults:\n")
            + FRegistryProblems.join(QLatin1Char('\n')));
}

QString TMainForm::ReadRegistryString(const QString& Section, const QString& Name, const QString& Default)
{
    try {
        return FRegistrySettings->ReadString(Section, Name, Default);
    } catch (const ERegistryException& e) {
        FRegistryProblems << e.Message();
        return Default;
    }
}

qint32 TMainForm::ReadRegistryInteger(const QString& Section, const QString& Name, qint32 Default)
{
    try {
        return FRegistrySettings->ReadInteger(Section, Name, Default);
    } catch (const ERegistryException& e) {
        FRegistryProblems << e.Message();
        return Default;
    }
}

void TMainForm::LoadAdditionalAlertWindows()
{
    const TIniFile ini(FIniFileName);
    LoadAdditionalAlertWindow(ini, QStringLiteral("Additional Alerts 1"), AdditionalAlerts1Button, AlertWindows[8]);
    LoadAdditionalAlertWindow(ini, QStringLiteral("Additional Alerts 2"), AdditionalAlerts2Button, AlertWindows[9]);
}

void TMainForm::LoadAdditionalAlertWindow(const TIniFile& Ini, const QString& Section, QPushButton* Button, TAlertForm* Window)
{
    if (Ini.ReadString(Section, QStringLiteral("visible"), QStringLiteral("0")) != QLatin1String("1"))
        return;
    Button->show();
    Window->LoadDefinition(Ini, Section);
    Button->setText(Window->windowTitle());
}

void TMainForm::RestorePlacements()
{
    for (TAlertForm* window : AlertWindows) {
        const QString section = WindowSection(window);
        const QRect current = window->normalGeometry();
        int width = ReadRegistryInteger(section, QStringLiteral("Width"), current.width());
        int height = ReadRegistryInteger(section, QStringLiteral("Height"), current.height());
        const int left = ReadRegistryInteger(section, QStringLiteral("Left"), current.x());
        const int top = ReadRegistryInteger(section, QStringLiteral("Top"), current.y());
        if (width <= 0 || height <= 0) {
            width = current.width();
            height = current.height();
        }
        const QRect target = OntoScreen(QRect(left, top, std::min(width, MaxWindowSide), std::min(height, MaxWindowSide)));
        // Left alone when nothing changes, so that a window never placed
        // keeps being placed by the window manager.
        if (target != current)
            window->setGeometry(target);

        if (ReadRegistryInteger(section, QStringLiteral("Visible"), window->isVisible() ? 1 : 0) != 0)
            window->show();
        ApplyState(window, ReadRegistryInteger(section, QStringLiteral("State"), StateOf(window)));
    }
}

void TMainForm::showEvent(QShowEvent* Event)
{
    QWidget::showEvent(Event);
    if (!Event->spontaneous())
        RunShowingErrors([this] { FormShow(); });
}

void TMainForm::FormShow()
{
    if (FAlertTestForm)
        FAlertTestForm->show();
}

void TMainForm::closeEvent(QCloseEvent* Event)
{
    QWidget::closeEvent(Event);
    // Closing the main window ends the program, whatever else is open.
    if (Event->isAccepted())
        QCoreApplication::quit();
}

void TMainForm::FormDestroy()
{
    if (!FRegistrySettings)
        return;
    RunShowingErrors([this] { SavePlacements(); });
    // Written even when an earlier step failed, like a registry that keeps
    // every value as soon as it is set.
    RunShowingErrors([this] { FRegistrySettings->Save(); });
    FRegistrySettings.reset();
}

void TMainForm::SavePlacements()
{
    TRegistrySettings& registry = *FRegistrySettings;
    for (TAlertForm* window : AlertWindows) {
        if (!window)
            continue;
        const QString section = WindowSection(window);
        const QRect normal = window->normalGeometry();
        registry.WriteInteger(section, QStringLiteral("Width"), normal.width());
        registry.WriteInteger(section, QStringLiteral("Height"), normal.height());
        registry.WriteInteger(section, QStringLiteral("Left"), normal.x());
        registry.WriteInteger(section, QStringLiteral("Top"), normal.y());
        registry.WriteInteger(section, QStringLiteral("State"), StateOf(window));
        registry.WriteString(section, QStringLiteral("Visible"), window->isVisible() ? QStringLiteral("1") : QStringLiteral("0"));
    }
    registry.WriteString(MainSection, QStringLiteral("User"), UsernameEdit->text());
    registry.WriteInteger(MainSection, QStringLiteral("Left"), x());
    registry.WriteInteger(MainSection, QStringLiteral("Top"), y());
}

void TMainForm::LoginButtonClick()
{
    MainConnection()->SetUserName(UsernameEdit->text());
    MainConnection()->SetPassword(PasswordEdit->text());
}

void TMainForm::ResetConnectionButtonClick()
{
    MainConnection()->Reset();
}

void TMainForm::ShowAlertWindow(QPushButton* Button)
{
    const int tag = Button->property("Tag").toInt();
    Assert(tag >= 1 && tag <= AlertWindowCount, "BrenikAlertsMain");
    TAlertForm* window = AlertWindows[tag - 1];
    if (!window)
        return; // start-up failed before the window existed
    if (window->isMinimized())
        window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
    window->show();
    window->raise();
    window->activateWindow();
}

void TMainForm::ConfigureExternalLinkingButtonClick()
{
    if (FExternalLinkingWindow)
        FExternalLinkingWindow->ShowAndRestore();
}

void TMainForm::UpdateStatus()
{
    StatusLabel->setText(MainConnection()->StatusText());
    StatusLabel->adjustSize();
}

// ---------------------------------------------------------------------------
// TBrenikProgram

TBrenikProgram::TBrenikProgram(const QString& RegistryFileName, const QString& IniFileName)
{
    QCoreApplication::setApplicationName(QString::fromLatin1(Title));
    FMainForm = std::make_unique<TMainForm>(RegistryFileName, IniFileName);
    FAlertTestForm = std::make_unique<TAlertTestForm>();
    FExternalLinkingWindow = std::make_unique<TExternalLinkingWindow>(FMainForm->RegistrySettings());
    FMainForm->SetAlertTestForm(FAlertTestForm.get());
    FMainForm->SetExternalLinkingWindow(FExternalLinkingWindow.get());
    SetSymbolHandOff([window = FExternalLinkingWindow.get()](const QByteArray& Symbol) { window->SendSymbol(Symbol); });
}

TBrenikProgram::~TBrenikProgram()
{
    SetSymbolHandOff({});
    FExternalLinkingWindow.reset();
    FAlertTestForm.reset();
    FMainForm.reset();
}
