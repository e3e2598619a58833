#pragma once
// The lines of a memo, kept apart from their display: the list is the truth,
// saving writes the list. LineList stores a log of a million lines compactly;
// LinesFileSaver writes a list to its file and, when only lines were added
// since its last save, appends just those, with the file's bytes always
// exactly those of writing every line whole (each line followed by CR LF).
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
class LineList {
public:
    LineList() = default;
    explicit LineList(const std::vector<std::string>& lines) { Assign(lines); }
    LineList(const LineList&) = delete;
    LineList& operator=(const LineList&) = delete;

    void Add(std::string_view line);
    void Assign(const std::vector<std::string>& lines);   // replaces every line
    void Clear();

    std::size_t Count() const { return index_.size(); }
    std::string_view operator[](std::size_t i) const;
    std::vector<std::string> ToVector() const;
    // Bytes of the file that holds these lines: every line plus CR LF.
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

    std::vector<Block> blocks_;
    std::deque<Entry> index_;   // a deque grows without copying its entries
    std::uint64_t textBytes_ = 0;
    std::uint64_t generation_ = 0;
};

// Saves one LineList to one file at a time. A save after nothing but
// additions, to the same file, still as this saver left it (same file, size
// and modification time), appends the new lines only; anything else rewrites
// the file whole. Failures raise platform::EFCreateError ("Cannot create
// file <path>") and leave the next save to rewrite the file whole.
class LinesFileSaver {
public:
    void Save(const LineList& lines, const std::string& path);
    // The file was just read into `lines`: if writing them would give the
    // file's bytes as they are, later saves may append to it.
    void Adopt(const LineList& lines, const std::string& path);
    void Forget() { synced_ = false; }

    // For the benchmark and tests: how the last save went.
    bool LastSaveAppended() const { return lastAppended_; }

private:
    struct FileStamp;
    bool FileIsAsLeft(const std::string& path) const;
    void Remember(const LineList& lines, const std::string& path);

    bool synced_ = false;
    bool lastAppended_ = false;
    std::string path_;
    std::uint64_t generation_ = 0;
    std::size_t linesWritten_ = 0;
    std::uint64_t size_ = 0;
    std::uint64_t device_ = 0, inode_ = 0;
    std::int64_t mtimeSec_ = 0, mtimeNsec_ = 0;
};

} // namespace kartivo::ui
