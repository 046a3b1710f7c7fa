#include <utility>

#include "editor/editor.h"
#include "platform/text.h"

namespace psf::editor {

namespace {

template <typename Container>
bool in_list(int position, const Container& list) {
    return position >= 0 && static_cast<std::size_t>(position) < list.size();
}

bool member_of(int member, int count) {
    return member >= 0 && member < count;
}

std::string type_text(int position) {
    return type_entries()[static_cast<std::size_t>(position)];
}

}  // namespace

TaskEditor::TaskEditor(TaskTable& table, Grid& gri, EditorHost& host, std::string drive,
                       std::string folder)
    : table_(table), gri_(gri), host_(host) {
    s_.Drive1 = std::move(drive);
    s_.Dir1 = std::move(folder);
    reinit();
}

void TaskEditor::reinit() {
    s_.Text1.clear();
    s_.Text2.clear();

    s_.Option3 = 0;
    s_.Combo1 = 0;
    s_.LinkDepth = 0;

    s_.Text5.clear();
    s_.Text6.clear();
    s_.UserName.clear();
    s_.Password.clear();

    s_.Option1 = 0;
    s_.ExistingImagePolicy = 1;

    // The drive and folder lists stay where the user left them.
    s_.DestinationFolder = s_.Dir1;

    s_.Option2 = 0;
    s_.FolderLayout = 1;

    s_.Option4 = 0;
    s_.ScheduleKind = 0;

    s_.Combo2 = 2;
    s_.IntervalIndex = 2;

    s_.Extras = {};

    s_.Combo7 = 0;
    s_.DayPeriodIndex = 0;
    s_.Combo5 = 0;
    s_.Combo6 = 0;

    s_.Check1.fill(true);

    for (std::size_t k = 0; k < 4; ++k) {
        s_.Text3[k].clear();
        s_.Text4[k].clear();
        s_.IncludePatterns[k][0].clear();
        s_.ExcludePatterns[k][0].clear();
        s_.Combo3[k] = 0;
        s_.Combo4[k] = 0;
        s_.IncludePatterns[k][2] = type_text(0);
        s_.ExcludePatterns[k][2] = type_text(0);
    }

    s_.Command2.Enabled = true;
    s_.Command3.Enabled = true;
    s_.Command4.Enabled = true;
    s_.Command6.Enabled = true;
}

void TaskEditor::Option1_Click(int member) {
    if (!member_of(member, 3)) return;
    s_.Option1 = member;
    s_.ExistingImagePolicy = member + 1;
}

void TaskEditor::Option2_Click(int member) {
    if (!member_of(member, 2)) return;
    s_.Option2 = member;
    s_.FolderLayout = member + 1;
}

void TaskEditor::Option3_Click(int member) {
    if (!member_of(member, 2)) return;
    s_.Option3 = member;
    s_.LinkDepth = member == 0 ? 0 : s_.Combo1 + 1;
}

void TaskEditor::Option4_Click(int member) {
    if (!member_of(member, 3)) return;
    s_.Option4 = member;
    s_.ScheduleKind = member;
}

void TaskEditor::Combo1_Click(int position) {
    if (!in_list(position, Combo1_entries())) return;
    s_.Combo1 = position;
    if (s_.Option3 == 1) s_.LinkDepth = position + 1;
}

void TaskEditor::Combo2_Click(int position) {
    if (!in_list(position, Combo2_entries())) return;
    s_.Combo2 = position;
    s_.IntervalIndex = position;
}

void TaskEditor::Combo3_Click(int member, int position) {
    if (!member_of(member, 4) || !in_list(position, type_entries())) return;
    s_.Combo3[static_cast<std::size_t>(member)] = position;
    s_.IncludePatterns[static_cast<std::size_t>(member)][2] = type_text(position);
}

void TaskEditor::Combo4_Click(int member, int position) {
    if (!member_of(member, 4) || !in_list(position, type_entries())) return;
    s_.Combo4[static_cast<std::size_t>(member)] = position;
    s_.ExcludePatterns[static_cast<std::size_t>(member)][2] = type_text(position);
}

void TaskEditor::Combo5_Click(int position) {
    if (in_list(position, Combo5_entries())) s_.Combo5 = position;
}

void TaskEditor::Combo6_Click(int position) {
    if (in_list(position, Combo6_entries())) s_.Combo6 = position;
}

void TaskEditor::Combo7_Click(int position) {
    if (!in_list(position, Combo7_entries())) return;
    s_.Combo7 = position;
    s_.DayPeriodIndex = position;
}

void TaskEditor::Check1_Click(int member, bool ticked) {
    if (member_of(member, 7)) s_.Check1[static_cast<std::size_t>(member)] = ticked;
}

bool TaskEditor::Drive1_Change(const std::string& drive) {
    if (drive == s_.Drive1) return true;  // the list raises no change for its own drive
    if (!host_.drive_ready(drive)) return false;
    s_.Drive1 = drive;
    Dir1_Change(host_.drive_folder(drive));
    return true;
}

void TaskEditor::Dir1_Change(const std::string& folder) {
    s_.Dir1 = folder;
    s_.DestinationFolder = folder;
}

void TaskEditor::Text1_Change(std::string text) {
    s_.Text1 = std::move(text);
}
void TaskEditor::Text2_Change(std::string text) {
    s_.Text2 = std::move(text);
}
void TaskEditor::Text5_Change(std::string text) {
    s_.Text5 = std::move(text);
}
void TaskEditor::Text6_Change(std::string text) {
    s_.Text6 = std::move(text);
}

void TaskEditor::Text3_Change(int member, std::string text) {
    if (member_of(member, 4)) s_.Text3[static_cast<std::size_t>(member)] = std::move(text);
}

void TaskEditor::Text4_Change(int member, std::string text) {
    if (member_of(member, 4)) s_.Text4[static_cast<std::size_t>(member)] = std::move(text);
}

std::optional<Message> TaskEditor::Text2_Validate() const {
    return check_address(s_.Text2);
}

std::vector<Message> TaskEditor::Text3_Validate(int member) {
    if (!member_of(member, 4)) return {};
    const auto k = static_cast<std::size_t>(member);
    s_.IncludePatterns[k][0] = std::string(trim_blanks(s_.Text3[k]));
    return check_file_name(s_.Text3[k]);
}

std::vector<Message> TaskEditor::Text4_Validate(int member) {
    if (!member_of(member, 4)) return {};
    const auto k = static_cast<std::size_t>(member);
    s_.ExcludePatterns[k][0] = std::string(trim_blanks(s_.Text4[k]));
    return check_file_name(s_.Text4[k]);
}

void TaskEditor::Text5_Validate() {
    s_.UserName = std::string(trim_blanks(s_.Text5));
}
void TaskEditor::Text6_Validate() {
    s_.Password = std::string(trim_blanks(s_.Text6));
}

bool TaskEditor::Extras_Change(TaskExtras extras) {
    if (!normalise(extras)) return false;
    s_.Extras = std::move(extras);
    return true;
}

Outcome TaskEditor::m_reinit_Click() {
    if (!s_.m_reinit.Enabled) return {};
    reinit();
    return Outcome{std::nullopt, true};
}

void TaskEditor::set_busy(bool busy) {
    for (const TaskCommand& c : TaskCommands) (s_.*c.state).Enabled = !busy;
}

}  // namespace psf::editor
