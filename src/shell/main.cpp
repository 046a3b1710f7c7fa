// picsifter: the desktop program. The window reads no command-line arguments.
#include <QApplication>
#include <QIcon>

#include "platform/app_data.h"
#include "shell/f_psf.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(psf::WindowLockHolder);
    QApplication::setApplicationDisplayName("Picsifter");
    QIcon icon;
    for (int size : {16, 32, 48, 64, 128, 256})
        icon.addFile(QString(":/icons/picsifter-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);

    psf::shell::WindowSetup setup;
    setup.app_data = psf::app_data_location();
    setup.program_folder = psf::program_folder();
    psf::shell::f_psf window(std::move(setup));
    if (window.startup() != psf::shell::StartResult::Shown) return 0;
    return QApplication::exec();
}
