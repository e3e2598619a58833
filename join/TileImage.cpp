#include "join/TileImage.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>
#include <png.h>

namespace kartivo::join {

namespace {

const unsigned char kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// libjpeg reports errors through a callback that must not return; it jumps
// back to the decoder, which then gives up on the tile. Warnings (a corrupt
// or truncated stream that libjpeg would pad with grey) count as failures too:
// a half-grey tile in a map is worse than a transparent hole that is listed.
struct JpegErrorManager {
    jpeg_error_mgr base;
    std::jmp_buf jump;
    bool warned = false;
    char message[JMSG_LENGTH_MAX] = {};
};

void JpegErrorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void JpegEmitMessage(j_common_ptr cinfo, int level)
{
    auto* err = reinterpret_cast<JpegErrorManager*>(cinfo->err);
    if (level < 0 && !err->warned) {
        err->warned = true;
        (*cinfo->err->format_message)(cinfo, err->message);
    }
}

bool DecodeJpeg(const std::string& bytes, int width, int height, std::vector<std::uint8_t>& rgba,
                std::string& reason)
{
    jpeg_decompress_struct cinfo;
    JpegErrorManager err;
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = JpegErrorExit;
    err.base.emit_message = JpegEmitMessage;
    // Everything the jump skips over is plain data; the only resource is the
    // decompressor, destroyed on both paths.
    if (setjmp(err.jump)) {
        jpeg_destroy_decompress(&cinfo);
        reason = std::string("damaged JPEG (") + err.message + ")";
        return false;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(bytes.data()),
                 static_cast<unsigned long>(bytes.size()));
    jpeg_read_header(&cinfo, TRUE);
    if (static_cast<int>(cinfo.image_width) != width || static_cast<int>(cinfo.image_height) != height) {
        reason = "JPEG of " + std::to_string(cinfo.image_width) + " x " + std::to_string(cinfo.image_height) +
                 " pixels, not " + std::to_string(width) + " x " + std::to_string(height);
        jpeg_destroy_decompress(&cinfo);
        return false;
    }
    cinfo.out_color_space = JCS_EXT_RGBA; // libjpeg-turbo fills the alpha with 255
    jpeg_start_decompress(&cinfo);
    rgba.resize(static_cast<std::size_t>(width) * height * 4);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = rgba.data() + static_cast<std::size_t>(cinfo.output_scanline) * width * 4;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    if (err.warned) {
        reason = std::string("damaged JPEG (") + err.message + ")";
        return false;
    }
    return true;
}

struct PngReader {
    const std::string* bytes;
    std::size_t offset = 0;
    std::string message;
};

void PngRead(png_structp png, png_bytep out, png_size_t length)
{
    auto* reader = static_cast<PngReader*>(png_get_io_ptr(png));
    if (reader->bytes->size() - reader->offset < length)
        png_error(png, "truncated");
    std::memcpy(out, reader->bytes->data() + reader->offset, length);
    reader->offset += length;
}

void PngError(png_structp png, png_const_charp message)
{
    auto* reader = static_cast<PngReader*>(png_get_error_ptr(png));
    reader->message = message;
    png_longjmp(png, 1);
}

void PngWarning(png_structp, png_const_charp) {}

bool DecodePng(const std::string& bytes, int width, int height, std::vector<std::uint8_t>& rgba,
               std::string& reason)
{
    PngReader reader{&bytes, 0, {}};
    // Declared before the jump target: a longjmp must not skip a destructor.
    std::vector<png_bytep> rows(height);
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &reader, PngError, PngWarning);
    if (!png) {
        reason = "out of memory";
        return false;
    }
    png_infop info = png_create_info_struct(png);
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
        reason = "damaged PNG (" + reader.message + ")";
        return false;
    }
    png_set_read_fn(png, &reader, PngRead);
    png_read_info(png, info);
    const int w = static_cast<int>(png_get_image_width(png, info));
    const int h = static_cast<int>(png_get_image_height(png, info));
    if (w != width || h != height) {
        reason = "PNG of " + std::to_string(w) + " x " + std::to_string(h) + " pixels, not " +
                 std::to_string(width) + " x " + std::to_string(height);
        png_destroy_read_struct(&png, &info, nullptr);
        return false;
    }
    // Every colour type and depth becomes 8-bit RGBA.
    const int colorType = png_get_color_type(png, info);
    png_set_strip_16(png);
    png_set_packing(png);
    if (colorType == PNG_COLOR_TYPE_PALETTE)
        png_set_palette_to_rgb(png);
    if (colorType == PNG_COLOR_TYPE_GRAY || colorType == PNG_COLOR_TYPE_GRAY_ALPHA) {
        png_set_expand_gray_1_2_4_to_8(png);
        png_set_gray_to_rgb(png);
    }
    if (png_get_valid(png, info, PNG_INFO_tRNS))
        png_set_tRNS_to_alpha(png);
    png_set_filler(png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(png);
    png_read_update_info(png, info);
    rgba.resize(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        rows[y] = rgba.data() + static_cast<std::size_t>(y) * width * 4;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    return true;
}

void PngAppend(png_structp png, png_bytep data, png_size_t length)
{
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}
void PngFlush(png_structp) {}

std::string EncodePng(const std::vector<std::uint8_t>& rgba, int width, int height)
{
    std::string out;
    std::vector<png_bytep> rows(height);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        return std::string();
    }
    png_set_write_fn(png, &out, PngAppend, PngFlush);
    png_set_IHDR(png, info, width, height, 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < height; ++y)
        rows[y] = const_cast<png_bytep>(rgba.data()) + static_cast<std::size_t>(y) * width * 4;
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::string EncodeJpeg(const std::vector<std::uint8_t>& rgba, int width, int height, int quality)
{
    jpeg_compress_struct cinfo;
    JpegErrorManager err;
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = JpegErrorExit;
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        std::free(buffer);
        return std::string();
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = width;
    cinfo.image_height = height;
    cinfo.input_components = 4;
    cinfo.in_color_space = JCS_EXT_RGBA;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<JSAMPROW>(rgba.data()) + static_cast<std::size_t>(cinfo.next_scanline) * width * 4;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    std::free(buffer);
    return out;
}

} // namespace

std::string EncodeTile(const std::vector<std::uint8_t>& rgba, int width, int height, TileFormat format,
                       int quality)
{
    if (rgba.size() < static_cast<std::size_t>(width) * height * 4)
        return std::string();
    if (format == TileFormat::Png)
        return EncodePng(rgba, width, height);
    if (format == TileFormat::Jpeg)
        return EncodeJpeg(rgba, width, height, quality);
    return std::string();
}

void HalveRgba(const std::vector<std::uint8_t>& src, int w, int h, int stride, std::vector<std::uint8_t>& dst,
               int dx, int dy)
{
    const int ow = (w + 1) / 2, oh = (h + 1) / 2;
    for (int oy = 0; oy < oh; ++oy) {
        const int sy0 = 2 * oy, sy1 = std::min(2 * oy + 1, h - 1);
        std::uint8_t* d = dst.data() + (static_cast<std::size_t>(dy + oy) * stride + dx) * 4;
        for (int ox = 0; ox < ow; ++ox, d += 4) {
            const int sx0 = 2 * ox, sx1 = std::min(2 * ox + 1, w - 1);
            unsigned n = 0, a = 0, sum[3] = {0, 0, 0};
            for (int sy = sy0; sy <= sy1; ++sy)
                for (int sx = sx0; sx <= sx1; ++sx) {
                    const std::uint8_t* p = src.data() + (static_cast<std::size_t>(sy) * stride + sx) * 4;
                    ++n;
                    a += p[3];
                    for (int k = 0; k < 3; ++k)
                        sum[k] += p[k] * p[3];
                }
            for (int k = 0; k < 3; ++k)
                d[k] = a ? static_cast<std::uint8_t>((sum[k] + a / 2) / a) : 0;
            d[3] = static_cast<std::uint8_t>((a + n / 2) / n);
        }
    }
}

TileFormat DetectTileFormat(const std::string& bytes)
{
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), kPngSignature, 8) == 0)
        return TileFormat::Png;
    if (bytes.size() >= 3 && static_cast<unsigned char>(bytes[0]) == 0xff &&
        static_cast<unsigned char>(bytes[1]) == 0xd8 && static_cast<unsigned char>(bytes[2]) == 0xff)
        return TileFormat::Jpeg;
    return TileFormat::Unknown;
}

const char* TileFormatName(TileFormat format)
{
    switch (format) {
    case TileFormat::Png: return "png";
    case TileFormat::Jpeg: return "jpg";
    case TileFormat::Unknown: break;
    }
    return "";
}

bool LooksComplete(const std::string& bytes)
{
    switch (DetectTileFormat(bytes)) {
    case TileFormat::Png: {
        // The IEND chunk: length 0, type, and its fixed CRC.
        static const unsigned char kIend[12] = {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
        return bytes.size() >= 8 + 12 && std::memcmp(bytes.data() + bytes.size() - 12, kIend, 12) == 0;
    }
    case TileFormat::Jpeg: {
        // Encoders may pad after the end-of-image marker; look at the last bytes.
        const std::size_t from = bytes.size() > 64 ? bytes.size() - 64 : 2;
        for (std::size_t i = bytes.size() - 1; i > from; --i)
            if (static_cast<unsigned char>(bytes[i - 1]) == 0xff &&
                static_cast<unsigned char>(bytes[i]) == 0xd9)
                return true;
        return false;
    }
    case TileFormat::Unknown: break;
    }
    return false;
}

bool DecodeTile(const std::string& bytes, int width, int height, std::vector<std::uint8_t>& rgba,
                std::string& reason)
{
    switch (DetectTileFormat(bytes)) {
    case TileFormat::Png: return DecodePng(bytes, width, height, rgba, reason);
    case TileFormat::Jpeg: return DecodeJpeg(bytes, width, height, rgba, reason);
    case TileFormat::Unknown: break;
    }
    reason = bytes.empty() ? "empty file" : "not a PNG or JPEG image";
    return false;
}

} // namespace kartivo::join
