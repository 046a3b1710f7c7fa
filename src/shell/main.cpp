// picsifter: the desktop program. The window reads no command-line arguments.
#include <QApplication>
#include <QIcon>

#include "platform/app_data.h"
#include "shell/app_life.h"
#include "shell/f_psf.h"

int main(int argc, char** argv) {
    // Caught from the start, a signal waits in its pipe until the window can
    // end; made before the application, the pipe outlives its notifier.
    psf::EndSignals caught;
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
    psf::shell::end_on_signals(caught, [&window] { window.quit_now(); });

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
