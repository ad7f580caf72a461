#include "MainConnectionUnit.h"

#include "IniFiles.h"
#include "MiscDebugWindows.h"
#include "WakeMeSoon.h"

#include <QLocale>
#include <QStringDecoder>
#include <QTimer>

namespace {

const char* const TickLocation = "MainConnectionUnit, TMainConnection.Tick";

BRENIK_DECLARE_EXCEPTION(EUnknownTickException, Exception)

// Lines end at CR, LF or CR LF; a final line break adds no empty line.
QList<QByteArray> SplitLines(const QByteArray& Text)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < Text.size()) {
        const char c = Text[i];
        if (c != '\r' && c != '\n') {
            ++i;
            continue;
        }
        lines.append(Text.mid(start, i - start));
        i += (c == '\r' && i + 1 < Text.size() && Text[i + 1] == '\n') ? 2 : 1;
        start = i;
    }
    if (start < Text.size())
        lines.append(Text.mid(start));
    return lines;
}

// Server text for people: UTF-8 when it is valid UTF-8, otherwise the bytes
// of a single-byte code page read as Latin-1, so that nothing is replaced.
QString TextFromServer(const QByteArray& Bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(Bytes);
    return decoder.hasError() ? QString::fromLatin1(Bytes) : text;
}

} // namespace

TMainConnection::TMainConnection(const QString& IniFileName)
    : FTimer(std::make_unique<QTimer>()),
      FConnectScheduler(std::make_unique<TWakeMeSoon>())
{
    FConnectScheduler->OnWakeUp = [this] { DeferredConnect(); };

    FTimer->setInterval(TickIntervalMs);
    // Qt cannot carry an exception through its event loop: a failing tick is
    // reported and the next one runs as usual.
    QObject::connect(FTimer.get(), &QTimer::timeout, FTimer.get(), [this] {
        try {
            Tick();
        } catch (const std::exception& e) {
            ReportException(e, QString::fromLatin1(TickLocation));
        } catch (...) {
            ReportException(EUnknownTickException(QStringLiteral("Unknown exception")),
                            QString::fromLatin1(TickLocation));
        }
    });
    FTimer->start();

    const TIniFile ini(IniFileName);
    FServerAddress = ini.ReadString(QStringLiteral("Connection"), QStringLiteral("Address"),
                                    QString::fromLatin1(DefaultServerAddress));
    for (const QString& category : ini.ReadSection(QStringLiteral("Subscriptions")))
        FSubscriptions.append(category.toUtf8());
    FSubscriptions.append(QByteArray(MainCategory));
}

TMainConnection::~TMainConnection()
{
    // The conversation fails its waiting callbacks as it goes; those must not
    // reach a main window or alert windows that may already be gone.
    OnStatusChange = nullptr;
    FListeners.clear();
    FTimer->stop();
    FConversation.reset();
}

void TMainConnection::SetUserName(const QString& Value)
{
    const QByteArray bytes = Value.toUtf8();
    if (bytes == FUserName && !FStopped)
        return;
    FUserName = bytes;
    Reset();
}

void TMainConnection::SetPassword(const QString& Value)
{
    const QByteArray bytes = Value.toUtf8();
    if (bytes == FPassword && !FStopped)
        return;
    FPassword = bytes;
    Reset();
}

void TMainConnection::Reset()
{
    FIdleTicks = 0;
    Reconnect();
    // The new conversation is built on a later turn, so it logs in with the
    // cleared flag and session identifier.
    FStopped = false;
    FSessionId.clear();
    SetStatus(QString());
}

void TMainConnection::SetStatus(const QString& Text)
{
    if (Text == FStatusText)
        return;
    FStatusText = Text;
    if (OnStatusChange) {
        try {
            const auto event = OnStatusChange;
            event();
        } catch (...) {
            // A status listener's failure is not the session's concern.
        }
    }
}

void TMainConnection::Reconnect()
{
    DropConversation();
    FConnectScheduler->Request();
}

void TMainConnection::DropConversation()
{
    if (!FConversation)
        return;
    SetStatus(QStringLiteral("Disconnected."));
    // Forgotten before it is destroyed: its failure calls (a waiting periodic
    // ping sets the status) then see no conversation.
    std::unique_ptr<TTalkWithServer> old = std::move(FConversation);
    old.reset();
}

void TMainConnection::DeferredConnect()
{
    if (!FConversation)
        CreateConversation();
    if (FConversation->State() == csNotConnected)
        FConversation->Connect();
}

void TMainConnection::CreateConversation()
{
    FNextPingTime = Now().addMSecs(PingIntervalMs);
    FConversation = std::make_unique<TTalkWithServer>();
    FConversation->ServerAddress = FServerAddress;
    QueueLogin();
}

void TMainConnection::QueueLogin()
{
    if (!HaveCredentials() || FStopped)
        return;
    TTalkWithServer& c = *FConversation;
    c.SendMessage(BuildMessage("command", "login", "username", FUserName, "password", FPassword,
                               "session_id", FSessionId),
                  true, [this](bool S, const QByteArray& R, const TMessageToServer& M) {
                      LoginResponse(S, R, M);
                  });
    c.SendMessage(BuildMessage("command", "listen_for_alerts"), true,
                  [this](bool S, const QByteArray& R, const TMessageToServer& M) {
                      ListenForAlertsResponse(S, R, M);
                  });
    for (const QByteArray& category : FSubscriptions)
        c.SendMessage(BuildMessage("command", "add_alert_category", "category", category));
    c.SendMessage(BuildMessage("command", "ping", "response", '1'), false,
                  [this](bool S, const QByteArray& R, const TMessageToServer& M) {
                      FirstPingResponse(S, R, M);
                  });
}

void TMainConnection::LoginResponse(bool Success, const QByteArray& Response,
                                    const TMessageToServer& /*Message*/)
{
    if (!Success)
        return;
    try {
        const QList<QByteArray> lines = SplitLines(Response);
        if (lines.isEmpty())
            return;
        if (lines[0] == "STOP") {
            FStopped = true;
            if (lines.size() > 1)
                SetStatus(TextFromServer(lines[1]));
        } else if (lines[0] == "SESSION ID") {
            if (lines.size() > 1)
                FSessionId = lines[1];
        }
    } catch (...) {
        // A login answer the client cannot read changes nothing.
    }
}

void TMainConnection::FirstPingResponse(bool Success, const QByteArray& /*Response*/,
                                        const TMessageToServer& /*Message*/)
{
    if (Success)
        SetStatus(QStringLiteral("Connected!"));
}

void TMainConnection::Tick()
{
    ReapConversation();
    if (FStopped || !HaveCredentials())
        return;
    SendPingIfDue();
    ++FIdleTicks;
    if (FIdleTicks >= WatchdogTicks) {
        FIdleTicks = 0;
        Reconnect();
    }
}

void TMainConnection::ReapConversation()
{
    if (FConversation && FConversation->State() == csClosed) {
        std::unique_ptr<TTalkWithServer> old = std::move(FConversation);
        old.reset();
        if (HaveCredentials() && !FStopped)
            FConnectScheduler->Request();
    }
}

void TMainConnection::SendPingIfDue()
{
    if (!FConversation || !(Now() > FNextPingTime))
        return;
    // At most one periodic ping has a live callback.
    FConversation->CancelCallback(FLastPing);
    FLastPing = FConversation->SendMessage(
        BuildMessage("command", "ping", "response", '1'), false,
        [this](bool S, const QByteArray& R, const TMessageToServer& M) { PingResponse(S, R, M); });
    FNextPingTime = Now().addMSecs(PingIntervalMs);
}

// Runs for the answer and also for the failure call of a closing
// conversation: either way the connection was looked after just now.
void TMainConnection::PingResponse(bool /*Success*/, const QByteArray& /*Response*/,
                                   const TMessageToServer& /*Message*/)
{
    FIdleTicks = 0;
    SetStatus(QStringLiteral("Working:  ")
              + QLocale::system().toString(Now().time(), QLocale::LongFormat));
}

void TMainConnection::AddAlertListener(TAlertCallback Listener)
{
    FListeners.append(std::move(Listener));
}

void TMainConnection::ListenForAlertsResponse(bool Success, const QByteArray& Response,
                                              const TMessageToServer& /*Message*/)
{
    if (!Success)
        return;
    // A copy: a listener may register another one while the alert goes round.
    const QList<TAlertCallback> listeners = FListeners;
    for (const TAlertCallback& listener : listeners) {
        if (!listener)
            continue;
        try {
            listener(Response);
        } catch (...) {
            // One window's failure must not keep the alert from the others.
        }
    }
}

TMainConnection* MainConnection()
{
    // Lives until the process ends, on purpose: nothing may outlive it.
    static TMainConnection* const instance = new TMainConnection();
    return instance;
}
