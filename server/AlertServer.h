// The local alert server: listens on TCP, serves any number of clients on the
// calling thread's event loop and pushes the alerts of its one source (the
// synthetic market or a replay file) to every connection that listens for
// them.
//
// Usage (in-process, as the tests do):
//   TServerOptions options;
//   options.Port = 0;                 // any free port
//   TAlertServer server(options);
//   if (!server.Listen()) ... server.ErrorText() ...
//   ... connect to 127.0.0.1:server.Port() ...
// Everything happens from the event loop of the thread that created the
// server; destroying the server closes every connection.
//
// The alert source only runs while at least one connection listens: a replay
// starts when the first client listens, and pauses while nobody does.
#pragma once

#include "AlertBatch.h"
#include "AlertSource.h"
#include "ServerOptions.h"

#include <QElapsedTimer>
#include <QHash>
#include <QHostAddress>
#include <QQueue>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

class QTcpServer;
class TClientSession;
struct TDecodedRequest;

class TAlertServer {
public:
    // Most alerts one turn of the loop takes from the source, and the least
    // time between two batches: many alerts travel in one compressed block.
    static constexpr qsizetype MaxAlertsPerTurn = 5000;
    static constexpr int MinBatchIntervalMs = 5;
    // Connections the system may queue before the server accepts them.
    static constexpr int ListenBacklog = 1024;
    // Out of descriptors: accepting resumes after this pause.
    static constexpr int AcceptRetryDelayMs = 100;
    // Session identifiers remembered for logins that present them again.
    static constexpr qsizetype MaxRememberedSessions = 100000;

    struct TStatistics {
        quint64 Connections = 0;     // accepted since the start
        quint64 AlertsGenerated = 0; // taken from the source
        quint64 AlertsSent = 0;      // queued to connections (one per receiver)
        quint64 AlertsDropped = 0;   // skipped for connections whose output backed up
    };

    explicit TAlertServer(TServerOptions Options);
    ~TAlertServer();
    TAlertServer(const TAlertServer&) = delete;
    TAlertServer& operator=(const TAlertServer&) = delete;

    // Where log lines go: one line each, without a line break. Unset: to
    // standard error with the time of day in front. Set it before Listen().
    std::function<void(const QString& Line)> OnLog;

    // Loads the replay file (if any), prepares the source and starts
    // listening. False: ErrorText() tells why; the server does nothing.
    bool Listen();
    const QString& ErrorText() const { return FErrorText; }
    // The address and port actually listened on (the chosen one for port 0).
    QHostAddress Address() const;
    quint16 Port() const;

    const TServerOptions& Options() const { return FOptions; }
    qsizetype ConnectionCount() const { return qsizetype(FSessions.size()); }
    TStatistics Statistics() const;

private:
    friend class TClientSession;

    // For the connections.
    void LogRequest(quint64 Number, const TDecodedRequest& Request) const;
    void LogInfo(quint64 Number, const QString& Text) const;
    void LogWarning(quint64 Number, const QString& Text) const;
    void Log(const QString& Line) const;
    void RequestFlush(TClientSession* Session);
    void SessionClosed();
    void ListenersChanged();
    QByteArray SessionIdFor(const QByteArray& UserName, const QByteArray& Presented);

    void AcceptConnections();
    void RunTurn();
    void ScheduleTurn();
    void RunSource();
    void ScheduleSource();
    void UpdateListeners();
    qint64 SourceClockMs() const;

    TServerOptions FOptions;
    QString FErrorText;
    std::unique_ptr<QTcpServer> FTcpServer;
    std::unique_ptr<TAlertSource> FSource;
    std::unordered_map<quint64, std::unique_ptr<TClientSession>> FSessions;
    quint64 FNextNumber = 1;
    std::vector<TClientSession*> FDirty; // sessions with output queued this turn
    bool FReapNeeded = false;

    // Source clock: runs only while someone listens.
    QElapsedTimer FClock;
    qint64 FPausedMs = 0;      // total time spent paused
    qint64 FPauseStartMs = 0;  // FClock reading when the current pause began
    bool FSourceRunning = false;
    bool FListenersDirty = false;
    bool FSourceFinishedLogged = false;
    qint64 FLastBatchMs = -MinBatchIntervalMs;
    TAlertBatch FBatch;
    std::vector<char> FWanted;

    QHash<QByteArray, QByteArray> FSessionUsers; // session id -> user name
    QQueue<QByteArray> FSessionOrder;            // oldest first, for forgetting

    TStatistics FStatistics;
    QTimer FTurnTimer;   // deferred flush of this turn's output
    QTimer FSourceTimer; // the next batch of alerts
};
