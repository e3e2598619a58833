// GeoTIFF blocks compressed on worker threads: the file is the one a single
// thread writes, byte for byte, with every compression, on textured and
// incompressible tiles, holes, blocks cut at the image's edge and tiles that
// are not square. And a cancel stops the copy of the levels into the output.
#include "tests/join/JoinFixture.h"

#include <cstring>
#include <random>
#include <tuple>

#include <tiffio.h>

#include "join/BlockPipeline.h"
#include "join/GeoTiffWriter.h"

namespace kartivo::join {

using testing::ReadBytes;

namespace {

// A tile of random pixels, which no codec can shrink much: the blocks that
// hold it take the codecs' paths for data that does not compress.
std::string NoiseTile(int width, int height, TileFormat format, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(width) * height * 4);
    for (std::size_t i = 0; i < rgba.size(); ++i)
        rgba[i] = i % 4 == 3 ? 255 : static_cast<std::uint8_t>(random());
    return EncodeTile(rgba, width, height, format, 95);
}

class ParallelTest : public testing::JoinTest {
protected:
    // The output of each thread count, for the compression in `options`.
    std::vector<std::string> FilesFor(JoinOptions options, std::initializer_list<int> threads)
    {
        std::vector<std::string> files;
        for (int n : threads) {
            options.Threads = n;
            if (Combine(options) != JoinOutcome::Done)
                return {};
            files.push_back(ReadBytes(summary.OutputPath));
        }
        return files;
    }
};

TEST_F(ParallelTest, WorkersWriteTheFileOneThreadWritesForEveryCompression)
{
    // 9 x 6 tiles: 2304 x 1536 pixels, four levels whose right and bottom
    // blocks are cut short.
    MakeTask(5, 1000, 1008, 2000, 2005, 12);
    ReplaceTile(1002, 2001, NoiseTile(256, 256, TileFormat::Png, 1));
    ReplaceTile(1007, 2004, NoiseTile(256, 256, TileFormat::Png, 2));
    RemoveTile(1004, 2003);
    const std::tuple<Compression, bool> rows[] = {
        {Compression::Deflate, false}, {Compression::Deflate, true}, // classic and BigTIFF
        {Compression::Zstd, false},    {Compression::Webp, false},
        {Compression::Jpeg, false},    {Compression::Jpeg, true},
    };
    for (const auto& [compression, bigTiff] : rows) {
        if (!CompressionAvailable(compression))
            continue;
        JoinOptions options;
        options.TiffCompression = compression;
        if (bigTiff)
            options.BigTiffAbove = 1000;
        const std::vector<std::string> files = FilesFor(options, {1, 2, 3});
        ASSERT_EQ(files.size(), 3u);
        EXPECT_GT(files[0].size(), 100000u);
        EXPECT_TRUE(files[1] == files[0]) << static_cast<int>(compression) << " bigtiff " << bigTiff;
        EXPECT_TRUE(files[2] == files[0]) << static_cast<int>(compression) << " bigtiff " << bigTiff;
        EXPECT_EQ(summary.Counts.Saved, 53);
        EXPECT_EQ(summary.Counts.Missing, 1);
    }
}

// Bird's eye tiles (256 x 180) with a hole: JPEG blocks with their mask, and
// DEFLATE, from the workers as from one thread; clipped too.
TEST_F(ParallelTest, BirdsEyeAndClippedImagesAreTheSameFromWorkers)
{
    MakeTask(21, 300, 303, 400, 404, 10);
    ReplaceTile(301, 402, NoiseTile(256, 180, TileFormat::Jpeg, 3));
    RemoveTile(302, 401);
    for (Compression compression : {Compression::Jpeg, Compression::Deflate})
        for (bool clip : {false, true}) {
            JoinOptions options;
            options.TiffCompression = compression;
            options.Clip = clip;
            const std::vector<std::string> files = FilesFor(options, {1, 2});
            ASSERT_EQ(files.size(), 2u);
            EXPECT_TRUE(files[1] == files[0]) << static_cast<int>(compression) << " clip " << clip;
        }
}

// Tags of the codecs the combiner uses, on a tiled 8-bit image.
void SetCodecTags(TIFF* tif, int codec, std::uint32_t width, std::uint32_t height)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, 256);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, 256);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    if (codec == COMPRESSION_JPEG) {
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
        TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 80);
        TIFFSetField(tif, TIFFTAG_JPEGTABLESMODE, 0);
        return;
    }
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 4);
    const std::uint16_t extra[1] = {EXTRASAMPLE_UNASSALPHA};
    TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, extra);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, codec);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
}

// The encoder's bytes for each block are those libtiff writes into a file,
// also across the scratch file's restarts (four slots here, nine blocks).
TEST(TiffBlockEncoder, GivesTheBytesLibtiffWritesIntoTheFile)
{
    testing::TempFolder dir;
    for (int codec : {COMPRESSION_ADOBE_DEFLATE, COMPRESSION_ZSTD, COMPRESSION_JPEG}) {
        if (!TIFFIsCODECConfigured(static_cast<std::uint16_t>(codec)))
            continue;
        const int channels = codec == COMPRESSION_JPEG ? 3 : 4;
        std::vector<std::vector<std::uint8_t>> blocks;
        std::mt19937 random(static_cast<unsigned>(codec));
        for (int b = 0; b < 9; ++b) {
            std::vector<std::uint8_t> pixels(256 * 256 * channels);
            for (std::size_t i = 0; i < pixels.size(); ++i) // flat, gradient, noise in turn
                pixels[i] = b % 3 == 0   ? 90
                            : b % 3 == 1 ? static_cast<std::uint8_t>(i / 700)
                                         : static_cast<std::uint8_t>(random());
            blocks.push_back(pixels);
        }
        const std::string path = dir / "file.tif";
        TIFF* file = TIFFOpen(path.c_str(), "w");
        ASSERT_TRUE(file);
        SetCodecTags(file, codec, 700, 700); // 3 x 3 blocks, cut at the right and bottom
        for (std::uint32_t i = 0; i < 9; ++i)
            ASSERT_GE(
                TIFFWriteEncodedTile(file, i, blocks[i].data(), static_cast<tmsize_t>(blocks[i].size())), 0);
        TIFFClose(file);

        TiffBlockEncoder encoder(
            [codec](int, TIFF* tif, std::uint32_t w, std::uint32_t h) { SetCodecTags(tif, codec, w, h); },
            false, 2);
        TIFF* written = TIFFOpen(path.c_str(), "r");
        ASSERT_TRUE(written);
        for (std::uint32_t i = 0; i < 9; ++i) {
            std::vector<std::uint8_t> encoded, expected(TIFFGetStrileByteCount(written, i));
            ASSERT_TRUE(encoder.Encode(0, blocks[i], encoded)) << codec;
            ASSERT_EQ(TIFFReadRawTile(written, i, expected.data(), static_cast<tmsize_t>(expected.size())),
                      static_cast<tmsize_t>(expected.size()));
            EXPECT_TRUE(encoded == expected) << "codec " << codec << " block " << i;
        }
        TIFFClose(written);
    }
}

// A file in memory that counts the blocks written into it and raises the
// cancel flag after the first, as a Ctrl+C in the middle of the copy would.
struct CountingFile {
    std::string Bytes;
    std::uint64_t Position = 0;
    bool Armed = false;
    int Blocks = 0;
    JoinControl* Control = nullptr;

    static tmsize_t Read(thandle_t, void*, tmsize_t) { return 0; }
    static tmsize_t Write(thandle_t h, void* data, tmsize_t n)
    {
        auto& f = *static_cast<CountingFile*>(h);
        if (f.Bytes.size() < f.Position + n)
            f.Bytes.resize(f.Position + n);
        std::memcpy(&f.Bytes[f.Position], data, static_cast<std::size_t>(n));
        f.Position += static_cast<std::uint64_t>(n);
        if (f.Armed && ++f.Blocks == 1)
            f.Control->Cancel = true;
        return n;
    }
    static toff_t Seek(thandle_t h, toff_t offset, int whence)
    {
        auto& f = *static_cast<CountingFile*>(h);
        f.Position = whence == SEEK_SET   ? offset
                     : whence == SEEK_CUR ? f.Position + offset
                                          : f.Bytes.size() + offset;
        return f.Position;
    }
    static int Close(thandle_t) { return 0; }
    static toff_t Size(thandle_t h) { return static_cast<CountingFile*>(h)->Bytes.size(); }
    static int Map(thandle_t, void**, toff_t*) { return 0; }
    static void Unmap(thandle_t, void*, toff_t) {}
};

void SetGreyTiles(TIFF* tif)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 1024);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1024);
    TIFFSetField(tif, TIFFTAG_TILEWIDTH, 256);
    TIFFSetField(tif, TIFFTAG_TILELENGTH, 256);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
}

// A cancel while a level is copied into the output ends the copy before the
// next block; the run then ends as any cancelled run does, with nothing left.
TEST_F(ParallelTest, ACancelStopsTheCopyOfALevelBetweenBlocks)
{
    const std::string source = dir / "level.tif";
    {
        TIFF* tif = TIFFOpen(source.c_str(), "w");
        ASSERT_TRUE(tif);
        SetGreyTiles(tif);
        std::vector<std::uint8_t> block(256 * 256);
        for (std::uint32_t i = 0; i < 16; ++i) {
            std::fill(block.begin(), block.end(), static_cast<std::uint8_t>(i * 10));
            ASSERT_GE(TIFFWriteEncodedTile(tif, i, block.data(), static_cast<tmsize_t>(block.size())), 0);
        }
        TIFFClose(tif);
    }
    for (bool cancel : {false, true}) {
        JoinControl copyControl;
        CountingFile file;
        file.Control = &copyControl;
        TIFF* out =
            TIFFClientOpen("out", "w", &file, CountingFile::Read, CountingFile::Write, CountingFile::Seek,
                           CountingFile::Close, CountingFile::Size, CountingFile::Map, CountingFile::Unmap);
        ASSERT_TRUE(out);
        SetGreyTiles(out);
        file.Armed = cancel;
        if (cancel) {
            EXPECT_THROW(CopyBlocks(out, "out", source, copyControl), JoinCancelled);
            EXPECT_EQ(file.Blocks, 1);
        } else {
            EXPECT_NO_THROW(CopyBlocks(out, "out", source, copyControl));
            for (std::uint32_t i = 0; i < 16; ++i)
                EXPECT_GT(TIFFGetStrileOffset(out, i), 0u) << i;
        }
        TIFFClose(out);
    }
}

} // namespace
} // namespace kartivo::join
