#include "AlertServer.h"

#include "ClientSession.h"
#include "ReplaySource.h"
#include "SyntheticMarket.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <cstdio>

namespace {

const QByteArray PasswordKey = QByteArrayLiteral("password");
const QByteArray MaskedPassword = QByteArrayLiteral("***");

QString Prefix(quint64 Number)
{
    return Number > 0 ? QStringLiteral("#%1 ").arg(Number) : QString();
}

} // namespace

TAlertServer::TAlertServer(TServerOptions Options)
    : FOptions(std::move(Options))
    , FTcpServer(std::make_unique<QTcpServer>())
{
    FTurnTimer.setSingleShot(true);
    FTurnTimer.setInterval(0);
    QObject::connect(&FTurnTimer, &QTimer::timeout, [this] { RunTurn(); });
    FSourceTimer.setSingleShot(true);
    FSourceTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&FSourceTimer, &QTimer::timeout, [this] { RunSource(); });
    QObject::connect(FTcpServer.get(), &QTcpServer::newConnection, [this] { AcceptConnections(); });
    QObject::connect(FTcpServer.get(), &QTcpServer::acceptError, [this](QAbstractSocket::SocketError) {
        LogWarning(0, QStringLiteral("cannot accept a connection: %1; retrying shortly").arg(FTcpServer->errorString()));
        FTcpServer->pauseAccepting();
        QTimer::singleShot(AcceptRetryDelayMs, FTcpServer.get(), [this] { FTcpServer->resumeAccepting(); });
    });
}

TAlertServer::~TAlertServer()
{
    FTurnTimer.stop();
    FSourceTimer.stop();
    FTcpServer->close();
    FDirty.clear();
    FSessions.clear();
}

bool TAlertServer::Listen()
{
    FClock.start();
    if (!FOptions.ReplayFile.isEmpty()) {
        FSource = TReplaySource::LoadFile(FOptions.ReplayFile, FOptions.Rate, FOptions.Loop, 0, FErrorText);
        if (!FSource)
            return false;
    } else {
        auto market = std::make_unique<TSyntheticMarket>(FOptions.Seed, FOptions.Rate, FOptions.PointsWid, 0);
        market->SetLosersWid(FOptions.LosersWid);
        FSource = std::move(market);
    }
    FTcpServer->setListenBacklogSize(ListenBacklog);
    if (!FTcpServer->listen(FOptions.ListenAddress, FOptions.Port)) {
        FErrorText = QStringLiteral("cannot listen on %1 port %2: %3")
                         .arg(FOptions.ListenAddress.toString())
                         .arg(FOptions.Port)
                         .arg(FTcpServer->errorString());
        FSource.reset();
        return false;
    }
    // The source clock stands still until the first client listens.
    FPauseStartMs = FClock.elapsed();
    LogInfo(0, QStringLiteral("listening on %1 port %2, alerts from %3")
                   .arg(Address().toString())
                   .arg(Port())
                   .arg(FOptions.ReplayFile.isEmpty() ? QStringLiteral("the synthetic market")
                                                      : FOptions.ReplayFile));
    return true;
}

QHostAddress TAlertServer::Address() const
{
    return FTcpServer->serverAddress();
}

quint16 TAlertServer::Port() const
{
    return FTcpServer->serverPort();
}

TAlertServer::TStatistics TAlertServer::Statistics() const
{
    TStatistics statistics = FStatistics;
    for (const auto& [number, session] : FSessions) {
        Q_UNUSED(number);
        statistics.AlertsSent += session->AlertsSent();
        statistics.AlertsDropped += session->AlertsDropped();
    }
    return statistics;
}

// ---------------------------------------------------------------------------
// Log

void TAlertServer::Log(const QString& Line) const
{
    if (OnLog) {
        OnLog(Line);
        return;
    }
    const QByteArray text = QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")).toUtf8() + Line.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
}

void TAlertServer::LogRequest(quint64 Number, const TDecodedRequest& Request) const
{
    if (FOptions.Quiet)
        return;
    TMessageToServer shown = Request.Pairs;
    for (TMessagePair& pair : shown)
        if (pair.Key == PasswordKey)
            pair.Value = MaskedPassword;
    // The request's bytes are the client's: escape what would break the line.
    Log(Prefix(Number) + PrintableBytes(MessageToText(shown), 2000));
}

void TAlertServer::LogInfo(quint64 Number, const QString& Text) const
{
    if (!FOptions.Quiet)
        Log(Prefix(Number) + Text);
}

void TAlertServer::LogWarning(quint64 Number, const QString& Text) const
{
    Log(Prefix(Number) + QStringLiteral("warning: ") + Text);
}

// ---------------------------------------------------------------------------
// Connections

void TAlertServer::AcceptConnections()
{
    while (FTcpServer->hasPendingConnections()) {
        std::unique_ptr<QTcpSocket> socket(FTcpServer->nextPendingConnection());
        if (!socket)
            break;
        socket->setParent(nullptr); // the session owns it from here on
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        const quint64 number = FNextNumber++;
        ++FStatistics.Connections;
        FSessions.emplace(number, std::make_unique<TClientSession>(*this, std::move(socket), number));
    }
}

void TAlertServer::RequestFlush(TClientSession* Session)
{
    FDirty.push_back(Session);
    ScheduleTurn();
}

void TAlertServer::SessionClosed()
{
    FReapNeeded = true;
    ScheduleTurn();
}

void TAlertServer::ScheduleTurn()
{
    if (!FTurnTimer.isActive())
        FTurnTimer.start();
}

void TAlertServer::RunTurn()
{
    // Sessions flush in the order they asked; a session may ask only once
    // per turn, and none is destroyed before the reaping below.
    std::vector<TClientSession*> dirty;
    dirty.swap(FDirty);
    for (TClientSession* session : dirty)
        session->Flush();
    if (FReapNeeded) {
        FReapNeeded = false;
        for (auto it = FSessions.begin(); it != FSessions.end();) {
            if (it->second->Closed()) {
                FDirty.erase(std::remove(FDirty.begin(), FDirty.end(), it->second.get()), FDirty.end());
                FStatistics.AlertsSent += it->second->AlertsSent();
                FStatistics.AlertsDropped += it->second->AlertsDropped();
                it = FSessions.erase(it);
            } else {
                ++it;
            }
        }
    }
    UpdateListeners();
}

QByteArray TAlertServer::SessionIdFor(const QByteArray& UserName, const QByteArray& Presented)
{
    const auto known = FSessionUsers.constFind(Presented);
    if (!Presented.isEmpty() && known != FSessionUsers.constEnd() && *known == UserName)
        return Presented;
    QByteArray id;
    do {
        const quint64 high = QRandomGenerator::system()->generate64();
        const quint64 low = QRandomGenerator::system()->generate64();
        id = QByteArray::number(high, 16).rightJustified(16, '0') + QByteArray::number(low, 16).rightJustified(16, '0');
    } while (FSessionUsers.contains(id));
    FSessionUsers.insert(id, UserName);
    FSessionOrder.enqueue(id);
    while (FSessionOrder.size() > MaxRememberedSessions)
        FSessionUsers.remove(FSessionOrder.dequeue());
    return id;
}

// ---------------------------------------------------------------------------
// Alerts

void TAlertServer::ListenersChanged()
{
    FListenersDirty = true;
    ScheduleTurn();
}

qint64 TAlertServer::SourceClockMs() const
{
    return (FSourceRunning ? FClock.elapsed() : FPauseStartMs) - FPausedMs;
}

void TAlertServer::UpdateListeners()
{
    if (!FListenersDirty || !FSource)
        return;
    FListenersDirty = false;
    QList<QByteArray> categories;
    bool anyone = false;
    for (const auto& [number, session] : FSessions) {
        Q_UNUSED(number);
        if (!session->Listening())
            continue;
        anyone = true;
        for (const QByteArray& category : session->Categories())
            if (category != TAlertSource::MainCategory && !categories.contains(category))
                categories.append(category);
    }
    std::sort(categories.begin(), categories.end());
    FSource->SetListenedCategories(categories);
    if (anyone && !FSourceRunning) {
        FPausedMs += FClock.elapsed() - FPauseStartMs;
        FSourceRunning = true;
        ScheduleSource();
    } else if (!anyone && FSourceRunning) {
        FPauseStartMs = FClock.elapsed();
        FSourceRunning = false;
        FSourceTimer.stop();
    }
}

void TAlertServer::ScheduleSource()
{
    if (!FSourceRunning)
        return;
    const qint64 next = FSource->NextDueMs();
    if (next < 0) {
        if (!FSourceFinishedLogged)
            LogInfo(0, QStringLiteral("replay finished"));
        FSourceFinishedLogged = true;
        return;
    }
    const qint64 now = SourceClockMs();
    const qint64 at = std::max(next, FLastBatchMs + MinBatchIntervalMs);
    FSourceTimer.start(int(qBound<qint64>(0, at - now, qint64(24) * 3600 * 1000)));
}

void TAlertServer::RunSource()
{
    UpdateListeners();
    if (!FSourceRunning)
        return;
    const qint64 now = SourceClockMs();
    FBatch.Clear();
    FSource->TakeDue(TAlertClock{now, QTime::currentTime()}, MaxAlertsPerTurn, FBatch);
    FLastBatchMs = now;
    FStatistics.AlertsGenerated += quint64(FBatch.Count());
    if (FBatch.Count() > 0) {
        const QList<QByteArray>& categories = FBatch.Categories();
        FWanted.resize(std::size_t(categories.size()));
        for (const auto& [number, session] : FSessions) {
            Q_UNUSED(number);
            if (!session->Listening())
                continue;
            for (qsizetype i = 0; i < categories.size(); ++i)
                FWanted[std::size_t(i)] = session->Categories().contains(categories[i]) ? 1 : 0;
            session->QueueAlerts(FBatch, FWanted);
        }
    }
    ScheduleSource();
}
