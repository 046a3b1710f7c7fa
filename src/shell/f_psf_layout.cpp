// The window's layout: the controls where the twips put them, the menus, the
// tab order and the placement on the screen.
#include <QCheckBox>
#include <QComboBox>
#include <QFileSystemModel>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QStorageInfo>
#include <QStyle>
#include <QTableWidget>
#include <QTimer>
#include <QTreeView>
#include <algorithm>
#include <cmath>

#include "shell/f_psf.h"
#include "shell/twips.h"
#include "shell/widgets.h"

namespace psf::shell {

namespace {

constexpr int ClientWidth = 10155, ClientHeight = 7905;  // twips

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

// The line runs through the middle of the caption, as the twips layout
// expects: a style that puts the line under the caption would run it through
// the first row of controls.
void Frame::paintEvent(QPaintEvent*) {
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

QFont layout_font() {
    // The layout was drawn for an 8-point sans-serif font; Arial's metric twin
    // keeps every caption inside its control.
    QFont font("Liberation Sans");
    font.setFamilies({"Liberation Sans", "Arimo", "Arial"});
    font.setPointSize(8);
    return font;
}

void f_psf::build_controls() {
    setFont(layout_font());

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
    m_fichier = named(menuBar()->addMenu("&File"), "m_fichier");
    m_quitter = entry(m_fichier, "m_quitter", "Quit");
    m_fenetre = named(menuBar()->addMenu("&Window"), "m_fenetre");
    m_reinit = entry(m_fenetre, "m_reinit", "Reset");
    m_avance = entry(m_fenetre, "m_avance", "Advanced...");
    m_historique = entry(m_fenetre, "m_historique", "History...");
    m_tache = entry(m_fenetre, "m_tache", "Minimize");
    m_options = named(menuBar()->addMenu("&Options"), "m_options");
    m_tb = entry(m_options, "m_tb", "&Start in the task bar");
    m_tb->setCheckable(true);
    m_avis = entry(m_options, "m_avis", "Notify after scheduled runs");
    m_avis->setCheckable(true);
    m_avis->setChecked(true);
    m_interro = named(menuBar()->addMenu("&?"), "m_interro");
    m_aide = entry(m_interro, "m_aide", "Help...");
    m_apropos = entry(m_interro, "m_apropos", "&About...");
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

}  // namespace psf::shell
