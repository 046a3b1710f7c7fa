// The task editor without its widgets: the state of the editor controls, the
// current values they feed, their event rules and validation, `reinit`, and
// the Schedule, Edit and Delete commands over the task table and the grid.
//
// The window forwards each widget event to the matching method, shows the
// messages it gets back (modal, in order), then copies state() into its
// widgets with their signals blocked: the editor has already applied every
// effect a change made from code would raise.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/m_psf.h"
#include "platform/grid.h"
#include "platform/result.h"
#include "store/task_table.h"

namespace psf::editor {

// ---- Messages -----------------------------------------------------------------

enum class Icon { Warning, Question, Information };
enum class Buttons { Ok, YesNo };

struct Message {
    std::string title;
    std::string text;
    Icon icon = Icon::Warning;
    Buttons buttons = Buttons::Ok;

    bool operator==(const Message&) const = default;
};

// The main window's caption, which titles its question and its own messages.
inline constexpr const char* WindowCaption = "Picsifter";

// A field or a command refused: title "Error", warning icon, one OK button.
Message error_message(std::string text);
// What the program says of its own state (the data folder, a file not loaded
// or not saved): titled with the window's caption, warning icon, one OK button.
Message program_message(std::string text);

// ---- List entries, in the order the task fields store their positions -------------

const std::array<std::string, 4>& Combo1_entries();   // "1" .. "4" levels
const std::array<std::string, 5>& Combo2_entries();   // "Every quarter" .. "Every 8 hours"
const std::array<std::string, 24>& Combo5_entries();  // "00" .. "23"
const std::array<std::string, 4>& Combo6_entries();   // "00", "15", "30", "45"
const std::array<std::string, 7>& Combo7_entries();   // "Every day" .. "Every 7 days"
const std::array<std::string, 4>& type_entries();  // Combo3 and Combo4: "*", "gif", "jpg", "jpeg"

inline constexpr int GridCols = 5;
const std::array<std::string, GridCols>& grid_headers();
const std::array<int, GridCols>& grid_widths();  // twips

// ---- Validation, pure: the window runs these when the focus is about to leave
// a box and keeps the focus there when something comes back. ----------------------

// `Text2`: "http://" or "https://" at the very start, exactly.
std::optional<Message> check_address(std::string_view text);

// `Text3` / `Text4`: every failing rule's message, in rule order; the text is
// trimmed first.
std::vector<Message> check_file_name(std::string_view text);

// ---- State ------------------------------------------------------------------------

struct ControlState {
    bool Enabled = true;

    bool operator==(const ControlState&) const = default;
};

struct EditorState {
    // Controls. Option groups hold the selected member, lists their position.
    std::string Text1;                   // title
    std::string Text2;                   // start address
    std::string Text5;                   // user
    std::string Text6;                   // password
    std::array<std::string, 4> Text3{};  // include name patterns, as typed
    std::array<std::string, 4> Text4{};  // exclude name patterns, as typed
    int Option1 = 0;                     // existing images
    int Option2 = 0;                     // folder layout
    int Option3 = 0;                     // navigate: 0 "No", 1 "Yes, on"
    int Option4 = 0;                     // schedule kind
    int Combo1 = 0;                      // levels
    int Combo2 = 2;                      // interval
    int Combo5 = 0;                      // start hour
    int Combo6 = 0;                      // start minute
    int Combo7 = 0;                      // day period
    std::array<int, 4> Combo3{};         // include types
    std::array<int, 4> Combo4{};         // exclude types
    std::array<bool, 7> Check1{true, true, true, true, true, true, true};  // Monday .. Sunday
    std::string Drive1;     // root path of the chosen volume
    std::string Dir1;       // the folder list's current folder
    ControlState Command2;  // "Schedule"
    ControlState Command3;  // "Delete"
    ControlState Command4;  // "Edit"
    ControlState Command6;  // "Retrieve Now !"
    ControlState m_reinit;  // menu entry "Reset"

    // Current values: what Schedule stores for the controls above that it
    // does not read directly.
    int LinkDepth = 0;
    std::string UserName;
    std::string Password;
    int ExistingImagePolicy = 1;
    std::string DestinationFolder;
    int FolderLayout = 1;
    int ScheduleKind = 0;
    int IntervalIndex = 2;
    int DayPeriodIndex = 0;
    m_psf::FilterTable IncludePatterns{};
    m_psf::FilterTable ExcludePatterns{};
    // Image kinds and modern markup, set in the "Advanced" dialog.
    TaskExtras Extras;

    bool operator==(const EditorState&) const = default;
};

// The task commands, by their controls' names, in the order the busy bracket
// switches them.
struct TaskCommand {
    const char* name;
    ControlState EditorState::*state;
};
inline constexpr TaskCommand TaskCommands[] = {{"Command2", &EditorState::Command2},
                                               {"Command3", &EditorState::Command3},
                                               {"Command4", &EditorState::Command4},
                                               {"Command6", &EditorState::Command6},
                                               {"m_reinit", &EditorState::m_reinit}};

// The local moment of a new task's creation stamp.
struct Stamp {
    std::string date;  // "YYYY/MM/DD"
    std::string time;  // "HH:NN"
};

// What the editor needs from the window and the machine.
class EditorHost {
  public:
    virtual ~EditorHost() = default;
    // The drive list knows the drive and it can be used now.
    virtual bool drive_ready(const std::string& drive) const = 0;
    // Where the folder list goes when the drive is chosen.
    virtual std::string drive_folder(const std::string& drive) const = 0;
    virtual bool folder_exists(const std::string& folder) const = 0;
    // Rewrites the schedule file from the table (sauve_planifs); fails when
    // the file could not be replaced.
    virtual Result<void> save(const TaskTable& table) = 0;
    virtual Stamp now() const = 0;
};

// What a command or a menu entry asks of the window afterwards.
struct Outcome {
    std::optional<Message> message;  // to show; the command then changed nothing
    bool focus_Text1 = false;        // the editor was reset: the title box takes the focus
};

// ---- The editor -----------------------------------------------------------------

class TaskEditor {
  public:
    // `drive` and `folder`: where the drive and folder lists start.
    TaskEditor(TaskTable& table, Grid& gri, EditorHost& host, std::string drive,
               std::string folder);

    const EditorState& state() const { return s_; }

    void reinit();

    // Control events. Positions and members outside their control are ignored.
    void Option1_Click(int member);
    void Option2_Click(int member);
    void Option3_Click(int member);
    void Option4_Click(int member);
    void Combo1_Click(int position);
    void Combo2_Click(int position);
    void Combo3_Click(int member, int position);
    void Combo4_Click(int member, int position);
    void Combo5_Click(int position);
    void Combo6_Click(int position);
    void Combo7_Click(int position);
    void Check1_Click(int member, bool ticked);
    // False when the drive cannot be used: nothing changed, and the window
    // puts its drive list back on state().Drive1.
    bool Drive1_Change(const std::string& drive);
    void Dir1_Change(const std::string& folder);
    // The "Advanced" dialog's choice; false, and nothing changed, when it
    // names an unknown kind.
    bool Extras_Change(TaskExtras extras);

    // Typing: the box's text, no rule runs.
    void Text1_Change(std::string text);
    void Text2_Change(std::string text);
    void Text3_Change(int member, std::string text);
    void Text4_Change(int member, std::string text);
    void Text5_Change(std::string text);
    void Text6_Change(std::string text);

    // Focus about to leave a box. Messages to show, in order; any message
    // keeps the focus in the box. The name patterns are stored trimmed even
    // when they fail.
    std::optional<Message> Text2_Validate() const;
    std::vector<Message> Text3_Validate(int member);
    std::vector<Message> Text4_Validate(int member);
    void Text5_Validate();
    void Text6_Validate();

    Outcome Command2_Click();  // Schedule
    Outcome Command4_Click();  // Edit
    Outcome Command3_Click();  // Delete
    Outcome m_reinit_Click();  // Reset

    // Around a timer pass or a Retrieve Now run: the task commands are
    // disabled, and all of them are enabled afterwards.
    void set_busy(bool busy);

  private:
    void load_task(const Task& task);
    Task task_from_editor(const Task& previous, bool is_new) const;

    TaskTable& table_;
    Grid& gri_;
    EditorHost& host_;
    EditorState s_;
};

// Start-up: column widths and headers, one row per task (task 1 in the blank
// data row), the selection on cell (1, 0).
void fill_grid(Grid& gri, const TaskTable& table);

}  // namespace psf::editor
