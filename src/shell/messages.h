// Message boxes behind a seam, so tests can answer them without a screen.
#pragma once

#include <QMessageBox>

#include "editor/editor.h"

class QWidget;

namespace psf::shell {

class MessageSeam {
  public:
    virtual ~MessageSeam() = default;
    // Shows the message modally; returns the button chosen.
    virtual QMessageBox::StandardButton show(QWidget* parent, const editor::Message& message) = 0;
};

// Real message boxes with the message's title, icon and buttons.
class MessageBoxes final : public MessageSeam {
  public:
    QMessageBox::StandardButton show(QWidget* parent, const editor::Message& message) override;
};

}  // namespace psf::shell
