// The help window and the about box of the "&?" menu.
#pragma once

#include <QDialog>

#include "editor/editor.h"

class QPlainTextEdit;
class QPushButton;

namespace psf::shell {

// The help text, CR LF line ends included.
extern const char* const HelpText;

class f_help final : public QDialog {
  public:
    explicit f_help(QWidget* owner);
    QPlainTextEdit* Text1 = nullptr;
    QPushButton* Command1 = nullptr;  // "Ok"
};

// Opens the help window, or brings the open one forward: never two. It is not
// modal, and closing it discards it, so it opens afresh with its own text.
void show_help(QWidget* owner);
// The open help window, if any.
f_help* help_window();

editor::Message about_message();

}  // namespace psf::shell
