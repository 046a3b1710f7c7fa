#include "shell/app_life.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSessionManager>
#include <QSocketNotifier>

namespace psf::shell {

namespace {

int signal_pipe[2] = {-1, -1};

void on_signal(int) {
    const char one = 1;
    [[maybe_unused]] const auto n = ::write(signal_pipe[1], &one, 1);
}

// The name a second start uses to find the window of its data folder.
QString instance_name(const std::string& DataFolder) {
    const QByteArray key =
        QCryptographicHash::hash(QByteArray::fromStdString(DataFolder), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    return "picsifter-" + QString::fromLatin1(key);
}

}  // namespace

AppLife::~AppLife() = default;

void AppLife::call_first(const std::string& DataFolder) {
    QLocalSocket first;
    first.connectToServer(instance_name(DataFolder));
    if (first.waitForConnected(2000)) first.disconnectFromServer();
}

void AppLife::listen(const std::string& DataFolder, std::function<void()> come_forward) {
    const QString name = instance_name(DataFolder);
    QLocalServer::removeServer(name);  // left by a window that crashed; we hold the lock
    server_ = new QLocalServer(this);
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, [this, come_forward] {
        while (QLocalSocket* peer = server_->nextPendingConnection()) {
            peer->deleteLater();
            come_forward();
        }
    });
    server_->listen(name);
}

void end_on_signals(std::function<void()> end) {
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signal_pipe) != 0) {
        // The signals keep their default action, which ends the window without its clean end.
        std::fprintf(stderr,
                     "picsifter: SIGTERM, SIGINT and SIGHUP cannot end the window cleanly: %s\n",
                     std::strerror(errno));
    } else {
        struct sigaction action {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &action, nullptr);
        auto* watch = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, qApp);
        QObject::connect(watch, &QSocketNotifier::activated, qApp, [end] {
            char drained[16];
            [[maybe_unused]] const auto n = ::read(signal_pipe[0], drained, sizeof drained);
            end();
        });
    }
    QObject::connect(qApp, &QGuiApplication::commitDataRequest, [end](QSessionManager&) { end(); });
}

bool close_nested_loops() {
    bool any = false;
    for (QWidget* popup; (popup = QApplication::activePopupWidget()) && popup->close();) any = true;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* dialog = qobject_cast<QDialog*>(w);
            dialog && dialog->isVisible() && dialog->windowModality() != Qt::NonModal) {
            dialog->done(QDialog::Rejected);
            any = true;
        }
    return any;
}

}  // namespace psf::shell
