// A small stand-in for the alert server, for tests that need a real socket.
//
// TTestPeer listens on 127.0.0.1 at a port the system picks. For every client
// that connects it checks the 59-byte mode switch, inflates the client's zlib
// stream with zlib itself, and cuts it into requests (length-prefixed key and
// value strings; a zero length in key position ends a request; a leading
// "message_id" pair becomes the request's Id). It answers with frames
// (identifier, length, payload) in its own zlib stream, one sync flush per
// batch, and can also inject raw bytes, compress arbitrary bytes into its
// stream, or drop a connection.
//
// Everything runs on the test's thread through the Qt event loop: drive it
// with the Wait* helpers (or TestSupport::WaitFor). Header-only; it uses zlib
// directly, independent of the program's own stream classes.
#pragma once

#include "TalkWithServer.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QtEndian>
#include <functional>
#include <memory>
#include <vector>
#include <zlib.h>

// One request as the server reads it.
struct TPeerRequest {
    qint32 Id = 0;          // the "message_id" value; 0 when the request had none
    TMessageToServer Pairs; // every pair after "message_id", in order

    // The value of the first pair named Key, or an empty array.
    QByteArray Value(const QByteArray& Key) const
    {
        for (const TMessagePair& pair : Pairs)
            if (pair.Key == Key)
                return pair.Value;
        return {};
    }
};

class TTestPeer {
public:
    // One accepted client connection.
    struct TConnection {
        TConnection()
        {
            inflateInit(&FIn);
            deflateInit(&FOut, Z_DEFAULT_COMPRESSION);
        }
        ~TConnection()
        {
            inflateEnd(&FIn);
            deflateEnd(&FOut);
        }
        TConnection(const TConnection&) = delete;
        TConnection& operator=(const TConnection&) = delete;

        std::unique_ptr<QTcpSocket> Socket;
        QByteArray Raw;               // every byte received, mode switch included
        bool ModeSwitchSeen = false;  // the first 59 bytes were exactly the mode switch
        QByteArray Inflated;          // the client's stream, decompressed so far
        QList<TPeerRequest> Requests; // complete requests, in arrival order
        QString Error;                // first protocol fault seen, empty when none
        bool Closed = false;          // the connection has ended (either side)

        // The bytes that followed the mode switch (the client's zlib stream).
        QByteArray Stream() const { return Raw.mid(ModeSwitchText().size()); }

    private:
        friend class TTestPeer;
        z_stream FIn{};
        z_stream FOut{};
        qsizetype FParsed = 0; // bytes of Inflated already cut into requests
    };

    // Starts listening. A failure to listen fails every later Wait*.
    TTestPeer()
    {
        QObject::connect(&FServer, &QTcpServer::newConnection, &FServer, [this] { Accept(); });
        FServer.listen(QHostAddress(QHostAddress::LocalHost), 0);
    }
    ~TTestPeer()
    {
        for (auto& c : FConnections)
            if (c->Socket) {
                QObject::disconnect(c->Socket.get(), nullptr, nullptr, nullptr);
                c->Socket->abort();
            }
    }
    TTestPeer(const TTestPeer&) = delete;
    TTestPeer& operator=(const TTestPeer&) = delete;

    bool Listening() const { return FServer.isListening(); }
    quint16 Port() const { return FServer.serverPort(); }
    // "127.0.0.1:<port>", as a server address for the client.
    QString Address() const { return QStringLiteral("127.0.0.1:%1").arg(Port()); }

    // Stops accepting new connections; existing ones stay.
    void StopListening() { FServer.close(); }

    // Called for every complete request as it arrives (the test may answer
    // from here). Index is the connection's index.
    std::function<void(TTestPeer& Peer, int Index, const TPeerRequest& Request)> OnRequest;

    int ConnectionCount() const { return int(FConnections.size()); }
    // Index -1 is the latest connection. The connection must exist.
    TConnection& Connection(int Index = -1) { return *FConnections.at(Resolve(Index)); }

    bool WaitForConnections(int Count, int TimeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return ConnectionCount() >= Count; }, TimeoutMs);
    }
    // Waits for at least Count requests on connection Index.
    bool WaitForRequests(int Count, int Index = -1, int TimeoutMs = 5000)
    {
        return QTest::qWaitFor(
            [&] { return ConnectionCount() > 0 && Connection(Index).Requests.size() >= Count; },
            TimeoutMs);
    }
    bool WaitForClose(int Index = -1, int TimeoutMs = 5000)
    {
        return QTest::qWaitFor([&] { return ConnectionCount() > 0 && Connection(Index).Closed; },
                               TimeoutMs);
    }

    // Sends Frames as one batch of the server's stream, ending in one sync flush.
    void Answer(const QList<TFrame>& Frames, int Index = -1)
    {
        QByteArray plain;
        for (const TFrame& frame : Frames)
            plain += FrameBytes(frame.Id, frame.Payload);
        SendCompressed(plain, Index);
    }
    void Answer(qint32 Id, const QByteArray& Payload, int Index = -1) { Answer({{Id, Payload}}, Index); }

    // Puts any bytes into the server's stream (for instance a broken frame
    // header) and sync-flushes them.
    void SendCompressed(const QByteArray& Plain, int Index = -1)
    {
        TConnection& c = Connection(Index);
        SendRaw(Deflate(c.FOut, Plain, Z_SYNC_FLUSH), Index);
    }
    // Ends the server's stream (final block and checksum), optionally with
    // some last bytes in it.
    void FinishStream(const QByteArray& Plain = {}, int Index = -1)
    {
        TConnection& c = Connection(Index);
        SendRaw(Deflate(c.FOut, Plain, Z_FINISH), Index);
    }
    // Writes bytes to the socket as they are, outside any stream framing.
    void SendRaw(const QByteArray& Bytes, int Index = -1)
    {
        TConnection& c = Connection(Index);
        if (c.Socket && !c.Closed)
            c.Socket->write(Bytes);
    }
    // Ends the connection from the server's side.
    void Drop(int Index = -1)
    {
        TConnection& c = Connection(Index);
        if (c.Socket && !c.Closed) {
            c.Socket->flush();
            c.Socket->disconnectFromHost();
        }
    }

    // One frame as it travels inside the server's stream.
    static QByteArray FrameBytes(qint32 Id, const QByteArray& Payload)
    {
        return Int32(Id) + Int32(qint32(Payload.size())) + Payload;
    }
    static QByteArray Int32(qint32 Value)
    {
        char bytes[4];
        qToLittleEndian(Value, bytes);
        return QByteArray(bytes, 4);
    }
    // A loopback port on which nobody listens (connecting to it is refused).
    static quint16 UnusedPort()
    {
        QTcpServer probe;
        probe.listen(QHostAddress(QHostAddress::LocalHost), 0);
        const quint16 port = probe.serverPort();
        probe.close();
        return port;
    }

private:
    int Resolve(int Index) const { return Index < 0 ? int(FConnections.size()) + Index : Index; }

    void Accept()
    {
        while (QTcpSocket* socket = FServer.nextPendingConnection()) {
            socket->setParent(nullptr);
            auto connection = std::make_unique<TConnection>();
            connection->Socket.reset(socket);
            const int index = int(FConnections.size());
            FConnections.push_back(std::move(connection));
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, index] { Read(index); });
            QObject::connect(socket, &QTcpSocket::disconnected, socket, [this, index] {
                Read(index);
                FConnections[size_t(index)]->Closed = true;
            });
        }
    }

    void Read(int Index)
    {
        TConnection& c = *FConnections[size_t(Index)];
        const QByteArray bytes = c.Socket->readAll();
        if (bytes.isEmpty())
            return;
        const qsizetype modeSwitchSize = ModeSwitchText().size();
        const qsizetype before = c.Raw.size();
        c.Raw += bytes;
        if (before < modeSwitchSize) {
            if (c.Raw.size() < modeSwitchSize)
                return;
            c.ModeSwitchSeen = c.Raw.left(modeSwitchSize) == ModeSwitchText();
            if (!c.ModeSwitchSeen && c.Error.isEmpty())
                c.Error = QStringLiteral("the connection did not open with the mode switch");
        }
        const QByteArray stream = c.Raw.mid(qMax(before, modeSwitchSize));
        if (stream.isEmpty() || !c.Error.isEmpty())
            return;
        c.FIn.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(stream.constData()));
        c.FIn.avail_in = uInt(stream.size());
        char block[4096];
        int result = Z_OK;
        do {
            c.FIn.next_out = reinterpret_cast<Bytef*>(block);
            c.FIn.avail_out = sizeof block;
            result = inflate(&c.FIn, Z_SYNC_FLUSH);
            c.Inflated.append(block, qsizetype(sizeof block - c.FIn.avail_out));
        } while (result == Z_OK && (c.FIn.avail_in > 0 || c.FIn.avail_out == 0));
        if (result != Z_OK && result != Z_BUF_ERROR) {
            c.Error = QStringLiteral("client stream: zlib result %1").arg(result);
            return;
        }
        ParseRequests(Index);
    }

    void ParseRequests(int Index)
    {
        for (;;) {
            TConnection& c = *FConnections[size_t(Index)];
            qsizetype pos = c.FParsed;
            TPeerRequest request;
            bool complete = false;
            bool first = true;
            for (;;) {
                QByteArray key;
                if (!ReadString(c.Inflated, pos, key))
                    break;
                if (key.isEmpty()) {
                    complete = true;
                    break;
                }
                QByteArray value;
                if (!ReadString(c.Inflated, pos, value))
                    break;
                if (first && key == "message_id")
                    request.Id = value.toInt();
                else
                    request.Pairs.append({key, value});
                first = false;
            }
            if (!complete)
                return;
            c.FParsed = pos;
            c.Requests.append(request);
            if (OnRequest)
                OnRequest(*this, Index, request);
        }
    }

    static bool ReadString(const QByteArray& Buffer, qsizetype& Pos, QByteArray& Out)
    {
        if (Buffer.size() - Pos < 4)
            return false;
        const qint32 length = qFromLittleEndian<qint32>(Buffer.constData() + Pos);
        if (length < 0 || Buffer.size() - Pos - 4 < length)
            return false;
        Out = Buffer.mid(Pos + 4, length);
        Pos += 4 + length;
        return true;
    }

    static QByteArray Deflate(z_stream& Z, const QByteArray& Plain, int Mode)
    {
        QByteArray out;
        Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Plain.constData()));
        Z.avail_in = uInt(Plain.size());
        char block[4096];
        int result = Z_OK;
        do {
            Z.next_out = reinterpret_cast<Bytef*>(block);
            Z.avail_out = sizeof block;
            result = deflate(&Z, Mode);
            out.append(block, qsizetype(sizeof block - Z.avail_out));
        } while (Z.avail_out == 0 || (Mode == Z_FINISH && result == Z_OK));
        return out;
    }

    QTcpServer FServer;
    std::vector<std::unique_ptr<TConnection>> FConnections;
};
