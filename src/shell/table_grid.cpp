#include "shell/table_grid.h"

#include <QHeaderView>
#include <QTableWidget>
#include <stdexcept>

#include "shell/twips.h"

namespace psf {

namespace {

QString text_of(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

TableGrid::TableGrid(QTableWidget* table) : table_(table) {
    if (table_->rowCount() < 1) table_->setRowCount(1);
    for (int c = 0; c < table_->columnCount(); ++c)
        if (!table_->horizontalHeaderItem(c))
            table_->setHorizontalHeaderItem(c, new QTableWidgetItem);
    table_->setCurrentCell(0, 0);
}

void TableGrid::check(int row, int col) const {
    if (row < 0 || row >= Rows()) throw std::out_of_range("grid: no such row");
    if (col < 0 || col >= Cols()) throw std::out_of_range("grid: no such column");
}

int TableGrid::Rows() const {
    return table_->rowCount() + 1;
}
int TableGrid::Cols() const {
    return table_->columnCount();
}

int TableGrid::Row() const {
    // The current row is always a data row, even before the user picks one.
    const int current = table_->currentRow();
    return current < 0 ? 1 : current + 1;
}

void TableGrid::setRow(int row) {
    check(row, 0);
    if (row == 0) return;
    table_->setCurrentCell(row - 1, 0);
}

std::string TableGrid::TextMatrix(int row, int col) const {
    check(row, col);
    const QTableWidgetItem* item =
        row == 0 ? table_->horizontalHeaderItem(col) : table_->item(row - 1, col);
    return item ? item->text().toStdString() : std::string();
}

void TableGrid::setTextMatrix(int row, int col, const std::string& text) {
    check(row, col);
    if (row == 0) {
        table_->horizontalHeaderItem(col)->setText(text_of(text));
        return;
    }
    QTableWidgetItem* item = table_->item(row - 1, col);
    if (!item) {
        item = new QTableWidgetItem;
        item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
        table_->setItem(row - 1, col, item);
    }
    item->setText(text_of(text));
}

void TableGrid::AddItem(const std::string& text) {
    const int row = Rows();
    table_->insertRow(table_->rowCount());
    const QStringList parts = text_of(text).split('\t');
    for (int c = 0; c < Cols() && c < parts.size(); ++c)
        if (!parts[c].isEmpty()) setTextMatrix(row, c, parts[c].toStdString());
}

void TableGrid::RemoveItem(int row) {
    check(row, 0);
    if (row == 0 || Rows() <= 2) throw std::out_of_range("grid: cannot remove that row");
    table_->removeRow(row - 1);
    row_sel_ = std::min(row_sel_, Rows() - 1);
}

int TableGrid::ColWidth(int col) const {
    check(0, col);
    return shell::twips_of(table_->columnWidth(col));
}

void TableGrid::setColWidth(int col, int twips) {
    check(0, col);
    table_->setColumnWidth(col, shell::px(twips));
}

int TableGrid::RowSel() const {
    return row_sel_;
}
int TableGrid::ColSel() const {
    return col_sel_;
}

void TableGrid::setRowSel(int row) {
    check(row, 0);
    row_sel_ = row;
    select();
}

void TableGrid::setColSel(int col) {
    check(0, col);
    col_sel_ = col;
    select();
}

// The selection runs from the current cell (Row, 0) to (RowSel, ColSel).
void TableGrid::select() {
    if (row_sel_ < 1) return;
    table_->clearSelection();
    const int top = std::min(Row(), row_sel_) - 1, bottom = std::max(Row(), row_sel_) - 1;
    table_->setRangeSelected(QTableWidgetSelectionRange(top, 0, bottom, col_sel_), true);
}

}  // namespace psf
