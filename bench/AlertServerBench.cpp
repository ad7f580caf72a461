// Load program for the alert server's two capacity goals, run against a real
// BrenikAlertServer child process on 127.0.0.1:
//
//   throughput  one client logs in and listens; the server's synthetic market
//               runs at --rate alerts per second; the alerts received per
//               second are counted (goal: at least 50,000 per second).
//   idle        --clients connections log in (without listening) and ping
//               every --ping-interval-ms for --idle-seconds; round-trip
//               latencies, unanswered pings and the server's CPU time are
//               reported (goal: 1,000 clients, every ping answered).
//   combined    both at once, on one server.
//
// The clients speak the wire format with the program's own encoder and zlib
// streams over plain non-blocking sockets (one epoll loop for the idle
// clients, a thread of its own for the listening client), so the measurement
// does not depend on an event loop's scheduling. Every phase starts its own
// server, is bounded in time and ends by itself; only loopback is ever used.
//
// Exit code: 0 every goal of the phases run was met, 1 a goal was missed,
// 2 the run could not be made (bad option, server did not start).
#include "TalkWithServer.h"
#include "ZLibStreams.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;

// The goals.
constexpr double GoalAlertsPerSecond = 50000;
constexpr int GoalIdleClients = 1000;

// Defaults and the bounds that keep every run short.
constexpr double DefaultRate = 60000;
constexpr double MaxRate = 1000000;
constexpr int DefaultMeasureSeconds = 5;
constexpr int MaxMeasureSeconds = 60;
constexpr int WarmUpMs = 1000;
constexpr int DefaultClients = GoalIdleClients;
constexpr int MaxClients = 5000;
constexpr int DefaultIdleSeconds = 15;
constexpr int MaxIdleSeconds = 120;
constexpr int DefaultPingIntervalMs = 5000;
constexpr int MinPingIntervalMs = 100;

// Waiting limits.
constexpr int ServerStartTimeoutMs = 10000;
constexpr int ServerStopTimeoutMs = 5000;
constexpr int LoginTimeoutMs = 30000;
// A ping not answered this long after the pinging ended counts as unanswered.
constexpr int AnswerGraceMs = 5000;
// Connections that may be connecting or logging in at the same time.
constexpr int MaxConnectsInFlight = 100;
constexpr int PollSliceMs = 50;
constexpr qsizetype ReadChunkSize = 64 * 1024;
// Descriptors beyond the clients' that the process needs for itself.
constexpr rlim_t SpareDescriptors = 64;

constexpr qint32 LoginId = 1;
constexpr qint32 ListenId = 2;
constexpr qint32 FirstPingId = 3;
const QByteArray MainCategory = "BRENIK-main";
const QByteArray SessionAnswerStart = "SESSION ID\r\n";

double SecondsBetween(TTime From, TTime To)
{
    return std::chrono::duration<double>(To - From).count();
}

double MillisecondsBetween(TTime From, TTime To)
{
    return std::chrono::duration<double, std::milli>(To - From).count();
}

// "1234567" -> "1,234,567"
std::string Grouped(qint64 Value)
{
    std::string digits = std::to_string(Value < 0 ? -Value : Value);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return Value < 0 ? "-" + out : out;
}

double ProcessCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
           + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

QByteArray LoadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return "unknown";
    const QList<QByteArray> parts = file.readAll().simplified().split(' ');
    return parts.size() >= 3 ? parts[0] + " " + parts[1] + " " + parts[2] : QByteArray("unknown");
}

// ---------------------------------------------------------------------------
// The server child process

class TServerProcess {
public:
    TServerProcess() = default;
    // Stops the server (SIGTERM, then SIGKILL when it does not end in time).
    ~TServerProcess() { Stop(); }
    TServerProcess(const TServerProcess&) = delete;
    TServerProcess& operator=(const TServerProcess&) = delete;

    // Starts the program on 127.0.0.1 with a free port and waits for its
    // "listening on" line. The server's log goes to our standard error.
    bool Start(const QString& Program, const QStringList& ExtraArguments, QString& Error)
    {
        QStringList arguments{QStringLiteral("--listen"), QStringLiteral("127.0.0.1:0"), QStringLiteral("--quiet")};
        arguments += ExtraArguments;
        FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        FProcess.start(Program, arguments);
        if (!FProcess.waitForStarted(ServerStartTimeoutMs)) {
            Error = QStringLiteral("cannot start %1: %2").arg(Program, FProcess.errorString());
            return false;
        }
        const TTime deadline = TClock::now() + std::chrono::milliseconds(ServerStartTimeoutMs);
        QByteArray output;
        while (!output.contains('\n')) {
            const int left = int(MillisecondsBetween(TClock::now(), deadline));
            if (left <= 0 || !FProcess.waitForReadyRead(left)) {
                Error = FProcess.state() == QProcess::NotRunning
                            ? QStringLiteral("the server ended at once (exit code %1)").arg(FProcess.exitCode())
                            : QStringLiteral("the server did not say where it listens");
                return false;
            }
            output += FProcess.readAllStandardOutput();
        }
        const QByteArray line = output.left(output.indexOf('\n')).trimmed();
        const QByteArray prefix = "listening on 127.0.0.1:";
        bool ok = false;
        const uint port = line.startsWith(prefix) ? line.mid(prefix.size()).toUInt(&ok) : 0;
        if (!ok || port == 0 || port > 65535) {
            Error = QStringLiteral("unexpected first line from the server: \"%1\"").arg(QString::fromLatin1(line));
            return false;
        }
        FPort = quint16(port);
        return true;
    }

    void Stop()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        FProcess.terminate();
        if (!FProcess.waitForFinished(ServerStopTimeoutMs)) {
            FProcess.kill();
            FProcess.waitForFinished(ServerStopTimeoutMs);
        }
    }

    quint16 Port() const { return FPort; }
    bool Running() const { return FProcess.state() == QProcess::Running; }

    // User plus system time the server has used so far, from /proc; -1 when
    // it cannot be read.
    double CpuSeconds() const
    {
        const QByteArray stat = ReadProcFile("stat");
        // The command name is in parentheses and may hold blanks: the fields
        // that follow it start with field 3 (state); utime and stime are 14, 15.
        const qsizetype close = stat.lastIndexOf(')');
        if (close < 0)
            return -1;
        const QList<QByteArray> fields = stat.mid(close + 1).simplified().split(' ');
        constexpr int UserTimeField = 14 - 3;
        constexpr int SystemTimeField = 15 - 3;
        if (fields.size() <= SystemTimeField)
            return -1;
        const double ticks = double(sysconf(_SC_CLK_TCK));
        return (fields[UserTimeField].toDouble() + fields[SystemTimeField].toDouble()) / ticks;
    }

    // Resident memory in KiB, -1 when unknown.
    qint64 ResidentKiB() const
    {
        for (const QByteArray& line : ReadProcFile("status").split('\n'))
            if (line.startsWith("VmRSS:"))
                return line.mid(6).simplified().split(' ').value(0).toLongLong();
        return -1;
    }

private:
    QByteArray ReadProcFile(const char* Name) const
    {
        QFile file(QStringLiteral("/proc/%1/%2").arg(FProcess.processId()).arg(QLatin1String(Name)));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QProcess FProcess;
    quint16 FPort = 0;
};

// ---------------------------------------------------------------------------
// One raw client connection

class TLoadClient {
public:
    TLoadClient() = default;
    // Closes the socket.
    ~TLoadClient()
    {
        if (FFd >= 0)
            ::close(FFd);
    }
    TLoadClient(const TLoadClient&) = delete;
    TLoadClient& operator=(const TLoadClient&) = delete;

    // Starts a non-blocking connect to 127.0.0.1:Port and queues the mode
    // switch; false (with Error) when no socket could be made.
    bool Connect(quint16 Port)
    {
        FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (FFd < 0)
            return Fail(QStringLiteral("socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        const int one = 1;
        ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(Port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(FFd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
            FConnecting = false;
        else if (errno == EINPROGRESS)
            FConnecting = true;
        else
            return Fail(QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        FOut = ModeSwitchText();
        return true;
    }

    // Encodes and compresses a request; it leaves with the next Flush.
    void Queue(const TMessageToServer& Message, qint32 Id) { FCompressor.Write(EncodeMessage(Message, Id)); }

    // Ends the turn: sync-flushes the compressed requests and sends them.
    bool Flush()
    {
        FCompressor.Flush();
        FOut += FCompressor.Output;
        FCompressor.Output.clear();
        return SendPending();
    }

    // Finishes the connect and sends what waits; call when writable.
    bool OnWritable()
    {
        if (FConnecting) {
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0)
                return Fail(QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
            FConnecting = false;
        }
        return SendPending();
    }

    // Reads what has arrived (at most MaxBytes) and appends the complete
    // frames to Frames. False when the connection failed or closed.
    bool OnReadable(QList<TFrame>& Frames, qsizetype MaxBytes = ReadChunkSize)
    {
        char buffer[ReadChunkSize];
        qsizetype taken = 0;
        while (taken < MaxBytes) {
            const ssize_t got = ::recv(FFd, buffer, sizeof buffer, 0);
            if (got == 0)
                return Fail(QStringLiteral("closed by the server"));
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    break;
                if (errno == EINTR)
                    continue;
                return Fail(QStringLiteral("recv: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            }
            taken += got;
            FBytesReceived += got;
            try {
                FDecompressor.Write(QByteArray::fromRawData(buffer, got));
                FPlainReceived += FDecompressor.Output.size();
                Frames += ExtractFrames(FDecompressor.Output);
                // What stays behind is an incomplete frame, counted again
                // (as part of Output) after the next read: so the total is
                // the bytes that were cut into frames.
                FPlainReceived -= FDecompressor.Output.size();
            } catch (const Exception& e) {
                return Fail(QStringLiteral("invalid data from the server: %1").arg(e.Message()));
            }
        }
        return true;
    }

    int Fd() const { return FFd; }
    bool Connecting() const { return FConnecting; }
    bool WantsWrite() const { return FConnecting || !FOut.isEmpty(); }
    bool Failed() const { return !FError.isEmpty(); }
    const QString& Error() const { return FError; }
    qint64 BytesReceived() const { return FBytesReceived; }
    qint64 PlainBytesReceived() const { return FPlainReceived; }

private:
    bool SendPending()
    {
        if (FConnecting)
            return true; // goes out once the connect has finished
        while (!FOut.isEmpty()) {
            const ssize_t sent = ::send(FFd, FOut.constData(), size_t(FOut.size()), MSG_NOSIGNAL);
            if (sent < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK)
                    return true;
                if (errno == EINTR)
                    continue;
                return Fail(QStringLiteral("send: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
            }
            FOut.remove(0, sent);
        }
        return true;
    }

    bool Fail(const QString& Text)
    {
        if (FError.isEmpty())
            FError = Text;
        return false;
    }

    int FFd = -1;
    bool FConnecting = false;
    QByteArray FOut; // bytes not yet accepted by the socket
    TZLibCompressor FCompressor;
    TZLibDecompressor FDecompressor;
    QString FError;
    qint64 FBytesReceived = 0;
    qint64 FPlainReceived = 0;
};

TMessageToServer LoginRequest(int Index)
{
    return BuildMessage("command", "login", "username", QByteArray("bench") + QByteArray::number(Index),
                        "password", "bench", "session_id", QByteArray());
}

TMessageToServer PingRequest()
{
    return BuildMessage("command", "ping", "response", '1');
}

// ---------------------------------------------------------------------------
// The listening client

struct TThroughputResult {
    QString Error;
    double Seconds = 0;              // measured window
    qint64 Alerts = 0;               // frames with the listen id inside it
    std::vector<qint64> PerSecond;   // alerts in each whole second of it
    qint64 CompressedBytes = 0;      // received inside it
    qint64 PlainBytes = 0;
};

// Logs in, listens on the main category, lets WarmUpMs pass and then counts
// alert frames for MeasureSeconds. Blocking; runs on its own thread in the
// combined phase.
TThroughputResult RunListeningClient(quint16 Port, int MeasureSeconds)
{
    TThroughputResult result;
    TLoadClient client;
    if (!client.Connect(Port)) {
        result.Error = client.Error();
        return result;
    }
    client.Queue(LoginRequest(0), LoginId);
    client.Queue(BuildMessage("command", "listen_for_alerts"), ListenId);
    client.Queue(BuildMessage("command", "add_alert_category", "category", MainCategory), 0);
    client.Queue(PingRequest(), FirstPingId);
    client.Flush();

    const TTime started = TClock::now();
    const TTime loginDeadline = started + std::chrono::milliseconds(LoginTimeoutMs);
    bool loggedIn = false;
    TTime measureStart{};
    TTime measureEnd{};
    qint64 bytesAtStart = 0;
    qint64 plainAtStart = 0;
    result.PerSecond.assign(std::size_t(MeasureSeconds), 0);
    QList<TFrame> frames;
    for (;;) {
        const TTime now = TClock::now();
        if (!loggedIn && now > loginDeadline) {
            result.Error = QStringLiteral("no login answer within %1 ms").arg(LoginTimeoutMs);
            return result;
        }
        if (loggedIn && now >= measureEnd)
            break;
        pollfd poller{client.Fd(), short(POLLIN | (client.WantsWrite() ? POLLOUT : 0)), 0};
        const int ready = ::poll(&poller, 1, PollSliceMs);
        if (ready < 0 && errno != EINTR) {
            result.Error = QStringLiteral("poll: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return result;
        }
        if (ready <= 0)
            continue;
        if ((poller.revents & POLLOUT) && !client.OnWritable()) {
            result.Error = client.Error();
            return result;
        }
        if (!(poller.revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        frames.clear();
        const bool alive = client.OnReadable(frames);
        const TTime arrived = TClock::now();
        for (const TFrame& frame : std::as_const(frames)) {
            if (frame.Id == LoginId) {
                if (!frame.Payload.startsWith(SessionAnswerStart)) {
                    result.Error = QStringLiteral("login refused: \"%1\"").arg(QString::fromLatin1(frame.Payload));
                    return result;
                }
                loggedIn = true;
                measureStart = arrived + std::chrono::milliseconds(WarmUpMs);
                measureEnd = measureStart + std::chrono::seconds(MeasureSeconds);
            } else if (frame.Id == ListenId && loggedIn && arrived >= measureStart && arrived < measureEnd) {
                ++result.Alerts;
                const auto second = std::size_t(SecondsBetween(measureStart, arrived));
                if (second < result.PerSecond.size())
                    ++result.PerSecond[second];
            }
        }
        if (loggedIn && arrived < measureStart) {
            bytesAtStart = client.BytesReceived();
            plainAtStart = client.PlainBytesReceived();
        }
        if (!alive) {
            result.Error = client.Error();
            return result;
        }
    }
    result.Seconds = MeasureSeconds;
    result.CompressedBytes = client.BytesReceived() - bytesAtStart;
    result.PlainBytes = client.PlainBytesReceived() - plainAtStart;
    return result;
}

// ---------------------------------------------------------------------------
// The idle clients

struct TIdleResult {
    QString Error;            // the run as a whole could not be made
    int Clients = 0;
    int LoggedIn = 0;
    double LoginSeconds = 0;  // from the first connect to the last login answer
    qint64 PingsSent = 0;
    qint64 PingsAnswered = 0; // within the grace time after the pinging
    int ConnectionsLost = 0;
    QStringList FirstErrors;  // a few of the failures, for the report
    std::vector<double> LatenciesMs;
    double PingWindowSeconds = 0;
    TTime PingStart{};
    TTime PingEnd{};
};

class TIdleClients {
public:
    // Pinging starts once every client has logged in (or the login time is
    // over); OnPingWindowStart and OnPingWindowEnd are called around it so
    // that the caller can read the server's CPU time.
    TIdleClients(quint16 Port, int Clients, int PingIntervalMs, int PingSeconds)
        : FPort(Port)
        , FPingIntervalMs(PingIntervalMs)
        , FPingSeconds(PingSeconds)
        , FClients(std::size_t(Clients))
    {
    }
    ~TIdleClients()
    {
        if (FEpoll >= 0)
            ::close(FEpoll);
    }
    TIdleClients(const TIdleClients&) = delete;
    TIdleClients& operator=(const TIdleClients&) = delete;

    std::function<void()> OnPingWindowStart;
    std::function<void()> OnPingWindowEnd;

    TIdleResult Run()
    {
        FResult.Clients = int(FClients.size());
        FEpoll = ::epoll_create1(EPOLL_CLOEXEC);
        if (FEpoll < 0) {
            FResult.Error = QStringLiteral("epoll_create1: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return std::move(FResult);
        }
        LogIn();
        if (FResult.LoggedIn == 0) {
            FResult.Error = QStringLiteral("no client could log in");
            return std::move(FResult);
        }
        Ping();
        return std::move(FResult);
    }

private:
    enum class TState { Unused, LoggingIn, LoggedIn, Lost };

    struct TSlot {
        std::unique_ptr<TLoadClient> Client;
        TState State = TState::Unused;
        bool WatchingWrite = false;
        qint32 NextPingId = FirstPingId;
        // Send times of the pings still waiting, by message id.
        std::vector<std::pair<qint32, TTime>> Waiting;
    };

    void LogIn()
    {
        const TTime started = TClock::now();
        const TTime deadline = started + std::chrono::milliseconds(LoginTimeoutMs);
        std::size_t next = 0;
        TTime lastLogin = started;
        while (FResult.LoggedIn + FResult.ConnectionsLost < FResult.Clients && TClock::now() < deadline) {
            while (next < FClients.size() && FLoggingIn < MaxConnectsInFlight)
                StartClient(next++);
            Wait(PollSliceMs, [&](std::size_t Index, const TFrame& Frame) {
                TSlot& slot = FClients[Index];
                if (Frame.Id != LoginId || slot.State != TState::LoggingIn)
                    return;
                if (!Frame.Payload.startsWith(SessionAnswerStart)) {
                    Lose(Index, QStringLiteral("login refused: \"%1\"").arg(QString::fromLatin1(Frame.Payload)));
                    return;
                }
                SetState(slot, TState::LoggedIn);
                ++FResult.LoggedIn;
                lastLogin = TClock::now();
            });
        }
        for (std::size_t i = 0; i < FClients.size(); ++i)
            if (FClients[i].State == TState::LoggingIn || FClients[i].State == TState::Unused)
                Lose(i, QStringLiteral("no login answer within %1 ms").arg(LoginTimeoutMs));
        FResult.LoginSeconds = SecondsBetween(started, lastLogin);
    }

    // Pings are spread evenly: ping k goes to client k mod N at
    // start + k * interval / N, so each client pings once per interval.
    void Ping()
    {
        const std::size_t count = FClients.size();
        const qint64 rounds = std::max<qint64>(1, qint64(FPingSeconds) * 1000 / FPingIntervalMs);
        const qint64 total = rounds * qint64(count);
        const double spacingMs = double(FPingIntervalMs) / double(count);
        if (OnPingWindowStart)
            OnPingWindowStart();
        const TTime start = TClock::now();
        FResult.PingStart = start;
        const auto dueAt = [&](qint64 K) {
            return start + std::chrono::microseconds(qint64(double(K) * spacingMs * 1000.0));
        };
        const TTime pingEnd = start + std::chrono::milliseconds(qint64(rounds) * FPingIntervalMs);
        const TTime hardEnd = pingEnd + std::chrono::milliseconds(AnswerGraceMs);
        qint64 k = 0;
        bool endReported = false;
        const auto onFrame = [&](std::size_t Index, const TFrame& Frame) {
            auto& waiting = FClients[Index].Waiting;
            const auto found = std::find_if(waiting.begin(), waiting.end(),
                                            [&](const auto& Entry) { return Entry.first == Frame.Id; });
            if (found == waiting.end())
                return;
            FResult.LatenciesMs.push_back(MillisecondsBetween(found->second, TClock::now()));
            ++FResult.PingsAnswered;
            waiting.erase(found);
        };
        for (;;) {
            TTime now = TClock::now();
            for (; k < total && dueAt(k) <= now; ++k) {
                const std::size_t index = std::size_t(k % qint64(count));
                TSlot& slot = FClients[index];
                if (slot.State != TState::LoggedIn)
                    continue;
                const qint32 id = slot.NextPingId++;
                slot.Client->Queue(PingRequest(), id);
                slot.Waiting.emplace_back(id, TClock::now());
                ++FResult.PingsSent;
                if (!slot.Client->Flush())
                    Lose(index, slot.Client->Error());
                else
                    WatchWrites(index);
            }
            if (k >= total && !endReported && now >= pingEnd) {
                endReported = true;
                FResult.PingEnd = now;
                if (OnPingWindowEnd)
                    OnPingWindowEnd();
            }
            if (endReported && (FResult.PingsAnswered == FResult.PingsSent || now >= hardEnd))
                break;
            const TTime wakeUp = k < total ? dueAt(k) : endReported ? hardEnd : pingEnd;
            const int timeoutMs = std::clamp(int(std::ceil(MillisecondsBetween(now, wakeUp))), 0, PollSliceMs);
            Wait(timeoutMs, onFrame);
        }
        FResult.PingWindowSeconds = SecondsBetween(FResult.PingStart, FResult.PingEnd);
        std::size_t silent = 0;
        std::size_t firstSilent = 0;
        for (std::size_t i = 0; i < count; ++i)
            if (!FClients[i].Waiting.empty() && silent++ == 0)
                firstSilent = i;
        if (silent > 0)
            FResult.FirstErrors.append(QStringLiteral("%1 client(s) with unanswered pings, the first: client %2 (%3 unanswered)")
                                           .arg(silent).arg(firstSilent).arg(FClients[firstSilent].Waiting.size()));
    }

    void StartClient(std::size_t Index)
    {
        TSlot& slot = FClients[Index];
        slot.Client = std::make_unique<TLoadClient>();
        SetState(slot, TState::LoggingIn);
        if (!slot.Client->Connect(FPort)) {
            Lose(Index, slot.Client->Error());
            return;
        }
        slot.Client->Queue(LoginRequest(int(Index) + 1), LoginId);
        if (!slot.Client->Flush()) {
            Lose(Index, slot.Client->Error());
            return;
        }
        epoll_event event{};
        event.events = EventsFor(slot.Client->WantsWrite());
        event.data.u64 = Index;
        slot.WatchingWrite = slot.Client->WantsWrite();
        if (::epoll_ctl(FEpoll, EPOLL_CTL_ADD, slot.Client->Fd(), &event) != 0)
            Lose(Index, QStringLiteral("epoll_ctl: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    }

    // Keeps EPOLLOUT registered exactly while the client has bytes to send.
    void WatchWrites(std::size_t Index)
    {
        TSlot& slot = FClients[Index];
        if (slot.State == TState::Lost || slot.WatchingWrite == slot.Client->WantsWrite())
            return;
        slot.WatchingWrite = slot.Client->WantsWrite();
        epoll_event event{};
        event.events = EventsFor(slot.WatchingWrite);
        event.data.u64 = Index;
        ::epoll_ctl(FEpoll, EPOLL_CTL_MOD, slot.Client->Fd(), &event);
    }

    void Lose(std::size_t Index, const QString& Why)
    {
        TSlot& slot = FClients[Index];
        if (slot.State == TState::Lost)
            return;
        SetState(slot, TState::Lost);
        ++FResult.ConnectionsLost;
        if (FResult.FirstErrors.size() < 5)
            FResult.FirstErrors.append(QStringLiteral("client %1: %2").arg(Index).arg(Why));
        if (slot.Client && slot.Client->Fd() >= 0)
            ::epoll_ctl(FEpoll, EPOLL_CTL_DEL, slot.Client->Fd(), nullptr);
    }

    static uint32_t EventsFor(bool WantsWrite)
    {
        return uint32_t(EPOLLIN) | (WantsWrite ? uint32_t(EPOLLOUT) : 0u);
    }

    // Keeps the count of clients between connect and login answer.
    void SetState(TSlot& Slot, TState State)
    {
        FLoggingIn += (State == TState::LoggingIn ? 1 : 0) - (Slot.State == TState::LoggingIn ? 1 : 0);
        Slot.State = State;
    }

    // Waits up to TimeoutMs for socket events and handles them, handing
    // every frame that arrives to OnFrame(client index, frame).
    template <typename TOnFrame>
    void Wait(int TimeoutMs, const TOnFrame& OnFrame)
    {
        epoll_event events[256];
        const int ready = ::epoll_wait(FEpoll, events, int(std::size(events)), TimeoutMs);
        QList<TFrame> frames;
        for (int i = 0; i < ready; ++i) {
            const std::size_t index = std::size_t(events[i].data.u64);
            TSlot& slot = FClients[index];
            if (slot.State == TState::Lost)
                continue;
            bool alive = true;
            if (events[i].events & EPOLLOUT)
                alive = slot.Client->OnWritable();
            frames.clear();
            if (alive && (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                alive = slot.Client->OnReadable(frames);
            for (const TFrame& frame : std::as_const(frames))
                OnFrame(index, frame);
            if (!alive) {
                Lose(index, slot.Client->Error());
            } else {
                WatchWrites(index);
            }
        }
    }

    const quint16 FPort;
    const int FPingIntervalMs;
    const int FPingSeconds;
    int FEpoll = -1;
    int FLoggingIn = 0;
    std::vector<TSlot> FClients;
    TIdleResult FResult;
};

// ---------------------------------------------------------------------------
// Options and the report

struct TOptions {
    QString Server;
    double Rate = DefaultRate;
    int MeasureSeconds = DefaultMeasureSeconds;
    int Clients = DefaultClients;
    int IdleSeconds = DefaultIdleSeconds;
    int PingIntervalMs = DefaultPingIntervalMs;
    QStringList Phases{QStringLiteral("throughput"), QStringLiteral("idle"), QStringLiteral("combined")};
};

const char* const HelpText =
    "Usage: AlertServerBench [options]\n"
    "Runs BrenikAlertServer children on 127.0.0.1 and measures its capacity.\n"
    "  --server PATH           the server program (default: BrenikAlertServer beside this program)\n"
    "  --phases LIST           comma-separated: throughput, idle, combined (default: all three)\n"
    "  --rate N                alerts per second of the server's market (default 60000)\n"
    "  --seconds N             throughput: seconds measured after 1 s of warm-up (default 5, at most 60)\n"
    "  --clients N             idle clients (default 1000, at most 5000)\n"
    "  --idle-seconds N        how long the idle clients ping (default 15, at most 120)\n"
    "  --ping-interval-ms N    each idle client's ping interval (default 5000)\n"
    "Exit code: 0 every goal met, 1 a goal missed, 2 the run could not be made.\n";

bool ParseOptions(const QStringList& Arguments, TOptions& Options, QString& Error, bool& Help)
{
    for (qsizetype i = 0; i < Arguments.size(); ++i) {
        QString name = Arguments[i];
        QString value;
        const qsizetype equals = name.indexOf(u'=');
        if (equals > 0) {
            value = name.mid(equals + 1);
            name = name.left(equals);
        }
        if (name == QLatin1String("-h") || name == QLatin1String("--help")) {
            Help = true;
            return true;
        }
        if (equals <= 0) {
            if (i + 1 >= Arguments.size()) {
                Error = QStringLiteral("%1 needs a value").arg(name);
                return false;
            }
            value = Arguments[++i];
        }
        bool ok = true;
        const auto integer = [&](int Min, int Max) {
            const int n = value.toInt(&ok);
            ok = ok && n >= Min && n <= Max;
            if (!ok)
                Error = QStringLiteral("%1 wants a whole number from %2 to %3").arg(name).arg(Min).arg(Max);
            return n;
        };
        if (name == QLatin1String("--server")) {
            Options.Server = value;
        } else if (name == QLatin1String("--phases")) {
            Options.Phases = value.split(u',', Qt::SkipEmptyParts);
            for (const QString& phase : std::as_const(Options.Phases))
                if (phase != QLatin1String("throughput") && phase != QLatin1String("idle")
                    && phase != QLatin1String("combined")) {
                    Error = QStringLiteral("unknown phase \"%1\"").arg(phase);
                    return false;
                }
        } else if (name == QLatin1String("--rate")) {
            Options.Rate = value.toDouble(&ok);
            if (!ok || Options.Rate <= 0 || Options.Rate > MaxRate) {
                Error = QStringLiteral("--rate wants a number above 0 and at most %1").arg(MaxRate);
                return false;
            }
        } else if (name == QLatin1String("--seconds")) {
            Options.MeasureSeconds = integer(1, MaxMeasureSeconds);
        } else if (name == QLatin1String("--clients")) {
            Options.Clients = integer(1, MaxClients);
        } else if (name == QLatin1String("--idle-seconds")) {
            Options.IdleSeconds = integer(1, MaxIdleSeconds);
        } else if (name == QLatin1String("--ping-interval-ms")) {
            Options.PingIntervalMs = integer(MinPingIntervalMs, MaxIdleSeconds * 1000);
        } else {
            Error = QStringLiteral("unknown option %1").arg(name);
            return false;
        }
        if (!ok)
            return false;
    }
    return true;
}

// Raises the soft descriptor limit to what the clients need (up to the hard
// limit); false when even the hard limit is too low.
bool RaiseDescriptorLimit(int Clients, QString& Error)
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return true;
    const rlim_t wanted = rlim_t(Clients) + SpareDescriptors;
    if (limit.rlim_cur >= wanted)
        return true;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
        Error = QStringLiteral("%1 clients need %2 descriptors; the hard limit is %3")
                    .arg(Clients).arg(qulonglong(wanted)).arg(qulonglong(limit.rlim_max));
        return false;
    }
    limit.rlim_cur = wanted;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        Error = QStringLiteral("setrlimit: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    return true;
}

double Percentile(const std::vector<double>& Sorted, double Fraction)
{
    if (Sorted.empty())
        return 0;
    // Nearest rank.
    const auto rank = std::size_t(std::ceil(Fraction * double(Sorted.size())));
    return Sorted[std::min(Sorted.size() - 1, rank == 0 ? 0 : rank - 1)];
}

const char* Verdict(bool Met)
{
    return Met ? "MET" : "MISSED";
}

struct TServerCpu {
    double Seconds = -1;
    double Wall = 0;
};

void PrintServerCpu(const TServerCpu& Cpu)
{
    if (Cpu.Seconds < 0 || Cpu.Wall <= 0)
        std::printf("  server CPU              : unknown\n");
    else
        std::printf("  server CPU              : %.2f s in %.1f s (%.0f%% of one core)\n", Cpu.Seconds, Cpu.Wall,
                    100.0 * Cpu.Seconds / Cpu.Wall);
}

// Prints the listening client's figures; true when the goal was met.
bool ReportThroughput(const TThroughputResult& Result, double Rate)
{
    if (!Result.Error.isEmpty()) {
        std::printf("  listening client failed : %s\n", qPrintable(Result.Error));
        return false;
    }
    const double perSecond = double(Result.Alerts) / Result.Seconds;
    std::vector<qint64> seconds = Result.PerSecond;
    std::sort(seconds.begin(), seconds.end());
    std::printf("  alerts received         : %s in %.0f s = %s per second (market rate %s)\n",
                Grouped(Result.Alerts).c_str(), Result.Seconds, Grouped(qint64(perSecond)).c_str(),
                Grouped(qint64(Rate)).c_str());
    if (!seconds.empty())
        std::printf("  per second min/med/max  : %s / %s / %s\n", Grouped(seconds.front()).c_str(),
                    Grouped(seconds[seconds.size() / 2]).c_str(), Grouped(seconds.back()).c_str());
    std::printf("  bytes per second        : %.2f MB compressed, %.2f MB decompressed\n",
                double(Result.CompressedBytes) / Result.Seconds / 1e6, double(Result.PlainBytes) / Result.Seconds / 1e6);
    const bool met = perSecond >= GoalAlertsPerSecond;
    std::printf("  goal >= %s alerts/s  : %s\n", Grouped(qint64(GoalAlertsPerSecond)).c_str(), Verdict(met));
    return met;
}

// Prints the idle clients' figures; true when the goal was met.
bool ReportIdle(const TIdleResult& Result, int PingIntervalMs)
{
    if (!Result.Error.isEmpty()) {
        std::printf("  idle clients failed     : %s\n", qPrintable(Result.Error));
        return false;
    }
    std::vector<double> sorted = Result.LatenciesMs;
    std::sort(sorted.begin(), sorted.end());
    std::printf("  clients logged in       : %d of %d in %.2f s\n", Result.LoggedIn, Result.Clients, Result.LoginSeconds);
    std::printf("  pings answered          : %s of %s sent (every %d ms per client, %.1f s)\n",
                Grouped(Result.PingsAnswered).c_str(), Grouped(Result.PingsSent).c_str(), PingIntervalMs,
                Result.PingWindowSeconds);
    std::printf("  connections lost        : %d\n", Result.ConnectionsLost);
    if (!sorted.empty())
        std::printf("  ping round trip (ms)    : p50 %.3f  p90 %.3f  p99 %.3f  max %.3f\n", Percentile(sorted, 0.5),
                    Percentile(sorted, 0.9), Percentile(sorted, 0.99), sorted.back());
    for (const QString& error : Result.FirstErrors)
        std::printf("  problem                 : %s\n", qPrintable(error));
    const bool met = Result.Clients >= GoalIdleClients && Result.LoggedIn == Result.Clients
                     && Result.ConnectionsLost == 0 && Result.PingsSent > 0
                     && Result.PingsAnswered == Result.PingsSent;
    std::printf("  goal %s clients, every ping answered: %s%s\n", Grouped(GoalIdleClients).c_str(), Verdict(met),
                Result.Clients < GoalIdleClients ? " (fewer clients than the goal)" : "");
    return met;
}

// Each phase returns 0 (goal met), 1 (missed) or 2 (could not run).
int RunThroughputPhase(const TOptions& Options)
{
    std::printf("\n[throughput] one listening client, market --rate %s, %d s measured after %d ms warm-up\n",
                Grouped(qint64(Options.Rate)).c_str(), Options.MeasureSeconds, WarmUpMs);
    TServerProcess server;
    QString error;
    if (!server.Start(Options.Server, {QStringLiteral("--rate"), QString::number(Options.Rate)}, error)) {
        std::printf("  server failed           : %s\n", qPrintable(error));
        return 2;
    }
    // The server's CPU time is read around the whole run of the client; the
    // login and warm-up second are part of it.
    const double cpuBefore = server.CpuSeconds();
    const double clientCpuBefore = ProcessCpuSeconds();
    const TTime started = TClock::now();
    const TThroughputResult result = RunListeningClient(server.Port(), Options.MeasureSeconds);
    const double wall = SecondsBetween(started, TClock::now());
    const TServerCpu cpu{cpuBefore < 0 ? -1 : server.CpuSeconds() - cpuBefore, wall};
    const double clientCpu = ProcessCpuSeconds() - clientCpuBefore;
    const bool met = ReportThroughput(result, Options.Rate);
    PrintServerCpu(cpu);
    std::printf("  bench CPU               : %.2f s in %.1f s\n", clientCpu, wall);
    return met ? 0 : 1;
}

int RunIdlePhase(const TOptions& Options, bool WithListener)
{
    const char* title = WithListener ? "combined" : "idle";
    std::printf("\n[%s] %d clients logged in, pinging every %d ms for %d s%s\n", title, Options.Clients,
                Options.PingIntervalMs, Options.IdleSeconds,
                WithListener ? qPrintable(QStringLiteral(", plus one listening client at --rate %1")
                                              .arg(QString::fromStdString(Grouped(qint64(Options.Rate)))))
                             : "");
    TServerProcess server;
    QString error;
    const QStringList arguments{QStringLiteral("--rate"), WithListener ? QString::number(Options.Rate) : QStringLiteral("0")};
    if (!server.Start(Options.Server, arguments, error)) {
        std::printf("  server failed           : %s\n", qPrintable(error));
        return 2;
    }
    TIdleClients clients(server.Port(), Options.Clients, Options.PingIntervalMs, Options.IdleSeconds);
    double cpuAtStart = -1;
    TServerCpu cpu;
    TTime windowStart{};
    std::unique_ptr<std::thread> listener;
    TThroughputResult listened;
    // The listener measures inside the ping window: warm-up, then all but the
    // last second of it.
    const int listenSeconds = std::max(1, Options.IdleSeconds - WarmUpMs / 1000 - 1);
    qint64 residentKiB = -1;
    double benchCpuAtStart = 0;
    clients.OnPingWindowStart = [&] {
        residentKiB = server.ResidentKiB();
        cpuAtStart = server.CpuSeconds();
        benchCpuAtStart = ProcessCpuSeconds();
        windowStart = TClock::now();
        if (WithListener)
            listener = std::make_unique<std::thread>([&] { listened = RunListeningClient(server.Port(), listenSeconds); });
    };
    clients.OnPingWindowEnd = [&] {
        const double now = server.CpuSeconds();
        cpu = TServerCpu{cpuAtStart < 0 || now < 0 ? -1 : now - cpuAtStart, SecondsBetween(windowStart, TClock::now())};
    };
    const TIdleResult result = clients.Run();
    if (listener)
        listener->join();
    const double benchCpu = ProcessCpuSeconds() - benchCpuAtStart;
    bool met = ReportIdle(result, Options.PingIntervalMs);
    PrintServerCpu(cpu);
    if (residentKiB >= 0)
        std::printf("  server memory           : %.1f MiB resident with the clients logged in\n", double(residentKiB) / 1024.0);
    std::printf("  bench CPU               : %.2f s in the ping window and after\n", benchCpu);
    if (WithListener) {
        std::printf("  listening client (%d s measured after %d ms warm-up, inside the ping window):\n", listenSeconds,
                    WarmUpMs);
        met = ReportThroughput(listened, Options.Rate) && met;
    }
    if (!result.Error.isEmpty())
        return 2;
    return met ? 0 : 1;
}

QString DefaultServerPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/BrenikAlertServer");
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TOptions options;
    QString error;
    bool help = false;
    if (!ParseOptions(app.arguments().mid(1), options, error, help)) {
        std::fprintf(stderr, "AlertServerBench: %s\n%s", qPrintable(error), HelpText);
        return 2;
    }
    if (help) {
        std::fputs(HelpText, stdout);
        return 0;
    }
    if (options.Server.isEmpty())
        options.Server = DefaultServerPath();
    if (!QFileInfo(options.Server).isExecutable()) {
        std::fprintf(stderr, "AlertServerBench: %s is no program (build the target BrenikAlertServer)\n",
                     qPrintable(options.Server));
        return 2;
    }
    const bool needsClients = options.Phases.contains(QLatin1String("idle")) || options.Phases.contains(QLatin1String("combined"));
    if (needsClients && !RaiseDescriptorLimit(options.Clients, error)) {
        std::fprintf(stderr, "AlertServerBench: %s\n", qPrintable(error));
        return 2;
    }

    std::printf("AlertServerBench %s, %ld cores, load average %s\n",
                qPrintable(QDateTime::currentDateTime().toString(Qt::ISODate)), sysconf(_SC_NPROCESSORS_ONLN),
                LoadAverage().constData());
    std::printf("server: %s\n", qPrintable(options.Server));
    std::fflush(stdout);

    int worst = 0;
    for (const QString& phase : std::as_const(options.Phases)) {
        int outcome = 0;
        if (phase == QLatin1String("throughput"))
            outcome = RunThroughputPhase(options);
        else
            outcome = RunIdlePhase(options, phase == QLatin1String("combined"));
        worst = std::max(worst, outcome);
        std::fflush(stdout);
    }
    std::printf("\nload average at the end %s; %s\n", LoadAverage().constData(),
                worst == 0 ? "every goal met" : worst == 1 ? "a goal was missed" : "a phase could not run");
    return worst;
}
