// The program: sets up the application, creates its windows and runs the
// event loop until the main window is closed.
//
// Usage: BrenikAlerts [--help] [Qt options such as -platform offscreen]
//
// SIGTERM, SIGINT and SIGHUP close the main window as the user would, so the
// program ends the ordinary way and writes its registry settings. The
// handlers are installed first thing; a signal that arrives while the windows
// are still being created ends the program as soon as they are.
#include "BrenikAlertsMain.h"

#include <QApplication>
#include <QSocketNotifier>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// The signal handler writes the signal number here; the event loop reads it.
int SignalSocket[2] = {-1, -1};

void OnSignal(int Signal)
{
    const char byte = char(Signal);
    // Only async-signal-safe calls here. A full socket means a close is
    // already on its way.
    const ssize_t written = ::write(SignalSocket[1], &byte, 1);
    (void)written;
}

bool InstallSignalHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalSocket) != 0)
        return false;
    ::fcntl(SignalSocket[1], F_SETFL, ::fcntl(SignalSocket[1], F_GETFL) | O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(signal, &action, nullptr);
    return true;
}

const char* const HelpText =
    "Usage: BrenikAlerts [--help] [Qt options]\n"
    "\n"
    "Brenik Trading Alerts: log in to the alert server and watch its alerts.\n"
    "\n"
    "Reads ZVR.ini from the current folder (server address, subscriptions, the\n"
    "two additional alert windows) and keeps the user name and the window\n"
    "placements in ${XDG_CONFIG_HOME:-~/.config}/Quillet/BrenikAlerts.reg.\n"
    "SIGTERM, SIGINT or SIGHUP close the program like its main window's close\n"
    "button: the settings are saved.\n";

} // namespace

int main(int argc, char** argv)
{
    const bool signalsHandled = InstallSignalHandlers();
    QApplication app(argc, argv);
    // Only the main window ends the program, however many others are open.
    app.setQuitOnLastWindowClosed(false);

    const QStringList arguments = app.arguments().mid(1); // Qt's own are gone
    if (arguments.contains(QStringLiteral("--help")) || arguments.contains(QStringLiteral("-h"))) {
        std::fputs(HelpText, stdout);
        return 0;
    }
    if (!arguments.isEmpty()) {
        std::fprintf(stderr, "BrenikAlerts: unknown argument \"%s\"; see --help.\n", qPrintable(arguments.first()));
        return 2;
    }

    // A signal closes the main window; before it exists (start-up) and after
    // it is gone (shut-down) it closes an error box that is waiting for the
    // user, so the program can never hang on one.
    TMainForm* mainForm = nullptr;
    bool closeRequested = false;
    std::unique_ptr<QSocketNotifier> signalNotifier;
    if (signalsHandled) {
        signalNotifier = std::make_unique<QSocketNotifier>(SignalSocket[0], QSocketNotifier::Read);
        QObject::connect(signalNotifier.get(), &QSocketNotifier::activated, [&] {
            char byte = 0;
            const ssize_t received = ::read(SignalSocket[0], &byte, 1);
            (void)received;
            closeRequested = true;
            if (mainForm)
                mainForm->close();
            else if (QWidget* modal = QApplication::activeModalWidget())
                modal->close();
        });
    }

    auto program = std::make_unique<TBrenikProgram>();
    int result = 0;
    if (!closeRequested) {
        mainForm = program->MainForm();
        mainForm->show();
        result = app.exec();
        mainForm = nullptr;
    }
    // The windows go in reverse order of creation, the main window last,
    // which saves the settings.
    program.reset();
    return result;
}
