// One client connection of the alert server, from the mode switch to the
// close: it inflates and decodes the client's requests, answers them, queues
// alerts for it and compresses everything queued in one turn of the event loop
// into one zlib block with one sync flush.
//
// Lifetime: created and owned by TAlertServer, one per accepted socket, and
// owns that socket. A session never destroys itself: when its connection ends
// it tells the server, which destroys it from its own deferred turn - never
// inside one of the socket's signals.
#pragma once

#include "RequestDecoder.h"
#include "ServerCompression.h"

#include <QByteArray>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <memory>
#include <vector>

class QTcpSocket;
class TAlertBatch;
class TAlertServer;

class TClientSession {
public:
    // Categories one connection may add; more are ignored (and logged).
    static constexpr qsizetype MaxCategories = 256;
    // How long a STOP answer, or a close after bad input, waits before the
    // socket is shut, and how long a graceful close may wait for a reader
    // that does not drain its data before the connection is cut.
    static constexpr int StopCloseDelayMs = 100;
    static constexpr int CloseGraceMs = 5000;
    // After the garbage fault the connection carries nothing useful; the
    // client normally hangs up at once, otherwise the server does then.
    static constexpr int GarbageCloseDelayMs = 2000;
    // The plain frame buffer is shrunk back after a burst larger than this.
    static constexpr qsizetype KeptBufferCapacity = 1024 * 1024;
    // The payload of a ping answer.
    static const QByteArray PingAnswer;

    enum class TState {
        ReadingModeSwitch,
        Streaming, // requests are read and answered
        Stopping,  // a STOP went out; input is ignored until the close
        Poisoned,  // garbage went out; nothing more is sent
        Closing,   // waiting for the last bytes to leave
        Closed,
    };

    TClientSession(TAlertServer& Server, std::unique_ptr<QTcpSocket> Socket, quint64 Number);
    ~TClientSession();
    TClientSession(const TClientSession&) = delete;
    TClientSession& operator=(const TClientSession&) = delete;

    quint64 Number() const { return FNumber; }
    TState State() const { return FState; }
    bool Closed() const { return FState == TState::Closed; }
    // Logged in and listening for alerts with a message identifier.
    bool Listening() const { return FState == TState::Streaming && FLoggedIn && FListenId > 0; }
    const QSet<QByteArray>& Categories() const { return FCategories; }

    // Queues the batch's alerts whose category this connection receives
    // (Wanted holds one flag per category of the batch). When the unsent
    // output is above the alert backlog limit the alerts are dropped instead.
    void QueueAlerts(const TAlertBatch& Batch, const std::vector<char>& Wanted);
    // Compresses what this turn queued and hands it to the socket.
    void Flush();

    quint64 AlertsSent() const { return FAlertsSent; }
    quint64 AlertsDropped() const { return FAlertsDroppedTotal; }
    quint64 BytesSent() const { return FBytesSent; }

private:
    void OnReadyRead();
    void OnDisconnected();
    void Consume(const char* Data, qsizetype Size);
    bool HandleRequest(TDecodedRequest& Request);
    void HandleLogin(const TDecodedRequest& Request);
    void HandlePing(const TDecodedRequest& Request);
    void HandleListen(const TDecodedRequest& Request);
    void HandleAddCategory(const TDecodedRequest& Request);
    void Stop(qint32 Id, const QByteArray& Text);
    void QueueFrame(qint32 Id, QByteArrayView Payload);
    void AppendFrame(qint32 Id, QByteArrayView Payload);
    qint64 Backlog() const;
    void RequestFlush();
    // Sends what is queued, then shuts the connection once it has left.
    void CloseGracefully();
    // Cuts the connection at once; queued output is lost.
    void Abort(const QString& Warning);
    void BadInput(const QString& Reason);
    void DropFault();
    void GarbageFault();
    void Info(const QString& Text) const;
    void Warning(const QString& Text) const;

    TAlertServer& FServer; // owns this session and outlives it
    std::unique_ptr<QTcpSocket> FSocket;
    const quint64 FNumber;
    TState FState = TState::ReadingModeSwitch;

    TModeSwitchReader FModeSwitch;
    TRequestInflater FInflater;
    TRequestDecoder FDecoder;
    TFrameDeflater FDeflater;

    QByteArray FPending;    // plain frames of this turn
    QByteArray FCompressed; // scratch for the compressed block
    bool FFlushRequested = false;

    bool FLoggedIn = false;
    QByteArray FUserName;
    qint32 FListenId = 0;
    QSet<QByteArray> FCategories;

    bool FDroppingAlerts = false;
    quint64 FAlertsDropped = 0; // in the current episode of a backed-up output
    quint64 FAlertsDroppedTotal = 0;
    quint64 FAlertsSent = 0;
    quint64 FBytesSent = 0;

    // Context of every signal connection of this session: destroyed before
    // the socket (declared after it), so no signal reaches a dying session.
    QObject FContext;
    QTimer FDropTimer;
    QTimer FGarbageTimer;
    QTimer FCloseTimer;
};
