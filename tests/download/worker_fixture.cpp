#include "tests/download/worker_fixture.h"

#include <algorithm>
#include <filesystem>

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
        auto it = std::find_if(byThread_.begin(), byThread_.end(),
                               [&](const auto& e) { return e.first == id; });
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
    params_ = ProxiedTaskParams(root_ + "/save/", "job.kvpd", mapsType, server_->Port());
    task_ = task::KvTask::Create(params_);
    EXPECT_NE(task_, nullptr);
    // The range is the test's choice; the area above only gives a valid task.
    SetTileRange(*task_, x0, x1, y0, y1);
    params_.ThreadCount = std::min(8, task_->TileCount);

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
        for (int i = 0; i < params_.ThreadCount; ++i)
            indexes.push_back(i);
    const int doneBefore = host_.Done;
    // Created suspended and started once all exist, so that hooks running
    // on worker threads may look workers up without racing the map.
    for (int i : indexes)
        workers_[i] = std::make_unique<download::TDownThread>(true, i, *task_, host_);
    for (int i : indexes)
        workers_[i]->Start();
    const int expected = doneBefore + static_cast<int>(indexes.size());
    ASSERT_TRUE(dispatcher_->PumpUntil([&] { return host_.Done >= expected; },
                                       std::chrono::seconds(60)))
        << "workers did not finish";
    for (int i : indexes)
        workers_[i]->WaitFor();
    dispatcher_->Pump();

    // Whatever happened: one finish per worker, as the worker's last line,
    // and every call on the main thread.
    EXPECT_EQ(host_.Done, expected);
    EXPECT_EQ(host_.OffMainThreadCalls, 0);
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

download::TDownThread& WorkerTest::Worker(int index)
{
    return *workers_.at(index);
}

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

std::string WorkerTest::ReadFile(const std::string& path)
{
    return ReadBytes(path);
}

void WorkerTest::WriteFile(const std::string& path, const std::string& bytes)
{
    WriteBytes(path, bytes);
}

bool WorkerTest::Exists(const std::string& path)
{
    return fs::exists(path);
}

} // namespace kartivo::testing
