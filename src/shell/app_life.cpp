#include "shell/app_life.h"

#include <cstdio>

#include <QApplication>
#include <QCryptographicHash>
#include <QDialog>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSessionManager>
#include <QSocketNotifier>

namespace psf::shell {

namespace {

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
    // Without it a second start still ends, but this window cannot come forward.
    if (!server_->listen(name))
        std::fprintf(stderr, "picsifter: a second start cannot bring this window forward: %s\n",
                     qPrintable(server_->errorString()));
}

void end_on_signals(EndSignals& caught, std::function<void()> end) {
    if (!caught.ready()) {
        std::fprintf(stderr, "picsifter: %s\n", caught.ready().error().text.c_str());
    } else {
        auto* watch = new QSocketNotifier(caught.fd(), QSocketNotifier::Read, qApp);
        QObject::connect(watch, &QSocketNotifier::activated, qApp, [&caught, end] {
            if (caught.take().signal) end();
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
