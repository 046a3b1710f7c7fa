// The task grid held in memory, for tests of the editor without a window.
#pragma once

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/grid.h"

namespace psf {

// A grid held in memory. Out-of-range access throws, as the real control
// raises an error, so a caller's off-by-one shows up in tests.
class MemoryGrid final : public Grid {
  public:
    // A header row and one blank data row, like the control when the window is created.
    explicit MemoryGrid(int cols = 5)
        : cols_(cols),
          cells_(2, std::vector<std::string>(static_cast<std::size_t>(cols))),
          widths_(static_cast<std::size_t>(cols), 0) {}

    int Rows() const override { return static_cast<int>(cells_.size()); }
    int Cols() const override { return cols_; }

    int Row() const override { return row_; }
    void setRow(int row) override {
        check_row(row);
        row_ = row;
    }

    std::string TextMatrix(int row, int col) const override { return cell(row, col); }
    void setTextMatrix(int row, int col, const std::string& text) override {
        cell(row, col) = text;
    }

    void AddItem(const std::string& text) override {
        std::vector<std::string> row(static_cast<std::size_t>(cols_));
        std::size_t col = 0;
        std::string_view rest = text;
        while (col < row.size()) {
            const std::size_t tab = rest.find('\t');
            row[col++] = std::string(rest.substr(0, tab));
            if (tab == std::string_view::npos) break;
            rest.remove_prefix(tab + 1);
        }
        cells_.push_back(std::move(row));
    }

    void RemoveItem(int row) override {
        check_row(row);
        if (row == 0 || Rows() <= 2) throw std::out_of_range("grid: cannot remove that row");
        cells_.erase(cells_.begin() + row);
        row_ = std::min(row_, Rows() - 1);
        row_sel_ = std::min(row_sel_, Rows() - 1);
    }

    int ColWidth(int col) const override {
        check_col(col);
        return widths_[static_cast<std::size_t>(col)];
    }
    void setColWidth(int col, int twips) override {
        check_col(col);
        widths_[static_cast<std::size_t>(col)] = twips;
    }

    int RowSel() const override { return row_sel_; }
    void setRowSel(int row) override {
        check_row(row);
        row_sel_ = row;
    }
    int ColSel() const override { return col_sel_; }
    void setColSel(int col) override {
        check_col(col);
        col_sel_ = col;
    }

  private:
    void check_row(int row) const {
        if (row < 0 || row >= Rows()) throw std::out_of_range("grid: no such row");
    }
    void check_col(int col) const {
        if (col < 0 || col >= cols_) throw std::out_of_range("grid: no such column");
    }
    const std::string& cell(int row, int col) const {
        check_row(row);
        check_col(col);
        return cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    }
    std::string& cell(int row, int col) {
        check_row(row);
        check_col(col);
        return cells_[static_cast<std::size_t>(row)][static_cast<std::size_t>(col)];
    }

    int cols_;
    std::vector<std::vector<std::string>> cells_;
    std::vector<int> widths_;
    int row_ = 1;
    int row_sel_ = 1;
    int col_sel_ = 0;
};

}  // namespace psf
