#include "shell/f_psf.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QStorageInfo>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTableWidget>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cmath>

#include "platform/app_data.h"
#include "platform/curl_transfer.h"
#include "scheduler/task_pass.h"
#include "shell/f_help.h"
#include "store/schedule_file.h"

namespace psf::shell {

namespace {

constexpr int ClientWidth = 10155, ClientHeight = 7905;  // twips
constexpr int TimerInterval = 60'000;                    // ms
constexpr int TrayCheckInterval = 1000;                  // ms
constexpr const char* MarkerFile = "pref1.txt";          // start in the tray

int px(int twips) {
    return static_cast<int>(std::lround(twips / double(TwipsPerPixel)));
}

template <typename W>
W* place(W* w, int left, int top, int width, int height) {
    w->setGeometry(px(left), px(top), px(width), px(height));
    return w;
}

QString q(const std::string& s) {
    return QString::fromStdString(s);
}

template <typename W>
W* named(W* w, const QString& name) {
    w->setObjectName(name);
    return w;
}

// A group box drawn with its line through the middle of its caption, as the
// twips layout expects: a style that puts the line under the caption would
// run it through the first row of controls.
class Frame final : public QGroupBox {
  public:
    using QGroupBox::QGroupBox;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const QFontMetrics fm(font());
        const QRect box = rect().adjusted(0, fm.height() / 2, -2, -2);
        QRect caption;
        if (!title().isEmpty())
            caption = QRect(px(120) - 2, 0, fm.horizontalAdvance(title()) + 4, fm.height());
        p.setClipRegion(QRegion(rect()).subtracted(caption));
        p.setPen(palette().color(QPalette::Dark));
        p.drawRect(box);
        p.setPen(palette().color(QPalette::Light));
        p.drawRect(box.translated(1, 1));
        p.setClipping(false);
        p.setPen(palette().color(QPalette::WindowText));
        p.drawText(caption, Qt::AlignCenter, title());
    }
};

QGroupBox* group(QWidget* parent, const char* name, const char* caption, int l, int t, int w,
                 int h) {
    return place(named(new Frame(QString::fromUtf8(caption), parent), name), l, t, w, h);
}

QLabel* label(QWidget* parent, const QString& name, const char* caption, int l, int t, int w,
              int h) {
    return place(named(new QLabel(QString::fromUtf8(caption), parent), name), l, t, w, h);
}

QRadioButton* option(QWidget* parent, const QString& name, const char* caption, int l, int t, int w,
                     int h) {
    return place(named(new QRadioButton(QString::fromUtf8(caption), parent), name), l, t, w, h);
}

template <std::size_t N>
QComboBox* list(QWidget* parent, const QString& name, const std::array<std::string, N>& entries,
                int l, int t, int w, int h) {
    auto* combo = place(named(new QComboBox(parent), name), l, t, w, h);
    combo->setEditable(false);
    for (const auto& e : entries) combo->addItem(q(e));
    return combo;
}

QLineEdit* box(QWidget* parent, const QString& name, int l, int t, int w, int h) {
    return place(named(new QLineEdit(parent), name), l, t, w, h);
}

QPushButton* button(QWidget* parent, const char* name, const char* caption, int l, int t, int w,
                    int h) {
    return place(named(new QPushButton(QString::fromUtf8(caption), parent), name), l, t, w, h);
}

QString member(const char* control, std::size_t k) {
    return QString("%1(%2)").arg(control).arg(k);
}

// Volumes the user keeps files on: the root, and mounted disks; not the
// kernel's own file systems.
bool user_volume(const QStorageInfo& v) {
    if (!v.isValid() || !v.isReady()) return false;
    const QString root = v.rootPath();
    if (root == "/") return true;
    static const QStringList hidden_types = {
        "proc",   "sysfs",  "devtmpfs",   "tmpfs",   "cgroup",  "cgroup2",
        "devpts", "mqueue", "securityfs", "debugfs", "tracefs", "pstore",
        "bpf",    "autofs", "squashfs",   "overlay", "nsfs",    "fusectl"};
    if (hidden_types.contains(QString::fromUtf8(v.fileSystemType()))) return false;
    for (const char* prefix : {"/proc", "/sys", "/dev", "/snap", "/boot", "/etc"})
        if (root.startsWith(prefix)) return false;
    if (root.startsWith("/run") && !root.startsWith("/run/media/")) return false;
    return true;
}

}  // namespace

f_psf::f_psf(WindowSetup setup)
    : own_clock_(setup.clock ? nullptr : std::make_unique<SystemClock>()),
      clock_(setup.clock ? setup.clock : own_clock_.get()),
      own_messages_(setup.messages ? nullptr : std::make_unique<MessageBoxes>()),
      messages_(setup.messages ? setup.messages : own_messages_.get()),
      setup_(std::move(setup)),
      stamps_(table_),
      gate_(*this) {
    setObjectName("f_psf");
    setWindowTitle("Picsifter");
    build_controls();
    build_menus();
    set_tab_order();

    grid_ = std::make_unique<TableGrid>(gri);
    const QString cwd = QDir::currentPath();
    editor::EditorHost& host = *this;
    editor_ = std::make_unique<editor::TaskEditor>(
        table_, *grid_, host, QStorageInfo(cwd).rootPath().toStdString(), cwd.toStdString());
    connect_editor();

    TransferFactory make = setup_.make_transfer;
    if (!make) make = [] { return std::make_unique<CurlTransfer>(); };
    worker_ = std::make_unique<RunWorker>(
        *clock_, make,
        RunWorker::Callbacks{[this](const std::string& caption) { Label4->setText(q(caption)); },
                             [this](LabelColour colour) { set_label_colour(colour); },
                             [this](int row, bool cancelled, LocalTime end) {
                                 stamps_.run_ended(row, cancelled, end);
                             },
                             [this] { on_job_ended(); }});

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

void f_psf::build_controls() {
    // The layout was drawn for an 8-point sans-serif font; Arial's metric twin
    // keeps every caption inside its control.
    QFont font("Liberation Sans");
    font.setFamilies({"Liberation Sans", "Arimo", "Arial"});
    font.setPointSize(8);
    setFont(font);

    // The client keeps its size; a screen too small for it (a large scale
    // factor) scrolls it instead of pushing the title bar off the screen.
    auto* scroller = named(new QScrollArea(this), "scroller");
    scroller->setFrameShape(QFrame::NoFrame);
    scroller->setFocusPolicy(Qt::NoFocus);
    client = named(new QWidget(scroller), "client");
    client->setFixedSize(px(ClientWidth), px(ClientHeight));
    scroller->setWidget(client);
    setCentralWidget(scroller);

    Frame1 = group(client, "Frame1", "", 120, -60, 9975, 5655);
    Label1 = label(Frame1, "Label1", "Title :", 240, 270, 495, 255);
    Text1 = box(Frame1, "Text1", 720, 240, 2055, 285);
    Label5 = label(Frame1, "Label5", "Internet Address :", 3000, 270, 1335, 255);
    Text2 = box(Frame1, "Text2", 4320, 240, 5175, 285);

    Frame4 = group(Frame1, "Frame4", "Navigate in the web site ?", 240, 720, 2535, 855);
    Option3[0] = option(Frame4, member("Option3", 0), "No", 120, 240, 2295, 255);
    Option3[1] = option(Frame4, member("Option3", 1), "Yes, on", 120, 540, 975, 255);
    Combo1 = list(Frame4, "Combo1", editor::Combo1_entries(), 1000, 500, 615, 315);
    Label2 = label(Frame4, "Label2", "levels", 1680, 540, 735, 255);

    Frame9 = group(Frame1, "Frame9", "Secured Access", 240, 1680, 2535, 855);
    Label8 = label(Frame9, "Label8", "User :", 120, 260, 855, 255);
    Text5 = box(Frame9, "Text5", 1200, 180, 1215, 285);
    Label9 = label(Frame9, "Label9", "Password :", 120, 560, 1095, 255);
    Text6 = box(Frame9, "Text6", 1200, 500, 1215, 285);
    Text6->setEchoMode(QLineEdit::Password);

    Frame2 = group(Frame1, "Frame2", "Images already existing ", 240, 2640, 2535, 1095);
    Option1[0] = option(Frame2, member("Option1", 0), "do not replace", 120, 240, 1815, 255);
    Option1[1] = option(Frame2, member("Option1", 1), "replace", 120, 510, 1575, 255);
    Option1[2] = option(Frame2, member("Option1", 2), "create a new version", 120, 780, 2295, 255);

    Frame3 = group(Frame1, "Frame3", "destination directory", 3000, 720, 3735, 3015);
    Drive1 = place(named(new QComboBox(Frame3), "Drive1"), 120, 280, 3495, 315);
    Dir1 = place(named(new QTreeView(Frame3), "Dir1"), 120, 600, 3495, 1440);
    Option2[0] = option(Frame3, member("Option2", 0), "Copy all images in this directory", 120,
                        2160, 3495, 255);
    Option2[1] = option(Frame3, member("Option2", 1), "Create a tree from this directory", 120,
                        2520, 3495, 375);
    folders_ = new QFileSystemModel(this);
    folders_->setFilter(QDir::AllDirs | QDir::NoDotAndDotDot);
    folders_->setRootPath("/");
    // Folders load in the background and push the current one out of sight.
    connect(folders_, &QFileSystemModel::directoryLoaded, this, [this](const QString& path) {
        if (!editor_) return;
        const QString folder = q(editor_->state().Dir1);
        if (folder == path || folder.startsWith(path.endsWith('/') ? path : path + '/'))
            QTimer::singleShot(0, this, [this] { reveal_folder(); });
    });
    Dir1->setModel(folders_);
    for (int c = 1; c < folders_->columnCount(); ++c) Dir1->hideColumn(c);
    Dir1->setHeaderHidden(true);
    fill_drives();

    Frame5 = group(Frame1, "Frame5", "Schedule", 6960, 720, 2775, 3495);
    Option4[0] = option(Frame5, member("Option4", 0), "On demand", 120, 240, 1935, 255);
    Option4[1] = option(Frame5, member("Option4", 1), "Many times a day", 120, 600, 1935, 255);
    Combo2 = list(Frame5, "Combo2", editor::Combo2_entries(), 360, 900, 2175, 315);
    Option4[2] = option(Frame5, member("Option4", 2), "From", 120, 1400, 1095, 255);
    Combo5 = list(Frame5, "Combo5", editor::Combo5_entries(), 1200, 1360, 615, 315);
    Label10 = label(Frame5, "Label10", "H", 1840, 1400, 255, 255);
    Combo6 = list(Frame5, "Combo6", editor::Combo6_entries(), 2040, 1360, 630, 315);
    Combo7 = list(Frame5, "Combo7", editor::Combo7_entries(), 360, 1780, 2175, 315);
    Label3 = label(Frame5, "Label3", "On :", 120, 2205, 375, 255);
    static const char* const days[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                       "Friday", "Saturday", "Sunday"};
    static const int day_pos[][2] = {{1440, 2180}, {120, 2520}, {1440, 2520}, {120, 2880},
                                     {1440, 2880}, {120, 3200}, {1440, 3200}};
    for (std::size_t k = 0; k < 7; ++k) {
        Check1[k] = place(named(new QCheckBox(days[k], Frame5), member("Check1", k)), day_pos[k][0],
                          day_pos[k][1], 1290, 255);
    }

    static const int tops[] = {240, 600, 960, 1320};
    Frame7 = group(Frame1, "Frame7", "Retrieve only these images :", 240, 3840, 3135, 1700);
    Frame8 = group(Frame1, "Frame8", "Do not retrieve these images :", 3600, 3840, 3135, 1695);
    for (std::size_t k = 0; k < 4; ++k) {
        Text3[k] = box(Frame7, member("Text3", k), 120, tops[k], 1935, 285);
        Label6[k] = label(Frame7, member("Label6", k), ".", 2160, tops[k], 135, 255);
        Combo3[k] =
            list(Frame7, member("Combo3", k), editor::type_entries(), 2280, tops[k], 735, 315);
        Text4[k] = box(Frame8, member("Text4", k), 165, tops[k], 1935, 285);
        Label7[k] = label(Frame8, member("Label7", k), ".", 2160, tops[k], 135, 255);
        Combo4[k] =
            list(Frame8, member("Combo4", k), editor::type_entries(), 2280, tops[k], 735, 315);
    }

    Command2 = button(Frame1, "Command2", "Schedule", 7200, 4440, 2295, 375);
    Label4 = label(Frame1, "Label4", "", 6960, 5040, 2775, 300);
    QFont status_font("Arial");
    status_font.setFamilies({"Arial", "Liberation Sans"});
    status_font.setPointSizeF(9.75);
    Label4->setFont(status_font);
    Label4->setAutoFillBackground(true);
    set_label_colour(LabelColour::Idle);

    Frame6 = group(client, "Frame6", "Schedules", 120, 5640, 9975, 2175);
    gri = place(named(new QTableWidget(1, editor::GridCols, Frame6), "gri"), 120, 240, 9735, 1335);
    gri->verticalHeader()->hide();
    gri->setTabKeyNavigation(false);  // Tab leaves the grid; the arrow keys move inside it
    gri->setSelectionMode(QAbstractItemView::SingleSelection);
    gri->setSelectionBehavior(QAbstractItemView::SelectItems);
    gri->setEditTriggers(QAbstractItemView::NoEditTriggers);
    gri->verticalHeader()->setDefaultSectionSize(px(255));
    gri->horizontalHeader()->setHighlightSections(false);
    Command3 = button(Frame6, "Command3", "Delete", 360, 1680, 2055, 375);
    Command6 = button(Frame6, "Command6", "Retrieve Now !", 3840, 1680, 2055, 375);
    Command4 = button(Frame6, "Command4", "Edit", 7200, 1680, 2295, 375);
}

void f_psf::build_menus() {
    auto entry = [this](QMenu* menu, const char* name, const char* caption) {
        QAction* a = menu->addAction(QString::fromUtf8(caption));
        a->setObjectName(name);
        return a;
    };
    m_fichier = named(menuBar()->addMenu("&File"), "m_fichier");
    m_quitter = entry(m_fichier, "m_quitter", "Quit");
    m_fenetre = named(menuBar()->addMenu("&Window"), "m_fenetre");
    m_reinit = entry(m_fenetre, "m_reinit", "Reset");
    m_tache = entry(m_fenetre, "m_tache", "Minimize");
    m_options = named(menuBar()->addMenu("&Options"), "m_options");
    m_tb = entry(m_options, "m_tb", "&Start in the task bar");
    m_tb->setCheckable(true);
    m_interro = named(menuBar()->addMenu("&?"), "m_interro");
    m_aide = entry(m_interro, "m_aide", "Help...");
    m_apropos = entry(m_interro, "m_apropos", "&About...");
    // The tray's menu is not on the bar.
    mPopupSys = named(new QMenu("&SysTRay", this), "mPopupSys");
    mPopRestore = entry(mPopupSys, "mPopRestore", "&Restore");
    mPopExit = entry(mPopupSys, "mPopExit", " &Quit");

    connect(m_tb, &QAction::triggered, this, [this] { m_tb_Click(); });
    connect(m_aide, &QAction::triggered, this, [this] { show_help(this); });
    connect(m_apropos, &QAction::triggered, this,
            [this] { messages_->show(this, about_message()); });
    connect(mPopRestore, &QAction::triggered, this, [this] { restore(); });
    connect(m_quitter, &QAction::triggered, this, &QWidget::close);
    connect(mPopExit, &QAction::triggered, this, &QWidget::close);
    connect(m_tache, &QAction::triggered, this, &QWidget::showMinimized);
    connect(m_reinit, &QAction::triggered, this,
            [this] { show_outcome(editor_->m_reinit_Click()); });
}

void f_psf::set_tab_order() {
    std::vector<QWidget*> order = {Text1,  Text2, Option3[0], Option3[1], Combo1,
                                   Text5,  Text6, Option1[0], Option1[1], Option1[2],
                                   Drive1, Dir1,  Option2[0], Option2[1]};
    for (std::size_t k = 0; k < 4; ++k) order.insert(order.end(), {Text3[k], Combo3[k]});
    for (std::size_t k = 0; k < 4; ++k) order.insert(order.end(), {Text4[k], Combo4[k]});
    order.insert(order.end(), {Option4[0], Option4[1], Combo2, Combo5, Combo6, Combo7});
    order.insert(order.end(), Check1.begin(), Check1.end());
    order.insert(order.end(), {Command2, gri, Command3, Command6, Command4, Option4[2]});
    for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void f_psf::fill_drives() {
    QList<QStorageInfo> volumes;
    for (const QStorageInfo& v : QStorageInfo::mountedVolumes())
        if (user_volume(v)) volumes.push_back(v);
    std::sort(volumes.begin(), volumes.end(), [](const QStorageInfo& a, const QStorageInfo& b) {
        if ((a.rootPath() == "/") != (b.rootPath() == "/")) return a.rootPath() == "/";
        return a.rootPath() < b.rootPath();
    });
    Drive1->clear();
    for (const QStorageInfo& v : volumes)
        if (Drive1->findData(v.rootPath()) < 0) Drive1->addItem(v.rootPath(), v.rootPath());
}

void f_psf::connect_editor() {
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
        // The box that held the focus was just emptied: leaving it is no edit.
        cleared_box_ = focusWidget();
        Text1->setFocus(Qt::OtherFocusReason);
    }
}

// Validation when the focus leaves a box for another control of this window;
// never while one of its own messages is open or the focus is being put back.
void f_psf::on_focus_changed(QWidget* old, QWidget* now) {
    if (validating_ || syncing_ || !old || !now || now->window() != this) return;
    if (old == cleared_box_) {
        cleared_box_ = nullptr;
        return;
    }
    std::vector<editor::Message> found;
    if (old == Text2) {
        if (auto m = editor_->Text2_Validate()) found.push_back(*m);
    } else if (old == Text5) {
        editor_->Text5_Validate();
    } else if (old == Text6) {
        editor_->Text6_Validate();
    }
    for (int k = 0; k < 4; ++k) {
        if (old == Text3[static_cast<std::size_t>(k)]) found = editor_->Text3_Validate(k);
        if (old == Text4[static_cast<std::size_t>(k)]) found = editor_->Text4_Validate(k);
    }
    show_state();
    if (found.empty()) return;
    validating_ = true;
    for (const auto& m : found) messages_->show(this, m);
    old->setFocus(Qt::OtherFocusReason);
    validating_ = false;
}

StartResult f_psf::startup() {
    show_state();

    const DataFolderChoice choice = compute_data_folder(setup_.app_data, setup_.program_folder);
    DataFolder_ = choice.DataFolder;
    std::string problem = choice.error;
    if (!DataFolder_.empty()) {
        lock_ = std::make_unique<DataFolderLock>(DataFolder_, WindowLockHolder);
        switch (lock_->state()) {
            case LockState::Taken:
                break;
            case LockState::HeldByWindow: {
                // Bring that window forward instead of starting a second one.
                QLocalSocket first;
                first.connectToServer(instance_name(DataFolder_));
                if (first.waitForConnected(2000)) first.disconnectFromServer();
                return StartResult::HandedOver;
            }
            case LockState::HeldByRunner:
                messages_->show(this, {"Picsifter",
                                       "The data folder is in use by a command-line run; start "
                                       "Picsifter again when the run has ended.",
                                       editor::Icon::Warning, editor::Buttons::Ok});
                return StartResult::DataFolderInUse;
            case LockState::Unusable:
                problem = DataFolder_ + ": the lock file cannot be created";
                DataFolder_.clear();
                break;
        }
    }
    table_.TaskCount = 0;
    if (!DataFolder_.empty()) {
        LoadReport report;
        std::string error;
        if (!charge_planifs(DataFolder_, table_, report, error)) {
            // Saving would replace a file that could not be read.
            problem = error;
            DataFolder_.clear();
        } else if (!report.clean()) {
            backup_ = report.backup;
            std::string text = DataFolder_ + ScheduleFileName + " did not load as it is.";
            for (const std::string& line : load_warnings(report)) text += "\n" + line;
            messages_->show(this, {"Picsifter", text, editor::Icon::Warning, editor::Buttons::Ok});
        }
    }
    if (DataFolder_.empty())
        messages_->show(this, {"Picsifter",
                               "The data folder cannot be used (" + problem +
                                   "). Tasks can be scheduled, but they will not be saved.",
                               editor::Icon::Warning, editor::Buttons::Ok});
    editor::fill_grid(*grid_, table_);

    listen_for_second_start();
    ensure_tray();

    bool marker = false;
    if (!DataFolder_.empty()) {
        std::error_code ec;
        marker = std::filesystem::exists(DataFolder_ + MarkerFile, ec);
    }
    m_tb->setChecked(marker);
    watch_tray();
    // Without a notification area a hidden window could not be reached.
    if (marker && in_tray()) return StartResult::Hidden;
    restore();
    return StartResult::Shown;
}

bool f_psf::in_tray() const {
    return tray_ && tray_->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

// A notification area can come and go while the program runs (a panel that
// restarts): the icon goes back into a new one within a second or two, and a
// window hidden in one that went is brought back, minimised.
void f_psf::watch_tray() {
    if (tray_check_) return;
    tray_check_ = new QTimer(this);
    tray_check_->setInterval(TrayCheckInterval);
    tray_was_there_ = QSystemTrayIcon::isSystemTrayAvailable();
    connect(tray_check_, &QTimer::timeout, this, [this] {
        const bool there = QSystemTrayIcon::isSystemTrayAvailable();
        if (closing_ || there == tray_was_there_) return;
        tray_was_there_ = there;
        if (there) {
            if (tray_) tray_->hide();  // shown again in the new area
            ensure_tray();
        } else if (isHidden()) {
            showMinimized();
        }
    });
    tray_check_->start();
}

void f_psf::ensure_tray() {
    if (in_tray() || !QSystemTrayIcon::isSystemTrayAvailable()) return;
    if (!tray_) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        tray_->setObjectName("tray");
        tray_->setToolTip("Picsifter");
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    switch (reason) {
                        case QSystemTrayIcon::Trigger:
                        case QSystemTrayIcon::DoubleClick:
                            restore();
                            break;
                        case QSystemTrayIcon::Context:
                            raise();
                            activateWindow();
                            mPopupSys->popup(QCursor::pos());
                            break;
                        default:
                            break;
                    }
                });
    }
    tray_->show();
}

// Centred on the screen and kept inside its free area: on a screen too small
// for it (a large scale factor) the window is shortened, and its client
// scrolls, so that the title bar stays reachable.
void f_psf::centre() {
    QScreen* screen = this->screen();
    if (!screen) return;
    const QRect area = screen->geometry();
    const QRect free = screen->availableGeometry();
    const QSize frame = frameGeometry().size() - size();
    const QSize natural(client->width(), client->height() + menuBar()->sizeHint().height());
    QSize fit = natural.boundedTo(free.size() - frame);
    if (fit.height() < natural.height())
        fit.setWidth(std::min(natural.width() + style()->pixelMetric(QStyle::PM_ScrollBarExtent),
                              free.width() - frame.width()));
    resize(fit);
    const QSize outer = fit + frame;
    const int left = area.x() + (area.width() - outer.width()) / 2;
    const int top = area.y() + (area.height() - outer.height()) / 2;
    move(std::max(free.left(), std::min(left, free.x() + free.width() - outer.width())),
         std::max(free.top(), std::min(top, free.y() + free.height() - outer.height())));
}

void f_psf::restore() {
    setWindowState(windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    show();
    centre();
    raise();
    activateWindow();
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

QString f_psf::instance_name(const std::string& DataFolder) {
    const QByteArray key =
        QCryptographicHash::hash(QByteArray::fromStdString(DataFolder), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    return "picsifter-" + QString::fromLatin1(key);
}

// A second start over the same data folder asks this window to come forward.
void f_psf::listen_for_second_start() {
    if (DataFolder_.empty()) return;
    const QString name = instance_name(DataFolder_);
    QLocalServer::removeServer(name);  // left by a window that crashed; we hold the lock
    instance_server_ = new QLocalServer(this);
    instance_server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(instance_server_, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* peer = instance_server_->nextPendingConnection()) {
            peer->deleteLater();
            restore();
        }
    });
    instance_server_->listen(name);
}

void f_psf::m_tb_Click() {
    // The action has toggled itself already; the file decides the mark.
    const bool was_ticked = !m_tb->isChecked();
    const QString marker = q(DataFolder_ + MarkerFile);
    bool ok = !DataFolder_.empty();
    if (ok && was_ticked) {
        ok = !QFile::exists(marker) || QFile::remove(marker);
    } else if (ok) {
        QFile file(marker);
        ok = file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
             file.write("\"1\"\r\n") == 5 && file.flush();
    }
    if (ok) {
        m_tb->setChecked(!was_ticked);
        return;
    }
    m_tb->setChecked(was_ticked);
    messages_->show(this,
                    {"Picsifter",
                     std::string(was_ticked ? "The start-in-tray setting could not be removed"
                                            : "The start-in-tray setting could not be saved") +
                         " in the data folder " +
                         (DataFolder_.empty() ? std::string("(none)") : DataFolder_) + ".",
                     editor::Icon::Warning, editor::Buttons::Ok});
}

void f_psf::quit_now() {
    ask_before_quit_ = false;
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
            items.push_back(
                {r, spec_from_task(table_.rows[static_cast<std::size_t>(r)]), RunMode::OnDemand});
    }
    start_job(std::move(items));
}

// The due-time pass: rows chosen at the moment read once here, run in order
// on the worker thread, each stamped here as its run ends.
void f_psf::start_pass() {
    std::vector<RunItem> items;
    for (int row : stamps_.begin_pass(clock_->now()))
        items.push_back(
            {row, spec_from_task(table_.rows[static_cast<std::size_t>(row)]), RunMode::Scheduled});
    start_job(std::move(items));
}

void f_psf::start_job(std::vector<RunItem> items) {
    worker_->start(std::move(items));
}

void f_psf::on_job_ended() {
    save_stamps();
    if (closing_) return;
    if (gate_.finish()) start_pass();
}

void f_psf::save_stamps() {
    if (!stamps_.take_unsaved()) return;
    std::string error;
    if (!save(table_, error) && !closing_)
        messages_->show(this, {"Error", "The schedule could not be saved: " + error,
                               editor::Icon::Warning, editor::Buttons::Ok});
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
        const auto answer = messages_->show(
            this, {"Picsifter", question, editor::Icon::Question, editor::Buttons::YesNo});
        if (answer != QMessageBox::Yes) {
            event->ignore();
            return;
        }
    }
    stop_runs();
    if (tray_) tray_->hide();
    if (f_help* help = help_window()) help->close();
    event->accept();
    QCoreApplication::quit();
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
    if (!busy) QGuiApplication::restoreOverrideCursor();
}

void f_psf::show_commands() {
    for (const editor::TaskCommand& c : editor::TaskCommands)
        findChild<QObject*>(c.name)->setProperty("enabled", (editor_->state().*c.state).Enabled);
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

bool f_psf::save(const TaskTable& table, std::string& error) {
    if (DataFolder_.empty()) return true;  // said once at start-up
    return sauve_planifs(DataFolder_, table, error, backup_);
}

editor::Stamp f_psf::now() const {
    const LocalTime t = clock_->now();
    return {format_date(t), format_time(t)};
}

}  // namespace psf::shell
