#include "shell/f_advanced.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <algorithm>

#include "shell/twips.h"
#include "shell/widgets.h"

namespace psf::shell {

namespace {
constexpr int Width = 4800, Height = 3300;  // twips
}  // namespace

f_advanced::f_advanced(QWidget* parent, const TaskExtras& current) : QDialog(parent) {
    setObjectName("f_advanced");
    setWindowTitle("Advanced");
    setFont(layout_font());
    setFixedSize(px(Width), px(Height));

    auto* kinds = place(named(new Frame("Take these kinds of images :", this), "Frame1"), 120, 60,
                        4560, 1320);
    const auto& names = image_kinds();
    const std::vector<std::string> shown =
        current.kinds.empty() ? std::vector<std::string>{"gif", "jpg", "jpeg"} : current.kinds;
    for (std::size_t k = 0; k < names.size(); ++k) {
        const int left = 120 + 1440 * static_cast<int>(k % 3);
        const int top = 300 + 300 * static_cast<int>(k / 3);
        Check1[k] = place(
            named(new QCheckBox(
                      QString::fromUtf8(names[k].data(), static_cast<int>(names[k].size())), kinds),
                  QString("Check1(%1)").arg(k)),
            left, top, 1335, 255);
        Check1[k]->setChecked(std::find(shown.begin(), shown.end(), names[k]) != shown.end());
    }

    auto* modern = place(named(new Frame("Modern pages", this), "Frame2"), 120, 1500, 4560, 1080);
    Check2 = place(named(new QCheckBox("Also images named in modern markup", modern), "Check2"),
                   120, 300, 4320, 255);
    Check2->setChecked(current.modern);
    place(named(new QLabel("Of a srcset, take :", modern), "Label1"), 360, 680, 1455, 255);
    Combo1 = place(named(new QComboBox(modern), "Combo1"), 1800, 640, 2535, 315);
    Combo1->addItems({"the largest image", "every image"});
    Combo1->setCurrentIndex(current.srcset_all ? 1 : 0);

    Command1 = place(named(new QPushButton("OK", this), "Command1"), 1800, 2760, 1335, 375);
    Command2 = place(named(new QPushButton("Cancel", this), "Command2"), 3300, 2760, 1335, 375);
    Command1->setDefault(true);
    connect(Command1, &QPushButton::clicked, this, &QDialog::accept);
    connect(Command2, &QPushButton::clicked, this, &QDialog::reject);
}

TaskExtras f_advanced::chosen() const {
    TaskExtras extras;
    for (std::size_t k = 0; k < Check1.size(); ++k)
        if (Check1[k]->isChecked()) extras.kinds.emplace_back(image_kinds()[k]);
    extras.modern = Check2->isChecked();
    extras.srcset_all = Combo1->currentIndex() == 1;
    return extras;
}

std::optional<TaskExtras> ask_extras(QWidget* parent, const TaskExtras& current) {
    f_advanced dialog(parent, current);
    if (dialog.exec() != QDialog::Accepted) return std::nullopt;
    return dialog.chosen();
}

}  // namespace psf::shell
