#include "view/qt/OverviewPyramid.h"

#include <QBuffer>
#include <QByteArray>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/SafeRead.h"
#include "view/qt/TileImages.h"

namespace kartivo::view::qt {

namespace {

// The layout of the stored images. A change of it is a new version, which
// names other folders (the old ones are trimmed away in time) and another
// magic (an old file is never read as a new one).
constexpr int kFormatVersion = 2;
// File layout: this magic, the digest of the tiles below (8 bytes, little
// endian), the mask (one byte a cell, row by row), then the image as PNG.
constexpr char kMagic[8] = {'K', 'V', 'O', 'V', 'R', '0', '2', '\n'};
constexpr std::size_t kHeaderBytes = 16;
constexpr std::size_t kMaskBytes = std::size_t(OverviewPyramid::kMaskSide) * OverviewPyramid::kMaskSide;
// What a mask cell says of the tiles under it, or-ed together.
constexpr std::uint8_t kShown = 1;   // some have a picture
constexpr std::uint8_t kMissing = 2; // some have none (absent, blank file, not a picture)
constexpr std::uint8_t kFailed = 4;  // some are absent and in the failed list
// Cells of the mask a tile of the first level covers, a side.
constexpr int kCellsPerTile = OverviewPyramid::kMaskSide >> OverviewPyramid::kFirstLevel;
static_assert(kCellsPerTile >= 1 &&
              (kCellsPerTile << OverviewPyramid::kFirstLevel) == OverviewPyramid::kMaskSide);
// No stored overview comes near this: a tile-sized image as PNG.
constexpr std::size_t kMaxStoredBytes = 16u << 20;

struct Fnv {
    std::uint64_t h = 1469598103934665603ull;
    void Add(std::uint64_t v)
    {
        for (int i = 0; i < 8; ++i) {
            h ^= (v >> (8 * i)) & 0xffu;
            h *= 1099511628211ull;
        }
    }
    void Add(const std::string& s)
    {
        for (unsigned char c : s) {
            h ^= c;
            h *= 1099511628211ull;
        }
        Add(s.size());
    }
};

// The tiles a key covers, as columns and rows counted from the grid's
// north-west corner, clipped to the grid.
struct Block {
    long long C0, C1, R0, R1; // half-open
};
Block BlockOf(const MapGrid& grid, const PyramidKey& key)
{
    const long long span = 1ll << key.Level;
    return {key.Col * span, std::min<long long>((key.Col + 1) * span, grid.Columns()), key.Row * span,
            std::min<long long>((key.Row + 1) * span, grid.Rows())};
}

// Thrown on the builder thread when the pyramid is going away.
struct Cancelled {};

bool OnGrid(const MapGrid& grid, const PyramidKey& key)
{
    const Block b = BlockOf(grid, key);
    return key.Col >= 0 && key.Row >= 0 && b.C0 < b.C1 && b.R0 < b.R1;
}

// The marks a mask hands to the renderer, in pixels of a `w` x `h` image:
// cells alike side by side, then rows alike one under the other, made one.
std::vector<TileMark> MarksOfMask(const std::vector<std::uint8_t>& mask, int w, int h)
{
    constexpr int n = OverviewPyramid::kMaskSide;
    struct Run {
        int X0, X1, Y0, Y1, Kind;
    };
    // 0: nothing to mark; else 1 + partly + 2 * failed.
    auto kind = [&](int x, int y) {
        const std::uint8_t c = mask[std::size_t(y) * n + x];
        if (!(c & (kMissing | kFailed)))
            return 0;
        return 1 + ((c & kShown) ? 1 : 0) + ((c & kFailed) ? 2 : 0);
    };
    std::vector<Run> done, open;
    for (int y = 0; y < n; ++y) {
        std::vector<Run> row;
        for (int x = 0; x < n;) {
            const int k = kind(x, y);
            int end = x + 1;
            while (end < n && kind(end, y) == k)
                ++end;
            if (k)
                row.push_back({x, end, y, y + 1, k});
            x = end;
        }
        // A run the row above had exactly grows down; the others are done.
        std::vector<Run> next;
        for (Run r : row) {
            auto above = std::find_if(open.begin(), open.end(), [&](const Run& o) {
                return o.X0 == r.X0 && o.X1 == r.X1 && o.Kind == r.Kind;
            });
            if (above != open.end()) {
                r.Y0 = above->Y0;
                open.erase(above);
            }
            next.push_back(r);
        }
        done.insert(done.end(), open.begin(), open.end());
        open = std::move(next);
    }
    done.insert(done.end(), open.begin(), open.end());
    std::vector<TileMark> marks;
    marks.reserve(done.size());
    for (const Run& r : done) {
        const int left = r.X0 * w / n, right = r.X1 * w / n, top = r.Y0 * h / n, bottom = r.Y1 * h / n;
        TileMark m;
        m.Rect = QRect(left, top, std::max(1, right - left), std::max(1, bottom - top));
        m.State = r.Kind >= 3 ? task::TileState::Failed : task::TileState::Missing;
        m.Partly = r.Kind == 2 || r.Kind == 4;
        marks.push_back(m);
    }
    return marks;
}

} // namespace

std::string OverviewPyramid::CacheRoot()
{
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/kartivo";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.cache/kartivo";
}

OverviewPyramid::OverviewPyramid(const task::SavedProject& project, const MapGrid& grid,
                                 std::string cacheRoot, std::uint64_t cacheLimit)
    : project_(project), grid_(grid), limit_(cacheLimit)
{
    if (cacheRoot.empty())
        cacheRoot = CacheRoot();
    // One folder per project file and task shape: a project saved again
    // with another area gets images of its own.
    const task::KvTask& task = project.Task();
    Fnv key;
    std::error_code ec;
    key.Add(std::filesystem::absolute(task.ProjectFile(), ec).lexically_normal().string());
    key.Add(task.TileFolder);
    for (int v : {grid.Xmin(), grid.Xmax(), grid.Ymin(), grid.Ymax(), grid.Zoom(), grid.TileWidth(),
                  grid.TileHeight(), task.Params.MapsType, kFormatVersion})
        key.Add(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(key.h));
    root_ = cacheRoot;
    name_ = hex;
    folder_ = cacheRoot + "/" + hex + "/";
    worker_ = std::thread([this] { Work(); });
}

OverviewPyramid::~OverviewPyramid()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        wanted_.clear();
    }
    cv_.notify_all();
    trimCv_.notify_all();
    worker_.join();
}

void OverviewPyramid::SetNotifier(std::function<void(const PyramidKey&)> notify)
{
    std::lock_guard<std::mutex> lock(mutex_);
    notify_ = std::move(notify);
}

void OverviewPyramid::Want(const std::vector<PyramidKey>& keys)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        wanted_.clear();
        for (const PyramidKey& k : keys) {
            auto it = nodes_.find(k);
            if (Keeps(k) && (it == nodes_.end() || !it->second.Ready))
                wanted_.push_back(k);
        }
    }
    cv_.notify_all();
}

void OverviewPyramid::Forget()
{
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.clear();
    lookedAt_.clear();
}

void OverviewPyramid::LookAhead(const std::vector<PyramidKey>& keys)
{
    // The first-level images below `keys`, each once, that are not checked yet.
    std::vector<PyramidKey> todo;
    {
        std::unordered_set<PyramidKey, PyramidKeyHash> seen;
        std::lock_guard<std::mutex> lock(mutex_);
        lookedAt_.clear();
        for (const PyramidKey& key : keys) {
            if (!Keeps(key) || !OnGrid(grid_, key))
                continue;
            if (auto it = nodes_.find(key); it != nodes_.end() && it->second.Ready)
                continue;
            const int shift = key.Level - kFirstLevel;
            const long long c0 = static_cast<long long>(key.Col) << shift;
            const long long r0 = static_cast<long long>(key.Row) << shift;
            const long long span = 1ll << shift;
            // Clipped to the grid: a top image may reach far beyond it.
            for (long long c = c0; c < c0 + span && (c << kFirstLevel) < grid_.Columns(); ++c)
                for (long long r = r0; r < r0 + span && (r << kFirstLevel) < grid_.Rows(); ++r) {
                    const PyramidKey first{kFirstLevel, static_cast<int>(c), static_cast<int>(r)};
                    if (auto it = nodes_.find(first); it != nodes_.end() && it->second.Ready)
                        continue;
                    if (seen.insert(first).second)
                        todo.push_back(first);
                }
        }
    }
    if (todo.empty())
        return;
    // Statting is mostly waiting on the file system: more threads than cores help.
    const std::size_t threads = std::min<std::size_t>(
        todo.size(), std::clamp<std::size_t>(std::thread::hardware_concurrency() * 2, 2, 8));
    // Each image's kept header is read beside its tiles' digest: on a cold
    // start these small reads, one after another, cost as much again.
    std::vector<LookedAt> seen(todo.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t n; (n = next.fetch_add(1)) < todo.size();) {
            seen[n].Digest = TilesDigest(todo[n]);
            seen[n].Stored = StoredDigestIs(todo[n], seen[n].Digest);
        }
    };
    std::vector<std::thread> pool;
    try {
        for (std::size_t t = 1; t < threads; ++t)
            pool.emplace_back(work);
    } catch (const std::system_error&) {
        // No more threads to be had: those started, and this one, share the work.
    }
    work();
    for (std::thread& t : pool)
        t.join();
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t n = 0; n < todo.size(); ++n)
        lookedAt_[todo[n]] = seen[n];
}

bool OverviewPyramid::IsReady(const PyramidKey& key) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nodes_.find(key);
    return it != nodes_.end() && it->second.Ready && it->second.Stored;
}

QImage OverviewPyramid::Ready(const PyramidKey& key, std::vector<TileMark>* marks) const
{
    std::uint64_t digest = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodes_.find(key);
        if (it == nodes_.end() || !it->second.Ready || !it->second.Stored)
            return QImage();
        digest = it->second.Digest;
    }
    return Handed(Load(key, digest), marks);
}

QImage OverviewPyramid::Handed(Picture picture, std::vector<TileMark>* marks) const
{
    if (marks && !picture.Image.isNull())
        *marks = MarksOfMask(picture.Mask, grid_.TileWidth(), grid_.TileHeight());
    return std::move(picture.Image);
}

QImage OverviewPyramid::Build(const PyramidKey& key, std::vector<TileMark>* marks,
                              const std::function<void()>& onEach)
{
    if (!Keeps(key) || !OnGrid(grid_, key))
        return QImage();
    {
        // Not before the trim the builder thread starts with.
        std::unique_lock<std::mutex> lock(mutex_);
        trimCv_.wait(lock, [this] { return trimmed_ || stop_; });
    }
    std::lock_guard<std::mutex> build(buildMutex_);
    onEach_ = onEach;
    Picture picture;
    try {
        Ensure(key, &picture);
    } catch (...) {
        onEach_ = nullptr;
        throw;
    }
    onEach_ = nullptr;
    return Handed(std::move(picture), marks);
}

void OverviewPyramid::Work()
{
    {
        // The folder this pyramid uses is marked used and locked, so no trim
        // (here or in another viewer) removes it; then the cache is trimmed.
        std::lock_guard<std::mutex> build(buildMutex_);
        lock_.Take(folder_);
        try {
            TrimOverviewCache(root_, limit_, name_, &stop_);
        } catch (const std::exception&) {
            // Out of memory listing the cache: it stays as it is until the next run.
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        trimmed_ = true;
    }
    trimCv_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        cv_.wait(lock, [this] { return stop_ || !wanted_.empty(); });
        if (stop_)
            return;
        const PyramidKey key = wanted_.front();
        wanted_.pop_front();
        lock.unlock();
        if (OnGrid(grid_, key)) {
            try {
                std::lock_guard<std::mutex> build(buildMutex_);
                Ensure(key, nullptr);
            } catch (const Cancelled&) {
                return;
            } catch (const std::exception&) {
                // Out of memory for one image: its stand-in stays.
            }
        }
        lock.lock();
    }
}

std::uint64_t OverviewPyramid::TilesDigest(const PyramidKey& key) const
{
    const task::KvTask& task = project_.Task();
    const Block b = BlockOf(grid_, key);
    Fnv digest;
    // Names looked up in the tile folder itself, not walked from the root each time.
    const int dir = ::open(task.TileFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (long long c = b.C0; c < b.C1; ++c)
        for (long long r = b.R0; r < b.R1; ++r) {
            const int x = grid_.Xmin() + static_cast<int>(c), y = grid_.Ymax() - static_cast<int>(r);
            struct stat st {};
            const bool found = dir >= 0 ? ::fstatat(dir, task.GetTileFileName(x, y).c_str(), &st, 0) == 0
                                        : ::stat(task.GetTileFilePath(x, y).c_str(), &st) == 0;
            if (found && S_ISREG(st.st_mode)) {
                digest.Add(static_cast<std::uint64_t>(st.st_size));
                digest.Add(static_cast<std::uint64_t>(st.st_mtim.tv_sec));
                digest.Add(static_cast<std::uint64_t>(st.st_mtim.tv_nsec));
            } else {
                // Whether it is marked failed or missing depends on the failed list.
                const bool failed = project_.StateOfBytes(task.GetTileFileName(x, y), std::string()) ==
                                    task::TileState::Failed;
                digest.Add(failed ? ~1ull : ~0ull);
            }
        }
    if (dir >= 0)
        ::close(dir);
    return digest.h;
}

std::uint64_t OverviewPyramid::Ensure(const PyramidKey& key, Picture* picture)
{
    if (stop_ && std::this_thread::get_id() == worker_.get_id())
        throw Cancelled();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodes_.find(key);
        if (it != nodes_.end() && it->second.Ready) {
            const std::uint64_t digest = it->second.Digest;
            if (!picture)
                return digest;
            // Checked already: read back what was stored.
            *picture = Load(key, digest);
            if (!picture->Image.isNull())
                return digest;
        }
    }
    // The digest of everything below: the tiles' sizes and times at the
    // first level, the children's digests above.
    std::uint64_t digest = 0;
    bool storedSeen = false; // LookAhead found the kept image's digest matching
    if (key.Level == kFirstLevel) {
        bool seen = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (auto it = lookedAt_.find(key); it != lookedAt_.end()) {
                digest = it->second.Digest;
                storedSeen = it->second.Stored;
                lookedAt_.erase(it);
                seen = true;
            }
        }
        if (!seen)
            digest = TilesDigest(key);
    } else {
        Fnv d;
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j) {
                const PyramidKey child{key.Level - 1, key.Col * 2 + i, key.Row * 2 + j};
                d.Add(OnGrid(grid_, child) ? Ensure(child, nullptr) : 0);
            }
        digest = d.h;
    }
    // A kept image whose digest still matches is good as it is: only its
    // header is read unless its picture is wanted.
    Picture built;
    bool stored =
        picture ? !(built = Load(key, digest)).Image.isNull() : storedSeen || StoredDigestIs(key, digest);
    if (!stored) {
        if (stop_ && std::this_thread::get_id() == worker_.get_id())
            throw Cancelled();
        built = key.Level == kFirstLevel ? FromTiles(key) : FromChildren(key);
        stored = Store(key, digest, built);
    }
    std::function<void(const PyramidKey&)> notify;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        nodes_[key] = Node{digest, true, stored};
        notify = notify_;
    }
    if (notify)
        notify(key);
    if (onEach_)
        onEach_();
    if (picture)
        *picture = std::move(built);
    return digest;
}

OverviewPyramid::Picture OverviewPyramid::FromTiles(const PyramidKey& key) const
{
    const int w = grid_.TileWidth(), h = grid_.TileHeight();
    Picture picture{QImage(w, h, QImage::Format_ARGB32_Premultiplied),
                    std::vector<std::uint8_t>(kMaskBytes, 0)};
    QImage& image = picture.Image;
    image.fill(Qt::transparent);
    const Block b = BlockOf(grid_, key);
    const long long span = 1ll << key.Level;
    struct Cell {
        int X, Y, Left, Top, Right, Bottom;
        int I, J; // the tile's place in the block
    };
    std::vector<Cell> cells;
    for (long long c = b.C0; c < b.C1; ++c)
        for (long long r = b.R0; r < b.R1; ++r) {
            const long long i = c - key.Col * span, j = r - key.Row * span;
            cells.push_back({grid_.Xmin() + static_cast<int>(c), grid_.Ymax() - static_cast<int>(r),
                             static_cast<int>(i * w / span), static_cast<int>(j * h / span),
                             static_cast<int>((i + 1) * w / span), static_cast<int>((j + 1) * h / span),
                             static_cast<int>(i), static_cast<int>(j)});
        }
    // Each tile decoded at its share of the image (JPEG scales while it
    // decodes; the rest is averaged down), on every core, each thread
    // writing its own cells' pixels and mask bytes.
    uchar* const bits = image.bits();
    const qsizetype stride = image.bytesPerLine();
    const bool onWorker = std::this_thread::get_id() == worker_.get_id();
    auto work = [&](std::size_t first, std::size_t step) {
        for (std::size_t n = first; n < cells.size() && !(onWorker && stop_); n += step) {
            const Cell& cell = cells[n];
            const QSize size(cell.Right - cell.Left, cell.Bottom - cell.Top);
            if (size.isEmpty())
                continue;
            const TileLook look = LookAtTile(project_, cell.X, cell.Y, size);
            const std::uint8_t state = !look.Image.isNull()                    ? kShown
                                       : look.State == task::TileState::Failed ? kFailed
                                                                               : kMissing;
            for (int y = cell.J * kCellsPerTile; y < (cell.J + 1) * kCellsPerTile; ++y)
                for (int x = cell.I * kCellsPerTile; x < (cell.I + 1) * kCellsPerTile; ++x)
                    picture.Mask[std::size_t(y) * kMaskSide + x] = state;
            if (look.Image.isNull())
                continue; // missing or bad: transparent, the renderer's colour shows
            const QImage tile = look.Image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
            for (int row = 0; row < size.height(); ++row)
                std::memcpy(bits + (cell.Top + row) * stride + cell.Left * 4, tile.constScanLine(row),
                            std::size_t(size.width()) * 4);
        }
    };
    const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    std::vector<std::thread> pool;
    for (std::size_t t = 1; t < threads; ++t)
        pool.emplace_back(work, t, threads);
    work(0, threads);
    for (std::thread& t : pool)
        t.join();
    if (onWorker && stop_)
        throw Cancelled();
    return picture;
}

OverviewPyramid::Picture OverviewPyramid::FromChildren(const PyramidKey& key)
{
    const int w = grid_.TileWidth(), h = grid_.TileHeight();
    Picture picture{QImage(w, h, QImage::Format_ARGB32_Premultiplied),
                    std::vector<std::uint8_t>(kMaskBytes, 0)};
    QImage& image = picture.Image;
    image.fill(Qt::transparent);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            const PyramidKey child{key.Level - 1, key.Col * 2 + i, key.Row * 2 + j};
            if (!OnGrid(grid_, child))
                continue;
            Picture childPicture;
            Ensure(child, &childPicture);
            const QImage& part = childPicture.Image;
            if (part.size() != QSize(w, h))
                continue;
            // Each mask cell what the 2 x 2 cells under it say together.
            constexpr int half = kMaskSide / 2;
            for (int y = 0; y < half; ++y)
                for (int x = 0; x < half; ++x) {
                    const std::uint8_t* m = childPicture.Mask.data() + std::size_t(2 * y) * kMaskSide + 2 * x;
                    picture.Mask[std::size_t(j * half + y) * kMaskSide + i * half + x] =
                        m[0] | m[1] | m[kMaskSide] | m[kMaskSide + 1];
                }
            // Each target pixel the mean of 2 x 2 premultiplied pixels:
            // weighted by their alpha, so transparent ones add no colour.
            for (int y = 0; y < h / 2; ++y) {
                const uchar* a = part.constScanLine(2 * y);
                const uchar* b = part.constScanLine(2 * y + 1);
                uchar* out = image.scanLine(j * (h / 2) + y) + i * (w / 2) * 4;
                for (int x = 0; x < w / 2; ++x)
                    for (int ch = 0; ch < 4; ++ch)
                        out[x * 4 + ch] = static_cast<uchar>(
                            (a[x * 8 + ch] + a[x * 8 + 4 + ch] + b[x * 8 + ch] + b[x * 8 + 4 + ch] + 2) / 4);
            }
        }
    return picture;
}

std::string OverviewPyramid::FileOf(const PyramidKey& key) const
{
    return folder_ + "L" + std::to_string(key.Level) + "_" + std::to_string(key.Col) + "_" +
           std::to_string(key.Row) + ".kvo";
}

bool OverviewPyramid::StoredDigestIs(const PyramidKey& key, std::uint64_t digest) const
{
    // The header alone, from a regular file only, never blocking.
    const int fd = ::open(FileOf(key).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return false;
    struct stat st {};
    unsigned char header[kHeaderBytes];
    const bool read = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                      ::read(fd, header, sizeof header) == static_cast<ssize_t>(sizeof header);
    ::close(fd);
    if (!read || std::memcmp(header, kMagic, sizeof kMagic) != 0)
        return false;
    std::uint64_t stored = 0;
    for (int i = 0; i < 8; ++i)
        stored |= std::uint64_t(header[8 + i]) << (8 * i);
    return stored == digest;
}

QImage OverviewPyramid::Unchecked(const PyramidKey& key, std::vector<TileMark>* marks) const
{
    return Keeps(key) ? Handed(Load(key, 0, true), marks) : QImage();
}

OverviewPyramid::Picture OverviewPyramid::Load(const PyramidKey& key, std::uint64_t digest,
                                               bool anyDigest) const
{
    std::string bytes;
    if (platform::ReadRegularFile(FileOf(key), kMaxStoredBytes, bytes) != platform::ReadStatus::Ok ||
        bytes.size() <= kHeaderBytes + kMaskBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return Picture();
    std::uint64_t stored = 0;
    for (int i = 0; i < 8; ++i)
        stored |= std::uint64_t(static_cast<unsigned char>(bytes[8 + i])) << (8 * i);
    if (stored != digest && !anyDigest)
        return Picture(); // the tiles below changed since: build again
    Picture picture;
    const std::size_t png = kHeaderBytes + kMaskBytes;
    if (!picture.Image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()) + png,
                                    static_cast<int>(bytes.size() - png), "PNG") ||
        picture.Image.size() != QSize(grid_.TileWidth(), grid_.TileHeight()))
        return Picture();
    picture.Image = picture.Image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    picture.Mask.assign(bytes.begin() + kHeaderBytes, bytes.begin() + png);
    return picture;
}

bool OverviewPyramid::Store(const PyramidKey& key, std::uint64_t digest, const Picture& picture)
{
    QByteArray bytes(kMagic, sizeof kMagic);
    for (int i = 0; i < 8; ++i)
        bytes.append(static_cast<char>((digest >> (8 * i)) & 0xffu));
    if (picture.Mask.size() != kMaskBytes)
        return false;
    bytes.append(reinterpret_cast<const char*>(picture.Mask.data()), static_cast<qsizetype>(kMaskBytes));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::Append);
    // Fast compression: the cache is rebuilt rather than kept small.
    if (!picture.Image.convertToFormat(QImage::Format_ARGB32).save(&buffer, "PNG", 80))
        return false;
    // Made with the first image (a task too small for overviews leaves no
    // folder behind), only this user's: the images show where the maps are.
    // Made again when a trim elsewhere removed it meanwhile, and locked.
    std::error_code ec;
    if (!std::filesystem::is_directory(folder_, ec)) {
        std::filesystem::create_directories(folder_, ec);
        ::chmod(root_.c_str(), 0700);
        lock_.Take(folder_);
    } else if (!lock_.Held()) {
        lock_.Take(folder_);
    }
    try {
        platform::WriteFileAtomic(FileOf(key), bytes.constData(), static_cast<std::size_t>(bytes.size()),
                                  platform::NewFileAccess::OwnerOnly);
        return true;
    } catch (const std::exception&) {
        // A cache that cannot be written costs only the time to build again.
        return false;
    }
}

} // namespace kartivo::view::qt
