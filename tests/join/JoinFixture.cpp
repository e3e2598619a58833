#include "tests/join/JoinFixture.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <regex>
#include <sstream>
#include <sys/wait.h>

#include "platform/TextFile.h"

namespace kartivo::testing {

std::string RunCommand(const std::string& command, int* status)
{
    std::string out;
    std::FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (!p)
        return out;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0)
        out.append(buffer, n);
    const int rc = ::pclose(p);
    if (status)
        *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

std::string Quoted(const std::string& path)
{
    std::string q = "'";
    for (char c : path)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::vector<double> JsonNumbers(const std::string& json, const std::string& key)
{
    std::vector<double> values;
    const std::size_t at = json.find("\"" + key + "\"");
    if (at == std::string::npos)
        return values;
    const std::size_t open = json.find('[', at), close = json.find(']', open);
    std::istringstream in(json.substr(open + 1, close - open - 1));
    in.imbue(std::locale::classic());
    std::string item;
    while (std::getline(in, item, ','))
        values.push_back(std::stod(item));
    return values;
}

std::vector<int> PixelValues(const std::string& file, long column, long line, const std::string& extra)
{
    std::istringstream in(RunCommand("gdallocationinfo -valonly " + extra + " " + Quoted(file) + " " +
                                     std::to_string(column) + " " + std::to_string(line)));
    std::vector<int> values;
    int v;
    while (in >> v)
        values.push_back(v);
    return values;
}

void ExpectPlacedOnTiles(const std::string& json, int x0, int x1, int y0, int y1, int zoom, int width,
                         int height)
{
    // The exact tile edges: the grid spans -pi R .. pi R both ways.
    auto edge = [zoom](int n) { return (2.0 * n / (1 << zoom) - 1) * M_PI * 6378137.0; };
    EXPECT_EQ(JsonNumbers(json, "size"), (std::vector<double>{double(width), double(height)}));
    const std::vector<double> gt = JsonNumbers(json, "geoTransform");
    ASSERT_EQ(gt.size(), 6u) << json.substr(0, 500);
    EXPECT_NEAR(gt[0], edge(x0), 1e-3);
    EXPECT_NEAR(gt[3], edge(y1 + 1), 1e-3);
    EXPECT_NEAR(gt[0] + width * gt[1], edge(x1 + 1), 1e-3);
    EXPECT_NEAR(gt[3] + height * gt[5], edge(y0), 1e-3);
    EXPECT_EQ(gt[2], 0);
    EXPECT_EQ(gt[4], 0);
}

void JoinTest::SetUp()
{
    platform::SetDialogs(&dialogs);
    platform::SetDecimalSeparatorForTests('.');
}

void JoinTest::TearDown()
{
    platform::SetDialogs(nullptr);
    platform::SetDecimalSeparatorForTests(std::nullopt);
}

void JoinTest::MakeTask(int mapsType, int x0, int x1, int y0, int y1, int zoom, bool writeTiles)
{
    params.SavePath = dir.Path();
    params.TaskName = "area.kvpd";
    params.MapsType = mapsType;
    params.LeftLongitude = core::TileXToLon(x0 + 0.5, zoom);
    params.RightLongitude = core::TileXToLon(x1 + 0.5, zoom);
    params.BottomLatitude = core::TileYToLat(y0 + 0.5, zoom);
    params.TopLatitude = core::TileYToLat(y1 + 0.5, zoom);
    params.Zoom = zoom;
    task::TaskOrError made = task::KvTask::Create(params);
    ASSERT_TRUE(made.Task) << made.Error;
    task = std::move(made.Task);
    task->WriteProjectFile();
    task->WriteTileList();
    task->WriteLogHeader();
    task->ResetFailedList();
    if (writeTiles)
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y)
                WriteTile(x, y);
}

void JoinTest::WriteTile(int x, int y)
{
    const int w = task->TileWidth, h = task->TileHeight;
    const auto colour = TileColour(x, y);
    std::vector<std::uint8_t> rgba(static_cast<std::size_t>(w) * h * 4);
    for (int py = 0; py < h; ++py)
        for (int px = 0; px < w; ++px) {
            std::uint8_t* p = &rgba[(static_cast<std::size_t>(py) * w + px) * 4];
            const bool marker = px < 16 && py < 16; // a white square, top left
            for (int k = 0; k < 3; ++k)
                p[k] = marker ? 255 : static_cast<std::uint8_t>(colour[k]);
            p[3] = 255;
        }
    // Ordnance Survey and Road tiles come as PNG, the others as JPEG.
    const bool png = params.MapsType == 5 || params.MapsType == 22;
    WriteBytes(TilePath(x, y),
               join::EncodeTile(rgba, w, h, png ? join::TileFormat::Png : join::TileFormat::Jpeg));
}

void JoinTest::RemoveTile(int x, int y) { std::filesystem::remove(TilePath(x, y)); }

void JoinTest::TruncateTile(int x, int y)
{
    const std::string bytes = ReadBytes(TilePath(x, y));
    WriteBytes(TilePath(x, y), bytes.substr(0, bytes.size() / 2));
}

void JoinTest::ReplaceTile(int x, int y, const std::string& bytes) { WriteBytes(TilePath(x, y), bytes); }

void JoinTest::MakeBlank(int x, int y) { ReplaceTile(x, y, ReadBytes(task->BlankImageFile())); }

void JoinTest::AddToFailedList(int x, int y)
{
    std::vector<std::string> lines;
    if (std::filesystem::exists(task->FailedFile))
        lines = platform::ReadLines(task->FailedFile);
    lines.push_back(task::JoinFailedLine(TilePath(x, y), task->GetTileUrl(x, y)));
    platform::WriteLines(task->FailedFile, lines);
}

std::unique_ptr<task::SavedProject> JoinTest::OpenProject()
{
    std::string error;
    auto project = task::SavedProject::Open(dir / "area.kvpd", error);
    EXPECT_TRUE(project) << error;
    return project;
}

join::JoinOutcome JoinTest::Combine(join::JoinOptions options, std::string* error)
{
    auto project = OpenProject();
    if (!project)
        return join::JoinOutcome::Failed;
    std::string text;
    const join::JoinOutcome outcome = join::Combine(*project, options, control, summary, text);
    if (error)
        *error = text;
    else
        EXPECT_EQ(outcome, join::JoinOutcome::Done) << text;
    return outcome;
}

std::vector<std::string> JoinTest::SaveFolderNames() const
{
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace kartivo::testing
