// The session manager: keeps the client logged in to the alert server for as
// long as the program runs.
//
// It holds the credentials, reads the server address and the alert categories
// from ZVR.ini, builds a conversation and queues the login sequence on it
// (login, listen_for_alerts, one add_alert_category per category, a first
// ping), pings every PingIntervalMs, rebuilds the conversation when pings stay
// unanswered for WatchdogTicks ticks or when the connection is lost, obeys the
// server's "STOP", keeps a one-line status text, and fans every alert out to
// the registered listeners.
//
// MainConnection() is the one instance of the program: created on first use
// and never destroyed. Tests construct their own instances.
//
// Everything runs on the GUI thread: the 500 ms tick, the deferred connect and
// the conversation's callbacks all come from the event loop. Conversations are
// created only by the deferred connect and destroyed only by the tick, by
// Reset and by the setters - never from inside a conversation callback.
#pragma once

#include "TalkWithServer.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <functional>
#include <memory>

class QTimer;
class TWakeMeSoon;

// Receives the text of one alert exactly as the server sent it.
using TAlertCallback = std::function<void(const QByteArray& Data)>;

class TMainConnection {
public:
    static constexpr const char* DefaultIniFileName = "ZVR.ini";
    // Used when ZVR.ini has no [Connection] Address.
    static constexpr const char* DefaultServerAddress = "localhost:9339";
    // Always requested, after the categories named in ZVR.ini.
    static constexpr const char* MainCategory = "BRENIK-main";
    static constexpr int TickIntervalMs = 500;
    // A periodic ping leaves on the first tick after this much time.
    static constexpr qint64 PingIntervalMs = 4500;
    // This many ticks in a row without a ping answer (or its failure call)
    // rebuild the connection.
    static constexpr int WatchdogTicks = 25;

    // Reads ZVR.ini (IniFileName, relative to the current directory unless it
    // says otherwise; a missing file gives the defaults) and starts the tick
    // timer. Nothing connects until Reset or a changed credential.
    explicit TMainConnection(const QString& IniFileName = QString::fromLatin1(DefaultIniFileName));
    // Only instances other than MainConnection() are ever destroyed (tests):
    // the conversation goes without any status event or alert being raised.
    ~TMainConnection();
    TMainConnection(const TMainConnection&) = delete;
    TMainConnection& operator=(const TMainConnection&) = delete;

    // Stored as UTF-8. A value that differs from the stored one, or any value
    // while the server has stopped the session, stores it and resets.
    void SetUserName(const QString& Value);
    void SetPassword(const QString& Value);
    // Drops the conversation (status "Disconnected." if there was one), clears
    // the stop flag and the session identifier, empties the status and asks
    // for a new conversation on the next turn of the event loop.
    void Reset();

    // The status line: "", "Disconnected.", "Connected!", "Working:  " + the
    // local time, or the second line of the server's "STOP".
    const QString& StatusText() const { return FStatusText; }
    // Raised after every change of StatusText; whatever it throws is dropped.
    std::function<void()> OnStatusChange;

    // Listeners are called in registration order and never removed.
    void AddAlertListener(TAlertCallback Listener);
    // The callback of the standing listen request (also fed by the alert test
    // window): on Success every listener gets Response; a throwing listener
    // does not stop the next one.
    void ListenForAlertsResponse(bool Success, const QByteArray& Response,
                                 const TMessageToServer& Message);

    // One tick of the 500 ms timer: replaces a closed conversation, sends a
    // ping when due, counts towards the watchdog. Tests call it directly
    // (after stopping Timer()).
    void Tick();
    // The clock, local time. Tests move it.
    std::function<QDateTime()> Now = [] { return QDateTime::currentDateTime(); };

    // State, for the main window, diagnostics and tests.
    const QByteArray& UserName() const { return FUserName; }
    const QByteArray& Password() const { return FPassword; }
    const QString& ServerAddress() const { return FServerAddress; }
    bool Stopped() const { return FStopped; }
    const QByteArray& SessionId() const { return FSessionId; }
    qint32 IdleTicks() const { return FIdleTicks; }
    const QList<QByteArray>& Subscriptions() const { return FSubscriptions; }
    TTalkWithServer* Conversation() const { return FConversation.get(); }
    const TMessageHandle& LastPing() const { return FLastPing; }
    const QDateTime& NextPingTime() const { return FNextPingTime; }
    bool HaveCredentials() const { return !FUserName.isEmpty() && !FPassword.isEmpty(); }
    QTimer* Timer() const { return FTimer.get(); }

private:
    void SetStatus(const QString& Text);
    void Reconnect();
    void DropConversation();
    void DeferredConnect();
    void CreateConversation();
    void QueueLogin();
    void ReapConversation();
    void SendPingIfDue();
    void LoginResponse(bool Success, const QByteArray& Response, const TMessageToServer& Message);
    void FirstPingResponse(bool Success, const QByteArray& Response, const TMessageToServer& Message);
    void PingResponse(bool Success, const QByteArray& Response, const TMessageToServer& Message);

    QByteArray FUserName;
    QByteArray FPassword;
    QString FServerAddress;
    bool FStopped = false;
    QByteArray FSessionId;
    std::unique_ptr<QTimer> FTimer;
    qint32 FIdleTicks = 0;
    QList<QByteArray> FSubscriptions;
    std::unique_ptr<TTalkWithServer> FConversation;
    std::unique_ptr<TWakeMeSoon> FConnectScheduler; // runs DeferredConnect
    TMessageHandle FLastPing;
    QDateTime FNextPingTime;
    QList<TAlertCallback> FListeners;
    QString FStatusText;
};

// The program's one session manager, created on first call, never destroyed.
TMainConnection* MainConnection();
