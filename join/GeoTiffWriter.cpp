#include "join/GeoTiffWriter.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include <geo_normalize.h>
#include <geotiff.h>
#include <geotiffio.h>
#include <geovalues.h>
#include <tiffio.h>
#include <xtiffio.h>

#include "join/BlockPipeline.h"
#include "join/TileSource.h"
#include "platform/Files.h"
#include "task/Unitclasstask.h"

namespace kartivo::join {

namespace {

constexpr int kChannels = 4;
constexpr std::size_t kBlockBytes = std::size_t{kBlockSize} * kBlockSize * kChannels;

// libtiff reports through process-wide handlers; the last message of this
// thread goes into the sentence the user sees.
thread_local std::string tiffMessage;

void TiffError(const char* module, const char* format, va_list args)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    tiffMessage = module ? std::string(module) + ": " + text : std::string(text);
}

void InstallTiffHandlers()
{
    TIFFSetErrorHandler(TiffError);
    TIFFSetWarningHandler(nullptr);
}

struct TiffCloser {
    void operator()(TIFF* tif) const { XTIFFClose(tif); }
};
using TiffPtr = std::unique_ptr<TIFF, TiffCloser>;

[[noreturn]] void Fail(const std::string& path)
{
    std::string text = "Cannot write " + path;
    if (!tiffMessage.empty())
        text += " (" + tiffMessage + ")";
    throw JoinError(text);
}

TiffPtr OpenForWriting(const std::string& path, bool bigTiff)
{
    tiffMessage.clear();
    TIFF* tif = XTIFFOpen(path.c_str(), bigTiff ? "w8" : "w");
    if (!tif)
        Fail(path);
    return TiffPtr(tif);
}

// The DEFLATE effort for RGBA blocks. After the horizontal predictor, map
// imagery leaves deflate few long matches to find: on textured aerial tiles
// libdeflate's level 1 made a file 0.4 % larger than its default level 6 for
// 2.7 times less CPU (bench_join, aerial-deflate), and deflating is two
// thirds of the combiner's CPU on such tiles.
constexpr int kDeflateLevel = 1;

// The image of a level, or its transparency mask.
enum class Ifd { Image, Mask };

// JPEG blocks hold the colours as YCbCr, beside a 1-bit mask that says which
// pixels are map: JPEG's losses never touch the transparency, and the file
// is far smaller than RGBA in JPEG. DEFLATE blocks keep RGBA, lossless.
void SetImageTags(TIFF* tif, std::int64_t width, std::int64_t height, bool overview, const GeoTiffSettings& s,
                  Ifd ifd = Ifd::Image)
{
    const bool mask = ifd == Ifd::Mask;
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE,
                 (overview ? FILETYPE_REDUCEDIMAGE : 0) | (mask ? FILETYPE_MASK : 0));
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(width));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(height));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, kBlockSize);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, kBlockSize);
    if (mask) {
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MASK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        return;
    }
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    if (s.Jpeg) {
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        // The blocks are handed over as RGB; libtiff converts them.
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, s.Quality);
        // Every block carries its own tables, so that blocks can be copied
        // still compressed from one file into another.
        TIFFSetField(tif, TIFFTAG_JPEGTABLESMODE, 0);
    } else {
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, kChannels);
        const std::uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA}; // transparent where no tile
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        switch (s.Codec) {
        case RgbaCodec::Deflate:
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
            TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
            TIFFSetField(tif, TIFFTAG_ZIPQUALITY, kDeflateLevel);
            break;
        case RgbaCodec::Zstd:
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ZSTD);
            TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
            break;
        case RgbaCodec::Webp:
            TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_WEBP);
            TIFFSetField(tif, TIFFTAG_WEBP_LEVEL, s.Quality);
            break;
        }
    }
}

void SetGeoreference(TIFF* tif, const MapRaster& r)
{
    const double scale[3] = {r.PixelWidth, r.PixelHeight, 0.0};
    const double tiepoint[6] = {0.0, 0.0, 0.0, r.Left, r.Top, 0.0};
    TIFFSetField(tif, TIFFTAG_GEOPIXELSCALE, 3, scale);
    TIFFSetField(tif, TIFFTAG_GEOTIEPOINTS, 6, tiepoint);
    GTIF* gtif = GTIFNew(tif);
    if (!gtif)
        throw JoinError("Cannot set up the georeference of the GeoTIFF");
    GTIFKeySet(gtif, GTModelTypeGeoKey, TYPE_SHORT, 1, ModelTypeProjected);
    GTIFKeySet(gtif, GTRasterTypeGeoKey, TYPE_SHORT, 1, RasterPixelIsArea);
    GTIFKeySet(gtif, ProjectedCSTypeGeoKey, TYPE_SHORT, 1, 3857);
    GTIFKeySet(gtif, GTCitationGeoKey, TYPE_ASCII, 0, "WGS 84 / Pseudo-Mercator");
    GTIFWriteKeys(gtif);
    GTIFFree(gtif);
}

// Builds the pyramid in quadtree order. Level 0 blocks are composed from the
// tiles; a block of level L is the four blocks of level L - 1 below it, each
// halved into one quarter as soon as it is written.
class PyramidBuilder {
public:
    // With `masks` (one file per level), the blocks go out as RGB and their
    // alpha as a 1-bit mask; without, as RGBA.
    PyramidBuilder(const task::KvTask& task, const MapRaster& raster, TileSource& tiles, JoinControl& control,
                   std::vector<std::pair<std::int64_t, std::int64_t>> levels, std::vector<TIFF*> files,
                   std::vector<std::string> paths, std::vector<TIFF*> masks,
                   std::vector<std::string> maskPaths)
        : task_(task), raster_(raster), tiles_(tiles), control_(control), levels_(std::move(levels)),
          files_(std::move(files)), paths_(std::move(paths)), masks_(std::move(masks)),
          maskPaths_(std::move(maskPaths)), buffers_(levels_.size())
    {
        for (auto& b : buffers_)
            b.resize(kBlockBytes);
        if (!masks_.empty()) {
            rgb_.resize(std::size_t{kBlockSize} * kBlockSize * 3);
            maskBits_.resize(std::size_t{kBlockSize} * kBlockSize / 8);
        }
    }

    // With `threads` > 1 the full-resolution blocks are composed (tiles read
    // and decoded) on a thread of their own, a few blocks ahead of this one,
    // which compresses and halves them. Both go through the blocks in the
    // same order, so the file is the same byte for byte.
    //
    // With `threads` > 1 the blocks are also compressed on that many
    // workers (each with an encoder from `makeEncoder`) and written here in
    // the order they were made, which is again the same file.
    void Run(int threads, const std::function<BlockPipeline::Encode()>& makeEncoder)
    {
        const int top = static_cast<int>(levels_.size()) - 1;
        std::thread composer;
        if (threads > 1) {
            piped_ = true;
            composer = std::thread([this, top] { ComposeAll(top); });
        }
        struct Joiner {
            PyramidBuilder& b;
            std::thread& t;
            ~Joiner()
            {
                if (!t.joinable())
                    return;
                {
                    std::lock_guard<std::mutex> lock(b.mutex_);
                    b.stop_ = true;
                }
                b.changed_.notify_all();
                t.join();
            }
        } joiner{*this, composer};
        // Ends (its workers stopped) before the composer on any way out.
        std::unique_ptr<BlockPipeline> pipeline;
        if (threads > 1) {
            pipeline = std::make_unique<BlockPipeline>(
                threads, kInFlightPerWorker * static_cast<std::size_t>(threads), makeEncoder,
                [this](PipelineBlock& block) { WriteCompressed(block); });
            pipeline_ = pipeline.get();
        }
        for (std::int64_t by = 0; by < BlocksY(top); ++by)
            for (std::int64_t bx = 0; bx < BlocksX(top); ++bx) {
                Produce(top, bx, by);
                Write(top, bx, by);
            }
        if (pipeline)
            pipeline->Finish();
        pipeline_ = nullptr;
    }

private:
    // The composing thread: the full-resolution blocks in the order in which
    // Produce asks for them (depth first), handed over through `ready_`.
    void ComposeAll(int top)
    {
        try {
            for (std::int64_t by = 0; by < BlocksY(top); ++by)
                for (std::int64_t bx = 0; bx < BlocksX(top); ++bx)
                    Visit(top, bx, by);
        } catch (...) {
            std::lock_guard<std::mutex> lock(mutex_);
            failure_ = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }

    void Visit(int level, std::int64_t bx, std::int64_t by)
    {
        if (level > 0) {
            for (int j = 0; j < 2; ++j)
                for (int i = 0; i < 2; ++i)
                    if (2 * bx + i < BlocksX(level - 1) && 2 * by + j < BlocksY(level - 1))
                        Visit(level - 1, 2 * bx + i, 2 * by + j);
            return;
        }
        std::vector<std::uint8_t> block;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [this] { return stop_ || ready_.size() < kAhead; });
            if (stop_)
                throw JoinCancelled();
            if (!spare_.empty()) {
                block = std::move(spare_.back());
                spare_.pop_back();
            }
        }
        block.resize(kBlockBytes);
        control_.Poll();
        Compose(bx, by, block);
        if (control_.Progress)
            control_.Progress(tiles_.Counts().Total(), task_.TileCount);
        std::lock_guard<std::mutex> lock(mutex_);
        ready_.push_back(std::move(block));
        changed_.notify_all();
    }

    // The next full-resolution block from the composing thread, into `out`.
    void TakeComposed(std::vector<std::uint8_t>& out)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [this] { return !ready_.empty() || finished_; });
        if (ready_.empty()) {
            if (failure_)
                std::rethrow_exception(failure_);
            throw JoinError("The blocks of the image ended early");
        }
        out.swap(ready_.front());
        spare_.push_back(std::move(ready_.front()));
        ready_.pop_front();
        changed_.notify_all();
    }

    std::int64_t BlocksX(int level) const { return (levels_[level].first + kBlockSize - 1) / kBlockSize; }
    std::int64_t BlocksY(int level) const { return (levels_[level].second + kBlockSize - 1) / kBlockSize; }
    int ValidWidth(int level, std::int64_t bx) const
    {
        return static_cast<int>(std::min<std::int64_t>(kBlockSize, levels_[level].first - bx * kBlockSize));
    }
    int ValidHeight(int level, std::int64_t by) const
    {
        return static_cast<int>(std::min<std::int64_t>(kBlockSize, levels_[level].second - by * kBlockSize));
    }

    void Write(int level, std::int64_t bx, std::int64_t by)
    {
        TIFF* tif = files_[level];
        const std::uint32_t index = TIFFComputeTile(tif, static_cast<std::uint32_t>(bx * kBlockSize),
                                                    static_cast<std::uint32_t>(by * kBlockSize), 0, 0);
        const std::vector<std::uint8_t>& rgba = buffers_[level];
        if (masks_.empty()) {
            if (pipeline_) {
                // The level's buffer is halved into its parent next: the
                // pipeline gets a copy.
                outgoing_.assign(rgba.begin(), rgba.end());
                pipeline_->Submit(ImageStream(level), index, outgoing_);
            } else if (TIFFWriteEncodedTile(tif, index, const_cast<std::uint8_t*>(rgba.data()), kBlockBytes) <
                       0) {
                Fail(paths_[level]);
            }
            return;
        }
        rgb_.resize(std::size_t{kBlockSize} * kBlockSize * 3);
        maskBits_.resize(std::size_t{kBlockSize} * kBlockSize / 8);
        // A pixel is map where its alpha rounds to opaque: at full resolution
        // exactly the tiles' pixels, in an overview where most of the pixels
        // below it are map.
        std::fill(maskBits_.begin(), maskBits_.end(), 0);
        for (std::size_t i = 0, n = std::size_t{kBlockSize} * kBlockSize; i < n; ++i) {
            std::memcpy(&rgb_[i * 3], &rgba[i * kChannels], 3);
            if (rgba[i * kChannels + 3] >= 128)
                maskBits_[i / 8] |= static_cast<std::uint8_t>(0x80u >> (i % 8));
        }
        if (pipeline_) {
            pipeline_->Submit(ImageStream(level), index, rgb_);
            pipeline_->Submit(MaskStream(level), index, maskBits_);
            return;
        }
        if (TIFFWriteEncodedTile(tif, index, rgb_.data(), static_cast<tmsize_t>(rgb_.size())) < 0)
            Fail(paths_[level]);
        if (TIFFWriteEncodedTile(masks_[level], index, maskBits_.data(),
                                 static_cast<tmsize_t>(maskBits_.size())) < 0)
            Fail(maskPaths_[level]);
    }

    // The files of the levels as the pipeline numbers them: the images,
    // then the masks.
    int ImageStream(int level) const { return level; }
    int MaskStream(int level) const { return static_cast<int>(levels_.size()) + level; }

    // On the calling thread, in the order the blocks were made: a block
    // compressed by a worker goes into its file as it is.
    void WriteCompressed(PipelineBlock& block)
    {
        const bool mask = block.Stream >= static_cast<int>(levels_.size());
        const std::size_t level =
            static_cast<std::size_t>(mask ? block.Stream - levels_.size() : block.Stream);
        const std::string& path = mask ? maskPaths_[level] : paths_[level];
        if (!block.Error.empty()) {
            tiffMessage = block.Error;
            Fail(path);
        }
        tiffMessage.clear();
        if (TIFFWriteRawTile(mask ? masks_[level] : files_[level], block.Index, block.Bytes.data(),
                             static_cast<tmsize_t>(block.Bytes.size())) < 0)
            Fail(path);
    }

    void Produce(int level, std::int64_t bx, std::int64_t by)
    {
        std::vector<std::uint8_t>& out = buffers_[level];
        if (level == 0 && piped_) {
            TakeComposed(out);
            return;
        }
        if (level == 0) {
            control_.Poll();
            Compose(bx, by, out);
            if (control_.Progress)
                control_.Progress(tiles_.Counts().Total(), task_.TileCount);
            return;
        }
        std::fill(out.begin(), out.end(), 0);
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) {
                const std::int64_t cx = 2 * bx + i, cy = 2 * by + j;
                if (cx >= BlocksX(level - 1) || cy >= BlocksY(level - 1))
                    continue;
                Produce(level - 1, cx, cy);
                Write(level - 1, cx, cy);
                HalveRgba(buffers_[level - 1], ValidWidth(level - 1, cx), ValidHeight(level - 1, cy),
                          kBlockSize, out, i * kBlockSize / 2, j * kBlockSize / 2);
            }
    }

    // The full-resolution block: the parts of the tiles it overlaps. A tile
    // is counted in the block that holds the top left pixel of its part of
    // the image.
    void Compose(std::int64_t bx, std::int64_t by, std::vector<std::uint8_t>& out)
    {
        std::fill(out.begin(), out.end(), 0);
        const int tw = task_.TileWidth, th = task_.TileHeight;
        // The block in pixels of the mosaic of all the task's tiles.
        const std::int64_t x0 = bx * kBlockSize + raster_.OffsetX, y0 = by * kBlockSize + raster_.OffsetY;
        const std::int64_t x1 = x0 + ValidWidth(0, bx), y1 = y0 + ValidHeight(0, by);
        for (std::int64_t r = y0 / th; r <= (y1 - 1) / th; ++r)
            for (std::int64_t c = x0 / tw; c <= (x1 - 1) / tw; ++c) {
                const bool first =
                    std::max(r * th, raster_.OffsetY) >= y0 && std::max(c * tw, raster_.OffsetX) >= x0;
                const int x = task_.Xmin + static_cast<int>(c);
                const int y = task_.Ymax - static_cast<int>(r); // rows of the image run north to south
                const std::vector<std::uint8_t>* tile = tiles_.Decoded(x, y, first);
                if (!tile)
                    continue;
                // The overlap of tile and block, in image pixels.
                const std::int64_t ox0 = std::max(x0, c * tw), ox1 = std::min(x1, (c + 1) * tw);
                const std::int64_t oy0 = std::max(y0, r * th), oy1 = std::min(y1, (r + 1) * th);
                const std::size_t rowBytes = static_cast<std::size_t>(ox1 - ox0) * kChannels;
                for (std::int64_t py = oy0; py < oy1; ++py)
                    std::memcpy(out.data() + ((py - y0) * kBlockSize + (ox0 - x0)) * kChannels,
                                tile->data() + ((py - r * th) * tw + (ox0 - c * tw)) * kChannels, rowBytes);
            }
    }

    const task::KvTask& task_;
    const MapRaster& raster_;
    TileSource& tiles_;
    JoinControl& control_;
    std::vector<std::pair<std::int64_t, std::int64_t>> levels_;
    std::vector<TIFF*> files_;
    std::vector<std::string> paths_;
    std::vector<TIFF*> masks_;
    std::vector<std::string> maskPaths_;
    std::vector<std::vector<std::uint8_t>> buffers_; // one block per level
    std::vector<std::uint8_t> rgb_, maskBits_;       // the block being written, split

    // Blocks being compressed, or compressed and waiting for their turn to
    // be written, per worker: enough to keep the workers busy while this
    // thread halves, few enough that memory stays a few megabytes.
    static constexpr std::size_t kInFlightPerWorker = 4;
    BlockPipeline* pipeline_ = nullptr;
    std::vector<std::uint8_t> outgoing_; // a block handed to the pipeline

    // Between the composing thread and this one.
    static constexpr std::size_t kAhead = 8; // blocks composed ahead at most
    bool piped_ = false;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::vector<std::uint8_t>> ready_;
    std::vector<std::vector<std::uint8_t>> spare_;
    bool stop_ = false, finished_ = false;
    std::exception_ptr failure_;
};

} // namespace

void CopyBlocks(TIFF* to, const std::string& toPath, const std::string& fromPath, const JoinControl& control)
{
    InstallTiffHandlers();
    tiffMessage.clear();
    // "m": read, not memory-mapped: a mapped level file would count its
    // whole size towards the process's resident memory as it is copied.
    TiffPtr from(XTIFFOpen(fromPath.c_str(), "rm"));
    if (!from)
        Fail(fromPath);
    const std::uint32_t blocks = TIFFNumberOfTiles(from.get());
    std::vector<std::uint8_t> raw;
    for (std::uint32_t i = 0; i < blocks; ++i) {
        control.Poll();
        const std::uint64_t size = TIFFGetStrileByteCount(from.get(), i);
        raw.resize(std::max<std::uint64_t>(size, 1));
        if (TIFFReadRawTile(from.get(), i, raw.data(), static_cast<tmsize_t>(size)) < 0)
            Fail(fromPath);
        if (TIFFWriteRawTile(to, i, raw.data(), static_cast<tmsize_t>(size)) < 0)
            Fail(toPath);
    }
}

namespace {

// GDAL's note at the start of a cloud optimized file, which readers use to
// know the layout without looking through the file.
std::string StructuralMetadata()
{
    const std::string body =
        "LAYOUT=IFDS_BEFORE_DATA\nBLOCK_ORDER=ROW_MAJOR\nKNOWN_INCOMPATIBLE_EDITION=NO\n ";
    char head[64];
    std::snprintf(head, sizeof head, "GDAL_STRUCTURAL_METADATA_SIZE=%06zu bytes\n", body.size());
    return head + body;
}

struct Subfile {
    std::size_t Level;
    Ifd Kind;
    std::string Source; // the file that holds its blocks
};

// Writes the cloud optimized layout: the header and GDAL's note, then every
// directory (full resolution first, each followed by its mask) with room for
// its block tables, then the blocks: the smallest overview first, the full
// resolution last. A reader over the network finds all directories in the
// first bytes and the coarse levels before the fine ones.
void WriteCloudOptimized(const std::string& path,
                         const std::vector<std::pair<std::int64_t, std::int64_t>>& levels,
                         const std::vector<Subfile>& subfiles, const GeoTiffSettings& settings,
                         const MapRaster& raster, const JoinControl& control)
{
    {
        TiffPtr out = OpenForWriting(path, settings.BigTiff);
        // libtiff has written the header; the first directory goes where the
        // file ends, so the note written here lies between them.
        const std::string note = StructuralMetadata();
        const int fd = TIFFFileno(out.get());
        if (::lseek(fd, 0, SEEK_END) < 0 ||
            ::write(fd, note.data(), note.size()) != static_cast<ssize_t>(note.size()))
            Fail(path);
        for (const Subfile& f : subfiles) {
            SetImageTags(out.get(), levels[f.Level].first, levels[f.Level].second, f.Level > 0, settings,
                         f.Kind);
            if (f.Level == 0 && f.Kind == Ifd::Image)
                SetGeoreference(out.get(), raster);
            if (!TIFFDeferStrileArrayWriting(out.get()) || !TIFFWriteCheck(out.get(), 1, "platejoin") ||
                !TIFFWriteDirectory(out.get()))
                Fail(path);
        }
    }
    tiffMessage.clear();
    TiffPtr out(XTIFFOpen(path.c_str(), "r+m"));
    if (!out)
        Fail(path);
    // The block tables, empty for now, right behind the directories; they
    // are filled in place as the blocks are written.
    for (std::size_t i = 0; i < subfiles.size(); ++i)
        if (!TIFFSetDirectory(out.get(), static_cast<tdir_t>(i)) || !TIFFForceStrileArrayWriting(out.get()))
            Fail(path);
    for (std::size_t level = levels.size(); level-- > 0;)
        for (std::size_t i = 0; i < subfiles.size(); ++i) {
            if (subfiles[i].Level != level)
                continue;
            if (!TIFFSetDirectory(out.get(), static_cast<tdir_t>(i)))
                Fail(path);
            CopyBlocks(out.get(), path, subfiles[i].Source, control);
            if (!TIFFFlush(out.get()))
                Fail(path);
        }
    out.reset();
}

} // namespace

std::vector<std::pair<std::int64_t, std::int64_t>> PyramidLevels(std::int64_t width, std::int64_t height)
{
    std::vector<std::pair<std::int64_t, std::int64_t>> levels{{width, height}};
    while (width > kBlockSize || height > kBlockSize) {
        width = (width + 1) / 2;
        height = (height + 1) / 2;
        levels.emplace_back(width, height);
    }
    return levels;
}

std::uint64_t UncompressedPyramidBytes(std::int64_t width, std::int64_t height)
{
    std::uint64_t total = 0;
    for (const auto& [w, h] : PyramidLevels(width, height))
        total += static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) * kChannels;
    return total;
}

void WriteGeoTiff(const std::string& path, const std::string& folder, const task::KvTask& task,
                  const MapRaster& raster, TileSource& tiles, const GeoTiffSettings& settings,
                  JoinControl& control, TempFiles& temps)
{
    InstallTiffHandlers();
    const auto levels = PyramidLevels(raster.Width, raster.Height);

    // Each level's image goes to a file of its own, and with JPEG blocks each
    // level's mask too: libtiff writes one subfile of a file at a time, and
    // the output takes them in another order than they are made.
    std::vector<TiffPtr> owned, ownedMasks;
    std::vector<TIFF*> files, masks;
    std::vector<std::string> paths, maskPaths;
    std::vector<Subfile> subfiles;
    // The output's own temporary name begins with the "." that TempFiles
    // puts in front of every temporary; it is dropped here because Create
    // adds it again, so the level files read ".name.tif.partial-X.level0..."
    // rather than beginning with two dots.
    const std::string base = platform::ExtractFileName(path).substr(1);
    for (std::size_t level = 0; level < levels.size(); ++level) {
        paths.push_back(temps.Create(folder, base + ".level" + std::to_string(level)));
        owned.push_back(OpenForWriting(paths.back(), settings.BigTiff));
        SetImageTags(owned.back().get(), levels[level].first, levels[level].second, level > 0, settings);
        files.push_back(owned.back().get());
        subfiles.push_back({level, Ifd::Image, paths.back()});
        if (settings.Jpeg) {
            maskPaths.push_back(temps.Create(folder, base + ".mask" + std::to_string(level)));
            ownedMasks.push_back(OpenForWriting(maskPaths.back(), settings.BigTiff));
            SetImageTags(ownedMasks.back().get(), levels[level].first, levels[level].second, level > 0,
                         settings, Ifd::Mask);
            masks.push_back(ownedMasks.back().get());
            subfiles.push_back({level, Ifd::Mask, maskPaths.back()});
        }
    }

    // Each worker compresses into scratch files of its own, with the tags
    // of the level files: kind 0 for the images, 1 for the masks. The
    // streams are the levels' images, then their masks.
    const int count = static_cast<int>(levels.size());
    auto makeEncoder = [&settings, count]() -> BlockPipeline::Encode {
        auto encoder = std::make_shared<TiffBlockEncoder>(
            [&settings](int kind, TIFF* tif, std::uint32_t width, std::uint32_t height) {
                SetImageTags(tif, width, height, false, settings, kind == 1 ? Ifd::Mask : Ifd::Image);
            },
            settings.BigTiff);
        return [encoder, count](PipelineBlock& block) {
            tiffMessage.clear();
            if (!encoder->Encode(block.Stream >= count ? 1 : 0, block.Pixels, block.Bytes))
                block.Error =
                    tiffMessage.empty() ? std::string("a block could not be compressed") : tiffMessage;
        };
    };
    PyramidBuilder(task, raster, tiles, control, levels, files, paths, masks, maskPaths)
        .Run(settings.Threads, makeEncoder);

    auto finish = [](std::vector<TiffPtr>& owned, const std::vector<std::string>& paths) {
        for (std::size_t i = 0; i < owned.size(); ++i) {
            tiffMessage.clear();
            if (!TIFFWriteDirectory(owned[i].get()))
                Fail(paths[i]);
            owned[i].reset();
        }
    };
    finish(owned, paths);
    finish(ownedMasks, maskPaths);
    control.Poll();
    WriteCloudOptimized(path, levels, subfiles, settings, raster, control);
    for (const Subfile& f : subfiles)
        std::remove(f.Source.c_str());
}

} // namespace kartivo::join
