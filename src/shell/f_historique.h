// The History window: the runs the history keeps, sortable and filtered by
// task, and the images a run copied as thumbnails; and the grid's tooltips
// that tell each task's last run.
#pragma once

#include <QDialog>
#include <cstdint>
#include <map>
#include <string>

class QComboBox;
class QLabel;
class QListView;
class QPushButton;
class QSortFilterProxyModel;
class QStandardItemModel;
class QTableView;
class QTableWidget;

namespace psf::shell {

class Thumbnails;

class f_historique final : public QDialog {
  public:
    f_historique(QWidget* owner, std::string DataFolder);

    // Reads the runs again, keeping the run selected.
    void reload();
    // Selects run `id` (the filter shows every task again when it hides it).
    void select_run(std::int64_t id);
    // The run selected; 0 when none is.
    std::int64_t selected_run() const;
    // Opens the folder of the image selected, else of the run's first image.
    void open_folder();

    QComboBox* Combo1 = nullptr;      // the task filter
    QTableView* Table1 = nullptr;     // the runs
    QLabel* Label1 = nullptr;         // the selected run in words
    QListView* List1 = nullptr;       // its images
    QPushButton* Command1 = nullptr;  // "Open Folder"
    QPushButton* Command2 = nullptr;  // "Close"
    Thumbnails* thumbnails = nullptr;

  private:
    void show_run(std::int64_t id);

    std::string DataFolder_;
    QStandardItemModel* runs_ = nullptr;
    QSortFilterProxyModel* shown_ = nullptr;
};

// Opens the History window (never two), at run `run` when it is not 0.
void show_history(QWidget* owner, const std::string& DataFolder, std::int64_t run = 0);
// The open History window, if any.
f_historique* history_window();

// The grid's tooltip of a task row: its last run, from the history.
class LastRunTips final : public QObject {
  public:
    LastRunTips(QTableWidget* grid, std::string DataFolder);
    // Reads the last runs again.
    void refresh();
    // The tooltip of grid data row `row` (1 the first), empty when none.
    QString tip(int row) const;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QTableWidget* grid_;
    std::string DataFolder_;
    std::map<std::string, std::string> last_;  // trimmed title: its last run
};

}  // namespace psf::shell
