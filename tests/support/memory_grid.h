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
// error, so a caller's off-by-one shows up in tests. It starts, like the
// control, with a header row and one blank data row.
class MemoryGrid final : public Grid {
  public:
    int Rows() const override { return static_cast<int>(cells_.size()); }
    int Cols() const override { return static_cast<int>(widths_.size()); }
    int Row() const override { return row_; }
    void setRow(int row) override { row_ = checked(row); }
    std::string TextMatrix(int row, int col) const override { return cell(row, col); }
    void setTextMatrix(int row, int col, const std::string& text) override {
        cell(row, col) = text;
    }
    void AddItem(const std::string& text) override {
        std::istringstream parts(text);
        for (auto& c : cells_.emplace_back(widths_.size()))
            if (!std::getline(parts, c, '\t')) break;
    }
    void RemoveItem(int row) override {
        if (checked(row) == 0 || Rows() <= 2) throw std::out_of_range("grid: cannot remove row");
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
    static std::size_t ix(int i) { return static_cast<std::size_t>(i); }
    int checked(int row) const { return cells_.at(ix(row)), row; }
    std::string& cell(int row, int col) const { return cells_.at(ix(row)).at(ix(col)); }

    mutable std::vector<std::vector<std::string>> cells_ =
        std::vector(2, std::vector<std::string>(5));
    std::vector<int> widths_ = std::vector<int>(5);
    int row_ = 1, row_sel_ = 1, col_sel_ = 0;
};

}  // namespace psf
