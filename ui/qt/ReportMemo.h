#pragma once
// The re-download window's memo: shows a LineList as lines are added to it
// and keeps only the newest lines of a report, so a run over a list of any
// length costs the same memory. Once the list holds a fiftieth more than
// its tail, the oldest lines are dropped from the list and from the display in
// one step (the display loses its top blocks; it is not built again), and
// the first line says how many were dropped.
#include <QPlainTextEdit>

#include <cstddef>
#include <cstdint>
#include <string>

#include "ui/MemoLines.h"

namespace kartivo::ui {

// The first line once earlier report lines have been dropped.
std::string DroppedLinesNote(std::size_t dropped, std::size_t kept);

class ReportMemo : public QPlainTextEdit {
public:
    static constexpr std::size_t kDefaultTail = 50000;

    ReportMemo(LineList& lines, QWidget* parent = nullptr);

    // How many report lines are kept (at least 1).
    void SetTail(std::size_t lines) { tail_ = lines == 0 ? 1 : lines; }
    std::size_t Tail() const { return tail_; }
    // Report lines dropped since the list was last cleared or replaced.
    std::size_t Dropped() const { return dropped_; }

    // Shows what was added to the list since the last call, then drops the
    // oldest lines when there are too many. A list replaced or cleared by
    // someone else is shown afresh, with nothing counted as dropped.
    void Sync();

private:
    void DropOldest();

    LineList& lines_;
    std::size_t tail_ = kDefaultTail;
    std::size_t dropped_ = 0;
    std::uint64_t shownGeneration_ = ~std::uint64_t{0};
    std::size_t shownCount_ = 0;
};

} // namespace kartivo::ui
