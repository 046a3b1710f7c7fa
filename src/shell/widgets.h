// Small helpers the window's files share.
#pragma once

#include <QMenu>
#include <QString>
#include <string>

namespace psf::shell {

inline QString q(const std::string& s) {
    return QString::fromStdString(s);
}

template <typename W>
W* named(W* w, const QString& name) {
    w->setObjectName(name);
    return w;
}

inline QAction* entry(QMenu* menu, const char* name, const char* caption) {
    QAction* a = menu->addAction(QString::fromUtf8(caption));
    a->setObjectName(name);
    return a;
}

}  // namespace psf::shell
