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

// One row of tiles, RGBA, with holes left transparent.
class TileRowReader {
public:
    TileRowReader(const task::KvTask& task, TileSource& tiles, JoinControl& control)
        : task_(task), tiles_(tiles), control_(control),
          width_(std::size_t(task.Xmax - task.Xmin + 1) * task.TileWidth),
          pixels_(width_ * task.TileHeight * 4) {}

    // Fills the row of tiles `r` counted from the north.
    void Load(int r) {
        std::fill(pixels_.begin(), pixels_.end(), 0);
        const int tw = task_.TileWidth, th = task_.TileHeight;
        for (int c = 0; c <= task_.Xmax - task_.Xmin; ++c) {
            control_.Poll();
            const std::vector<std::uint8_t>* tile = tiles_.Decoded(task_.Xmin + c, task_.Ymax - r, true);
            if (control_.Progress)
                control_.Progress(tiles_.Counts().Total(), task_.TileCount);
            if (!tile)
                continue;
            for (int y = 0; y < th; ++y)
                std::memcpy(Line(y) + std::size_t(c) * tw * 4, tile->data() + std::size_t(y) * tw * 4,
                            std::size_t(tw) * 4);
        }
    }
    std::uint8_t* Line(int y) { return pixels_.data() + std::size_t(y) * width_ * 4; }
    std::size_t Width() const { return width_; }

private:
    const task::KvTask& task_;
    TileSource& tiles_;
    JoinControl& control_;
    std::size_t width_;
    std::vector<std::uint8_t> pixels_;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

[[noreturn]] void Fail(const std::string& path, const std::string& why) {
    throw JoinError("Cannot write " + path + (why.empty() ? "" : " (" + why + ")"));
}

struct PngState {
    std::string message;
};

void PngError(png_structp png, png_const_charp message) {
    static_cast<PngState*>(png_get_error_ptr(png))->message = message;
    png_longjmp(png, 1);
}
void PngWarning(png_structp, png_const_charp) {}

// libpng's errors jump back here; everything C++ lives in the caller.
bool WritePngRows(std::FILE* file, TileRowReader& rows, const task::KvTask& task, PngState& state,
                  std::exception_ptr& thrown) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &state, PngError, PngWarning);
    if (!png)
        return false;
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(rows.Width()),
                 static_cast<png_uint_32>(std::size_t(task.Ymax - task.Ymin + 1) * task.TileHeight), 8,
                 PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int r = 0; r <= task.Ymax - task.Ymin; ++r) {
        // A cancel or failure while reading tiles must not unwind through
        // libpng's frames: it is caught here and raised again by the caller.
        try {
            rows.Load(r);
        } catch (...) {
            thrown = std::current_exception();
            png_destroy_write_struct(&png, &info);
            return false;
        }
        for (int y = 0; y < task.TileHeight; ++y)
            png_write_row(png, rows.Line(y));
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

void JpegErrorExit(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

bool WriteJpegRows(std::FILE* file, TileRowReader& rows, const task::KvTask& task, int quality,
                   JpegErrorManager& err, std::exception_ptr& thrown) {
    jpeg_compress_struct cinfo;
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = JpegErrorExit;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = static_cast<JDIMENSION>(rows.Width());
    cinfo.image_height = static_cast<JDIMENSION>(std::size_t(task.Ymax - task.Ymin + 1) * task.TileHeight);
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBA;   // the alpha is dropped: holes come out black
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    for (int r = 0; r <= task.Ymax - task.Ymin; ++r) {
        try {
            rows.Load(r);
        } catch (...) {
            thrown = std::current_exception();
            jpeg_destroy_compress(&cinfo);
            return false;
        }
        for (int y = 0; y < task.TileHeight; ++y) {
            JSAMPROW line = rows.Line(y);
            jpeg_write_scanlines(&cinfo, &line, 1);
        }
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

std::int64_t LimitOfSingleImage(ImageKind kind) {
    return kind == ImageKind::Jpeg ? 65500 : 65535;
}

void WriteSingleImage(const std::string& path, ImageKind kind, int quality, const task::KvTask& task,
                      TileSource& tiles, JoinControl& control) {
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file)
        Fail(path, std::strerror(errno));
    TileRowReader rows(task, tiles, control);
    std::exception_ptr thrown;
    bool ok;
    std::string why;
    if (kind == ImageKind::Png) {
        PngState state;
        ok = WritePngRows(file.get(), rows, task, state, thrown);
        why = state.message;
    } else {
        JpegErrorManager err;
        ok = WriteJpegRows(file.get(), rows, task, quality, err, thrown);
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
