// picsifter: the desktop program. The window reads no command-line arguments.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QIcon>
#include <QSessionManager>
#include <QSocketNotifier>

#include "platform/app_data.h"
#include "shell/f_psf.h"

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const char one = 1;
    [[maybe_unused]] const auto n = ::write(signal_pipe[1], &one, 1);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    // No display name: the platform would append it to every window title.
    QApplication::setApplicationName(psf::WindowLockHolder);
    // The window lives on in the tray; only the quit flow ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/picsifter-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    psf::shell::WindowSetup setup;
    setup.app_data = psf::app_data_location();
    setup.program_folder = psf::program_folder();
    psf::shell::f_psf window(std::move(setup));

    // SIGTERM, SIGINT and SIGHUP end the program as the session's end does:
    // no question, the run stopped, the file whole.
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signal_pipe) == 0) {
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
    }
    QSocketNotifier signal_watch(signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(&signal_watch, &QSocketNotifier::activated, [&window] {
        char drained[16];
        [[maybe_unused]] const auto n = ::read(signal_pipe[0], drained, sizeof drained);
        window.quit_now();
    });
    QObject::connect(&app, &QGuiApplication::commitDataRequest,
                     [&window](QSessionManager&) { window.quit_now(); });

    switch (window.startup()) {
        case psf::shell::StartResult::HandedOver:
            return 0;
        case psf::shell::StartResult::DataFolderInUse:
            return 3;  // as picsifter-cli says it
        case psf::shell::StartResult::Shown:
        case psf::shell::StartResult::Hidden:
            break;
    }
    return QApplication::exec();
}
