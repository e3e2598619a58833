#include "join/BlockPipeline.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

namespace kartivo::join {

namespace {

// The side of the scratch image's blocks assumed for its size; the slots
// are counted from the tags the setup gives, whatever their block size.
constexpr std::uint32_t kBlockSide = 256;

} // namespace

// A file in memory that keeps only the bytes written at or after `Base`:
// libtiff appends each new block at the end of its file, so setting Base to
// the end before a block keeps exactly that block, while the header and
// directories written around it are counted but dropped.
struct TiffBlockEncoder::Scratch {
    std::uint64_t Position = 0, Size = 0, Base = 0;
    std::vector<std::uint8_t> Kept; // bytes from Base on
    TIFF* Tif = nullptr;
    std::uint32_t Used = 0, Slots = 0; // slots written, and in all

    ~Scratch() { Close(); }
    void Close()
    {
        if (Tif)
            TIFFClose(Tif); // its directory goes to the memory file and is dropped
        Tif = nullptr;
        Position = Size = Base = 0;
        Used = Slots = 0;
    }

    static tmsize_t Read(thandle_t, void*, tmsize_t) { return 0; }
    static tmsize_t Write(thandle_t h, void* data, tmsize_t n)
    {
        auto& s = *static_cast<Scratch*>(h);
        if (n <= 0)
            return 0;
        const std::uint64_t count = static_cast<std::uint64_t>(n), end = s.Position + count;
        if (end > s.Base) {
            const std::uint64_t skip = s.Position < s.Base ? s.Base - s.Position : 0;
            const std::uint64_t at = s.Position + skip - s.Base;
            const std::uint8_t* from = static_cast<const std::uint8_t*>(data) + skip;
            if (at == s.Kept.size()) { // appended, as blocks are: no zeroing first
                s.Kept.insert(s.Kept.end(), from, from + (count - skip));
            } else {
                if (s.Kept.size() < at + count - skip)
                    s.Kept.resize(at + count - skip);
                std::memcpy(s.Kept.data() + at, from, count - skip);
            }
        }
        s.Position = end;
        s.Size = std::max(s.Size, end);
        return n;
    }
    static toff_t Seek(thandle_t h, toff_t offset, int whence)
    {
        auto& s = *static_cast<Scratch*>(h);
        switch (whence) {
        case SEEK_SET: s.Position = offset; break;
        case SEEK_CUR: s.Position += offset; break;
        case SEEK_END: s.Position = s.Size + offset; break;
        default: return static_cast<toff_t>(-1);
        }
        return s.Position;
    }
    static int CloseFile(thandle_t) { return 0; }
    static toff_t FileSize(thandle_t h) { return static_cast<Scratch*>(h)->Size; }
    static int Map(thandle_t, void**, toff_t*) { return 0; }
    static void Unmap(thandle_t, void*, toff_t) {}
};

TiffBlockEncoder::TiffBlockEncoder(Setup setup, bool bigTiff, std::uint32_t slotsPerSide)
    : setup_(std::move(setup)), bigTiff_(bigTiff), slotsPerSide_(std::max<std::uint32_t>(slotsPerSide, 1))
{
}

TiffBlockEncoder::~TiffBlockEncoder() = default;

TiffBlockEncoder::Scratch* TiffBlockEncoder::ScratchOf(int kind)
{
    if (static_cast<std::size_t>(kind) >= scratch_.size())
        scratch_.resize(static_cast<std::size_t>(kind) + 1);
    auto& s = scratch_[static_cast<std::size_t>(kind)];
    if (!s)
        s = std::make_unique<Scratch>();
    if (s->Tif && s->Used >= s->Slots)
        s->Close();
    if (!s->Tif) {
        s->Tif = TIFFClientOpen("block", bigTiff_ ? "w8m" : "wm", s.get(), Scratch::Read, Scratch::Write,
                                Scratch::Seek, Scratch::CloseFile, Scratch::FileSize, Scratch::Map,
                                Scratch::Unmap);
        if (!s->Tif)
            return nullptr;
        setup_(kind, s->Tif, slotsPerSide_ * kBlockSide, slotsPerSide_ * kBlockSide);
        s->Slots = TIFFNumberOfTiles(s->Tif);
        if (s->Slots == 0) {
            s->Close();
            return nullptr;
        }
    }
    return s.get();
}

bool TiffBlockEncoder::Encode(int kind, std::vector<std::uint8_t>& pixels, std::vector<std::uint8_t>& out)
{
    Scratch* s = ScratchOf(kind);
    if (!s)
        return false;
    const std::uint32_t slot = s->Used++;
    s->Base = s->Size;
    s->Kept.clear();
    if (TIFFWriteEncodedTile(s->Tif, slot, pixels.data(), static_cast<tmsize_t>(pixels.size())) < 0)
        return false;
    // Where libtiff put the block: at the end of the file, inside what was kept.
    const std::uint64_t offset = TIFFGetStrileOffset(s->Tif, slot),
                        size = TIFFGetStrileByteCount(s->Tif, slot);
    if (offset < s->Base || offset - s->Base + size > s->Kept.size())
        return false;
    out.assign(s->Kept.begin() + static_cast<std::ptrdiff_t>(offset - s->Base),
               s->Kept.begin() + static_cast<std::ptrdiff_t>(offset - s->Base + size));
    return true;
}

BlockPipeline::BlockPipeline(int workers, std::size_t inFlight, std::function<Encode()> makeEncoder,
                             Write write)
    : inFlight_(std::max<std::size_t>(inFlight, 1)), write_(std::move(write))
{
    try {
        for (int i = 0; i < std::max(workers, 1); ++i)
            workers_.emplace_back([this, makeEncoder] { Work(makeEncoder); });
    } catch (...) {
        // No thread could be started: the ones that were end with the object.
        if (workers_.empty())
            throw;
    }
}

BlockPipeline::~BlockPipeline()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    for (std::thread& t : workers_)
        t.join();
}

void BlockPipeline::Work(const std::function<Encode()>& makeEncoder)
{
    Encode encode;
    std::string setupError;
    try {
        encode = makeEncoder();
    } catch (const std::exception& e) {
        setupError = e.what();
    }
    for (;;) {
        PipelineBlock* block = nullptr;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            block = queue_.front();
            queue_.pop_front();
        }
        block->Error.clear();
        if (!encode) {
            block->Error = setupError.empty() ? "no encoder" : setupError;
        } else {
            try {
                encode(*block);
            } catch (const std::bad_alloc&) {
                block->Error = "out of memory";
            } catch (const std::exception& e) {
                block->Error = e.what();
            }
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            block->Done = true;
        }
        done_.notify_all();
    }
}

void BlockPipeline::Submit(int stream, std::uint32_t index, std::vector<std::uint8_t>& pixels)
{
    while (pending_.size() >= inFlight_)
        WriteOldest();
    std::unique_ptr<PipelineBlock> block;
    if (spare_.empty()) {
        block = std::make_unique<PipelineBlock>();
    } else {
        block = std::move(spare_.back());
        spare_.pop_back();
    }
    block->Stream = stream;
    block->Index = index;
    block->Done = false;
    block->Pixels.swap(pixels);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(block.get());
    }
    pending_.push_back(std::move(block));
    work_.notify_one();
}

void BlockPipeline::WriteOldest()
{
    PipelineBlock& block = *pending_.front();
    {
        std::unique_lock<std::mutex> lock(mutex_);
        done_.wait(lock, [&block] { return block.Done; });
    }
    write_(block);
    spare_.push_back(std::move(pending_.front()));
    pending_.pop_front();
}

void BlockPipeline::Finish()
{
    while (!pending_.empty())
        WriteOldest();
}

} // namespace kartivo::join
