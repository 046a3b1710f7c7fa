#include "shell/messages.h"

#include <QGridLayout>
#include <QSpacerItem>

namespace psf::shell {

namespace {
constexpr int MinimumWidth = 240;  // px
}

QMessageBox::StandardButton MessageBoxes::show(QWidget* parent, const editor::Message& message) {
    // Over the window when it is on the screen, else in the screen's centre.
    QMessageBox box(parent && parent->isVisible() ? parent : nullptr);
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
    // A window manager shortens a title that does not fit beside its buttons.
    if (auto* grid = qobject_cast<QGridLayout*>(box.layout()))
        grid->addItem(new QSpacerItem(MinimumWidth, 0), grid->rowCount(), 0, 1,
                      grid->columnCount());
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

}  // namespace psf::shell
