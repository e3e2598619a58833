#pragma once
// The tiles of a saved task as the combiner's writers take them: read by the
// task's own file names, classified and counted once each, and decoded into
// RGBA or handed over as stored bytes.
//
// Tiles that give no image are listed in a temporary file, so that a task
// with a million holes stays small in memory; the first few are kept for
// the caller to show.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "join/TileImage.h"
#include "task/SavedProject.h"

namespace kartivo::join {

struct TileCounts {
    std::int64_t Saved = 0;       // images, combined
    std::int64_t Blank = 0;       // the blank substitute, combined as an image
    std::int64_t Missing = 0;     // no file: transparent
    std::int64_t Failed = 0;      // no file and in the failed list: transparent
    std::int64_t Undecodable = 0; // a file that is no usable image: transparent
    std::int64_t Total() const { return Saved + Blank + Missing + Failed + Undecodable; }
    std::int64_t Holes() const { return Missing + Failed + Undecodable; }
};

class TileSource {
public:
    // How many problem lines are kept in memory besides the full list.
    static constexpr std::size_t kKeptProblems = 20;

    explicit TileSource(const task::SavedProject& project);
    ~TileSource();
    TileSource(const TileSource&) = delete;
    TileSource& operator=(const TileSource&) = delete;

    // The tile decoded into TileWidth x TileHeight RGBA, or nullptr when it
    // gives no image. `count` is true for exactly one of the calls for a tile;
    // a tile asked for again (a block that it straddles) comes from a small
    // cache or is decoded again, and is not counted twice.
    const std::vector<std::uint8_t>* Decoded(int x, int y, bool count);
    // The tile's bytes as stored, when they are a PNG or JPEG that decodes
    // to the task's tile size; false for a tile that gives no image.
    bool Stored(int x, int y, std::string& bytes, TileFormat& format);

    const TileCounts& Counts() const { return counts_; }
    const std::vector<std::string>& FirstProblems() const { return firstProblems_; }
    // Appends every problem line, as "<file name>  <what>", to `out`.
    void CopyProblemsTo(std::FILE* out) const;

private:
    struct CacheEntry {
        int X = 0, Y = 0;
        bool Used = false, Ok = false;
        std::vector<std::uint8_t> Rgba;
    };
    // Reads the tile and counts it when asked; true when it is an image file.
    bool Read(int x, int y, bool count, std::string& bytes);
    // A tile counted as an image turned out to be none.
    void Undecodable(int x, int y, const std::string& reason);
    void Problem(int x, int y, const std::string& what);

    const task::SavedProject& project_;
    TileCounts counts_;
    std::vector<std::string> firstProblems_;
    std::FILE* problems_ = nullptr;
    std::string bytes_;
    std::vector<std::uint8_t> scratch_;                    // pixels of a tile that is only checked
    task::TileState lastState_ = task::TileState::Missing; // of the tile read last
    static constexpr int kCacheSize = 4;
    CacheEntry cache_[kCacheSize];
    int nextSlot_ = 0;
};

} // namespace kartivo::join
