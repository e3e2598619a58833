#pragma once
// plateview's command line: a project path to open in the window, nothing
// (an empty window), --help, or a headless render:
//   plateview --render OUT.png [--size WxH] [--center LON,LAT] [--scale S]
//             [--grid] [--graticule] [--no-area] [--no-marks] PROJECT.kvpd
// Parsing only; a refusal comes back as one sentence.
#include <optional>
#include <string>
#include <vector>

namespace kartivo::view {

struct Overlays {
    bool Grid = false;      // tile boundaries (and column,row labels when there is room)
    bool Area = true;       // the area the user asked for
    bool Marks = true;      // missing and failed tiles
    bool Graticule = false; // lines of round longitude and latitude
};

struct ViewerCommand {
    enum class Mode { Window, Render, Help } Kind = Mode::Window;
    std::string Project; // empty: start with no project
    std::string Output;  // --render
    int Width = 1024, Height = 768;
    std::optional<double> CenterLon, CenterLat;
    std::optional<double> Scale; // screen pixels per tile pixel
    Overlays Show;
};

// The largest picture --render draws, per side.
inline constexpr int kMaxRenderSide = 16384;

// False with a sentence in `error` when the arguments make no sense.
bool ParseViewerCommand(const std::vector<std::string>& args, ViewerCommand& cmd, std::string& error);
const char* ViewerUsage();

} // namespace kartivo::view
