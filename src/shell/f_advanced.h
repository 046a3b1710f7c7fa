// The "Advanced" dialog: the image kinds a task takes and whether it also
// reads modern markup, beside the editor's described controls.
#pragma once

#include <QDialog>
#include <array>
#include <optional>

#include "store/task_table.h"

class QCheckBox;
class QComboBox;
class QPushButton;

namespace psf::shell {

class f_advanced final : public QDialog {
  public:
    f_advanced(QWidget* parent, const TaskExtras& current);

    // What the boxes say now.
    TaskExtras chosen() const;

    std::array<QCheckBox*, 9> Check1{};  // the kinds, in image_kinds() order
    QCheckBox* Check2 = nullptr;         // modern markup
    QComboBox* Combo1 = nullptr;         // srcset: the largest, or every candidate
    QPushButton *Command1 = nullptr, *Command2 = nullptr;  // OK, Cancel
};

// Shows the dialog, modal; the choice on OK, nothing on Cancel.
std::optional<TaskExtras> ask_extras(QWidget* parent, const TaskExtras& current);

}  // namespace psf::shell
