#include "view/CommandLine.h"

#include <charconv>
#include <cmath>

namespace kartivo::view {

namespace {

bool ParseNumber(const std::string& text, double& value)
{
    const char* end = text.data() + text.size();
    auto res = std::from_chars(text.data(), end, value);
    return res.ec == std::errc() && res.ptr == end && std::isfinite(value);
}

bool ParseInt(const std::string& text, int& value)
{
    const char* end = text.data() + text.size();
    auto res = std::from_chars(text.data(), end, value);
    return res.ec == std::errc() && res.ptr == end;
}

} // namespace

const char* ViewerUsage()
{
    return "Usage: plateview [PROJECT.kvpd]\n"
           "       plateview --render OUT.png [--size WxH] [--center LON,LAT] [--scale S]\n"
           "                 [--grid] [--graticule] [--no-area] [--no-marks] PROJECT.kvpd\n"
           "\n"
           "Shows the tiles of a Kartivo download task as one map. With --render the\n"
           "picture is drawn without a window and saved as PNG.\n"
           "\n"
           "  --render OUT.png   draw the view into OUT.png and exit\n"
           "  --size WxH         picture size in pixels (default 1024x768)\n"
           "  --center LON,LAT   centre of the view in decimal degrees (default: the task's middle)\n"
           "  --scale S          screen pixels per tile pixel, 1 = the tiles' own pixels\n"
           "                     (default: the whole task fits)\n"
           "  --grid             draw the tile grid\n"
           "  --graticule        draw lines of round longitude and latitude\n"
           "  --no-area          leave out the outline of the area asked for\n"
           "  --no-marks         leave out the marks on missing and failed tiles\n"
           "  --help             show this text\n";
}

bool ParseViewerCommand(const std::vector<std::string>& args, ViewerCommand& cmd, std::string& error)
{
    cmd = ViewerCommand();
    bool renderOnly = false; // an option that only --render uses was given
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size()) {
                error = "The option " + a + " needs a value.";
                return false;
            }
            out = args[++i];
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            cmd.Kind = ViewerCommand::Mode::Help;
            return true;
        } else if (a == "--render") {
            if (!value(v))
                return false;
            if (v.empty()) {
                error = "The option --render needs the name of the PNG file to write.";
                return false;
            }
            cmd.Kind = ViewerCommand::Mode::Render;
            cmd.Output = v;
        } else if (a == "--size") {
            if (!value(v))
                return false;
            const auto x = v.find_first_of("xX");
            int w = 0, h = 0;
            if (x == std::string::npos || !ParseInt(v.substr(0, x), w) || !ParseInt(v.substr(x + 1), h) ||
                w < 1 || h < 1 || w > kMaxRenderSide || h > kMaxRenderSide) {
                error = "The size \"" + v + "\" is not WIDTHxHEIGHT with each side from 1 to " +
                        std::to_string(kMaxRenderSide) + " pixels.";
                return false;
            }
            cmd.Width = w;
            cmd.Height = h;
            renderOnly = true;
        } else if (a == "--center") {
            if (!value(v))
                return false;
            const auto comma = v.find(',');
            double lon = 0, lat = 0;
            if (comma == std::string::npos || !ParseNumber(v.substr(0, comma), lon) ||
                !ParseNumber(v.substr(comma + 1), lat) || lon < -180 || lon > 180 || lat < -85.06 ||
                lat > 85.06) {
                error = "The centre \"" + v +
                        "\" is not LONGITUDE,LATITUDE in decimal degrees (-180..180, -85..85).";
                return false;
            }
            cmd.CenterLon = lon;
            cmd.CenterLat = lat;
            renderOnly = true;
        } else if (a == "--scale") {
            if (!value(v))
                return false;
            double s = 0;
            if (!ParseNumber(v, s) || s <= 0) {
                error = "The scale \"" + v + "\" is not a positive number.";
                return false;
            }
            cmd.Scale = s;
            renderOnly = true;
        } else if (a == "--grid") {
            cmd.Show.Grid = true;
        } else if (a == "--graticule") {
            cmd.Show.Graticule = true;
        } else if (a == "--no-area") {
            cmd.Show.Area = false;
        } else if (a == "--no-marks") {
            cmd.Show.Marks = false;
        } else if (a.size() > 1 && a[0] == '-') {
            error = "Unknown option " + a + " (plateview --help lists them).";
            return false;
        } else if (!cmd.Project.empty()) {
            error = "Only one project can be opened at a time.";
            return false;
        } else {
            cmd.Project = a;
        }
    }
    if (cmd.Kind == ViewerCommand::Mode::Render && cmd.Project.empty()) {
        error = "--render needs the project file to draw.";
        return false;
    }
    if (cmd.Kind == ViewerCommand::Mode::Window && renderOnly) {
        error = "--size, --center and --scale are used with --render only.";
        return false;
    }
    return true;
}

} // namespace kartivo::view
