#include "join/ImageWriter.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include <jpeglib.h>
#include <png.h>

#include "join/MapGeometry.h"
#include "join/TileSource.h"
#include "task/Unitclasstask.h"

namespace kartivo::join {

namespace {

// The image line by line, RGBA, with holes left transparent: one row of the
// tiles it covers is held at a time.
class LineReader {
public:
    LineReader(const task::KvTask& task, const MapRaster& raster, TileSource& tiles, JoinControl& control)
        : task_(task), raster_(raster), tiles_(tiles), control_(control),
          firstColumn_(static_cast<int>(raster.OffsetX / task.TileWidth)),
          lastColumn_(static_cast<int>((raster.OffsetX + raster.Width - 1) / task.TileWidth)),
          rowWidth_(std::size_t(lastColumn_ - firstColumn_ + 1) * task.TileWidth),
          pixels_(rowWidth_ * task.TileHeight * 4)
    {
    }

    // Line `line` of the image (0: the top one).
    std::uint8_t* Line(std::int64_t line)
    {
        const std::int64_t m = line + raster_.OffsetY; // in the mosaic of the tiles
        const int row = static_cast<int>(m / task_.TileHeight);
        if (row != loaded_)
            Load(row);
        return pixels_.data() +
               (std::size_t(m % task_.TileHeight) * rowWidth_ +
                std::size_t(raster_.OffsetX - std::int64_t{firstColumn_} * task_.TileWidth)) *
                   4;
    }

private:
    // Fills the row of tiles `r` counted from the north.
    void Load(int r)
    {
        loaded_ = r;
        std::fill(pixels_.begin(), pixels_.end(), 0);
        const int tw = task_.TileWidth, th = task_.TileHeight;
        for (int c = firstColumn_; c <= lastColumn_; ++c) {
            control_.Poll();
            const std::vector<std::uint8_t>* tile = tiles_.Decoded(task_.Xmin + c, task_.Ymax - r, true);
            if (control_.Progress)
                control_.Progress(tiles_.Counts().Total(), task_.TileCount);
            if (!tile)
                continue;
            for (int y = 0; y < th; ++y)
                std::memcpy(pixels_.data() +
                                (std::size_t(y) * rowWidth_ + std::size_t(c - firstColumn_) * tw) * 4,
                            tile->data() + std::size_t(y) * tw * 4, std::size_t(tw) * 4);
        }
    }

    const task::KvTask& task_;
    const MapRaster& raster_;
    TileSource& tiles_;
    JoinControl& control_;
    int firstColumn_, lastColumn_;
    std::size_t rowWidth_;
    std::vector<std::uint8_t> pixels_;
    int loaded_ = -1;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

[[noreturn]] void Fail(const std::string& path, const std::string& why)
{
    throw JoinError("Cannot write " + path + (why.empty() ? "" : " (" + why + ")"));
}

struct PngState {
    std::string message;
};

void PngError(png_structp png, png_const_charp message)
{
    static_cast<PngState*>(png_get_error_ptr(png))->message = message;
    png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}

// libpng's errors jump back here; everything C++ lives in the caller.
bool WritePngRows(std::FILE* file, LineReader& rows, const MapRaster& raster, PngState& state,
                  std::exception_ptr& thrown)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngError, PngWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(raster.Width), static_cast<png_uint_32>(raster.Height),
                 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (std::int64_t y = 0; y < raster.Height; ++y) {
        // A cancel or failure while reading tiles must not unwind through
        // libpng's frames: it is caught here and raised again by the caller.
        std::uint8_t* line = nullptr;
        try {
            line = rows.Line(y);
        } catch (...) {
            thrown = std::current_exception();
            png_destroy_write_struct(&png, &info);
            return false;
        }
        png_write_row(png, line);
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

struct JpegErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX] = {};
};

void JpegErrorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

bool WriteJpegRows(std::FILE* file, LineReader& rows, const MapRaster& raster, int quality,
                   JpegErrorManager& err, std::exception_ptr& thrown)
{
    jpeg_compress_struct cinfo;
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = JpegErrorExit;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = static_cast<JDIMENSION>(raster.Width);
    cinfo.image_height = static_cast<JDIMENSION>(raster.Height);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBA; // the alpha is dropped: holes come out black
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    for (std::int64_t y = 0; y < raster.Height; ++y) {
        JSAMPROW line = nullptr;
        try {
            line = rows.Line(y);
        } catch (...) {
            thrown = std::current_exception();
            jpeg_destroy_compress(&cinfo);
            return false;
        }
        jpeg_write_scanlines(&cinfo, &line, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

std::int64_t LimitOfSingleImage(ImageKind kind) { return kind == ImageKind::Jpeg ? 65500 : 65535; }

void WriteSingleImage(const std::string& path, ImageKind kind, int quality, const task::KvTask& task,
                      const MapRaster& raster, TileSource& tiles, JoinControl& control)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file)
        Fail(path, std::strerror(errno));
    LineReader rows(task, raster, tiles, control);
    std::exception_ptr thrown;
    bool ok;
    std::string why;
    if (kind == ImageKind::Png) {
        PngState state;
        ok = WritePngRows(file.get(), rows, raster, state, thrown);
        why = state.message;
    } else {
        JpegErrorManager err;
        ok = WriteJpegRows(file.get(), rows, raster, quality, err, thrown);
        why = err.message;
    }
    if (thrown)
        std::rethrow_exception(thrown);
    if (!ok)
        Fail(path, why);
    if (std::fflush(file.get()) != 0 || std::ferror(file.get()))
        Fail(path, std::strerror(errno));
    if (std::fclose(file.release()) != 0)
        Fail(path, std::strerror(errno));
}

} // namespace kartivo::join
