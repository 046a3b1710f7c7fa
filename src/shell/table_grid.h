// The task grid over a QTableWidget: grid row 0 is the widget's horizontal
// header, grid data row r is the widget's row r - 1.
#pragma once

#include "platform/grid.h"

class QTableWidget;

namespace psf {

class TableGrid final : public Grid {
  public:
    explicit TableGrid(QTableWidget* table);

    int Rows() const override;
    int Cols() const override;
    int Row() const override;
    void setRow(int row) override;
    std::string TextMatrix(int row, int col) const override;
    void setTextMatrix(int row, int col, const std::string& text) override;
    void AddItem(const std::string& text) override;
    void RemoveItem(int row) override;
    int ColWidth(int col) const override;
    void setColWidth(int col, int twips) override;
    int RowSel() const override;
    void setRowSel(int row) override;
    int ColSel() const override;
    void setColSel(int col) override;

  private:
    void check(int row, int col) const;
    void select();

    QTableWidget* table_;
    int row_sel_ = 1;
    int col_sel_ = 0;
};

}  // namespace psf
