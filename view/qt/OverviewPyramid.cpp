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

// File layout: this magic, the digest of the tiles below (8 bytes, little
// endian), then the image as PNG.
constexpr char kMagic[8] = {'K', 'V', 'O', 'V', 'R', '0', '1', '\n'};
constexpr std::size_t kHeaderBytes = 16;
// No stored overview comes near this: a tile-sized image as PNG.
constexpr std::size_t kMaxStoredBytes = 16u << 20;

struct Fnv {
    std::uint64_t h = 1469598103934665603ull;
    void Add(std::uint64_t v) {
        for (int i = 0; i < 8; ++i) {
            h ^= (v >> (8 * i)) & 0xffu;
            h *= 1099511628211ull;
        }
    }
    void Add(const std::string& s) {
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
    long long C0, C1, R0, R1;   // half-open
};
Block BlockOf(const MapGrid& grid, const PyramidKey& key) {
    const long long span = 1ll << key.Level;
    return {key.Col * span, std::min<long long>((key.Col + 1) * span, grid.Columns()), key.Row * span,
            std::min<long long>((key.Row + 1) * span, grid.Rows())};
}

// Thrown on the builder thread when the pyramid is going away.
struct Cancelled {};

bool OnGrid(const MapGrid& grid, const PyramidKey& key) {
    const Block b = BlockOf(grid, key);
    return key.Col >= 0 && key.Row >= 0 && b.C0 < b.C1 && b.R0 < b.R1;
}

} // namespace

std::string OverviewPyramid::CacheRoot() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/kartivo";
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.cache/kartivo";
}

OverviewPyramid::OverviewPyramid(const task::SavedProject& project, const MapGrid& grid, std::string cacheRoot)
    : project_(project), grid_(grid) {
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
                  grid.TileHeight(), task.Params.MapsType})
        key.Add(static_cast<std::uint64_t>(static_cast<std::int64_t>(v)));
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(key.h));
    root_ = cacheRoot;
    folder_ = cacheRoot + "/" + hex + "/";
    worker_ = std::thread([this] { Work(); });
}

OverviewPyramid::~OverviewPyramid() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        wanted_.clear();
    }
    cv_.notify_all();
    worker_.join();
}

void OverviewPyramid::SetNotifier(std::function<void(const PyramidKey&)> notify) {
    std::lock_guard<std::mutex> lock(mutex_);
    notify_ = std::move(notify);
}

void OverviewPyramid::Want(const std::vector<PyramidKey>& keys) {
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

void OverviewPyramid::Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    nodes_.clear();
    lookedAt_.clear();
}

void OverviewPyramid::LookAhead(const std::vector<PyramidKey>& keys) {
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
    std::vector<std::uint64_t> digests(todo.size());
    std::atomic<std::size_t> next{0};
    auto work = [&] {
        for (std::size_t n; (n = next.fetch_add(1)) < todo.size();)
            digests[n] = TilesDigest(todo[n]);
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
        lookedAt_[todo[n]] = digests[n];
}

bool OverviewPyramid::IsReady(const PyramidKey& key) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = nodes_.find(key);
    return it != nodes_.end() && it->second.Ready && it->second.Stored;
}

QImage OverviewPyramid::Ready(const PyramidKey& key) const {
    std::uint64_t digest = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodes_.find(key);
        if (it == nodes_.end() || !it->second.Ready || !it->second.Stored)
            return QImage();
        digest = it->second.Digest;
    }
    return Load(key, digest);
}

QImage OverviewPyramid::Build(const PyramidKey& key) {
    if (!Keeps(key) || !OnGrid(grid_, key))
        return QImage();
    std::lock_guard<std::mutex> build(buildMutex_);
    QImage image;
    Ensure(key, &image);
    return image;
}

void OverviewPyramid::Work() {
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

std::uint64_t OverviewPyramid::TilesDigest(const PyramidKey& key) const {
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
                digest.Add(~0ull);
            }
        }
    if (dir >= 0)
        ::close(dir);
    return digest.h;
}

std::uint64_t OverviewPyramid::Ensure(const PyramidKey& key, QImage* image) {
    if (stop_ && std::this_thread::get_id() == worker_.get_id())
        throw Cancelled();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = nodes_.find(key);
        if (it != nodes_.end() && it->second.Ready) {
            const std::uint64_t digest = it->second.Digest;
            if (!image)
                return digest;
            // Checked already: read back what was stored.
            *image = Load(key, digest);
            if (!image->isNull())
                return digest;
        }
    }
    // The digest of everything below: the tiles' sizes and times at the
    // first level, the children's digests above.
    std::uint64_t digest = 0;
    if (key.Level == kFirstLevel) {
        bool seen = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (auto it = lookedAt_.find(key); it != lookedAt_.end()) {
                digest = it->second;
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
    QImage built;
    bool stored = image ? !(built = Load(key, digest)).isNull() : StoredDigestIs(key, digest);
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
    if (image)
        *image = std::move(built);
    return digest;
}

QImage OverviewPyramid::FromTiles(const PyramidKey& key) const {
    const int w = grid_.TileWidth(), h = grid_.TileHeight();
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    const Block b = BlockOf(grid_, key);
    const long long span = 1ll << key.Level;
    struct Cell {
        int X, Y, Left, Top, Right, Bottom;
    };
    std::vector<Cell> cells;
    for (long long c = b.C0; c < b.C1; ++c)
        for (long long r = b.R0; r < b.R1; ++r) {
            const long long i = c - key.Col * span, j = r - key.Row * span;
            cells.push_back({grid_.Xmin() + static_cast<int>(c), grid_.Ymax() - static_cast<int>(r),
                             static_cast<int>(i * w / span), static_cast<int>(j * h / span),
                             static_cast<int>((i + 1) * w / span), static_cast<int>((j + 1) * h / span)});
        }
    // Each tile decoded at its share of the image (JPEG scales while it
    // decodes; the rest is averaged down), on every core, each thread
    // writing its own cells' pixels.
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
            if (look.Image.isNull())
                continue;   // missing or bad: transparent, the renderer's colour shows
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
    return image;
}

QImage OverviewPyramid::FromChildren(const PyramidKey& key) {
    const int w = grid_.TileWidth(), h = grid_.TileHeight();
    QImage image(w, h, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) {
            const PyramidKey child{key.Level - 1, key.Col * 2 + i, key.Row * 2 + j};
            if (!OnGrid(grid_, child))
                continue;
            QImage part;
            Ensure(child, &part);
            if (part.size() != QSize(w, h))
                continue;
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
    return image;
}

std::string OverviewPyramid::FileOf(const PyramidKey& key) const {
    return folder_ + "L" + std::to_string(key.Level) + "_" + std::to_string(key.Col) + "_" +
           std::to_string(key.Row) + ".kvo";
}

bool OverviewPyramid::StoredDigestIs(const PyramidKey& key, std::uint64_t digest) const {
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

QImage OverviewPyramid::Unchecked(const PyramidKey& key) const {
    return Keeps(key) ? Load(key, 0, true) : QImage();
}

QImage OverviewPyramid::Load(const PyramidKey& key, std::uint64_t digest, bool anyDigest) const {
    std::string bytes;
    if (platform::ReadRegularFile(FileOf(key), kMaxStoredBytes, bytes) != platform::ReadStatus::Ok ||
        bytes.size() <= kHeaderBytes || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0)
        return QImage();
    std::uint64_t stored = 0;
    for (int i = 0; i < 8; ++i)
        stored |= std::uint64_t(static_cast<unsigned char>(bytes[8 + i])) << (8 * i);
    if (stored != digest && !anyDigest)
        return QImage();   // the tiles below changed since: build again
    QImage image;
    if (!image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()) + kHeaderBytes,
                            static_cast<int>(bytes.size() - kHeaderBytes), "PNG") ||
        image.size() != QSize(grid_.TileWidth(), grid_.TileHeight()))
        return QImage();
    return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
}

bool OverviewPyramid::Store(const PyramidKey& key, std::uint64_t digest, const QImage& image) const {
    QByteArray bytes(kMagic, sizeof kMagic);
    for (int i = 0; i < 8; ++i)
        bytes.append(static_cast<char>((digest >> (8 * i)) & 0xffu));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::Append);
    // Fast compression: the cache is rebuilt rather than kept small.
    if (!image.convertToFormat(QImage::Format_ARGB32).save(&buffer, "PNG", 80))
        return false;
    // Made with the first image (a task too small for overviews leaves no
    // folder behind), only this user's: the images show where the maps are.
    std::error_code ec;
    if (!std::filesystem::is_directory(folder_, ec)) {
        std::filesystem::create_directories(folder_, ec);
        ::chmod(root_.c_str(), 0700);
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
