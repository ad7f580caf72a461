// Everything that configures one alert server: what it listens on, who may
// log in, where its alerts come from, which faults it injects and how much a
// connection may hold. The program fills it from its command line; tests fill
// it directly and hand it to TAlertServer.
#pragma once

#include "UserAccounts.h"

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <optional>

struct TServerOptions {
    static constexpr quint16 DefaultPort = 9339;
    static constexpr double DefaultRate = 20.0;
    static constexpr qint32 DefaultPointsWid = 20;
    static constexpr quint64 DefaultSeed = 1;
    // Unsent output (compressed bytes queued on the socket plus frames not yet
    // compressed) above which a connection gets no more alerts until it has
    // caught up, and above which it is closed as a reader that never reads.
    static constexpr qint64 DefaultAlertBacklogLimit = qint64(4) * 1024 * 1024;
    static constexpr qint64 DefaultOutputBacklogLimit = qint64(16) * 1024 * 1024;

    QHostAddress ListenAddress = QHostAddress(QHostAddress::LocalHost);
    quint16 Port = DefaultPort; // 0 lets the system pick a free port

    // Accounts that may log in. Unset: any non-empty user name with any
    // non-empty password is accepted.
    std::optional<TUserAccounts> Users;

    // Alert source: the synthetic market unless ReplayFile is set.
    quint64 Seed = DefaultSeed;
    double Rate = DefaultRate; // alerts per second in total; 0: none from the market
    qint32 PointsWid = DefaultPointsWid;
    qint32 LosersWid = 0; // 0: no list of losers
    QString ReplayFile;
    bool Loop = false; // replay: start again at the end instead of stopping

    // Fault injection. Seconds are counted from the moment a connection is
    // accepted; 0 switches the fault off.
    bool IgnorePings = false;
    double DropAfterSeconds = 0;
    double GarbageAfterSeconds = 0;
    std::optional<QByteArray> StopText; // answer every login with STOP and this

    bool Quiet = false; // no per-request and per-connection log lines

    qint64 AlertBacklogLimit = DefaultAlertBacklogLimit;
    qint64 OutputBacklogLimit = DefaultOutputBacklogLimit;
};

// The outcome of reading a command line. When Error is non-empty the other
// fields mean nothing; HelpRequested means "print ServerHelpText() and stop".
// UsersFile names the --users file, which the caller loads into
// Options.Users (reading files is not the parser's business).
struct TParsedServerOptions {
    TServerOptions Options;
    QString UsersFile;
    bool HelpRequested = false;
    QString Error;
};

// Parses the program's arguments (without the program name). Options take
// their value as the next argument or after "=" (--rate=100 or --rate 100).
TParsedServerOptions ParseServerOptions(const QStringList& Arguments);

// The --help text: every option, the users file and the replay file grammar.
QString ServerHelpText();
