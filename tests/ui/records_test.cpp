// The task's records under faults. A download through the controller is
// failed (a disk that fills and stays full) or killed at every file
// operation in turn, then continued with the fault gone: every tile ends on
// disk with the server's bytes, every given-up tile in the failed list, no
// saved position passes a tile that is not on disk, the summary counts what
// is on disk, and no temporary file stays. Also: the window's log is a
// bounded tail of a complete file, the options are saved as one set, and a
// settings file that holds a password becomes its owner's only.
#include <QCoreApplication>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Errors.h"
#include "platform/FileOps.h"
#include "platform/Files.h"
#include "platform/IniFile.h"
#include "platform/SafeRead.h"
#include "platform/Settings.h"
#include "platform/TextFile.h"
#include "platform/Threads.h"
#include "task/ProjectFile.h"
#include "task/Unitclasstask.h"
#include "tests/support/FaultRun.h"
#include "tests/support/FileBytes.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"
#include "ui/DownloadController.h"
#include "ui/OptionsSettings.h"
#include "ui/qt/Controls.h"

namespace kartivo::ui {

using platform::fileops::FaultKind;
using testing::FaultScope;
using testing::ReadBytes;
using testing::RunInChild;
using testing::TempFilesIn;
using testing::TempFolder;
using testing::WriteBytes;

namespace {

class RecordingView : public IDownloadView {
public:
    void ShowButtonCaption(const std::string&) override {}
    void ShowTotal(const std::string&) override {}
    void SetTimerEnabled(bool) override {}
    void MemosChanged() override {}
    void ShowProgress(int, const std::string&, const std::string&) override {}
    void ShowSummary(int, const std::string& summary) override { Summary = summary; }
    std::string Summary;
};

struct RunResult {
    std::string Summary;
    std::vector<std::string> Messages;
    std::vector<std::string> Errors;
    std::size_t MemoLines = 0;
};

// A task of a dozen tiles whose workers fetch from the test server
// (as their proxy) without pauses; two of its tiles the server refuses.
class RecordsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramFolderForTests(programFolder.Path());
        platform::SetSleepHook([](int) {});
        input.LeftLongitude = "12.5";
        input.RightLongitude = "12.7";
        input.TopLatitude = "45.7";
        input.BottomLatitude = "45.5";
        input.Zoom = "12";
        input.SavePath = saveRoot.Path() + "maps";
        input.TaskName = "walk.kvpd";
        input.MapsTypeIndex = 1;

        // The task as Start will make it, for the expected files.
        params.LeftLongitude = 12.5;
        params.RightLongitude = 12.7;
        params.TopLatitude = 45.7;
        params.BottomLatitude = 45.5;
        params.Zoom = 12;
        params.MapsType = 6;
        params.SavePath = input.SavePath + "/";
        params.TaskName = input.TaskName;
        task::TaskOrError described = task::KvTask::Describe(params);
        ASSERT_TRUE(described.Task) << described.Error;
        task = std::move(described.Task);
        std::filesystem::create_directories(platform::ExtractFilePath(task->BlankImageFile()));
        WriteBytes(task->BlankImageFile(), "BLANK");

        int n = 0;
        for (int x = task->Xmin; x <= task->Xmax; ++x)
            for (int y = task->Ymin; y <= task->Ymax; ++y)
                if (++n % 5 == 3)
                    refused.insert(PathOf(task->GetTileUrl(x, y)));
        server = std::make_unique<testing::TestServer>();
        server->SetHandler([this](const testing::RecordedRequest& r) {
            if (refused.count(r.path))
                return testing::ScriptedReply::Status(500, "Internal Server Error");
            return testing::ScriptedReply::Ok("tile:" + r.path);
        });
        iniFile = programFolder / "settings.ini";
        WriteBytes(iniFile, "[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=" +
                                std::to_string(server->Port()) + "\r\n");
    }

    void TearDown() override
    {
        platform::SetSleepHook({});
        platform::SetProgramFolderForTests("");
    }

    static std::string PathOf(const std::string& url) { return url.substr(url.find('/', 8)); }

    // One press of Start, then the timer's ticks until the task has ended,
    // as the window runs it.
    RunResult RunDownload()
    {
        platform::QueueDispatcher queue;
        platform::SetMainDispatcher(&queue);
        platform::RecordingDialogs dialogs;
        platform::SetDialogs(&dialogs);
        RecordingView view;
        RunResult result;
        {
            DownloadController controller(view);
            controller.IniFileName = iniFile;
            try {
                controller.Start(input);
            } catch (const std::exception& e) {
                dialogs.errors.push_back(e.what());
            }
            while (controller.ButtonCaption() == kCaptionStop) {
                queue.PumpUntil([&] { return controller.RunningWorkers == 0; }, std::chrono::milliseconds(2));
                controller.Tick();
            }
            result.MemoLines = controller.Memo1Lines.Count();
        }
        platform::SetMainDispatcher(nullptr);
        platform::SetDialogs(nullptr);
        result.Summary = view.Summary;
        result.Messages = dialogs.messages;
        result.Errors = dialogs.errors;
        return result;
    }

    std::set<std::string> FailedListPaths() const
    {
        std::set<std::string> paths;
        if (!platform::FileExists(task->FailedFile))
            return paths;
        for (const auto& line : platform::ReadLines(task->FailedFile))
            paths.insert(task::SplitFailedLine(line).Path);
        return paths;
    }

    bool OnDiskOrListed(int x, int y, const std::set<std::string>& listed) const
    {
        const std::string path = task->GetTileFilePath(x, y);
        return platform::RegularFileSize(path) > 0 || listed.count(path) > 0;
    }

    // No worker's saved position passes a tile of its share that is neither
    // on disk nor in the failed list.
    void ExpectNoPositionPastAnUnsavedTile(const std::string& when)
    {
        const task::ProjectIni project = task::ProjectIni::Read(task->ProjectFile());
        if (project.State() != task::ProjectIni::Status::Read)
            return;
        const std::set<std::string> listed = FailedListPaths();
        const int workers = std::min(task::kThreadSlots, task->TileCount);
        for (int w = 0; w < workers; ++w) {
            const int px = project.ResumeX(w), py = project.ResumeY(w);
            if (px == 0 || py == 0)
                continue;
            const std::int64_t last = task->SequenceNumber(px, py);
            for (int x = task->Xmin; x <= task->Xmax; ++x)
                for (int y = task->Ymin; y <= task->Ymax; ++y) {
                    const std::int64_t seq = task->SequenceNumber(x, y);
                    if (seq <= last && task::KvTask::BelongsToWorker(seq, w, workers)) {
                        EXPECT_TRUE(OnDiskOrListed(x, y, listed))
                            << when << ": worker " << w + 1 << " passed " << task->GetTileFileName(x, y);
                    }
                }
        }
    }

    // After a run without faults: the whole task is there and said to be.
    void ExpectTaskComplete(const RunResult& run, const std::string& when)
    {
        const std::set<std::string> listed = FailedListPaths();
        for (int x = task->Xmin; x <= task->Xmax; ++x)
            for (int y = task->Ymin; y <= task->Ymax; ++y) {
                const std::string url = task->GetTileUrl(x, y);
                const std::string path = task->GetTileFilePath(x, y);
                if (refused.count(PathOf(url)))
                    EXPECT_TRUE(listed.count(path)) << when << ": " << path << " given up, not listed";
                else
                    EXPECT_EQ(ReadBytes(path), "tile:" + PathOf(url)) << when << ": " << path;
            }
        ExpectNoPositionPastAnUnsavedTile(when);
        const std::string total = std::to_string(task->TileCount);
        EXPECT_EQ(run.Summary.rfind("Summary: " + total + " of " + total + " tiles done", 0), 0u)
            << when << ": " << run.Summary;
        EXPECT_NE(run.Summary.find(" 0 not saved."), std::string::npos) << when << ": " << run.Summary;
        EXPECT_TRUE(TempFilesIn(saveRoot.Path()).empty()) << when;
        EXPECT_TRUE(platform::EndsWithLineEnd(task->LogFile)) << when;
        EXPECT_EQ(platform::ReadLines(task->LogFile).back(), "Log file has been saved as " + task->LogFile)
            << when;
        EXPECT_TRUE(run.Errors.empty()) << when << ": " << run.Errors.front();
    }

    void Reset() { std::filesystem::remove_all(input.SavePath); }

    TempFolder programFolder;
    TempFolder saveRoot;
    std::string iniFile;
    StartInput input;
    task::TaskParameters params;
    std::unique_ptr<task::KvTask> task;
    std::set<std::string> refused;
    std::unique_ptr<testing::TestServer> server;
};

// The walk: N over every file operation of the download, the disk full
// from operation N on (as long as the run lasts), or the process killed at
// operation N; then the task continued with the fault gone.
TEST_F(RecordsTest, DownloadFailedOrKilledAtAnyFileOperationContinuesToTheWholeTask)
{
    FaultScope scope;
    // How many operations a download without faults takes (the walk goes on
    // until a run ends before its fault, whatever timing makes that number).
    platform::fileops::StartCounting();
    const RunResult clean = RunDownload();
    const long long cleanOps = platform::fileops::OperationCount();
    platform::fileops::StopCounting();
    ExpectTaskComplete(clean, "clean run");
    ASSERT_EQ(task->TileCount, 12);
    ASSERT_GT(cleanOps, 60);

    long long struck = 0;
    for (long long n = 1;; ++n) {
        Reset();
        platform::fileops::ArmFault(n, FaultKind::FailFromNow, ENOSPC);
        const RunResult full = RunDownload();
        const bool reached = platform::fileops::OperationCount() >= n;
        platform::fileops::StopCounting();
        const std::string when = "disk full from operation " + std::to_string(n);
        ExpectNoPositionPastAnUnsavedTile(when);
        ExpectTaskComplete(RunDownload(), when + ", continued");
        if (!reached)
            break;
        ++struck;
        if (::testing::Test::HasFailure())
            return;
    }
    long long killed = 0;
    for (long long n = 1;; ++n) {
        Reset();
        const int status = RunInChild([&] {
            ::alarm(60); // a child that hangs fails the test instead of stalling it
            platform::fileops::ArmFault(n, FaultKind::Exit);
            RunDownload();
        });
        const std::string when = "killed at operation " + std::to_string(n);
        ASSERT_TRUE(status == 0 || status == platform::fileops::kFaultExitStatus) << when << ": " << status;
        ExpectNoPositionPastAnUnsavedTile(when);
        ExpectTaskComplete(RunDownload(), when + ", continued");
        if (status == 0)
            break;
        ++killed;
        if (::testing::Test::HasFailure())
            return;
    }
    std::printf("[ walk     ] %lld operations in a clean run; %lld runs with a full disk, %lld killed\n",
                cleanOps, struck, killed);
    EXPECT_GT(struck, 50);
    EXPECT_GT(killed, 50);
}

// A tile that cannot be written: the worker stops before it, the user reads
// why, the summary counts it as not saved (never "N of N done"), and Start
// fetches it once space is back.
TEST_F(RecordsTest, FullDiskIsToldAndItsTilesAreFetchedOnContinue)
{
    FaultScope scope;
    // Past the record files of Start and a few tiles.
    platform::fileops::ArmFault(40, FaultKind::FailFromNow, ENOSPC);
    const RunResult full = RunDownload();
    platform::fileops::StopCounting();
    const std::string told =
        "The disk is full: " + task->TileFolder + ". Free some space, then press Start to continue the task.";
    EXPECT_NE(std::find(full.Messages.begin(), full.Messages.end(), told), full.Messages.end());
    const std::string total = std::to_string(task->TileCount);
    EXPECT_EQ(full.Summary.find(total + " of " + total), std::string::npos) << full.Summary;
    EXPECT_EQ(full.Summary.find(" 0 not saved."), std::string::npos) << full.Summary;
    ExpectNoPositionPastAnUnsavedTile("disk full");
    ExpectTaskComplete(RunDownload(), "continued");
}

// The log and the failed list are on disk before the positions that pass
// their tiles: with the failed list unwritable once the run is under way,
// no position is saved (they used to be saved first).
TEST_F(RecordsTest, PositionsWaitForTheFailedListToBeOnDisk)
{
    server->SetHandler([this](const testing::RecordedRequest& r) {
        if (!refused.count(r.path))
            return testing::ScriptedReply::Ok("tile:" + r.path);
        std::error_code ec;
        if (!std::filesystem::is_directory(task->FailedFile, ec)) {
            std::filesystem::remove(task->FailedFile, ec);
            std::filesystem::create_directory(task->FailedFile, ec);
        }
        return testing::ScriptedReply::Status(500, "Internal Server Error");
    });
    const RunResult run = RunDownload();
    EXPECT_FALSE(run.Errors.empty());
    const task::ProjectIni project = task::ProjectIni::Read(task->ProjectFile());
    ASSERT_EQ(project.State(), task::ProjectIni::Status::Read);
    for (int w = 0; w < task::kThreadSlots; ++w)
        EXPECT_EQ(project.ResumeX(w), 0) << w;
}

// A log far longer than the window holds: continuing reads only its end,
// the window keeps a bounded tail, and the file gets every line, appended.
TEST_F(RecordsTest, ContinueFromALongLogReadsOnlyItsEnd)
{
    RunDownload();
    {
        std::string lines;
        for (int i = 0; i < 150000; ++i)
            lines += "T1:seq=" + std::to_string(i) + ",earlier.jpg OK\r\n";
        platform::AppendLines(task->LogFile, {});
        std::FILE* f = std::fopen(task->LogFile.c_str(), "ab");
        ASSERT_TRUE(f);
        std::fwrite(lines.data(), 1, lines.size(), f);
        std::fclose(f);
    }
    const std::string before = ReadBytes(task->LogFile);
    const RunResult run = RunDownload();
    EXPECT_LE(run.MemoLines, 112500u);
    EXPECT_GE(run.MemoLines, 100000u);
    const std::string after = ReadBytes(task->LogFile);
    ASSERT_GT(after.size(), before.size());
    EXPECT_EQ(after.compare(0, before.size(), before), 0);
    EXPECT_EQ(after.compare(before.size(), 46, std::string(44, '-') + "\r\n"), 0);
}

TEST(LogTail, WindowHoldsABoundedTailWhileTheFileGetsEveryLine)
{
    TempFolder dir;
    const std::string path = dir / "log.txt";
    WriteBytes(path, "header\r\n");
    LineList list(platform::ReadLines(path));
    LinesFileSaver saver;
    saver.AdoptTail(list, path);
    list.SetTailLimit(1000);
    list.KeepFrom(list.Total());
    std::string expected = "header\r\n";
    for (int i = 0; i < 20000; ++i) {
        const std::string line = "line " + std::to_string(i);
        list.Add(line);
        expected += line + "\r\n";
        if (i % 3000 == 2999) {
            saver.Save(list, path);
            list.KeepFrom(saver.LinesWritten());
        }
        // Unsaved lines stay however many there are.
        ASSERT_LE(list.Count(), std::max<std::uint64_t>(1125, list.Total() - saver.LinesWritten()));
    }
    EXPECT_EQ(list[list.Count() - 1], "line 19999");
    EXPECT_EQ(list.Total(), 20001u);
    saver.Save(list, path);
    EXPECT_TRUE(saver.LastSaveAppended());
    EXPECT_EQ(ReadBytes(path), expected);
}

// A failed list whose save fails while the disk stays full keeps its
// entries: it used to be rewritten from nothing after the first failure and
// stayed at 0 bytes.
TEST(LogTail, FailedListKeepsItsEntriesWhileTheDiskStaysFull)
{
    TempFolder dir;
    const std::string path = dir / "failed.ftl";
    const std::string earlier = "/t/a.png|http://h/a\r\n/t/b.png|http://h/b\r\n";
    WriteBytes(path, earlier);
    LineList list(platform::ReadLines(path));
    LinesFileSaver saver;
    saver.Adopt(list, path);
    {
        testing::FileSizeLimit full(earlier.size());
        for (int i = 0; i < 3; ++i) {
            list.Add("/t/c" + std::to_string(i) + ".png|http://h/c");
            EXPECT_THROW(saver.Save(list, path), platform::EFCreateError);
            EXPECT_EQ(ReadBytes(path), earlier) << i;
        }
    }
    saver.Save(list, path);
    EXPECT_EQ(ReadBytes(path),
              earlier + "/t/c0.png|http://h/c\r\n/t/c1.png|http://h/c\r\n/t/c2.png|http://h/c\r\n");
}

TEST(LogTail, FailedAppendIsWrittenOnceWhenSpaceComesBack)
{
    TempFolder dir;
    const std::string path = dir / "failed.ftl";
    LineList list;
    LinesFileSaver saver;
    WriteBytes(path, "");
    saver.AdoptTail(list, path);
    list.Add("/t/a.png|http://h/a");
    FaultScope scope;
    platform::fileops::ArmFault(2, FaultKind::FailOnce, ENOSPC); // the write
    EXPECT_THROW(saver.Save(list, path), platform::EFCreateError);
    EXPECT_EQ(ReadBytes(path), "");
    list.Add("/t/b.png|http://h/b");
    saver.Save(list, path);
    EXPECT_EQ(ReadBytes(path), "/t/a.png|http://h/a\r\n/t/b.png|http://h/b\r\n");
}

TEST(LogTail, MemoSaysEarlierLinesAreInTheFile)
{
    LineList list;
    for (int i = 0; i < 10; ++i)
        list.Add("line " + std::to_string(i));
    TMemo memo(list);
    memo.SetTrimNote("[earlier lines in the file]");
    memo.SetDisplayLimit(3);
    EXPECT_EQ(memo.toPlainText().toStdString(), "[earlier lines in the file]\nline 7\nline 8\nline 9");
    list.SetTailLimit(4);
    for (int i = 10; i < 20; ++i)
        list.Add("line " + std::to_string(i));
    memo.Sync();
    const std::string shown = memo.toPlainText().toStdString();
    EXPECT_NE(shown.find("line 19"), std::string::npos) << shown;
    EXPECT_EQ(shown.find("line 12"), std::string::npos) << shown;
}

class SettingsRecordsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramFolderForTests(programFolder.Path());
        std::filesystem::create_directory(programFolder / "ini");
        path = platform::SettingsFileName();
    }
    void TearDown() override { platform::SetProgramFolderForTests(""); }
    TempFolder programFolder;
    std::string path;
};

bool SameSet(const OptionsValues& a, const OptionsValues& b)
{
    return a.DefaultPath == b.DefaultPath && a.UseProxy == b.UseProxy && a.ProxyServer == b.ProxyServer &&
           a.ProxyPort == b.ProxyPort && a.ProxyUsername == b.ProxyUsername &&
           a.ProxyPassword == b.ProxyPassword;
}

// Six keys used to be six replacements: a kill between two left the old
// proxy server with the new user and password.
TEST_F(SettingsRecordsTest, KilledOptionsSaveLeavesTheOldSetOrTheNew)
{
    const OptionsValues oldSet{"/old/maps/", true, "old.proxy", "3128", "olduser", "oldpass"};
    const OptionsValues newSet{"/new/maps/", false, "new.proxy", "8080", "newuser", "newpass"};
    SaveOptions(path, oldSet);
    const std::string oldFile = ReadBytes(path);
    FaultScope scope;
    platform::fileops::StartCounting();
    SaveOptions(path, newSet);
    EXPECT_EQ(platform::fileops::OperationCount(), 5); // one replacement
    platform::fileops::StopCounting();
    int killed = 0;
    for (long long n = 1;; ++n) {
        WriteBytes(path, oldFile);
        const int status = RunInChild([&] {
            platform::fileops::ArmFault(n, FaultKind::Exit);
            SaveOptions(path, newSet);
        });
        const OptionsValues read = LoadOptions(path);
        EXPECT_TRUE(SameSet(read, oldSet) || SameSet(read, newSet)) << "operation " << n;
        if (status == 0)
            break;
        ASSERT_EQ(status, platform::fileops::kFaultExitStatus);
        ++killed;
    }
    EXPECT_EQ(killed, 5);
}

TEST_F(SettingsRecordsTest, SettingsFileHoldingAPasswordBecomesItsOwnersOnly)
{
    WriteBytes(path, "[IniParas]\r\nDefaultPath=/maps/\r\n");
    ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
    SaveOptions(path, OptionsValues{"/maps/", false, "", "", "", ""});
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u); // no secret in it: left as it was
    SaveOptions(path, OptionsValues{"/maps/", true, "proxy", "3128", "me", "secret"});
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

} // namespace

} // namespace kartivo::ui
