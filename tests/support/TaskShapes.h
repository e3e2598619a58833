#pragma once
// Task parameters that tests and benchmarks set up again and again: an area
// covering exactly a chosen block of tiles, and a small valid task fetched
// through a proxy (the local test server) with a tile range of the caller's.
#include "core/Commonfunc.h"
#include "task/Unitclasstask.h"

#include <string>

namespace kartivo::testing {

// Sets the area and zoom so that the task's tiles are exactly columns x0..x1
// and rows y0..y1: each edge lies in the middle of its outermost tile.
inline void SetAreaOfTiles(task::TaskParameters& params, int x0, int x1, int y0, int y1, int zoom)
{
    params.LeftLongitude = core::TileXToLon(x0 + 0.5, zoom);
    params.RightLongitude = core::TileXToLon(x1 + 0.5, zoom);
    params.BottomLatitude = core::TileYToLat(y0 + 0.5, zoom);
    params.TopLatitude = core::TileYToLat(y1 + 0.5, zoom);
    params.Zoom = zoom;
}

// A small area at zoom 13 that makes a valid task, saved to `saveFolder`,
// whose requests all go to the proxy at 127.0.0.1:`proxyPort`. The tiles
// fetched are the caller's choice: see SetTileRange.
inline task::TaskParameters ProxiedTaskParams(const std::string& saveFolder, const std::string& taskName,
                                              int mapsType, int proxyPort)
{
    task::TaskParameters p;
    p.LeftLongitude = 2.0;
    p.RightLongitude = 2.01;
    p.TopLatitude = 48.01;
    p.BottomLatitude = 48.0;
    p.Zoom = 13;
    p.MapsType = mapsType;
    p.SavePath = saveFolder;
    p.TaskName = taskName;
    p.UseProxy = true;
    p.ProxyServer = "127.0.0.1";
    p.ProxyPort = std::to_string(proxyPort);
    return p;
}

// Gives the task columns x0..x1 and rows y0..y1, whatever its area says.
inline void SetTileRange(task::KvTask& task, int x0, int x1, int y0, int y1)
{
    task.Xmin = x0;
    task.Xmax = x1;
    task.Ymin = y0;
    task.Ymax = y1;
    task.TileCount = (x1 - x0 + 1) * (y1 - y0 + 1);
}

} // namespace kartivo::testing
