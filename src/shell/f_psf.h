// The main window: the task editor, the task grid, the status label, the
// timer and the menus. Runs go to a worker thread; the window stays live.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "editor/editor.h"
#include "scheduler/clock.h"
#include "scheduler/run_gate.h"
#include "scheduler/task_pass.h"
#include "shell/messages.h"
#include "shell/run_worker.h"
#include "shell/table_grid.h"
#include "store/data_folder.h"
#include "store/task_table.h"

class QAction;
class QCheckBox;
class QComboBox;
class QFileSystemModel;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QRadioButton;
class QTableWidget;
class QTimer;
class QTreeView;
class QSystemTrayIcon;

namespace psf::shell {

class AppLife;
class LastRunTips;
class m_tbpsf;

// What the window is built with; tests replace the clock, the message boxes,
// the folders and the transfer control.
struct WindowSetup {
    const Clock* clock = nullptr;     // the system clock when null
    MessageSeam* messages = nullptr;  // real message boxes when null
    std::string app_data;             // the application-data folder
    std::string program_folder;       // the program's own folder
    TransferFactory make_transfer;    // libcurl when empty
    // Where the notifications after scheduled runs go; the tray when empty.
    std::function<void(const std::string&)> notify;
};

// How start-up ended.
enum class StartResult {
    Shown,
    HandedOver,       // another window holds the data folder and was brought forward
    DataFolderInUse,  // a command-line run holds the data folder: this one exits
    Hidden,           // started in the tray
};

class f_psf final : public QMainWindow, private BusyTarget, private editor::EditorHost {
  public:
    explicit f_psf(WindowSetup setup);
    ~f_psf() override;

    // The window's load: lists, current values, grid, data folder, tasks.
    StartResult startup();

    // Timer1's tick and the Retrieve Now button.
    void Timer1_Timer();
    void Command6_Click();

    // Ends the run in progress (cancel, join, stamps of finished runs saved).
    void stop_runs();

    // Shown, normal and centred, in front.
    void restore();
    // Ends the program without the quit question (signals, end of session).
    void quit_now();
    // Whether the tray icon is in a notification area.
    bool in_tray() const;
    // Opens the History window, at run `run` when it is not 0.
    void show_history(std::int64_t run = 0);
    LastRunTips* last_run_tips() const { return tips_; }
    QSystemTrayIcon* tray() const;

    const TaskTable& tasks() const { return table_; }
    const std::string& data_folder() const { return folder_.path(); }
    const RunGate& gate() const { return gate_; }
    Grid& grid() { return *grid_; }
    bool busy() const { return gate_.busy(); }

    // The controls, named as the description names them.
    QWidget* client = nullptr;
    QGroupBox *Frame1 = nullptr, *Frame2 = nullptr, *Frame3 = nullptr, *Frame4 = nullptr,
              *Frame5 = nullptr, *Frame6 = nullptr, *Frame7 = nullptr, *Frame8 = nullptr,
              *Frame9 = nullptr;
    QLabel *Label1 = nullptr, *Label2 = nullptr, *Label3 = nullptr, *Label4 = nullptr,
           *Label5 = nullptr, *Label8 = nullptr, *Label9 = nullptr, *Label10 = nullptr;
    std::array<QLabel*, 4> Label6{}, Label7{};
    QLineEdit *Text1 = nullptr, *Text2 = nullptr, *Text5 = nullptr, *Text6 = nullptr;
    std::array<QLineEdit*, 4> Text3{}, Text4{};
    std::array<QRadioButton*, 3> Option1{}, Option4{};
    std::array<QRadioButton*, 2> Option2{}, Option3{};
    QComboBox *Combo1 = nullptr, *Combo2 = nullptr, *Combo5 = nullptr, *Combo6 = nullptr,
              *Combo7 = nullptr;
    std::array<QComboBox*, 4> Combo3{}, Combo4{};
    std::array<QCheckBox*, 7> Check1{};
    QComboBox* Drive1 = nullptr;
    QTreeView* Dir1 = nullptr;
    QPushButton *Command2 = nullptr, *Command3 = nullptr, *Command4 = nullptr, *Command6 = nullptr;
    QTableWidget* gri = nullptr;
    QTimer* Timer1 = nullptr;

    QMenu *m_fichier = nullptr, *m_fenetre = nullptr, *m_options = nullptr, *m_interro = nullptr,
          *mPopupSys = nullptr;
    QAction *m_quitter = nullptr, *m_reinit = nullptr, *m_avance = nullptr, *m_tache = nullptr,
            *m_tb = nullptr, *m_aide = nullptr, *m_apropos = nullptr, *mPopRestore = nullptr,
            *mPopExit = nullptr;
    QAction *m_historique = nullptr, *m_avis = nullptr;  // History..., Notify after scheduled runs

  protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

  private:
    friend class m_tbpsf;  // the tray is a room of this window

    // BusyTarget
    void set_busy(bool busy) override;
    // EditorHost
    bool drive_ready(const std::string& drive) const override;
    std::string drive_folder(const std::string& drive) const override;
    bool folder_exists(const std::string& folder) const override;
    Result<void> save(const TaskTable& table) override;
    editor::Stamp now() const override;

    // Layout (f_psf_layout.cpp).
    void build_controls();
    void build_menus();
    void set_tab_order();
    void fill_drives();
    void centre();

    void connect_controls();
    void show_state();
    void show_commands();
    void show_folder(const std::string& folder);
    void show_outcome(const editor::Outcome& outcome);
    void on_focus_changed(QWidget* old, QWidget* now);
    void m_tache_Click();
    void start_pass();
    void start_job(std::vector<RunItem> items);
    void on_job_ended();
    void on_run_ended(const RunEnd& run);
    void say_history_problem(const std::string& problem);
    void save_stamps();
    void show_caption(const QString& caption);
    void set_label_colour(LabelColour colour);
    void reveal_folder();

    std::unique_ptr<Clock> own_clock_;
    const Clock* clock_;
    std::unique_ptr<MessageSeam> own_messages_;
    MessageSeam* messages_;
    WindowSetup setup_;

    TaskTable table_;
    DataFolderStore folder_;
    TaskStamps stamps_;
    std::unique_ptr<TableGrid> grid_;
    std::unique_ptr<editor::TaskEditor> editor_;
    QFileSystemModel* folders_ = nullptr;
    RunGate gate_;
    std::unique_ptr<RunWorker> worker_;
    bool validating_ = false;  // a validation message is open
    bool syncing_ = false;     // widgets are being set from the editor's state
    QMetaObject::Connection focus_watch_;
    AppLife* life_;
    m_tbpsf* tray_ = nullptr;
    QPointer<QWidget> last_control_;  // the control of this window that last had the focus
    QPointer<QWidget> parked_from_;   // a command switched off by a run while it had the focus
    bool ask_before_quit_ = true;
    bool closing_ = false;  // runs are being stopped for good
    LastRunTips* tips_ = nullptr;
    bool history_said_ = false;  // its problem is said once
};

}  // namespace psf::shell
