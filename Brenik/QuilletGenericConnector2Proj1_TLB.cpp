#include "QuilletGenericConnector2Proj1_TLB.h"

#include "RegistrySettings.h"

#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QTime>
#include <QVBoxLayout>

namespace {

const QString SymbolPlaceholder = QStringLiteral("{symbol}");
const QString CommandValue = QStringLiteral("Command");
const QString CopyToClipboardValue = QStringLiteral("Copy To Clipboard");
const QString ShowWindowValue = QStringLiteral("Show Window For Every Symbol");

// Out of the box a clicked symbol lands on the clipboard and nothing else
// happens, so a first click surprises no one.
constexpr bool DefaultCopyToClipboard = true;
constexpr bool DefaultShowForEverySymbol = false;

QString Shown(const QString& Symbol)
{
    return Symbol.isEmpty() ? QStringLiteral("(empty symbol)") : Symbol;
}

} // namespace

const QString TQuilletGenericConnector2X::SettingsKey =
    QString::fromLatin1(BrenikRegistryKey) + QStringLiteral("\\External Linking");

TQuilletGenericConnector2X::TQuilletGenericConnector2X(QWidget* Owner, TRegistrySettings* Settings)
    : QWidget(Owner), FSettings(Settings)
{
    setObjectName(QStringLiteral("QuilletGenericConnector2X"));
    auto* layout = new QVBoxLayout(this);

    auto* intro = new QLabel(QStringLiteral("Symbols you click in the alert windows are handed to other programs from here."), this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    layout->addWidget(new QLabel(QStringLiteral("Link command:"), this));
    LinkCommandEdit = new QLineEdit(this);
    LinkCommandEdit->setObjectName(QStringLiteral("LinkCommandEdit"));
    LinkCommandEdit->setPlaceholderText(QStringLiteral("e.g.  notify-send \"Brenik\" {symbol}"));
    layout->addWidget(LinkCommandEdit);

    auto* hint = new QLabel(QStringLiteral(
        "The program is started directly, without a shell. {symbol} in an argument is replaced by "
        "the clicked symbol; without it the symbol is added as the last argument. Quote words "
        "holding blanks with '...' or \"...\"."), this);
    hint->setWordWrap(true);
    layout->addWidget(hint);

    CommandErrorLabel = new QLabel(this);
    CommandErrorLabel->setObjectName(QStringLiteral("CommandErrorLabel"));
    CommandErrorLabel->setWordWrap(true);
    CommandErrorLabel->setStyleSheet(QStringLiteral("color: #b00000"));
    CommandErrorLabel->hide();
    layout->addWidget(CommandErrorLabel);

    CopyToClipboardCheck = new QCheckBox(QStringLiteral("Copy symbol to the clipboard"), this);
    CopyToClipboardCheck->setObjectName(QStringLiteral("CopyToClipboardCheck"));
    CopyToClipboardCheck->setChecked(DefaultCopyToClipboard);
    layout->addWidget(CopyToClipboardCheck);

    ShowWindowCheck = new QCheckBox(QStringLiteral("Show this window for every symbol"), this);
    ShowWindowCheck->setObjectName(QStringLiteral("ShowWindowCheck"));
    ShowWindowCheck->setChecked(DefaultShowForEverySymbol);
    layout->addWidget(ShowWindowCheck);

    layout->addWidget(new QLabel(QStringLiteral("Last symbols linked:"), this));
    RecentSymbolsList = new QListWidget(this);
    RecentSymbolsList->setObjectName(QStringLiteral("RecentSymbolsList"));
    layout->addWidget(RecentSymbolsList, 1);

    LastLinkLabel = new QLabel(this);
    LastLinkLabel->setObjectName(QStringLiteral("LastLinkLabel"));
    LastLinkLabel->setWordWrap(true);
    layout->addWidget(LastLinkLabel);

    connect(LinkCommandEdit, &QLineEdit::textChanged, this, &TQuilletGenericConnector2X::LinkCommandEditChanged);
    connect(CopyToClipboardCheck, &QCheckBox::toggled, this,
        [this](bool On) { StoreInteger(CopyToClipboardValue, On); });
    connect(ShowWindowCheck, &QCheckBox::toggled, this,
        [this](bool On) { StoreInteger(ShowWindowValue, On); });
}

TQuilletGenericConnector2X::~TQuilletGenericConnector2X() = default;

// ---------------------------------------------------------------------------
// The dispatch interface

void TQuilletGenericConnector2X::SetProperty(int DispId, const QVariant& Value)
{
    switch (DispId) {
    case DispIdActive:
        if (Value.typeId() != QMetaType::Bool)
            throw EOleException(QStringLiteral("Type mismatch: property %1 takes a Boolean.").arg(DispId));
        FActive = Value.toBool();
        return;
    case DispIdSymbol:
        if (Value.typeId() != QMetaType::QString)
            throw EOleException(QStringLiteral("Type mismatch: property %1 (Symbol) takes a string.").arg(DispId));
        FSymbol = Value.toString();
        return;
    case DispIdShowWindow:
        throw EOleException(QStringLiteral("Property %1 is read-only.").arg(DispId));
    default:
        break;
    }
    throw EOleException(QStringLiteral("Unknown property %1.").arg(DispId));
}

QVariant TQuilletGenericConnector2X::GetProperty(int DispId) const
{
    switch (DispId) {
    case DispIdActive:
        return FActive;
    case DispIdSymbol:
        return FSymbol;
    case DispIdShowWindow:
        return qint32(ShowForEverySymbol() ? 0 : 1);
    default:
        break;
    }
    throw EOleException(QStringLiteral("Unknown property %1.").arg(DispId));
}

void TQuilletGenericConnector2X::Link()
{
    if (!FActive)
        return;
    const QString symbol = FSymbol;
    AddRecent(symbol);
    QStringList done;
    if (CopyToClipboard()) {
        QGuiApplication::clipboard()->setText(symbol);
        done << QStringLiteral("copied to the clipboard");
    }
    LastLinkLabel->setText(QStringLiteral("%1: %2").arg(Shown(symbol), done.isEmpty() ? QStringLiteral("nothing to do") : done.join(QStringLiteral(", "))));
    RunLinkCommand(symbol);
}

void TQuilletGenericConnector2X::RunLinkCommand(const QString& Symbol)
{
    QStringList items;
    try {
        items = LinkArguments(LinkCommand(), Symbol);
    } catch (const EOleException& e) {
        LastLinkLabel->setText(QStringLiteral("%1: the link command cannot be used.").arg(Shown(Symbol)));
        throw EOleException(QStringLiteral("The link command cannot be used: %1").arg(e.Message()));
    }
    if (items.isEmpty())
        return;
    QProcess process;
    process.setProgram(items.first());
    process.setArguments(items.mid(1));
    process.setStandardInputFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        LastLinkLabel->setText(QStringLiteral("%1: the link command could not be started.").arg(Shown(Symbol)));
        throw EOleException(QStringLiteral("The link command could not start \"%1\": %2")
                                .arg(items.first(), process.errorString()));
    }
    LastLinkLabel->setText(LastLinkLabel->text() + QStringLiteral(", handed to %1").arg(items.first()));
}

void TQuilletGenericConnector2X::AddRecent(const QString& Symbol)
{
    FRecentSymbols.prepend(Symbol);
    while (FRecentSymbols.size() > MaxRecentSymbols)
        FRecentSymbols.removeLast();
    RecentSymbolsList->insertItem(0, QTime::currentTime().toString(QStringLiteral("HH:mm:ss")) + QStringLiteral("   ") + Shown(Symbol));
    while (RecentSymbolsList->count() > MaxRecentSymbols)
        delete RecentSymbolsList->takeItem(RecentSymbolsList->count() - 1);
}

// ---------------------------------------------------------------------------
// Settings

QString TQuilletGenericConnector2X::LinkCommand() const
{
    return LinkCommandEdit->text();
}

void TQuilletGenericConnector2X::SetLinkCommand(const QString& CommandLine)
{
    LinkCommandEdit->setText(CommandLine);
}

bool TQuilletGenericConnector2X::CopyToClipboard() const
{
    return CopyToClipboardCheck->isChecked();
}

void TQuilletGenericConnector2X::SetCopyToClipboard(bool On)
{
    CopyToClipboardCheck->setChecked(On);
}

bool TQuilletGenericConnector2X::ShowForEverySymbol() const
{
    return ShowWindowCheck->isChecked();
}

void TQuilletGenericConnector2X::SetShowForEverySymbol(bool On)
{
    ShowWindowCheck->setChecked(On);
}

void TQuilletGenericConnector2X::LoadSettings()
{
    if (!FSettings)
        return;
    QStringList problems;
    FLoading = true;
    try {
        SetLinkCommand(FSettings->ReadString(SettingsKey, CommandValue, QString()));
    } catch (const ERegistryException& e) {
        problems << e.Message();
    }
    try {
        SetCopyToClipboard(FSettings->ReadInteger(SettingsKey, CopyToClipboardValue, DefaultCopyToClipboard) != 0);
    } catch (const ERegistryException& e) {
        problems << e.Message();
    }
    try {
        SetShowForEverySymbol(FSettings->ReadInteger(SettingsKey, ShowWindowValue, DefaultShowForEverySymbol) != 0);
    } catch (const ERegistryException& e) {
        problems << e.Message();
    }
    FLoading = false;
    if (!problems.isEmpty())
        throw EOleException(QStringLiteral("Some external linking settings could not be read and keep their defaults:\n")
            + problems.join(QLatin1Char('\n')));
}

void TQuilletGenericConnector2X::LinkCommandEditChanged(const QString& Text)
{
    QString error;
    try {
        SplitCommandLine(Text);
    } catch (const EOleException& e) {
        error = e.Message();
    }
    CommandErrorLabel->setText(error.isEmpty() ? error : QStringLiteral("This command cannot be used: ") + error);
    CommandErrorLabel->setVisible(!error.isEmpty());
    if (FSettings && !FLoading)
        FSettings->WriteString(SettingsKey, CommandValue, Text);
}

void TQuilletGenericConnector2X::StoreInteger(const QString& Name, bool Value)
{
    if (FSettings && !FLoading)
        FSettings->WriteInteger(SettingsKey, Name, Value ? 1 : 0);
}

// ---------------------------------------------------------------------------
// The command line

QStringList TQuilletGenericConnector2X::SplitCommandLine(const QString& CommandLine)
{
    QStringList words;
    QString word;
    bool inWord = false; // true once the current word has begun, even if empty ("")
    const int n = CommandLine.size();
    for (int i = 0; i < n; ++i) {
        const QChar c = CommandLine.at(i);
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t')) {
            if (inWord) {
                words << word;
                word.clear();
                inWord = false;
            }
            continue;
        }
        inWord = true;
        if (c == QLatin1Char('\'')) {
            const int close = CommandLine.indexOf(QLatin1Char('\''), i + 1);
            if (close < 0)
                throw EOleException(QStringLiteral("a single quote is not closed."));
            word += CommandLine.mid(i + 1, close - i - 1);
            i = close;
        } else if (c == QLatin1Char('"')) {
            for (++i;; ++i) {
                if (i >= n)
                    throw EOleException(QStringLiteral("a double quote is not closed."));
                const QChar q = CommandLine.at(i);
                if (q == QLatin1Char('"'))
                    break;
                if (q == QLatin1Char('\\') && i + 1 < n
                    && (CommandLine.at(i + 1) == QLatin1Char('"') || CommandLine.at(i + 1) == QLatin1Char('\\')))
                    ++i;
                word += CommandLine.at(i);
            }
        } else if (c == QLatin1Char('\\')) {
            if (i + 1 >= n)
                throw EOleException(QStringLiteral("the command ends with a backslash."));
            word += CommandLine.at(++i);
        } else {
            word += c;
        }
    }
    if (inWord)
        words << word;
    return words;
}

QStringList TQuilletGenericConnector2X::LinkArguments(const QString& CommandLine, const QString& Symbol)
{
    QStringList items = SplitCommandLine(CommandLine);
    if (items.isEmpty())
        return items;
    bool substituted = false;
    for (int i = 1; i < items.size(); ++i) {
        if (items.at(i).contains(SymbolPlaceholder)) {
            items[i].replace(SymbolPlaceholder, Symbol);
            substituted = true;
        }
    }
    if (!substituted)
        items << Symbol;
    return items;
}
