#include <algorithm>
#include <string>
#include <utility>

#include "editor/editor.h"
#include "platform/text.h"

namespace psf::editor {

namespace {

std::size_t col(int field) {
    return static_cast<std::size_t>(field);
}

// A stored number as a list position or option value, or `fallback` when it
// names nothing the control has.
int stored_value(const std::string& text, int lowest, int highest, int fallback) {
    const int value = read_number(text);
    return value >= lowest && value <= highest ? value : fallback;
}

const char* field_label(int field) {
    switch (field) {
        case Title:
            return "Title";
        case StartAddress:
            return "Internet Address";
        case UserName:
            return "User";
        case Password:
            return "Password";
        default:
            break;
    }
    if (field >= IncludeName1 && field <= IncludeType4) return "Retrieve only these images";
    if (field >= ExcludeName1 && field <= ExcludeType4) return "Do not retrieve these images";
    return "destination directory";
}

std::optional<Message> unstorable_field(const Task& task) {
    for (int field = 1; field <= FieldCount; ++field) {
        const std::string& value = task[col(field)];
        const std::size_t at = value.find_first_of(Unstorable);
        if (at == std::string::npos) continue;
        return error_message(std::string("A schedule can't hold ") +
                             (value[at] == '"' ? "a \" character" : "a line break") +
                             ": please remove it from " + field_label(field) + ".");
    }
    return std::nullopt;
}

Message save_failed(const std::string& error) {
    return program_message("The schedules could not be saved: " + error);
}

void write_row(Grid& gri, int row, const Task& task) {
    const auto cells = grid_cells(task);
    for (int c = 0; c < GridCols; ++c)
        gri.setTextMatrix(row, c, cells[static_cast<std::size_t>(c)]);
}

}  // namespace

Task TaskEditor::task_from_editor(const Task& previous, bool is_new) const {
    Task t = previous;
    t[col(Title)] = s_.Text1;
    t[col(StartAddress)] = s_.Text2;
    t[col(LinkDepth)] = std::to_string(s_.LinkDepth);
    t[col(UserName)] = s_.UserName;
    t[col(Password)] = s_.Password;
    t[col(ExistingImagePolicy)] = std::to_string(s_.ExistingImagePolicy);
    t[col(DestinationFolder)] = s_.DestinationFolder;
    t[col(FolderLayout)] = std::to_string(s_.FolderLayout);
    t[col(ScheduleKind)] = std::to_string(s_.ScheduleKind);
    t[col(IntervalIndex)] = std::to_string(s_.IntervalIndex);
    t[col(StartHourIndex)] = std::to_string(s_.Combo5);
    t[col(StartMinuteIndex)] = std::to_string(s_.Combo6);
    t[col(DayPeriodIndex)] = std::to_string(s_.DayPeriodIndex);
    for (std::size_t k = 0; k < 7; ++k) t[col(OnMonday) + k] = s_.Check1[k] ? "1" : "0";
    for (std::size_t k = 0; k < 4; ++k) {
        t[col(IncludeName1) + 2 * k] = s_.IncludePatterns[k][0];
        t[col(IncludeType1) + 2 * k] = s_.IncludePatterns[k][2];
        t[col(ExcludeName1) + 2 * k] = s_.ExcludePatterns[k][0];
        t[col(ExcludeType1) + 2 * k] = s_.ExcludePatterns[k][2];
    }
    t[col(Drive)] = s_.Drive1;
    t[col(Reserved)] = "";
    if (is_new) {
        const Stamp stamp = host_.now();
        t[col(LastRunDate)] = stamp.date;
        t[col(LastRunTime)] = stamp.time;
    }
    return t;
}

Outcome TaskEditor::Command2_Click() {
    if (!s_.Command2.Enabled) return {};
    const std::string_view title = trim_blanks(s_.Text1);
    if (title.empty()) return {error_message("Please give a title to this schedule")};
    if (auto bad = check_address(s_.Text2)) return {std::move(bad)};

    int row = find_task(table_, title);
    const bool is_new = row == 0;
    if (is_new && table_.TaskCount >= MaxTasks)
        return {error_message("Number of schedule limited to " + std::to_string(MaxTasks) + ".")};
    if (is_new) row = table_.TaskCount + 1;

    Task task =
        task_from_editor(is_new ? Task{} : table_.rows[static_cast<std::size_t>(row)], is_new);
    if (auto bad = unstorable_field(task)) return {std::move(bad)};

    // Stored only once the file holds it, so a failed save leaves all as it was.
    Task& slot = table_.rows[static_cast<std::size_t>(row)];
    std::swap(slot, task);
    const std::int16_t old_count = table_.TaskCount;
    if (is_new) table_.TaskCount = static_cast<std::int16_t>(row);
    const auto old_extras = table_.extras;
    table_.set_extras(title, s_.Extras);
    if (const Result<void> saved = host_.save(table_); !saved) {
        std::swap(slot, task);
        table_.TaskCount = old_count;
        table_.extras = old_extras;
        return {save_failed(saved.error().text)};
    }

    // The first task takes the grid's blank data row.
    while (gri_.Rows() <= row) gri_.AddItem("");
    write_row(gri_, row, slot);

    reinit();
    return Outcome{std::nullopt, true};
}

void TaskEditor::load_task(const Task& t) {
    s_.Text1 = t[col(Title)];
    s_.Text2 = t[col(StartAddress)];

    const int depth = stored_value(t[col(LinkDepth)], 0, 4, 0);
    if (depth != 0) {
        Combo1_Click(depth - 1);
        Option3_Click(1);
    } else {
        Option3_Click(0);
    }

    s_.Text5 = s_.UserName = t[col(UserName)];
    s_.Text6 = s_.Password = t[col(Password)];

    Option1_Click(stored_value(t[col(ExistingImagePolicy)], 1, 3, 1) - 1);

    // A drive that cannot be used leaves both lists where they are, and a
    // folder that is gone stays the destination without the folder list showing it.
    Drive1_Change(t[col(Drive)]);
    const std::string& folder = t[col(DestinationFolder)];
    if (host_.folder_exists(folder)) Dir1_Change(folder);
    s_.DestinationFolder = folder;

    Option2_Click(stored_value(t[col(FolderLayout)], 1, 2, 1) - 1);
    Option4_Click(stored_value(t[col(ScheduleKind)], 0, 2, 0));

    Combo2_Click(stored_value(t[col(IntervalIndex)], 0, 4, 2));
    Combo5_Click(stored_value(t[col(StartHourIndex)], 0, 23, 0));
    Combo6_Click(stored_value(t[col(StartMinuteIndex)], 0, 3, 0));
    Combo7_Click(stored_value(t[col(DayPeriodIndex)], 0, 6, 0));

    for (std::size_t k = 0; k < 7; ++k) s_.Check1[k] = t[col(OnMonday) + k] == "1";

    for (std::size_t k = 0; k < 4; ++k) {
        const int member = static_cast<int>(k);
        s_.Text3[k] = s_.IncludePatterns[k][0] = t[col(IncludeName1) + 2 * k];
        Combo3_Click(member, m_psf::code_type(t[col(IncludeType1) + 2 * k]).value_or(0));
        s_.Text4[k] = s_.ExcludePatterns[k][0] = t[col(ExcludeName1) + 2 * k];
        Combo4_Click(member, m_psf::code_type(t[col(ExcludeType1) + 2 * k]).value_or(0));
    }
}

Outcome TaskEditor::Command4_Click() {
    if (!s_.Command4.Enabled || table_.TaskCount < 1) return {};
    const int r = gri_.Row();
    if (r < 1 || r > table_.TaskCount || r >= gri_.Rows()) return {};
    if (gri_.TextMatrix(r, 0).empty()) return {};

    load_task(table_.rows[static_cast<std::size_t>(r)]);
    s_.Extras = table_.extras_of(r);
    s_.Command3.Enabled = false;
    s_.Command4.Enabled = false;
    s_.Command6.Enabled = false;
    return {};
}

Outcome TaskEditor::Command3_Click() {
    if (!s_.Command3.Enabled || table_.TaskCount < 1) return {};
    const int r = gri_.Row();
    if (r < 1 || r > table_.TaskCount || r >= gri_.Rows()) return {};
    // An empty title cell shows no task the user could have meant to delete.
    if (gri_.TextMatrix(r, 0).empty()) return {};

    // Closing the gap moves the removed task just past the last one, where a
    // failed save can take it back from.
    auto first = table_.rows.begin() + r;
    auto end = table_.rows.begin() + table_.TaskCount + 1;
    std::rotate(first, first + 1, end);
    --table_.TaskCount;
    // The save leaves out the removed task's extras: only titles in the table are stored.
    if (const Result<void> saved = host_.save(table_); !saved) {
        ++table_.TaskCount;
        std::rotate(first, end - 1, end);
        return {save_failed(saved.error().text)};
    }

    // The grid keeps at least one data row.
    if (gri_.Rows() == 2) {
        for (int c = 0; c < GridCols; ++c) gri_.setTextMatrix(r, c, "");
    } else {
        gri_.RemoveItem(r);
    }
    return {};
}

void fill_grid(Grid& gri, const TaskTable& table) {
    for (int c = 0; c < GridCols; ++c) {
        gri.setColWidth(c, grid_widths()[static_cast<std::size_t>(c)]);
        gri.setTextMatrix(0, c, grid_headers()[static_cast<std::size_t>(c)]);
    }
    for (int i = 1; i <= table.TaskCount; ++i) {
        while (gri.Rows() <= i) gri.AddItem("");
        write_row(gri, i, table.rows[static_cast<std::size_t>(i)]);
    }
    gri.setRow(1);
    gri.setRowSel(1);
    gri.setColSel(0);
}

}  // namespace psf::editor
