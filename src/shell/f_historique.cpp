#include "shell/f_historique.h"

#include <QComboBox>
#include <QDesktopServices>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QListView>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSortFilterProxyModel>
#include <QStandardItemModel>
#include <QTableView>
#include <QTableWidget>
#include <QToolTip>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>

#include "platform/text.h"
#include "scheduler/run_record.h"
#include "shell/thumbnails.h"
#include "shell/twips.h"
#include "shell/widgets.h"
#include "store/history.h"

namespace psf::shell {

namespace {

constexpr int Width = 10155, Height = 7905;  // twips: the main window's client
constexpr int SortKey = Qt::UserRole;
constexpr int RunId = Qt::UserRole + 1;

QPointer<f_historique> open_history;

std::string bytes_text(std::int64_t n) {
    if (n < 1024) return std::to_string(n) + (n == 1 ? " byte" : " bytes");
    char text[32];
    const double kib = static_cast<double>(n) / 1024;
    std::snprintf(text, sizeof text, kib < 1024 ? "%.1f KiB" : "%.1f MiB",
                  kib < 1024 ? kib : kib / 1024);
    return text;
}

std::string started_by_text(const std::string& by) {
    if (by == "timer") return "the timer";
    if (by == "now") return "Retrieve Now";
    return "picsifter-cli " + by;
}

std::string run_text(const RunRecord& r) {
    return r.task + ", run " + std::to_string(r.id) + " started by " +
           started_by_text(r.started_by) + " at " + r.started +
           (r.ended.empty() ? "" : ", ended at " + r.ended) + ": " + outcome_text(r) + ".\n" +
           counts_text(r) + "; " + bytes_text(r.bytes_received) + " received.";
}

QStandardItem* cell(const QString& text, const QVariant& key) {
    auto* item = new QStandardItem(text);
    item->setData(key, SortKey);
    item->setEditable(false);
    return item;
}

}  // namespace

f_historique::f_historique(QWidget* owner, std::string DataFolder)
    : QDialog(owner), DataFolder_(std::move(DataFolder)) {
    setObjectName("f_historique");
    setWindowTitle("History");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setModal(false);
    setFont(layout_font());
    resize(px(Width), px(Height));

    auto* top = new QVBoxLayout(this);
    auto* filter = new QHBoxLayout;
    filter->addWidget(named(new QLabel("Task :", this), "Label2"));
    Combo1 = named(new QComboBox(this), "Combo1");
    Combo1->setMinimumContentsLength(40);
    Combo1->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    filter->addWidget(Combo1);
    filter->addStretch();
    top->addLayout(filter);

    const int margin = px(120);
    auto* runs_frame = named(new Frame("Runs", this), "Frame1");
    auto* runs_box = new QVBoxLayout(runs_frame);
    runs_box->setContentsMargins(margin, margin / 2, margin, margin);
    Table1 = named(new QTableView(runs_frame), "Table1");
    runs_box->addWidget(Table1);
    top->addWidget(runs_frame, 3);

    auto* images_frame = named(new Frame("Images copied by this run", this), "Frame2");
    auto* images_box = new QVBoxLayout(images_frame);
    images_box->setContentsMargins(margin, margin / 2, margin, margin);
    Label1 = named(new QLabel(images_frame), "Label1");
    Label1->setWordWrap(true);
    Label1->setTextInteractionFlags(Qt::TextSelectableByMouse);
    images_box->addWidget(Label1);
    List1 = named(new QListView(images_frame), "List1");
    List1->setViewMode(QListView::IconMode);
    List1->setIconSize(QSize(Thumbnails::Side, Thumbnails::Side));
    List1->setGridSize(QSize(Thumbnails::Side + px(600), Thumbnails::Side + px(480)));
    List1->setResizeMode(QListView::Adjust);
    List1->setMovement(QListView::Static);
    List1->setUniformItemSizes(true);
    List1->setTextElideMode(Qt::ElideMiddle);
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    images_box->addWidget(List1);
    top->addWidget(images_frame, 4);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    Command1 = named(new QPushButton("Open Folder", this), "Command1");
    Command2 = named(new QPushButton("Close", this), "Command2");
    for (QPushButton* b : {Command1, Command2}) {
        b->setMinimumSize(px(1575), px(375));
        buttons->addWidget(b);
    }
    top->addLayout(buttons);

    runs_ = new QStandardItemModel(0, 6, this);
    runs_->setHorizontalHeaderLabels(
        {"Task", "Started", "Outcome", "Copied", "Unchanged", "Failed"});
    shown_ = new QSortFilterProxyModel(this);
    shown_->setSourceModel(runs_);
    shown_->setSortRole(SortKey);
    shown_->setFilterKeyColumn(0);
    Table1->setModel(shown_);
    Table1->setSortingEnabled(true);
    Table1->setSelectionBehavior(QAbstractItemView::SelectRows);
    Table1->setSelectionMode(QAbstractItemView::SingleSelection);
    Table1->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Table1->verticalHeader()->hide();
    Table1->verticalHeader()->setDefaultSectionSize(px(255));
    Table1->horizontalHeader()->setHighlightSections(false);
    Table1->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    for (const auto& [column, twips] :
         {std::pair{0, 2300}, {1, 1700}, {3, 800}, {4, 1000}, {5, 800}})
        Table1->setColumnWidth(column, px(twips));
    Table1->sortByColumn(1, Qt::DescendingOrder);
    thumbnails = new Thumbnails(this);
    List1->setModel(thumbnails);

    connect(Combo1, &QComboBox::activated, this, [this](int index) {
        const QString task = Combo1->itemData(index).toString();
        shown_->setFilterRegularExpression(
            index == 0 ? QString() : "^" + QRegularExpression::escape(task) + "$");
        if (!Table1->currentIndex().isValid() && shown_->rowCount() > 0)
            Table1->setCurrentIndex(shown_->index(0, 0));
        if (shown_->rowCount() == 0) show_run(0);
    });
    connect(Table1->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this] { show_run(selected_run()); });
    connect(List1, &QListView::doubleClicked, this, [this](const QModelIndex& at) {
        QDesktopServices::openUrl(QUrl::fromLocalFile(thumbnails->file(at.row())));
    });
    connect(Command1, &QPushButton::clicked, this, [this] { open_folder(); });
    connect(Command2, &QPushButton::clicked, this, &QWidget::close);
    reload();
    Table1->setFocus();
}

void f_historique::reload() {
    const std::int64_t kept = selected_run();
    History history(DataFolder_, History::Mode::Read);
    const auto runs = history.runs();
    runs_->removeRows(0, runs_->rowCount());
    QStringList tasks;
    for (const RunRecord& r : runs) {
        const QString task = q(r.task);
        QList<QStandardItem*> row = {
            cell(task, task),
            cell(q(r.started), QVariant::fromValue<qlonglong>(r.id)),
            cell(q(outcome_text(r)), q(outcome_text(r))),
            cell(QString::number(r.copied), r.copied),
            cell(QString::number(r.unchanged), r.unchanged),
            cell(QString::number(r.failed), r.failed),
        };
        row[0]->setData(QVariant::fromValue<qlonglong>(r.id), RunId);
        for (int c : {3, 4, 5}) row[c]->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        runs_->appendRow(row);
        if (!tasks.contains(task)) tasks << task;
    }
    tasks.sort();
    const QString chosen = Combo1->currentIndex() > 0 ? Combo1->currentData().toString() : "";
    Combo1->clear();
    Combo1->addItem("(every task)", QString());
    for (const QString& task : tasks) Combo1->addItem(task, task);
    const int at = chosen.isEmpty() ? 0 : Combo1->findData(chosen);
    Combo1->setCurrentIndex(at < 0 ? 0 : at);
    emit Combo1->activated(Combo1->currentIndex());
    if (kept != 0) select_run(kept);
    if (!history.problem().empty()) Label1->setText(q(history.problem()));
}

void f_historique::select_run(std::int64_t id) {
    for (int row = 0; row < runs_->rowCount(); ++row) {
        if (runs_->item(row, 0)->data(RunId).toLongLong() != id) continue;
        QModelIndex at = shown_->mapFromSource(runs_->index(row, 0));
        if (!at.isValid()) {  // hidden by the filter
            Combo1->setCurrentIndex(0);
            emit Combo1->activated(0);
            at = shown_->mapFromSource(runs_->index(row, 0));
        }
        Table1->setCurrentIndex(at);
        Table1->scrollTo(at);
        return;
    }
}

std::int64_t f_historique::selected_run() const {
    const QModelIndex at = shown_->mapToSource(Table1->currentIndex());
    return at.isValid() ? runs_->item(at.row(), 0)->data(RunId).toLongLong() : 0;
}

void f_historique::show_run(std::int64_t id) {
    History history(DataFolder_, History::Mode::Read);
    const auto run = history.run(id);
    QStringList files;
    for (const ImageRecord& image : history.images(id)) files << q(image.file);
    thumbnails->set_files(files, devicePixelRatioF());
    Label1->setText(run ? q(run_text(*run)) : QString());
    Command1->setEnabled(!files.isEmpty());
}

void f_historique::open_folder() {
    const QModelIndex at = List1->currentIndex();
    const QString file = thumbnails->file(at.isValid() ? at.row() : 0);
    if (!file.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(file).path()));
}

void show_history(QWidget* owner, const std::string& DataFolder, std::int64_t run) {
    const bool fresh = !open_history;
    if (fresh) open_history = new f_historique(owner, DataFolder);
    f_historique* window = open_history;
    window->show();
    if (QScreen* screen = window->screen(); fresh && screen) {
        const QRect area = screen->availableGeometry();
        window->resize(window->size().boundedTo(area.size()));
        window->move(area.x() + (area.width() - window->frameGeometry().width()) / 2,
                     area.y() + (area.height() - window->frameGeometry().height()) / 2);
    }
    if (run != 0) window->select_run(run);
    window->raise();
    window->activateWindow();
}

f_historique* history_window() {
    return open_history;
}

LastRunTips::LastRunTips(QTableWidget* grid, std::string DataFolder)
    : QObject(grid), grid_(grid), DataFolder_(std::move(DataFolder)) {
    grid_->viewport()->installEventFilter(this);
    refresh();
}

void LastRunTips::refresh() {
    last_.clear();
    History history(DataFolder_, History::Mode::Read);
    for (const RunRecord& r : history.last_runs()) last_[r.task] = last_run_text(r);
}

QString LastRunTips::tip(int row) const {
    const QTableWidgetItem* item = row >= 1 ? grid_->item(row - 1, 0) : nullptr;
    if (!item) return {};
    const auto found = last_.find(std::string(trim_blanks(item->text().toStdString())));
    return found == last_.end() ? QString() : "Last run: " + q(found->second);
}

bool LastRunTips::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::ToolTip) return QObject::eventFilter(watched, event);
    const auto* help = static_cast<QHelpEvent*>(event);
    const QString text = tip(grid_->rowAt(help->pos().y()) + 1);
    if (text.isEmpty())
        QToolTip::hideText();
    else
        QToolTip::showText(help->globalPos(), text, grid_->viewport());
    return true;
}

}  // namespace psf::shell
