#include "join/MbtilesWriter.h"

#include <cstring>
#include <locale>
#include <memory>
#include <sstream>

#include <sqlite3.h>

#include "core/MapTypes.h"
#include "join/Combiner.h"
#include "join/TileImage.h"
#include "join/TileSource.h"
#include "task/SavedProject.h"

namespace kartivo::join {

namespace {

class Database {
public:
    explicit Database(const std::string& path) : path_(path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
            Fail("open");
    }
    ~Database()
    {
        sqlite3_finalize(insert_);
        sqlite3_close(db_);
    }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void Exec(const char* sql)
    {
        if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
            Fail(sql);
    }
    void PrepareInsert()
    {
        if (sqlite3_prepare_v2(db_, "INSERT INTO tiles VALUES (?1, ?2, ?3, ?4)", -1, &insert_, nullptr) !=
            SQLITE_OK)
            Fail("prepare");
    }
    void InsertTile(int zoom, int x, int y, const std::string& bytes)
    {
        sqlite3_bind_int(insert_, 1, zoom);
        sqlite3_bind_int(insert_, 2, x);
        sqlite3_bind_int(insert_, 3, y);
        sqlite3_bind_blob64(insert_, 4, bytes.data(), bytes.size(), SQLITE_STATIC);
        if (sqlite3_step(insert_) != SQLITE_DONE)
            Fail("insert");
        sqlite3_reset(insert_);
    }
    void Metadata(const char* name, const std::string& value)
    {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, "INSERT INTO metadata VALUES (?1, ?2)", -1, &st, nullptr) != SQLITE_OK)
            Fail("prepare");
        sqlite3_bind_text(st, 1, name, -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, value.c_str(), -1, SQLITE_TRANSIENT);
        const int rc = sqlite3_step(st);
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE)
            Fail("insert");
    }

private:
    [[noreturn]] void Fail(const char*)
    {
        throw JoinError("Cannot write " + path_ + " (" + (db_ ? sqlite3_errmsg(db_) : "out of memory") + ")");
    }
    std::string path_;
    sqlite3* db_ = nullptr;
    sqlite3_stmt* insert_ = nullptr;
};

std::string Number(double value)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out.precision(10);
    out << std::fixed << value;
    std::string s = out.str();
    // 12.5000000000 -> 12.5
    s.erase(s.find_last_not_of('0') + 1);
    if (!s.empty() && s.back() == '.')
        s.pop_back();
    return s;
}

// The levels below the task's zoom, built depth first from the task's tiles
// so that memory stays one tile per level.
class PyramidMaker {
public:
    PyramidMaker(const task::KvTask& task, int zoom, TileSource& tiles, JoinControl& control, Database& db,
                 TileFormat format, int quality)
        : task_(task), zoom_(zoom), tiles_(tiles), control_(control), db_(db), format_(format),
          quality_(quality)
    {
    }

    // Every tile of `level` over the task's range, and all between it and
    // the task's zoom.
    void Run(int level)
    {
        const int shift = zoom_ - level;
        for (int x = task_.Xmin >> shift; x <= task_.Xmax >> shift; ++x)
            for (int y = task_.Ymin >> shift; y <= task_.Ymax >> shift; ++y)
                Produce(level, x, y);
    }

private:
    // Makes tile (x, y) of `level` (below the task's zoom) and stores it,
    // with its pixels in `result` when asked; false, with nothing stored,
    // when none of the tiles below it gives an image.
    bool Produce(int level, int x, int y, std::vector<std::uint8_t>* result = nullptr)
    {
        control_.Poll();
        std::vector<std::uint8_t> out(kTileBytes, 0);
        std::vector<std::uint8_t> child;
        bool any = false;
        const int shift = zoom_ - level - 1; // of the children's level
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) {
                // Rows count from the south: the northern child is the upper half.
                const int cx = 2 * x + i, cy = 2 * y + (1 - j);
                if (cx < task_.Xmin >> shift || cx > task_.Xmax >> shift || cy < task_.Ymin >> shift ||
                    cy > task_.Ymax >> shift)
                    continue;
                const std::vector<std::uint8_t>* pixels = nullptr;
                if (shift == 0) {
                    pixels = tiles_.Decoded(cx, cy, false);
                } else if (Produce(level + 1, cx, cy, &child)) {
                    pixels = &child;
                }
                if (!pixels)
                    continue;
                HalveRgba(*pixels, 256, 256, 256, out, i * 128, j * 128);
                any = true;
            }
        if (!any)
            return false;
        bool opaque = true;
        for (std::size_t p = 3; p < out.size() && opaque; p += 4)
            opaque = out[p] == 255;
        const std::string bytes = EncodeTile(out, 256, 256, opaque ? format_ : TileFormat::Png, quality_);
        if (bytes.empty())
            throw JoinError("Cannot encode a tile of zoom " + std::to_string(level));
        db_.InsertTile(level, x, y, bytes);
        if (result)
            *result = std::move(out);
        return true;
    }

    static constexpr std::size_t kTileBytes = 256 * 256 * 4;
    const task::KvTask& task_;
    int zoom_;
    TileSource& tiles_;
    JoinControl& control_;
    Database& db_;
    TileFormat format_;
    int quality_;
};

} // namespace

void WriteMbtiles(const std::string& path, const task::SavedProject& project, TileSource& tiles,
                  JoinControl& control, int minZoom, int jpegQuality)
{
    const task::KvTask& task = project.Task();
    const int zoom = project.Params().Zoom;
    Database db(path);
    // A new file written once by one writer: no journal, no waiting for the
    // disk after each step. A failure leaves a temporary file that is removed;
    // the finished file is flushed to disk once, before it takes the
    // output's place.
    db.Exec(
        "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF; PRAGMA locking_mode=EXCLUSIVE;"
        "PRAGMA page_size=4096;");
    db.Exec(
        "CREATE TABLE metadata (name TEXT, value TEXT);"
        "CREATE TABLE tiles (zoom_level INTEGER, tile_column INTEGER, tile_row INTEGER, tile_data BLOB);");
    db.Exec("BEGIN");
    db.PrepareInsert();
    std::string bytes;
    std::int64_t formats[3] = {0, 0, 0}; // by TileFormat
    for (int x = task.Xmin; x <= task.Xmax; ++x)
        for (int y = task.Ymin; y <= task.Ymax; ++y) {
            control.Poll();
            TileFormat format = TileFormat::Unknown;
            if (tiles.Stored(x, y, bytes, format)) {
                db.InsertTile(zoom, x, y, bytes);
                ++formats[static_cast<int>(format)];
            }
            if (control.Progress)
                control.Progress(tiles.Counts().Total(), task.TileCount);
        }

    // The format most tiles have; a task with none stored names the format
    // its map type is requested in.
    std::string format;
    if (formats[static_cast<int>(TileFormat::Png)] + formats[static_cast<int>(TileFormat::Jpeg)] > 0)
        format = formats[static_cast<int>(TileFormat::Png)] >= formats[static_cast<int>(TileFormat::Jpeg)]
                     ? "png"
                     : "jpg";
    else
        format = TilesArePng(project) ? "png" : "jpg";
    std::string name = project.Params().TaskName;
    if (name.size() > 5 && name.compare(name.size() - 5, 5, ".kvpd") == 0)
        name.resize(name.size() - 5);
    const double centerLat = (task.North + task.South) / 2;
    db.Metadata("name", name);
    db.Metadata("format", format);
    db.Metadata("bounds", Number(task.West) + "," + Number(task.South) + "," + Number(task.East) + "," +
                              Number(task.North));
    db.Metadata("center",
                Number((task.West + task.East) / 2) + "," + Number(centerLat) + "," + std::to_string(zoom));
    if (minZoom >= 0 && minZoom < zoom)
        PyramidMaker(task, zoom, tiles, control, db, format == "png" ? TileFormat::Png : TileFormat::Jpeg,
                     jpegQuality)
            .Run(minZoom);
    db.Metadata("minzoom", std::to_string(minZoom >= 0 && minZoom < zoom ? minZoom : zoom));
    db.Metadata("maxzoom", std::to_string(zoom));
    db.Metadata("type", "baselayer");
    db.Metadata("version", "1.0");
    db.Metadata("description", std::string(core::FindMapType(project.Params().MapsType)->Caption) +
                                   " tiles combined by Kartivo");
    db.Exec("COMMIT");
    db.Exec(
        "CREATE UNIQUE INDEX tile_index ON tiles (zoom_level, tile_column, tile_row);"
        "CREATE UNIQUE INDEX name ON metadata (name);");
}

} // namespace kartivo::join
