#include "task/Unitclasstask.h"

#include "core/Commonfunc.h"
#include "core/MapTypes.h"
#include "platform/Errors.h"
#include "platform/Files.h"
#include "platform/Formats.h"
#include "platform/IniFile.h"
#include "platform/SafeRead.h"
#include "platform/TextFile.h"
#include "task/Coordinates.h"
#include "task/ProjectFile.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

namespace kartivo::task {

const char* const kTooManyTilesMessage =
    "The area has too many tiles at this zoom level (more than 2147483647). "
    "Choose a smaller area or a lower zoom level.";

std::string TaskBaseName(const std::string& taskName)
{
    std::size_t dot = taskName.rfind('.');
    return dot == std::string::npos ? taskName : taskName.substr(0, dot);
}

namespace {

void AppendInt(std::string& out, std::int64_t value)
{
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, res.ptr);
}

constexpr const char* kTileListHeader =
    "ImageFileName    Left_Edge_Longitude    Right_Edge_Longitude   "
    "Top_Edge_Latitude      Bottom_Edge_Latitude";

// Lines of the tile list between two calls of its progress function.
constexpr std::int64_t kListProgressLines = 4096;

// The part of a tile's file name around its column and row: the prefix with
// its "_" before them, "_<zoom>.<ext>: " after.
struct ListNameParts {
    std::string Prefix;
    std::string Tail;
};

ListNameParts ListNameOf(int mapsType, int zoom)
{
    const core::MapTypeInfo* info = core::FindMapType(mapsType);
    ListNameParts parts;
    parts.Prefix = info ? std::string(info->FilePrefix) + "_" : std::string();
    parts.Tail = "_";
    AppendInt(parts.Tail, zoom);
    if (info) {
        parts.Tail += '.';
        parts.Tail += info->Extension;
    }
    parts.Tail += ": ";
    return parts;
}

// The sum of the decimal digit counts of the whole numbers from..to (>= 0).
std::uint64_t DigitsFromTo(std::int64_t from, std::int64_t to)
{
    std::uint64_t sum = 0;
    // `high` is the largest number of `digits` digits.
    for (std::uint64_t digits = 1, high = 9; from <= to; ++digits, high = high * 10 + 9) {
        if (static_cast<std::uint64_t>(from) > high)
            continue;
        const std::int64_t last = std::min<std::int64_t>(to, static_cast<std::int64_t>(high));
        sum += digits * static_cast<std::uint64_t>(last - from + 1);
        from = last + 1;
    }
    return sum;
}

} // namespace

TaskOrError KvTask::Describe(TaskParameters given)
{
    // The task trusts no caller: a zoom outside 1..20 would shift past the
    // width of an integer, and a reversed or non-finite area could leave no
    // worker at all for the share rule to divide by.
    TaskOrError result;
    result.Error = CheckRequest(given.LeftLongitude, given.RightLongitude, given.TopLatitude,
                                given.BottomLatitude, given.Zoom);
    if (!result.Error.empty())
        return result;

    std::unique_ptr<KvTask> task(new KvTask());
    task->Params = std::move(given);
    TaskParameters& params = task->Params;

    if (const core::MapTypeInfo* info = core::FindMapType(params.MapsType)) {
        task->TileWidth = info->TileWidth;
        task->TileHeight = info->TileHeight;
    }

    core::TileRange range = core::ComputeTileRange(params.LeftLongitude, params.RightLongitude,
                                                   params.TopLatitude, params.BottomLatitude, params.Zoom);
    // Sequence numbers and the tile count are numbered in 32 bits by the
    // workers, the project file and the window; refuse before anything exists.
    if (range.TileCount > std::numeric_limits<int>::max()) {
        result.Error = kTooManyTilesMessage;
        return result;
    }
    task->Xmin = range.Xmin;
    task->Ymin = range.Ymin;
    task->Xmax = range.Xmax;
    task->Ymax = range.Ymax;
    task->West = range.West;
    task->East = range.East;
    task->North = range.North;
    task->South = range.South;
    task->TileCount = static_cast<int>(range.TileCount);

    const std::string base = TaskBaseName(params.TaskName);
    task->LogFile = params.SavePath + base + "_log.txt";
    task->FailedFile = params.SavePath + base + "_failed.ftl";
    task->ListFile = params.SavePath + base + "_list.txt";
    task->TileFolder = params.SavePath + base + platform::PathDelim;

    if (params.ContinueTask) {
        const ProjectIni project = ProjectIni::Read(task->ProjectFile());
        const int slots = params.ThreadCount < kThreadSlots ? params.ThreadCount : kThreadSlots;
        for (int slot = 0; slot < slots; ++slot) {
            task->ResumeX[slot] = project.ResumeX(slot);
            task->ResumeY[slot] = project.ResumeY(slot);
        }
    }

    // No more workers than tiles: the one place the worker count is lowered.
    if (params.ThreadCount > task->TileCount)
        params.ThreadCount = task->TileCount;
    result.Task = std::move(task);
    return result;
}

TaskOrError KvTask::Create(TaskParameters params)
{
    TaskOrError result = Describe(std::move(params));
    if (!result.Task)
        return result;
    const KvTask& task = *result.Task;
    // One level only: Start has made sure the save folder exists. Files
    // already in an existing tile folder stay.
    if (!platform::DirectoryExists(task.TileFolder) && !platform::CreateDir(task.TileFolder)) {
        result.Error = "Create directory " + task.TileFolder + " Failed.";
        result.Task.reset();
        return result;
    }
    // Temporary files that killed runs left behind in the task's folders.
    platform::RemoveStaleTempFiles(task.TileFolder);
    platform::RemoveStaleTempFiles(task.Params.SavePath);
    return result;
}

std::string KvTask::ProjectFile() const { return Params.SavePath + Params.TaskName; }

std::string KvTask::GetTileUrl(int x, int y) const
{
    return core::TileUrl(Params.MapsType, x, y, Params.Zoom);
}

std::string KvTask::GetTileFileName(int x, int y) const
{
    return core::TileFileName(Params.MapsType, x, y, Params.Zoom);
}

std::string KvTask::GetTileFilePath(int x, int y) const { return TileFolder + GetTileFileName(x, y); }

std::string KvTask::GetTileExt() const
{
    const core::MapTypeInfo* info = core::FindMapType(Params.MapsType);
    return info ? info->Extension : "";
}

std::string KvTask::BlankImageFile() const
{
    return platform::ProgramFolder() + "blankimg" + platform::PathDelim + "blank" +
           std::to_string(TileHeight) + "." + GetTileExt();
}

void KvTask::WriteProjectFile() const
{
    if (Params.ContinueTask)
        return;
    platform::WriteLines(ProjectFile(), ProjectIni::NewFileLines(*this));
}

bool KvTask::TileListComplete() const
{
    // The list is written whole through a temporary file; one of another
    // length was cut short (by an older version of the program) or is not
    // this task's.
    const long long size = platform::RegularFileSize(ListFile);
    return size >= 0 && static_cast<std::uint64_t>(size) == TileListBytes();
}

std::uint64_t KvTask::TileListBytes() const
{
    // Every edge is written "%20.14f": 20 characters for any longitude or
    // latitude. A line is the name, ": ", four edges with a blank between
    // them, and CR LF; only the column's and row's digits differ in length.
    const ListNameParts name = ListNameOf(Params.MapsType, Params.Zoom);
    const std::uint64_t edge = platform::FormatF(-180.0).size();
    const std::uint64_t columns = static_cast<std::uint64_t>(Xmax - Xmin) + 1;
    const std::uint64_t rows = static_cast<std::uint64_t>(Ymax - Ymin) + 1;
    const std::uint64_t fixed =
        name.Prefix.size() + 1 /* "_" after x */ + name.Tail.size() + 4 * edge + 3 + 2;
    return std::string_view(kTileListHeader).size() + 2 + columns * rows * fixed +
           rows * DigitsFromTo(Xmin, Xmax) + columns * DigitsFromTo(Ymin, Ymax);
}

bool KvTask::WriteTileList(const TileListProgress& progress) const
{
    // A continued task keeps its list, unless it is missing or cut short.
    if (Params.ContinueTask && TileListComplete())
        return true;
    // The writer goes through a temporary file renamed at Close: a list that
    // is abandoned or cannot be written leaves the earlier file as it was
    // and no partial file behind (the writer's destructor removes it).
    platform::TextFileWriter out(ListFile);
    if (!WriteTileLines(out, progress))
        return false;
    out.Close();
    return true;
}

bool KvTask::WriteTileLines(platform::TextFileWriter& out, const TileListProgress& progress) const
{
    const int zoom = Params.Zoom;
    out.WriteLine(kTileListHeader);
    std::int64_t written = 0;
    std::int64_t untilProgress = kListProgressLines;
    if (progress && !progress(0))
        return false;

    // The list is streamed: memory stays flat however many tiles there are.
    // Every column shares the same row edges, so their texts are formatted
    // once (at most 2^20 + 1 of them, a bound set by the zoom level, not by
    // the tile count); row y spans edges y - Ymin (bottom) and y - Ymin + 1 (top).
    const std::size_t rows = static_cast<std::size_t>(Ymax - Ymin) + 1;
    std::string rowEdgeText;
    rowEdgeText.reserve((rows + 1) * 21);
    std::vector<std::uint32_t> rowEdgeStart;
    rowEdgeStart.reserve(rows + 2);
    for (std::size_t k = 0; k <= rows; ++k) {
        rowEdgeStart.push_back(static_cast<std::uint32_t>(rowEdgeText.size()));
        rowEdgeText += platform::FormatF(core::TileYToLat(static_cast<double>(Ymin) + k, zoom));
    }
    rowEdgeStart.push_back(static_cast<std::uint32_t>(rowEdgeText.size()));
    auto rowEdge = [&](std::size_t k) {
        return std::string_view(rowEdgeText.data() + rowEdgeStart[k], rowEdgeStart[k + 1] - rowEdgeStart[k]);
    };

    // The file name is prefix_x_y_zoom.ext: the column part and the zoom
    // part are built once per column and once per task.
    const ListNameParts name = ListNameOf(Params.MapsType, zoom);
    const std::string& prefix = name.Prefix;
    const std::string& nameTail = name.Tail;

    // Within a column only the row number and the two latitudes change from
    // line to line: the line is kept in a template whose fixed parts stay in
    // place, and only the changing bytes are copied in. The template holds
    // "<prefix>_<x>_" | row digits | "_<zoom>.<ext>: <left> <right> " | top
    // latitude, blank, bottom latitude; the part after the row digits moves
    // only when the number of digits changes. Kept over writing the six pieces
    // per line because it is what holds the list near a plain write: at
    // 1,000,000 tiles (bench_tile_list, 12 runs on a loaded 2-core machine)
    // this template took 0.051 s best / 0.067 s median against a plain write
    // of the same 110 MB at 0.027 / 0.029 s, ratio median 2.3, while the
    // six-piece WriteLine took 0.062 / 0.093 s, ratio median 3.1.
    std::size_t longestEdge = 0;
    for (std::size_t k = 0; k <= rows; ++k)
        longestEdge = std::max<std::size_t>(longestEdge, rowEdge(k).size());
    std::vector<char> line;
    char rowNumber[16];
    for (int x = Xmin; x <= Xmax; ++x) {
        std::string columnPart = prefix;
        AppendInt(columnPart, x);
        columnPart += '_';
        const std::string afterRow = nameTail + platform::FormatF(core::TileXToLon(x, zoom)) + " " +
                                     platform::FormatF(core::TileXToLon(static_cast<double>(x) + 1, zoom)) +
                                     " ";
        line.resize(columnPart.size() + sizeof rowNumber + afterRow.size() + 2 * longestEdge + 1);
        std::memcpy(line.data(), columnPart.data(), columnPart.size());
        std::size_t rowDigits = 0; // digits in the template; 0: not built yet
        std::size_t edgesAt = 0;
        for (int y = Ymin; y <= Ymax; ++y) {
            const std::size_t k = static_cast<std::size_t>(y - Ymin);
            auto digits = std::to_chars(rowNumber, rowNumber + sizeof rowNumber, y);
            const std::size_t n = static_cast<std::size_t>(digits.ptr - rowNumber);
            if (n != rowDigits) {
                rowDigits = n;
                edgesAt = columnPart.size() + n;
                std::memcpy(line.data() + edgesAt, afterRow.data(), afterRow.size());
                edgesAt += afterRow.size();
            }
            std::memcpy(line.data() + columnPart.size(), rowNumber, n);
            const std::string_view top = rowEdge(k + 1), bottom = rowEdge(k);
            char* p = line.data() + edgesAt;
            std::memcpy(p, top.data(), top.size());
            p += top.size();
            *p++ = ' ';
            std::memcpy(p, bottom.data(), bottom.size());
            p += bottom.size();
            out.WriteLine(std::string_view(line.data(), static_cast<std::size_t>(p - line.data())));
            if (--untilProgress == 0) {
                written += kListProgressLines;
                untilProgress = kListProgressLines;
                if (progress && !progress(written))
                    return false;
            }
        }
    }
    if (progress)
        return progress(written + (kListProgressLines - untilProgress));
    return true;
}

void KvTask::WriteLogHeader() const
{
    const std::string now = "Now time is:" + platform::FormatDateTimeNow();
    // A continued task's log is added to at its end, never rewritten; one
    // that is missing (a run killed before it was written) starts anew with
    // the header.
    if (Params.ContinueTask && platform::RegularFileSize(LogFile) >= 0) {
        platform::AppendLines(LogFile,
                              {"--------------------------------------------", "Log continue...", now});
        return;
    }
    using platform::FormatG;
    const TaskParameters& p = Params;
    std::vector<std::string> lines = {
        "Project: " + p.SavePath + p.TaskName,    now, "", "[MapsType]",
        "MapsType=" + std::to_string(p.MapsType), "",
    };
    if (p.UseProxy) {
        lines.push_back("Using Proxy:");
        lines.push_back("Proxy Server:" + p.ProxyServer);
        lines.push_back("Proxy Port:" + p.ProxyPort);
        lines.push_back("ProxyUsername:" + p.ProxyUsername);
        // Logs are what users hand to others when they ask for help: the
        // password is masked, its length included. The settings file keeps it.
        lines.push_back(std::string("ProxyPassword:") + (p.ProxyPassword.empty() ? "" : "********"));
        lines.push_back("");
    }
    const std::vector<std::string> rest = {
        "Left Longitude  input= " + FormatG(p.LeftLongitude),
        "Right Longitude input= " + FormatG(p.RightLongitude),
        "Top Latitude    input= " + FormatG(p.TopLatitude),
        "Bottom Latitude input= " + FormatG(p.BottomLatitude),
        "",
        "MinX = " + std::to_string(Xmin),
        "MinY = " + std::to_string(Ymin),
        "MaxX = " + std::to_string(Xmax),
        "MaxY = " + std::to_string(Ymax),
        "",
        "Left Longitude  download=" + FormatG(West),
        "Right Longitude download=" + FormatG(East),
        "Top Latitude    download=" + FormatG(North),
        "Bottom Latitude download=" + FormatG(South),
        "",
        "All images' scope information are saved to " + ListFile,
        "",
        "Total count of images would be downloaded: " + std::to_string(TileCount),
        "",
        "Download threads count: " + std::to_string(p.ThreadCount),
        "",
        "Zoom level: " + std::to_string(p.Zoom),
        "",
        "path: " + p.SavePath,
        "",
        "Start downloading...",
        "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~",
    };
    lines.insert(lines.end(), rest.begin(), rest.end());
    platform::WriteLines(LogFile, lines);
}

void KvTask::ResetFailedList() const
{
    // A continued task keeps the failures of its earlier runs; a list that is
    // missing starts empty, and one whose last entry was cut short gets that
    // line ended, so the next entry does not run into it.
    if (Params.ContinueTask && platform::RegularFileSize(FailedFile) >= 0) {
        if (!platform::EndsWithLineEnd(FailedFile))
            platform::AppendLines(FailedFile, {});
        return;
    }
    platform::WriteLines(FailedFile, {});
}

std::int64_t KvTask::SequenceNumber(int x, int y) const
{
    const std::int64_t h = static_cast<std::int64_t>(Ymax) - Ymin + 1;
    return (static_cast<std::int64_t>(x) - Xmin) * h + (static_cast<std::int64_t>(y) - Ymin) + 1;
}

std::int64_t KvTask::SkipCount(int workerIndex) const
{
    if (workerIndex < 0 || workerIndex >= kThreadSlots)
        return 0;
    // A column or row of 0 counts as no saved position.
    if (ResumeX[workerIndex] == 0 || ResumeY[workerIndex] == 0)
        return 0;
    return SequenceNumber(ResumeX[workerIndex], ResumeY[workerIndex]);
}

std::int64_t KvTask::WorkerTilesUpTo(std::int64_t seq, int workerIndex, int threadCount)
{
    // The worker takes the sequence numbers congruent to its index modulo
    // the worker count: index 0 takes threadCount, 2 * threadCount, ...,
    // any other index starts with itself.
    if (seq <= 0 || threadCount <= 0 || workerIndex < 0 || workerIndex >= threadCount)
        return 0;
    if (workerIndex == 0)
        return seq / threadCount;
    return seq >= workerIndex ? (seq - workerIndex) / threadCount + 1 : 0;
}

std::int64_t KvTask::TilesDoneBefore() const
{
    std::int64_t done = 0;
    const int threads = Params.ThreadCount;
    for (int i = 0; i < threads && i < kThreadSlots; ++i)
        done += WorkerTilesUpTo(std::min<std::int64_t>(SkipCount(i), TileCount), i, threads);
    return done;
}

FailedEntry SplitFailedLine(const std::string& line)
{
    std::size_t bar = line.find('|');
    if (bar == std::string::npos)
        return FailedEntry{std::string(), line};
    return FailedEntry{line.substr(0, bar), line.substr(bar + 1)};
}

std::string JoinFailedLine(const std::string& path, const std::string& url) { return path + "|" + url; }

} // namespace kartivo::task
