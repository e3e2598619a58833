#include "tests/download/worker_fixture.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>

#include "platform/Files.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TaskShapes.h"

namespace fs = std::filesystem;

namespace kartivo::testing {

void SleepRecorder::Record(int ms)
{
    std::function<void()> action;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto id = std::this_thread::get_id();
        auto it =
            std::find_if(byThread_.begin(), byThread_.end(), [&](const auto& e) { return e.first == id; });
        if (it == byThread_.end())
            it = byThread_.insert(byThread_.end(), {id, {}});
        it->second.push_back(ms);
        all_.push_back(ms);
        auto a = actions_.find(ms);
        if (a != actions_.end()) {
            action = std::move(a->second);
            actions_.erase(a);
        }
    }
    if (action)
        action();
}

std::vector<std::vector<int>> SleepRecorder::PerThread() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::vector<int>> out;
    for (const auto& e : byThread_)
        out.push_back(e.second);
    return out;
}

std::vector<int> SleepRecorder::All() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return all_;
}

void SleepRecorder::OnPause(int ms, std::function<void()> action)
{
    std::lock_guard<std::mutex> lock(mutex_);
    actions_[ms] = std::move(action);
}

void WorkerTest::SetUp()
{
    temp_ = std::make_unique<TempFolder>();
    root_ = temp_->Path() + "work";
    programFolder_ = root_ + "/prog/";
    fs::create_directories(programFolder_ + "blankimg");
    fs::create_directories(root_ + "/save");
    WriteFile(programFolder_ + "blankimg/blank256.png", kBlankPng);
    WriteFile(programFolder_ + "blankimg/blank256.jpg", kBlankJpg);
    WriteFile(programFolder_ + "blankimg/blank180.jpg", kBlank180);
    platform::SetProgramFolderForTests(programFolder_);

    server_ = std::make_unique<TestServer>();
    server_->SetHandler([this](const RecordedRequest& r) { return Answer(r); });

    dispatcher_ = std::make_unique<platform::QueueDispatcher>();
    platform::SetMainDispatcher(dispatcher_.get());
    // Pauses are recorded, not slept: the tests run at full speed.
    platform::SetSleepHook([this](int ms) { sleeps_.Record(ms); });
}

void WorkerTest::TearDown()
{
    // Teardown order: stop the workers, cut their connections, release any
    // worker still waiting on the main thread, join them, then undo the
    // process-wide hooks.
    for (auto& [i, w] : workers_)
        w->Terminate();
    if (server_)
        server_->Stop();
    if (dispatcher_)
        dispatcher_->Shutdown();
    workers_.clear();
    platform::SetMainDispatcher(nullptr);
    dispatcher_.reset();
    platform::SetSleepHook(nullptr);
    server_.reset();
    platform::SetProgramFolderForTests("");
    temp_.reset();
}

task::KvTask& WorkerTest::MakeTask(int x0, int x1, int y0, int y1, int mapsType)
{
    task_ =
        task::KvTask::Create(ProxiedTaskParams(root_ + "/save/", "job.kvpd", mapsType, server_->Port())).Task;
    EXPECT_NE(task_, nullptr);
    // The range is the test's choice; the area above only gives a valid task.
    SetTileRange(*task_, x0, x1, y0, y1);
    task_->Params.ThreadCount = std::min(8, task_->TileCount);

    std::lock_guard<std::mutex> lock(scriptMutex_);
    tileOfUrl_.clear();
    if (task_->TileCount <= 100000)
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y)
                tileOfUrl_[task_->GetTileUrl(x, y)] = {x, y};
    return *task_;
}

void WorkerTest::Script(int x, int y, std::vector<ScriptedReply> replies)
{
    std::lock_guard<std::mutex> lock(scriptMutex_);
    auto& q = scripts_[{x, y}];
    for (auto& r : replies)
        q.push_back(std::move(r));
}

void WorkerTest::OnRequest(std::function<void(int, int, int)> fn)
{
    std::lock_guard<std::mutex> lock(scriptMutex_);
    onRequest_ = std::move(fn);
}

ScriptedReply WorkerTest::Answer(const RecordedRequest& r)
{
    std::function<void(int, int, int)> hook;
    std::pair<int, int> tile;
    int nth = 0;
    ScriptedReply reply;
    {
        std::lock_guard<std::mutex> lock(scriptMutex_);
        auto it = tileOfUrl_.find(r.target);
        if (it == tileOfUrl_.end())
            return ScriptedReply::Status(599, "Unknown Tile");
        tile = it->second;
        nth = ++requests_[tile];
        auto& q = scripts_[tile];
        if (!q.empty()) {
            reply = std::move(q.front());
            q.pop_front();
        } else {
            reply = ScriptedReply::Ok(TileBody(tile.first, tile.second));
        }
        hook = onRequest_;
    }
    if (hook)
        hook(tile.first, tile.second, nth);
    return reply;
}

int WorkerTest::Requests(int x, int y) const
{
    std::lock_guard<std::mutex> lock(scriptMutex_);
    auto it = requests_.find({x, y});
    return it == requests_.end() ? 0 : it->second;
}

void WorkerTest::RunWorkers(std::vector<int> indexes)
{
    if (indexes.empty())
        for (int i = 0; i < task_->Params.ThreadCount; ++i)
            indexes.push_back(i);
    const int doneBefore = host_.Done;
    // Created suspended and started once all exist, so that hooks running
    // on worker threads may look workers up without racing the map.
    for (int i : indexes)
        workers_[i] = std::make_unique<download::TDownThread>(true, i, *task_, host_);
    for (int i : indexes)
        workers_[i]->Start();
    const int expected = doneBefore + static_cast<int>(indexes.size());
    ASSERT_TRUE(dispatcher_->PumpUntil([&] { return host_.Done >= expected; }, std::chrono::seconds(60)))
        << "workers did not finish";
    for (int i : indexes)
        workers_[i]->WaitFor();
    dispatcher_->Pump();

    // Whatever happened: one finish per worker, as the worker's last line,
    // and every call on the main thread.
    EXPECT_EQ(host_.Done, expected);
    EXPECT_EQ(host_.OffMainThreadCalls, 0);
    ExpectOutcomesMatchLines();
    for (int i : indexes) {
        const auto lines = LinesOf(i);
        const std::string fin = "T" + std::to_string(i + 1) + " Finished.";
        EXPECT_EQ(std::count(lines.begin(), lines.end(), fin), 1) << fin;
        EXPECT_FALSE(lines.empty());
        if (!lines.empty()) {
            EXPECT_EQ(lines.back(), fin);
        }
    }
}

download::TDownThread& WorkerTest::Worker(int index) { return *workers_.at(index); }

std::vector<std::string> WorkerTest::LinesOf(int index) const
{
    const std::string n = "T" + std::to_string(index + 1);
    std::vector<std::string> out;
    for (const auto& l : host_.Log)
        if (l.rfind(n + ":", 0) == 0 || l.rfind(n + " ", 0) == 0)
            out.push_back(l);
    return out;
}

std::vector<long long> WorkerTest::SavedSeqs(int index) const
{
    const std::string prefix = "T" + std::to_string(index + 1) + ":seq=";
    std::vector<long long> out;
    for (const auto& l : host_.Log)
        if (l.rfind(prefix, 0) == 0 && l.size() > 3 && l.compare(l.size() - 3, 3, " OK") == 0)
            out.push_back(std::stoll(l.substr(prefix.size())));
    return out;
}

std::vector<download::TileReport> WorkerTest::Outcomes() const
{
    std::vector<download::TileReport> out;
    for (const auto& e : host_.Events)
        if (e.What == FakeHost::Event::TileEnd)
            out.push_back(e.Report);
    return out;
}

namespace {

// What a log line says of a tile, read as its text alone: the three line
// kinds that end a tile are "T<n>:seq=<s>,<file> OK", the same with " NULL",
// and "T<n>:<x>-<y> got a blank image!".
struct LineTile {
    enum Kind { None, Saved, NotSaved, BlankImage } What = None;
    std::string File; // Saved, NotSaved
    int X = 0, Y = 0; // BlankImage
};

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

LineTile ReadLine(const std::string& line)
{
    LineTile t;
    std::size_t pos = 1;
    if (line.size() < 4 || line[0] != 'T')
        return t;
    while (pos < line.size() && std::isdigit(static_cast<unsigned char>(line[pos])))
        ++pos;
    if (pos == 1 || pos >= line.size() || line[pos] != ':')
        return t;
    ++pos;
    if (line.compare(pos, 4, "seq=") == 0) {
        const std::size_t comma = line.find(',', pos);
        const std::size_t blank = line.rfind(' ');
        if (comma == std::string::npos || blank == std::string::npos || blank < comma)
            return t;
        t.File = line.substr(comma + 1, blank - comma - 1);
        if (EndsWith(line, " OK"))
            t.What = LineTile::Saved;
        else if (EndsWith(line, " NULL"))
            t.What = LineTile::NotSaved;
        return t;
    }
    const std::string tail = " got a blank image!";
    if (!EndsWith(line, tail))
        return t;
    const std::string xy = line.substr(pos, line.size() - tail.size() - pos);
    const std::size_t dash = xy.find('-');
    if (dash == std::string::npos || dash == 0 || dash + 1 == xy.size() ||
        xy.find_first_not_of("0123456789-") != std::string::npos)
        return t;
    t.X = std::stoi(xy.substr(0, dash));
    t.Y = std::stoi(xy.substr(dash + 1));
    t.What = LineTile::BlankImage;
    return t;
}

} // namespace

void WorkerTest::ExpectOutcomesMatchLines() const
{
    using download::TileOutcome;
    using Event = FakeHost::Event;
    // A blank image after a failure record of the same tile is a tile given
    // up (failed); without one it is a tile the server does not have (blank).
    std::set<std::string> givenUp;
    const auto& events = host_.Events;
    for (std::size_t i = 0; i < events.size(); ++i) {
        const Event& e = events[i];
        if (e.What == Event::FailedLine) {
            givenUp.insert(task::SplitFailedLine(e.Line).Path);
            continue;
        }
        const Event* next = i + 1 < events.size() ? &events[i + 1] : nullptr;
        const bool reported = next && next->What == Event::TileEnd;
        if (e.What == Event::TileEnd) {
            // A tile ended without a line of its own: a stop between retries.
            const bool afterLine = i > 0 && events[i - 1].What == Event::LogLine;
            if (!afterLine) {
                EXPECT_EQ(static_cast<int>(e.Report.Outcome), static_cast<int>(TileOutcome::Stopped))
                    << "outcome without a line";
            }
            continue;
        }
        const LineTile t = ReadLine(e.Line);
        SCOPED_TRACE(e.Line);
        if (t.What == LineTile::None) {
            // A line that ends no tile carries no outcome, unless it is the
            // message with which a worker stops at its tile.
            if (reported) {
                EXPECT_EQ(static_cast<int>(next->Report.Outcome), static_cast<int>(TileOutcome::Stopped));
            }
            continue;
        }
        ASSERT_TRUE(reported) << "line that ends a tile without its outcome";
        const download::TileReport& r = next->Report;
        switch (t.What) {
        case LineTile::Saved:
        case LineTile::NotSaved:
            EXPECT_EQ(
                static_cast<int>(r.Outcome),
                static_cast<int>(t.What == LineTile::Saved ? TileOutcome::Saved : TileOutcome::NotSaved));
            EXPECT_EQ(t.File, Name(r.X, r.Y));
            break;
        case LineTile::BlankImage: {
            const bool failed = givenUp.erase(Path(t.X, t.Y)) > 0;
            EXPECT_EQ(static_cast<int>(r.Outcome),
                      static_cast<int>(failed ? TileOutcome::Failed : TileOutcome::Blank));
            EXPECT_EQ(r.X, t.X);
            EXPECT_EQ(r.Y, t.Y);
            break;
        }
        case LineTile::None: break;
        }
    }
}

std::string WorkerTest::ReadFile(const std::string& path) { return ReadBytes(path); }

void WorkerTest::WriteFile(const std::string& path, const std::string& bytes) { WriteBytes(path, bytes); }

bool WorkerTest::Exists(const std::string& path) { return fs::exists(path); }

} // namespace kartivo::testing
