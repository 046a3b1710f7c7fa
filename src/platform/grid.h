// The task grid `gri`: rows of text cells, row 0 the header row, data rows
// from 1. The window adapts its table widget to this; the editor's tests hold
// one in memory.
#pragma once

#include <string>

namespace psf {

class Grid {
  public:
    virtual ~Grid() = default;

    virtual int Rows() const = 0;  // header row included
    virtual int Cols() const = 0;

    // The current row, the one the user last selected.
    virtual int Row() const = 0;
    virtual void setRow(int row) = 0;

    virtual std::string TextMatrix(int row, int col) const = 0;
    virtual void setTextMatrix(int row, int col, const std::string& text) = 0;

    // Appends a row at the end; tab-separated parts of `text` fill its first cells.
    virtual void AddItem(const std::string& text) = 0;
    // Removes a data row; the header and the last data row cannot be removed.
    virtual void RemoveItem(int row) = 0;

    virtual int ColWidth(int col) const = 0;  // twips
    virtual void setColWidth(int col, int twips) = 0;

    // The far end of the selection, which starts at (Row, column 0).
    virtual int RowSel() const = 0;
    virtual void setRowSel(int row) = 0;
    virtual int ColSel() const = 0;
    virtual void setColSel(int col) = 0;
};

}  // namespace psf
