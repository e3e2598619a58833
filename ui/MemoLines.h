#pragma once
// The lines of a memo, kept apart from their display. LineList stores a log
// compactly and may hold only its newest lines (a tail): the file is the
// record. LinesFileSaver appends the lines added since its last save to the
// file and flushes them to disk, the file's bytes always exactly those of
// writing every line (each followed by CR LF).
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kartivo::ui {

// An append-mostly list of text lines. An entry holding a line feed stays one
// entry. Storage is a chain of large blocks plus a small index per line, so a
// growing log never copies what it holds and costs little beyond its bytes.
// With a tail limit the list drops its oldest lines (in steps, never a line
// at or after KeepFrom) so that memory stays flat however long a run is;
// lines keep their absolute numbers: Dropped() + i.
class LineList {
public:
    LineList() = default;
    explicit LineList(const std::vector<std::string>& lines) { Assign(lines); }
    LineList(const LineList&) = delete;
    LineList& operator=(const LineList&) = delete;

    void Add(std::string_view line);
    void Assign(const std::vector<std::string>& lines); // replaces every line
    void Clear();

    std::size_t Count() const { return index_.size(); }
    // Lines dropped from the front since the last Assign or Clear.
    std::uint64_t Dropped() const { return dropped_; }
    std::uint64_t Total() const { return dropped_ + index_.size(); }

    // Hold at most about `maxLines` lines (the newest); SIZE_MAX: all.
    void SetTailLimit(std::size_t maxLines);
    std::size_t TailLimit() const { return tailLimit_; }
    // Lines numbered `absolute` and later are not dropped (not saved yet).
    void KeepFrom(std::uint64_t absolute);
    std::string_view operator[](std::size_t i) const;
    std::vector<std::string> ToVector() const;
    // Bytes of the file that holds the lines held: every line plus CR LF.
    std::uint64_t FileBytes() const { return textBytes_ + 2 * static_cast<std::uint64_t>(index_.size()); }

    // Changes whenever lines are replaced or removed (not when added), so a
    // reader that has seen Count() lines of one generation can take the rest.
    std::uint64_t Generation() const { return generation_; }

private:
    struct Block {
        std::unique_ptr<char[]> data;
        std::size_t capacity = 0;
        std::size_t used = 0;
    };
    struct Entry {
        std::uint32_t block;
        std::uint32_t offset;
        std::uint32_t length;
    };
    static constexpr std::size_t kBlockSize = std::size_t{1} << 20;
    void Trim();

    std::deque<Block> blocks_; // blocks_[0] is block number firstBlock_
    std::uint32_t firstBlock_ = 0;
    std::deque<Entry> index_; // a deque grows without copying its entries
    std::uint64_t textBytes_ = 0;
    std::uint64_t generation_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t keepFrom_ = UINT64_MAX; // no line held back
    std::size_t tailLimit_ = SIZE_MAX;
};

// Saves one LineList to one file at a time. A save after nothing but
// additions appends the new lines only and flushes them to disk. A list that
// holds every line, saved to a file not as this saver left it (another file,
// size or modification time) or after its lines were replaced, is written
// whole through a temporary file instead; a list that holds only a tail is
// always appended. Failures raise platform::EFCreateError ("Cannot create
// file <path>") and leave the file as it was before the save (a failed
// append is cut off again), so the next save tries the same lines again.
class LinesFileSaver {
public:
    void Save(const LineList& lines, const std::string& path);
    // The file was just read into `lines`: if writing them would give the
    // file's bytes as they are, later saves may append to it.
    void Adopt(const LineList& lines, const std::string& path);
    // `lines` hold the last lines of the file, which ends in a line end:
    // later saves append what is added after them (when they are the whole
    // file, this is Adopt).
    void AdoptTail(const LineList& lines, const std::string& path);
    void Forget() { synced_ = false; }
    // The absolute number of lines on disk (for LineList::KeepFrom).
    std::uint64_t LinesWritten() const { return linesWritten_; }

    // For the benchmark and tests: how the last save went.
    bool LastSaveAppended() const { return lastAppended_; }

private:
    struct FileStamp;
    bool FileIsAsLeft(const std::string& path) const;
    void Remember(const LineList& lines, const std::string& path, bool saved = true);

    void Append(const LineList& lines, const std::string& path);

    bool synced_ = false;
    bool tail_ = false; // the file holds lines the list never had
    bool lastAppended_ = false;
    std::string path_;
    std::uint64_t generation_ = 0;
    std::uint64_t linesWritten_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t device_ = 0, inode_ = 0;
    std::int64_t mtimeSec_ = 0, mtimeNsec_ = 0;
};

} // namespace kartivo::ui
