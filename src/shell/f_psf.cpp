#include "shell/f_psf.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QTableWidget>
#include <QTimer>
#include <QTreeView>

#include "platform/curl_transfer.h"
#include "shell/app_life.h"
#include "shell/f_advanced.h"
#include "shell/f_help.h"
#include "shell/f_historique.h"
#include "shell/m_tbpsf.h"
#include "shell/widgets.h"
#include "store/history.h"

namespace psf::shell {

namespace {
constexpr int TimerInterval = 60'000;  // ms
}  // namespace

f_psf::f_psf(WindowSetup setup)
    : own_clock_(setup.clock ? nullptr : std::make_unique<SystemClock>()),
      clock_(setup.clock ? setup.clock : own_clock_.get()),
      own_messages_(setup.messages ? nullptr : std::make_unique<MessageBoxes>()),
      messages_(setup.messages ? setup.messages : own_messages_.get()),
      setup_(std::move(setup)),
      stamps_(table_),
      gate_(*this),
      life_(new AppLife(this)) {
    setObjectName("f_psf");
    setWindowTitle(editor::WindowCaption);
    build_controls();
    build_menus();
    tray_ = new m_tbpsf(*this);
    set_tab_order();

    grid_ = std::make_unique<TableGrid>(gri);
    const QString cwd = QDir::currentPath();
    editor::EditorHost& host = *this;
    editor_ = std::make_unique<editor::TaskEditor>(
        table_, *grid_, host, QStorageInfo(cwd).rootPath().toStdString(), cwd.toStdString());
    connect_controls();

    TransferFactory make = setup_.make_transfer;
    if (!make) make = [] { return std::make_unique<CurlTransfer>(); };
    worker_ = std::make_unique<RunWorker>(
        *clock_, make,
        RunWorker::Callbacks{[this](const std::string& caption) { show_caption(q(caption)); },
                             [this](LabelColour colour) { set_label_colour(colour); },
                             [this](const RunEnd& run) { on_run_ended(run); },
                             [this] { on_job_ended(); },
                             [this](const std::string& p) { say_history_problem(p); }});

    Timer1 = named(new QTimer(this), "Timer1");
    Timer1->setInterval(TimerInterval);
    connect(Timer1, &QTimer::timeout, this, [this] { Timer1_Timer(); });
    Timer1->start();
}

f_psf::~f_psf() {
    // The widgets' own destruction moves the focus; no check may run then.
    disconnect(focus_watch_);
    stop_runs();
}

void f_psf::connect_controls() {
    connect(m_tb, &QAction::triggered, this, [this] { tray_->m_tb_Click(); });
    connect(m_avis, &QAction::triggered, this, [this] { tray_->m_avis_Click(); });
    connect(m_historique, &QAction::triggered, this, [this] { show_history(); });
    connect(m_aide, &QAction::triggered, this, [this] { show_help(this); });
    connect(m_apropos, &QAction::triggered, this,
            [this] { messages_->show(this, about_message()); });
    connect(m_quitter, &QAction::triggered, this, &QWidget::close);
    connect(m_tache, &QAction::triggered, this, [this] { m_tache_Click(); });
    connect(m_reinit, &QAction::triggered, this,
            [this] { show_outcome(editor_->m_reinit_Click()); });
    connect(m_avance, &QAction::triggered, this, [this] {
        if (auto chosen = ask_extras(this, editor_->state().Extras))
            editor_->Extras_Change(std::move(*chosen));
    });
    connect(Text1, &QLineEdit::textEdited, this,
            [this](const QString& t) { editor_->Text1_Change(t.toStdString()); });
    connect(Text2, &QLineEdit::textEdited, this,
            [this](const QString& t) { editor_->Text2_Change(t.toStdString()); });
    connect(Text5, &QLineEdit::textEdited, this,
            [this](const QString& t) { editor_->Text5_Change(t.toStdString()); });
    connect(Text6, &QLineEdit::textEdited, this,
            [this](const QString& t) { editor_->Text6_Change(t.toStdString()); });
    for (int k = 0; k < 4; ++k) {
        const auto i = static_cast<std::size_t>(k);
        connect(Text3[i], &QLineEdit::textEdited, this,
                [this, k](const QString& t) { editor_->Text3_Change(k, t.toStdString()); });
        connect(Text4[i], &QLineEdit::textEdited, this,
                [this, k](const QString& t) { editor_->Text4_Change(k, t.toStdString()); });
        connect(Combo3[i], &QComboBox::activated, this, [this, k](int p) {
            editor_->Combo3_Click(k, p);
            show_state();
        });
        connect(Combo4[i], &QComboBox::activated, this, [this, k](int p) {
            editor_->Combo4_Click(k, p);
            show_state();
        });
    }
    auto options = [this](auto& group, void (editor::TaskEditor::*click)(int)) {
        for (int k = 0; k < static_cast<int>(group.size()); ++k)
            connect(group[static_cast<std::size_t>(k)], &QRadioButton::clicked, this,
                    [this, click, k] {
                        ((*editor_).*click)(k);
                        show_state();
                    });
    };
    options(Option1, &editor::TaskEditor::Option1_Click);
    options(Option2, &editor::TaskEditor::Option2_Click);
    options(Option3, &editor::TaskEditor::Option3_Click);
    options(Option4, &editor::TaskEditor::Option4_Click);
    auto combo = [this](QComboBox* c, void (editor::TaskEditor::*click)(int)) {
        connect(c, &QComboBox::activated, this, [this, click](int p) {
            ((*editor_).*click)(p);
            show_state();
        });
    };
    combo(Combo1, &editor::TaskEditor::Combo1_Click);
    combo(Combo2, &editor::TaskEditor::Combo2_Click);
    combo(Combo5, &editor::TaskEditor::Combo5_Click);
    combo(Combo6, &editor::TaskEditor::Combo6_Click);
    combo(Combo7, &editor::TaskEditor::Combo7_Click);
    for (int k = 0; k < 7; ++k)
        connect(Check1[static_cast<std::size_t>(k)], &QCheckBox::clicked, this,
                [this, k](bool ticked) {
                    editor_->Check1_Click(k, ticked);
                    show_state();
                });
    connect(Drive1, &QComboBox::activated, this, [this](int p) {
        editor_->Drive1_Change(Drive1->itemData(p).toString().toStdString());
        show_state();
    });
    connect(Dir1->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (syncing_ || !current.isValid()) return;
                editor_->Dir1_Change(folders_->filePath(current).toStdString());
                show_state();
            });
    connect(Command2, &QPushButton::clicked, this,
            [this] { show_outcome(editor_->Command2_Click()); });
    connect(Command3, &QPushButton::clicked, this,
            [this] { show_outcome(editor_->Command3_Click()); });
    connect(Command4, &QPushButton::clicked, this,
            [this] { show_outcome(editor_->Command4_Click()); });
    connect(Command6, &QPushButton::clicked, this, [this] { Command6_Click(); });
    focus_watch_ = connect(qApp, &QApplication::focusChanged, this, &f_psf::on_focus_changed);
}

// Copies the editor's state into the widgets, without raising their events:
// the editor has already applied what those events would do.
void f_psf::show_state() {
    const editor::EditorState& s = editor_->state();
    syncing_ = true;
    auto text = [](QLineEdit* w, const std::string& v) {
        const QString t = q(v);
        if (w->text() != t) {
            const QSignalBlocker block(w);
            w->setText(t);
        }
    };
    auto pick = [](auto& group, int selected) {
        if (selected < 0 || selected >= static_cast<int>(group.size())) return;
        const QSignalBlocker block(group[static_cast<std::size_t>(selected)]);
        group[static_cast<std::size_t>(selected)]->setChecked(true);
    };
    auto position = [](QComboBox* c, int p) {
        const QSignalBlocker block(c);
        c->setCurrentIndex(p);
    };
    text(Text1, s.Text1);
    text(Text2, s.Text2);
    text(Text5, s.Text5);
    text(Text6, s.Text6);
    for (std::size_t k = 0; k < 4; ++k) {
        text(Text3[k], s.Text3[k]);
        text(Text4[k], s.Text4[k]);
        position(Combo3[k], s.Combo3[k]);
        position(Combo4[k], s.Combo4[k]);
    }
    pick(Option1, s.Option1);
    pick(Option2, s.Option2);
    pick(Option3, s.Option3);
    pick(Option4, s.Option4);
    position(Combo1, s.Combo1);
    position(Combo2, s.Combo2);
    position(Combo5, s.Combo5);
    position(Combo6, s.Combo6);
    position(Combo7, s.Combo7);
    for (std::size_t k = 0; k < 7; ++k) {
        const QSignalBlocker block(Check1[k]);
        Check1[k]->setChecked(s.Check1[k]);
    }
    {
        const QSignalBlocker block(Drive1);
        const int at = Drive1->findData(q(s.Drive1));
        if (at >= 0) Drive1->setCurrentIndex(at);
    }
    show_folder(s.Dir1);
    show_commands();
    syncing_ = false;
}

void f_psf::show_folder(const std::string& folder) {
    const QModelIndex at = folders_->index(q(folder));
    if (!at.isValid() || Dir1->currentIndex() == at) return;
    const bool was = syncing_;
    syncing_ = true;
    Dir1->setCurrentIndex(at);
    Dir1->scrollTo(at);
    syncing_ = was;
}

void f_psf::reveal_folder() {
    const QModelIndex at = folders_->index(q(editor_->state().Dir1));
    if (!at.isValid()) return;
    Dir1->expand(at);
    Dir1->scrollTo(at, QAbstractItemView::PositionAtCenter);
}

void f_psf::show_outcome(const editor::Outcome& outcome) {
    show_state();
    if (outcome.message) {
        validating_ = true;
        messages_->show(this, *outcome.message);
        validating_ = false;
    }
    if (outcome.focus_Text1) {
        // Every box was just emptied: the one left has nothing to check.
        last_control_ = Text1;
        Text1->setFocus(Qt::OtherFocusReason);
    }
}

// A box is left when the focus moves from it to another control of this
// window: then its check runs. The menu bar, a menu, a dialog or another
// window taking the keyboard for a while leaves no box, nor does the window
// going to the tray; the box is checked when the focus next lands on another
// control. Never while one of its own messages is open.
void f_psf::on_focus_changed(QWidget*, QWidget* now) {
    if (!now || now->window() != this || qobject_cast<QMenuBar*>(now) || !isVisible() ||
        isMinimized())
        return;
    QWidget* left = std::exchange(last_control_, now);
    if (validating_ || syncing_ || !left || left == now) return;
    std::vector<editor::Message> found;
    if (left == Text2) {
        if (auto m = editor_->Text2_Validate()) found.push_back(*m);
    } else if (left == Text5) {
        editor_->Text5_Validate();
    } else if (left == Text6) {
        editor_->Text6_Validate();
    }
    for (int k = 0; k < 4; ++k) {
        if (left == Text3[static_cast<std::size_t>(k)]) found = editor_->Text3_Validate(k);
        if (left == Text4[static_cast<std::size_t>(k)]) found = editor_->Text4_Validate(k);
    }
    show_state();
    if (found.empty()) return;
    validating_ = true;
    for (const auto& m : found) messages_->show(this, m);
    last_control_ = left;
    left->setFocus(Qt::OtherFocusReason);
    validating_ = false;
}

StartResult f_psf::startup() {
    show_state();

    folder_.find(setup_.app_data, setup_.program_folder);
    switch (folder_.lock(WindowLockHolder)) {
        case LockState::HeldByWindow:
            life_->call_first(folder_.path());
            return StartResult::HandedOver;
        case LockState::HeldByRunner:
            messages_->show(this, editor::program_message(
                                      "The data folder is in use by a command-line run; start "
                                      "Picsifter again when the run has ended."));
            return StartResult::DataFolderInUse;
        default:
            break;
    }
    // The window's markers there: anything but a regular file is refused.
    // The history is not: it only ever costs itself, and says so once.
    if (!folder_.path().empty()) folder_.refuse(m_tbpsf::unusable_markers(folder_.path()));
    if (folder_.load(table_)) {
        std::string text;
        for (const LoadWarning& w : folder_.warnings()) {
            text += (text.empty() ? "" : "\n") + w.file + " did not load as it is.";
            for (const std::string& line : w.lines) text += "\n" + line;
        }
        if (!text.empty()) messages_->show(this, editor::program_message(text));
    }
    const std::string& DataFolder = folder_.path();
    if (DataFolder.empty())
        messages_->show(this, editor::program_message(
                                  "The data folder cannot be used (" + folder_.error() +
                                  "). Tasks can be scheduled, but they will not be saved."));
    editor::fill_grid(*grid_, table_);
    tips_ = new LastRunTips(gri, DataFolder);
    m_avis->setChecked(m_tbpsf::notifies(DataFolder));

    if (!DataFolder.empty()) life_->listen(DataFolder, [this] { restore(); });
    tray_->ensure();
    const bool marker = m_tbpsf::marker(DataFolder);
    m_tb->setChecked(marker);
    tray_->watch();
    // Without a notification area a hidden window could not be reached.
    if (marker && in_tray()) return StartResult::Hidden;
    restore();
    return StartResult::Shown;
}

void f_psf::restore() {
    setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    show();
    centre();
    raise();
    activateWindow();
    // Back to the control that had the focus, the window's own choice at
    // activation being the next one in the chain at times.
    if (last_control_) last_control_->setFocus(Qt::ActiveWindowFocusReason);
    reveal_folder();
    // A window manager frames the window after it is shown: place it again
    // once the title bar's height is known.
    QTimer::singleShot(250, this, [this, frame = frameGeometry().size() - size()] {
        if (isVisible() && !isMinimized() && frameGeometry().size() - size() != frame) centre();
    });
}

void f_psf::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    // A minimised window goes to the tray only when there is one at this
    // moment to come back from; otherwise it stays a minimised window.
    if (event->type() == QEvent::WindowStateChange && isMinimized() && in_tray())
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) hide();
        });
}

// "Minimize": with a tray the window goes straight into it. Asking the window
// manager to minimise it first would race with the hiding, and a late answer
// would hide the window again just after a click on the icon had restored it.
void f_psf::m_tache_Click() {
    if (in_tray())
        hide();
    else
        showMinimized();
}

bool f_psf::in_tray() const {
    return tray_->in_tray();
}

QSystemTrayIcon* f_psf::tray() const {
    return tray_->icon();
}

void f_psf::quit_now() {
    ask_before_quit_ = false;
    // A popup or a modal box (the quit question among them) holds the close
    // until its own loop ends: end them first, then close from the main loop.
    if (close_nested_loops())
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
    else
        close();
}

void f_psf::Timer1_Timer() {
    if (closing_) return;
    if (gate_.tick()) start_pass();
}

void f_psf::Command6_Click() {
    if (closing_ || !gate_.begin_retrieve_now()) return;
    std::vector<RunItem> items;
    if (table_.TaskCount > 0) {
        const int r = grid_->Row();
        if (r >= 1 && r <= table_.TaskCount && !grid_->TextMatrix(r, 0).empty())
            items.push_back({r, spec_from_row(table_, r), RunMode::OnDemand});
    }
    start_job(std::move(items));
}

// The due-time pass: rows chosen at the moment read once here, run in order
// on the worker thread, each stamped here as its run ends.
void f_psf::start_pass() {
    std::vector<RunItem> items;
    for (int row : stamps_.begin_pass(clock_->now()))
        items.push_back({row, spec_from_row(table_, row), RunMode::Scheduled});
    start_job(std::move(items));
}

void f_psf::start_job(std::vector<RunItem> items) {
    worker_->start(std::move(items), folder_.path());
}

void f_psf::on_run_ended(const RunEnd& run) {
    stamps_.run_ended(run.row, run.cancelled, run.end);
    if (closing_) return;
    if (tips_) tips_->refresh();
    if (f_historique* history = history_window()) history->reload();
    // Only the timer's runs are told: a Retrieve Now run shows its counts.
    if (run.mode != RunMode::Scheduled || !m_avis->isChecked()) return;
    if (const std::string text = run_notice(run); !text.empty())
        tray_->notify(text, run.history_id);
}

// Said once, outside the delivery of the worker's reports, which a message
// box's own loop would otherwise reorder.
void f_psf::say_history_problem(const std::string& problem) {
    if (history_said_ || closing_ || folder_.path().empty()) return;
    history_said_ = true;
    QTimer::singleShot(0, this, [this, problem] {
        messages_->show(this, editor::program_message("The history of runs: " + problem + "."));
    });
}

void f_psf::show_history(std::int64_t run) {
    psf::shell::show_history(this, folder_.path(), run);
}

void f_psf::on_job_ended() {
    save_stamps();
    if (closing_) return;
    if (gate_.finish()) start_pass();
}

void f_psf::save_stamps() {
    if (!stamps_.take_unsaved()) return;
    if (const Result<void> saved = save(table_); !saved && !closing_)
        messages_->show(this, editor::program_message("The schedule could not be saved: " +
                                                      saved.error().text));
}

void f_psf::stop_runs() {
    closing_ = true;
    Timer1->stop();
    if (worker_) worker_->shutdown();
    save_stamps();
}

void f_psf::closeEvent(QCloseEvent* event) {
    if (ask_before_quit_ && !closing_) {
        std::string question =
            "Do you realy want to quit Picsifter ?\r\nSome schedule tasks will not be started.";
        if (busy())
            question +=
                "\r\nThe run in progress will be stopped, and its task will not be "
                "marked as run.";
        const auto answer = messages_->show(this, {editor::WindowCaption, question,
                                                   editor::Icon::Question, editor::Buttons::YesNo});
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    stop_runs();
    tray_->remove();
    if (f_help* help = help_window()) help->close();
    event->accept();
    QCoreApplication::quit();
}

// A caption longer than the label shows its start and "…"; the tooltip holds
// it whole (a failure's cause runs long).
void f_psf::show_caption(const QString& caption) {
    Label4->setToolTip(caption);
    Label4->setText(
        Label4->fontMetrics().elidedText(caption, Qt::ElideRight, Label4->contentsRect().width()));
}

void f_psf::set_label_colour(LabelColour colour) {
    QPalette p = Label4->palette();
    p.setColor(QPalette::Window, colour == LabelColour::Busy ? QColor(128, 128, 255)
                                                             : palette().color(QPalette::Button));
    Label4->setPalette(p);
}

// The pointer goes busy first and comes back last.
void f_psf::set_busy(bool busy) {
    if (busy) QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    editor_->set_busy(busy);
    show_commands();
    if (!busy) {
        if (parked_from_ && focusWidget() == gri) parked_from_->setFocus(Qt::OtherFocusReason);
        parked_from_ = nullptr;
        QGuiApplication::restoreOverrideCursor();
    }
}

// A button switched off while it has the focus would pass it on down the
// chain, to an option button or a check box a stray Space would then change.
// During a run the grid holds it, and hands it back when the run ends; after
// Edit the title box takes it.
void f_psf::show_commands() {
    for (const editor::TaskCommand& c : editor::TaskCommands) {
        const bool enabled = (editor_->state().*c.state).Enabled;
        QObject* control = findChild<QObject*>(c.name);
        if (!enabled && control == focusWidget()) {
            if (gate_.busy()) parked_from_ = focusWidget();
            (gate_.busy() ? static_cast<QWidget*>(gri) : Text1)->setFocus(Qt::OtherFocusReason);
        }
        control->setProperty("enabled", enabled);
    }
}

bool f_psf::drive_ready(const std::string& drive) const {
    if (Drive1->findData(q(drive)) < 0) return false;
    const QStorageInfo v(q(drive));
    return v.isValid() && v.isReady();
}

std::string f_psf::drive_folder(const std::string& drive) const {
    const QString cwd = QDir::currentPath();
    return QStorageInfo(cwd).rootPath() == q(drive) ? cwd.toStdString() : drive;
}

bool f_psf::folder_exists(const std::string& folder) const {
    return QFileInfo(q(folder)).isDir();
}

Result<void> f_psf::save(const TaskTable& table) {
    if (folder_.path().empty()) return {};  // said once at start-up
    return folder_.save(table);
}

editor::Stamp f_psf::now() const {
    const LocalTime t = clock_->now();
    return {format_date(t), format_time(t)};
}

}  // namespace psf::shell
