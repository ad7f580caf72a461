// The transport contract: one connection to the alert server that carries an
// uninterpreted byte stream both ways and reports through four events.
//
// Calling order expected of the owner:
//   1. construct; 2. set the settings and the events; 3. Connect() once - when
//   it returns false, LastError holds the reason and OnSessionClosed has
//   already been raised from inside Connect(); 4. Send() only after
//   OnSessionConnected; 5. Receive() whenever OnDataAvailable fires;
//   6. after OnSessionClosed (or when done) Close() or destroy.
// OnSessionClosed may be raised more than once (for instance again while the
// transport is destroyed); owners must tolerate repeats. Sender is always the
// transport itself. Events are tested for being set before they are raised.
#pragma once

#include <QByteArray>
#include <QString>
#include <functional>

class TGenericServerConnection {
public:
    using TNotifyEvent = std::function<void(TGenericServerConnection* Sender)>;
    using TErrorMessageEvent = std::function<void(TGenericServerConnection* Sender, const QString& Text)>;

    TGenericServerConnection() = default;
    TGenericServerConnection(const TGenericServerConnection&) = delete;
    TGenericServerConnection& operator=(const TGenericServerConnection&) = delete;
    virtual ~TGenericServerConnection() = default;

    // Settings: written by the owner before Connect(), only read afterwards.
    QString SocksServer;   // empty: no SOCKS server
    QString SocksPort;     // decimal text
    QString SocksUsercode; // non-empty selects user name/password authentication
    QString SocksPassword;
    QString SocksLevel;    // "4" or "5"; empty: no SOCKS
    QString ProxyUsername; // HTTP proxy settings: used by the tunnel only
    QString ProxyPassword;
    QString Proxy;
    qint32 ProxyPort = 0;
    qint32 RequestTimeout = 0; // milliseconds (tunnel only)

    TNotifyEvent OnSessionClosed;
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnDataAvailable;
    TErrorMessageEvent OnErrorMessage;

    // Text of the last connect failure that Connect() itself detected.
    QString LastError;

    // Starts the connection. True: the attempt is under way and its outcome
    // arrives as an event. False: it failed at once (see above).
    virtual bool Connect() = 0;
    // Queues bytes for the server, unchanged and in order; never blocks.
    virtual void Send(const QByteArray& Data) = 0;
    // Ends the connection; raises OnSessionClosed before it returns when a
    // connection was live. A no-op when there is nothing to close.
    virtual void Close() = 0;
    // Hands over every byte that has arrived and not yet been taken (empty
    // when nothing is waiting).
    virtual void Receive(QByteArray& Data) = 0;
};
