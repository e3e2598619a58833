#include "core/MapTypes.h"

#include <stdexcept>

namespace kartivo::core {

namespace {

// Road, aerial and hybrid have host sets of their own; bird's eye and
// Ordnance Survey share one set in the second domain.
constexpr std::array<const char*, 4> kRoadHosts = {
    "r0.ortho.tiles.virtualearth.net", "r1.ortho.tiles.virtualearth.net", "r2.ortho.tiles.virtualearth.net",
    "r3.ortho.tiles.virtualearth.net"};
constexpr std::array<const char*, 4> kAerialHosts = {
    "a0.ortho.tiles.virtualearth.net", "a1.ortho.tiles.virtualearth.net", "a2.ortho.tiles.virtualearth.net",
    "a3.ortho.tiles.virtualearth.net"};
constexpr std::array<const char*, 4> kHybridHosts = {
    "h0.ortho.tiles.virtualearth.net", "h1.ortho.tiles.virtualearth.net", "h2.ortho.tiles.virtualearth.net",
    "h3.ortho.tiles.virtualearth.net"};
constexpr std::array<const char*, 4> kSharedHosts = {
    "ecn.t0.tiles.virtualearth.net", "ecn.t1.tiles.virtualearth.net", "ecn.t2.tiles.virtualearth.net",
    "ecn.t3.tiles.virtualearth.net"};

// Ordnance Survey tiles are requested as PNG but stored as "jpg", and the
// JPEG types as "jpg": the stored bytes are whatever the server sent.
constexpr MapTypeInfo kMapTypes[kMapTypeCount] = {
    {0, "Road (normal map)", 5, "/tiles/r", ".png?g=909", kRoadHosts, "mn", "png", 256, 256},
    {1, "Aerial (Satellite)", 6, "/tiles/a", ".jpeg?g=909", kAerialHosts, "ms", "jpg", 256, 256},
    {2, "Aerial with labels (Hybrid)", 7, "/tiles/h", ".jpeg?g=909", kHybridHosts, "mh", "jpg", 256, 256},
    {3, "Bird's eye view", 21, "/tiles/svi", ".jpeg?g=909&dir_n", kSharedHosts, "mb", "jpg", 256, 180},
    {4, "Ordnance Survey Maps(UK)", 22, "/tiles/r", ".png?g=909&productset=mmos", kSharedHosts, "mo", "jpg",
     256, 256},
};

} // namespace

const MapTypeInfo& MapTypeByIndex(int itemIndex)
{
    if (itemIndex < 0 || itemIndex >= kMapTypeCount)
        throw std::out_of_range("map type index " + std::to_string(itemIndex));
    return kMapTypes[itemIndex];
}

const MapTypeInfo* FindMapType(int code)
{
    for (const MapTypeInfo& info : kMapTypes)
        if (info.Code == code)
            return &info;
    return nullptr;
}

int MapTypeCodeOfIndex(int itemIndex) { return MapTypeByIndex(itemIndex).Code; }

int MapTypeIndexOfCode(int code)
{
    const MapTypeInfo* info = FindMapType(code);
    return info ? info->ItemIndex : -1;
}

std::string QuadKey(int x, int y, int zoom)
{
    // Rows count from the south here and from the north in a quadkey, hence
    // 1 - by: the southern half of a level gets the digits 2 and 3.
    std::string key;
    key.reserve(static_cast<std::size_t>(zoom > 0 ? zoom : 0));
    for (int i = zoom; i >= 1; --i) {
        int bx = (x >> (i - 1)) & 1;
        int by = (y >> (i - 1)) & 1;
        key += static_cast<char>('0' + bx + 2 * (1 - by));
    }
    return key;
}

int ServerDigit(int y) { return y % 4; }

std::string TileUrl(int mapsType, int x, int y, int zoom)
{
    const MapTypeInfo* info = FindMapType(mapsType);
    if (!info)
        return std::string();
    int digit = ServerDigit(y);
    if (digit < 0)
        digit += 4; // rows are never negative; keep the index in range anyway
    std::string url = "http://";
    url += info->Hosts[static_cast<std::size_t>(digit)];
    url += info->TypePath;
    url += QuadKey(x, y, zoom);
    url += info->UrlSuffix;
    return url;
}

std::string TileFileName(int mapsType, int x, int y, int zoom)
{
    const MapTypeInfo* info = FindMapType(mapsType);
    if (!info)
        return std::string();
    std::string name = info->FilePrefix;
    name += '_';
    name += std::to_string(x);
    name += '_';
    name += std::to_string(y);
    name += '_';
    name += std::to_string(zoom);
    name += '.';
    name += info->Extension;
    return name;
}

namespace {

// Reads a decimal number without sign or leading zeros from `text` at `pos`,
// up to `stop`; false when there is none or it exceeds `max`.
bool ReadNumber(const std::string& text, std::size_t& pos, char stop, long long max, int& value)
{
    const std::size_t end = text.find(stop, pos);
    if (end == std::string::npos || end == pos || end - pos > 7)
        return false;
    long long n = 0;
    for (std::size_t i = pos; i < end; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        n = n * 10 + (text[i] - '0');
    }
    if (n > max)
        return false;
    value = static_cast<int>(n);
    pos = end + 1;
    return true;
}

} // namespace

bool IsTileFileName(const std::string& name)
{
    constexpr int kMinZoom = 1;
    constexpr int kMaxZoom = 20;
    constexpr long long kMaxIndex = (1LL << kMaxZoom) - 1;
    std::size_t pos = name.find('_');
    if (pos == std::string::npos)
        return false;
    const std::string prefix = name.substr(0, pos);
    ++pos;
    int x = 0, y = 0, zoom = 0;
    if (!ReadNumber(name, pos, '_', kMaxIndex, x) || !ReadNumber(name, pos, '_', kMaxIndex, y) ||
        !ReadNumber(name, pos, '.', kMaxZoom, zoom))
        return false;
    if (zoom < kMinZoom || x >= (1 << zoom) || y >= (1 << zoom))
        return false;
    // The prefix names the map type; the name as TileFileName forms it then
    // settles every other detail (extension, no leading zeros, nothing after).
    for (const MapTypeInfo& info : kMapTypes)
        if (prefix == info.FilePrefix && TileFileName(info.Code, x, y, zoom) == name)
            return true;
    return false;
}

} // namespace kartivo::core
