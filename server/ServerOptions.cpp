#include "ServerOptions.h"

#include <cmath>

namespace {

// Limits that keep a typo from turning into something absurd.
constexpr double MaxRate = 10'000'000.0;
constexpr double MaxFaultSeconds = 1'000'000.0;

bool TakesValue(const QString& Name)
{
    static const QStringList withValue = {
        QStringLiteral("--listen"),     QStringLiteral("--users"),      QStringLiteral("--seed"),
        QStringLiteral("--rate"),       QStringLiteral("--points-wid"), QStringLiteral("--losers-wid"), QStringLiteral("--replay"),
        QStringLiteral("--drop-after"), QStringLiteral("--garbage-after"), QStringLiteral("--stop"),
    };
    return withValue.contains(Name);
}

bool IsFlag(const QString& Name)
{
    static const QStringList flags = {
        QStringLiteral("--loop"), QStringLiteral("--ignore-pings"), QStringLiteral("--quiet"),
    };
    return flags.contains(Name);
}

// "HOST:PORT" with HOST an IPv4 address, "[IPv6]" or "localhost".
bool ParseListen(const QString& Text, TServerOptions& Options, QString& Error)
{
    const qsizetype colon = Text.lastIndexOf(QLatin1Char(':'));
    if (colon < 0) {
        Error = QStringLiteral("--listen: \"%1\" is not HOST:PORT").arg(Text);
        return false;
    }
    QString host = Text.left(colon);
    const QString portText = Text.mid(colon + 1);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    QHostAddress address;
    if (host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0)
        address = QHostAddress(QHostAddress::LocalHost);
    else if (!address.setAddress(host)) {
        Error = QStringLiteral("--listen: \"%1\" is not an IP address or localhost").arg(host);
        return false;
    }
    bool ok = false;
    const uint port = portText.toUInt(&ok);
    if (!ok || port > 65535) {
        Error = QStringLiteral("--listen: \"%1\" is not a port number from 0 to 65535").arg(portText);
        return false;
    }
    Options.ListenAddress = address;
    Options.Port = quint16(port);
    return true;
}

bool ParseNumber(const QString& Name, const QString& Text, double Min, double Max, bool MinAllowed,
                 double& Result, QString& Error)
{
    bool ok = false;
    const double value = Text.toDouble(&ok); // always "." as decimal separator
    if (!ok || !std::isfinite(value) || value > Max || value < Min || (!MinAllowed && value == Min)) {
        Error = QStringLiteral("%1: \"%2\" is not a number %3 %4 and at most %5")
                    .arg(Name, Text, MinAllowed ? QStringLiteral("of at least") : QStringLiteral("above"))
                    .arg(Min)
                    .arg(Max, 0, 'g', 10);
        return false;
    }
    Result = value;
    return true;
}

bool ApplyOption(const QString& Name, const QString& Value, TParsedServerOptions& Parsed)
{
    TServerOptions& options = Parsed.Options;
    QString& error = Parsed.Error;
    if (Name == QLatin1String("--listen"))
        return ParseListen(Value, options, error);
    if (Name == QLatin1String("--users")) {
        Parsed.UsersFile = Value;
        return true;
    }
    if (Name == QLatin1String("--seed")) {
        bool ok = false;
        options.Seed = Value.toULongLong(&ok);
        if (!ok)
            error = QStringLiteral("--seed: \"%1\" is not a whole number of 0 or more").arg(Value);
        return ok;
    }
    if (Name == QLatin1String("--rate"))
        return ParseNumber(Name, Value, 0, MaxRate, true, options.Rate, error);
    if (Name == QLatin1String("--points-wid")) {
        bool ok = false;
        options.PointsWid = Value.toInt(&ok);
        if (!ok)
            error = QStringLiteral("--points-wid: \"%1\" is not a whole number").arg(Value);
        return ok;
    }
    if (Name == QLatin1String("--losers-wid")) {
        bool ok = false;
        options.LosersWid = Value.toInt(&ok);
        if (!ok)
            error = QStringLiteral("--losers-wid: \"%1\" is not a whole number").arg(Value);
        return ok;
    }
    if (Name == QLatin1String("--replay")) {
        options.ReplayFile = Value;
        return true;
    }
    if (Name == QLatin1String("--drop-after"))
        return ParseNumber(Name, Value, 0, MaxFaultSeconds, false, options.DropAfterSeconds, error);
    if (Name == QLatin1String("--garbage-after"))
        return ParseNumber(Name, Value, 0, MaxFaultSeconds, false, options.GarbageAfterSeconds, error);
    if (Name == QLatin1String("--stop")) {
        // The client shows only the line after "STOP": a line break in the
        // text would cut it short without anyone noticing.
        if (Value.contains(QLatin1Char('\r')) || Value.contains(QLatin1Char('\n'))) {
            error = QStringLiteral("--stop: the text must be one line");
            return false;
        }
        options.StopText = Value.toUtf8();
        return true;
    }
    if (Name == QLatin1String("--loop"))
        options.Loop = true;
    else if (Name == QLatin1String("--ignore-pings"))
        options.IgnorePings = true;
    else if (Name == QLatin1String("--quiet"))
        options.Quiet = true;
    return true;
}

} // namespace

TParsedServerOptions ParseServerOptions(const QStringList& Arguments)
{
    TParsedServerOptions parsed;
    for (qsizetype i = 0; i < Arguments.size(); ++i) {
        const QString& argument = Arguments[i];
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            parsed.HelpRequested = true;
            continue;
        }
        QString name = argument;
        std::optional<QString> value;
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        if (argument.startsWith(QLatin1String("--")) && equals > 0) {
            name = argument.left(equals);
            value = argument.mid(equals + 1);
        }
        if (TakesValue(name)) {
            if (!value) {
                if (i + 1 >= Arguments.size()) {
                    parsed.Error = QStringLiteral("%1 needs a value (see --help)").arg(name);
                    return parsed;
                }
                value = Arguments[++i];
            }
        } else if (IsFlag(name)) {
            if (value) {
                parsed.Error = QStringLiteral("%1 takes no value").arg(name);
                return parsed;
            }
        } else {
            parsed.Error = argument.startsWith(QLatin1Char('-'))
                               ? QStringLiteral("unknown option %1 (see --help)").arg(name)
                               : QStringLiteral("unexpected argument \"%1\" (see --help)").arg(argument);
            return parsed;
        }
        if (!ApplyOption(name, value.value_or(QString()), parsed))
            return parsed;
    }
    if (parsed.Options.Loop && parsed.Options.ReplayFile.isEmpty())
        parsed.Error = QStringLiteral("--loop needs --replay FILE");
    return parsed;
}

QString ServerHelpText()
{
    return QStringLiteral(
        "Usage: BrenikAlertServer [options]\n"
        "\n"
        "A local alert server for Brenik Trading Alerts: it accepts the client's\n"
        "connections, logs users in, answers pings and pushes alerts, either from a\n"
        "synthetic market or from a replay file.\n"
        "\n"
        "Options:\n"
        "  --listen HOST:PORT     address to listen on (default 127.0.0.1:9339). HOST is\n"
        "                         an IP address ([::1] for IPv6) or localhost; PORT 0\n"
        "                         picks a free port. The address actually used is\n"
        "                         printed on standard output as\n"
        "                         \"listening on HOST:PORT\".\n"
        "  --users FILE           accounts that may log in, one \"name:password\" per line\n"
        "                         (split at the first \":\"; blank lines and lines\n"
        "                         starting with \"#\" are skipped). Without it any\n"
        "                         non-empty user name and password are accepted.\n"
        "  --seed N               seed of the synthetic market (default 1); the same\n"
        "                         seed gives the same alerts.\n"
        "  --rate N               alerts per second in total (default 20; fractions\n"
        "                         allowed; 0: none). With --replay: the pace of lines\n"
        "                         that carry no delay of their own.\n"
        "  --points-wid N         window identifier of the points top list, sent about\n"
        "                         once a second (default 20).\n"
        "  --losers-wid N         also send a points top list of the biggest losers\n"
        "                         to window N with each list of gainers (default: none).\n"
        "  --replay FILE          send the alerts of FILE instead of the synthetic\n"
        "                         market (grammar below).\n"
        "  --loop                 with --replay: start again at the end of the file\n"
        "                         instead of stopping.\n"
        "  --ignore-pings         stop answering pings once a connection has logged in.\n"
        "  --drop-after SECONDS   drop each connection that long after it was accepted\n"
        "                         (fractions allowed, e.g. 0.5).\n"
        "  --garbage-after SECONDS  that long after a connection was accepted, send it\n"
        "                         bytes that are not a valid zlib continuation, then\n"
        "                         send nothing more.\n"
        "  --stop TEXT            answer every login with STOP and TEXT, then close.\n"
        "  --quiet                no log line per request or per connection; warnings\n"
        "                         (bad input, slow readers, injected faults) remain.\n"
        "  -h, --help             show this text.\n"
        "\n"
        "Alerts go to connections that sent listen_for_alerts, framed with that\n"
        "request's message_id, when their category was added with\n"
        "add_alert_category. The synthetic market sends on \"BRENIK-main\" and, when\n"
        "clients subscribe to other categories, spreads half of its alerts over them.\n"
        "\n"
        "Replay file: one alert per line, lines ending with LF or CR LF:\n"
        "    [DELAY <TAB>] CATEGORY <TAB> FIELDS\n"
        "  DELAY     milliseconds to wait after the previous alert (0 to 86400000);\n"
        "            a line without it follows the previous one at --rate (at once\n"
        "            with --rate 0).\n"
        "  CATEGORY  the alert category, not empty.\n"
        "  FIELDS    the field line, sent exactly as written: key=value pairs joined\n"
        "            by \"&\", with \"&\", \"=\", \"%\", TAB and bytes outside printable\n"
        "            ASCII percent-encoded (%26 for \"&\").\n"
        "  Empty lines and lines starting with \"#\" are skipped. Example:\n"
        "    250<TAB>BRENIK-main<TAB>w_id=1&symbol=ABC&last=10.50&time=09:31:05\n");
}
