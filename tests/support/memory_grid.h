// The task grid held in memory, for tests of the editor without a window.
#pragma once

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/grid.h"

namespace psf {

// Out-of-range access throws (vector::at), as the real control raises an
// error, so a caller's off-by-one shows up in tests.
class MemoryGrid final : public Grid {
  public:
    // A header row and one blank data row, like the control when the window is created.
    MemoryGrid() : cells_(2, Row_(5)), widths_(5) {}

    int Rows() const override { return static_cast<int>(cells_.size()); }
    int Cols() const override { return static_cast<int>(widths_.size()); }
    int Row() const override { return row_; }
    void setRow(int row) override { row_ = checked(row); }
    std::string TextMatrix(int row, int col) const override {
        return cells_.at(ix(row)).at(ix(col));
    }
    void setTextMatrix(int row, int col, const std::string& text) override {
        cells_.at(ix(row)).at(ix(col)) = text;
    }
    void AddItem(const std::string& text) override {
        Row_ row(widths_.size());
        std::istringstream parts(text);
        for (auto& cell : row)
            if (!std::getline(parts, cell, '\t')) break;
        cells_.push_back(std::move(row));
    }
    void RemoveItem(int row) override {
        if (checked(row) == 0 || Rows() <= 2)
            throw std::out_of_range("grid: cannot remove that row");
        cells_.erase(cells_.begin() + row);
        row_ = std::min(row_, Rows() - 1);
        row_sel_ = std::min(row_sel_, Rows() - 1);
    }
    int ColWidth(int col) const override { return widths_.at(ix(col)); }
    void setColWidth(int col, int twips) override { widths_.at(ix(col)) = twips; }
    int RowSel() const override { return row_sel_; }
    void setRowSel(int row) override { row_sel_ = checked(row); }
    int ColSel() const override { return col_sel_; }
    void setColSel(int col) override { col_sel_ = (widths_.at(ix(col)), col); }

  private:
    using Row_ = std::vector<std::string>;
    static std::size_t ix(int i) { return static_cast<std::size_t>(i); }
    int checked(int row) const { return cells_.at(ix(row)), row; }

    std::vector<Row_> cells_;
    std::vector<int> widths_;
    int row_ = 1, row_sel_ = 1, col_sel_ = 0;
};

}  // namespace psf
