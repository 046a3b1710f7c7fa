#include "shell/messages.h"

namespace psf::shell {

QMessageBox::StandardButton MessageBoxes::show(QWidget* parent, const editor::Message& message) {
    QMessageBox box(parent);
    box.setWindowTitle(QString::fromStdString(message.title));
    box.setText(QString::fromStdString(message.text));
    switch (message.icon) {
        case editor::Icon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case editor::Icon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case editor::Icon::Information:
            box.setIcon(QMessageBox::Information);
            break;
    }
    if (message.buttons == editor::Buttons::YesNo) {
        box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
        box.setDefaultButton(QMessageBox::Yes);
    } else {
        box.setStandardButtons(QMessageBox::Ok);
    }
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace psf::shell
