#pragma once
// Coordinates as users type them and as project files store them, and the
// limits a download request must keep: shared by Start, by the task itself
// (which never trusts its caller) and by the programs that read a project.
#include <string>

namespace kartivo::task {

// Converts a coordinate as typed: commas become periods, then a decimal
// number with a period (blanks around it allowed). False when it is none.
// Magnitudes beyond a double read as infinite, too small ones as zero.
bool ParseCoordinate(const std::string& text, double& value);

// The first fault of a request, as the sentence the user sees, or "" when
// the area and zoom can be turned into tiles: every value finite, longitudes
// within -180..180, latitudes within -85..85, left not east of right, bottom
// not north of top, zoom 1..20. The sentences are Start's own.
std::string CheckRequest(double left, double right, double top, double bottom, int zoom);

} // namespace kartivo::task
