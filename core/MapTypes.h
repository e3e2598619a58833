#pragma once
// The five map types of the tile service and the names of one tile: its
// quadkey, server digit, URL and file name. Pure functions of the map type
// code, column, row (counted from the south) and zoom.
#include <array>
#include <string>

namespace kartivo::core {

struct MapTypeInfo {
    int ItemIndex; // position in the main window's radio group
    const char* Caption;
    int Code;                         // 5, 6, 7, 21, 22
    const char* TypePath;             // "/tiles/r"
    const char* UrlSuffix;            // ".png?g=909"
    std::array<const char*, 4> Hosts; // by server digit
    const char* FilePrefix;           // "mn"
    const char* Extension;            // "png" or "jpg", without the dot
    int TileWidth;
    int TileHeight;
};

inline constexpr int kMapTypeCount = 5;
const MapTypeInfo& MapTypeByIndex(int itemIndex); // 0..4
const MapTypeInfo* FindMapType(int code);         // nullptr for unknown codes
int MapTypeCodeOfIndex(int itemIndex);            // 0->5 ... 4->22
int MapTypeIndexOfCode(int code);                 // -1 for unknown codes

std::string QuadKey(int x, int y, int zoom);
int ServerDigit(int y);
std::string TileUrl(int mapsType, int x, int y, int zoom);
std::string TileFileName(int mapsType, int x, int y, int zoom);
// True when `name` (a file name without folder) is exactly the file name
// TileFileName gives for some map type and some tile at zoom 1 to 20 within
// that zoom's range, so nothing else can pass for a tile.
bool IsTileFileName(const std::string& name);

// The map site sent as referer by the re-download window (without CR LF).
inline constexpr const char* kMapSiteAddress = "http://www.bing.com/maps/";

} // namespace kartivo::core
