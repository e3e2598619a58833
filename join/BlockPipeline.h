#pragma once
// Blocks of a tiled TIFF compressed on worker threads and written on the
// calling thread in the order they were handed in: the file is the same
// byte for byte as when one thread compresses and writes each block in turn.
//
// Life of a block: the caller fills its pixels and submits it; a worker
// turns the pixels into the compressed bytes with the same libtiff codec
// and tags as the file it is meant for (TiffBlockEncoder); the caller writes
// the finished blocks raw, oldest first, when the queue is full or at
// Finish. A bounded number are in flight, so memory stays a few blocks.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <tiffio.h>

namespace kartivo::join {

// Compresses blocks the way libtiff does when it writes them into a file
// with the same tags, into memory: a scratch TIFF with those tags receives
// the block, and its compressed bytes are taken out. A tiled file
// compresses each block on its own, whatever the image's size and the
// block's place, so one scratch file per kind of block serves every level:
// one codec state each (ZSTD's takes megabytes), not one per level.
class TiffBlockEncoder {
public:
    // Gives the scratch file of `kind` the tags of that kind's files, with
    // the image size given (the blocks' size and codec are what count).
    using Setup = std::function<void(int kind, TIFF* tif, std::uint32_t width, std::uint32_t height)>;
    // The scratch image is a grid of `slotsPerSide` x `slotsPerSide`
    // blocks; each block goes to a slot of its own, so that libtiff never
    // rewrites one in place, and when all are used it starts again.
    TiffBlockEncoder(Setup setup, bool bigTiff, std::uint32_t slotsPerSide = 32);
    ~TiffBlockEncoder();
    TiffBlockEncoder(const TiffBlockEncoder&) = delete;
    TiffBlockEncoder& operator=(const TiffBlockEncoder&) = delete;

    // The compressed bytes of a block of `kind` into `out`. False when
    // libtiff refused; its error handler has the reason on this thread.
    bool Encode(int kind, std::vector<std::uint8_t>& pixels, std::vector<std::uint8_t>& out);

private:
    struct Scratch;
    Scratch* ScratchOf(int kind);

    Setup setup_;
    bool bigTiff_;
    std::uint32_t slotsPerSide_;
    std::vector<std::unique_ptr<Scratch>> scratch_; // by kind, made when first used
};

struct PipelineBlock {
    int Stream = 0;                   // the file it belongs to
    std::uint32_t Index = 0;          // its number in that file
    std::vector<std::uint8_t> Pixels; // uncompressed, as handed in
    std::vector<std::uint8_t> Bytes;  // compressed, as it goes into the file
    std::string Error;                // why it could not be compressed, or ""
    bool Done = false;                // guarded by the pipeline's mutex
};

class BlockPipeline {
public:
    // Runs on a worker: Pixels into Bytes, or Error set. Each worker makes
    // its own with `makeEncoder` (scratch files are not shared).
    using Encode = std::function<void(PipelineBlock&)>;
    // Runs on the calling thread, for each block in the order submitted;
    // may throw, which ends the pipeline.
    using Write = std::function<void(PipelineBlock&)>;

    BlockPipeline(int workers, std::size_t inFlight, std::function<Encode()> makeEncoder, Write write);
    // Stops the workers and drops what was not written (after a failure).
    ~BlockPipeline();
    BlockPipeline(const BlockPipeline&) = delete;
    BlockPipeline& operator=(const BlockPipeline&) = delete;

    // Queues block `index` of `stream`; `pixels` is taken, and given back
    // as a spare buffer of any size and content. Writes the oldest blocks
    // first while too many are in flight.
    void Submit(int stream, std::uint32_t index, std::vector<std::uint8_t>& pixels);
    // Writes every block still queued.
    void Finish();

private:
    void Work(const std::function<Encode()>& makeEncoder);
    void WriteOldest();

    const std::size_t inFlight_;
    Write write_;
    std::mutex mutex_;
    std::condition_variable work_, done_;
    std::deque<PipelineBlock*> queue_; // waiting for a worker
    bool stop_ = false;
    // Only the calling thread touches these.
    std::deque<std::unique_ptr<PipelineBlock>> pending_; // submitted, not yet written, in order
    std::vector<std::unique_ptr<PipelineBlock>> spare_;
    std::vector<std::thread> workers_;
};

} // namespace kartivo::join
