// The BrenikAlertServer program: reads its options, starts the alert server
// and runs until it is interrupted (SIGINT or SIGTERM end it cleanly).
#include "AlertServer.h"
#include "ServerOptions.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdio>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(SignalPipe[1], &byte, 1);
}

// A thousand clients need a thousand descriptors; the usual soft limit of
// 1024 leaves no room for more.
void RaiseDescriptorLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

void PrintError(const QString& Text)
{
    std::fprintf(stderr, "BrenikAlertServer: %s\n", Text.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    TParsedServerOptions parsed = ParseServerOptions(app.arguments().mid(1));
    if (!parsed.Error.isEmpty()) {
        PrintError(parsed.Error);
        return 2;
    }
    if (parsed.HelpRequested) {
        std::fputs(ServerHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    }
    if (!parsed.UsersFile.isEmpty()) {
        QString error;
        parsed.Options.Users = TUserAccounts::LoadFile(parsed.UsersFile, error);
        if (!parsed.Options.Users) {
            PrintError(error);
            return 2;
        }
    }
    RaiseDescriptorLimit();

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, SignalPipe) == 0) {
        auto* notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        std::signal(SIGINT, OnSignal);
        std::signal(SIGTERM, OnSignal);
    }
    std::signal(SIGPIPE, SIG_IGN);

    TAlertServer server(parsed.Options);
    if (!server.Listen()) {
        PrintError(server.ErrorText());
        return 1;
    }
    const QHostAddress address = server.Address();
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QStringLiteral("[%1]").arg(address.toString())
                             : address.toString();
    // A parent process that asked for port 0 reads the chosen port here.
    std::printf("listening on %s:%u\n", host.toLatin1().constData(), unsigned(server.Port()));
    std::fflush(stdout);
    return app.exec();
}
