// Where a download stands: the count of a task's tiles from the outcomes the
// workers report, the rate and time left on a clock the test moves, the texts of the
// status bar and of the summary line, and the same through the main window
// for a new task, a continued one and one whose workers all stop early.
#include "tests/ui/MainWindowFixture.h"

#include <QTextLayout>

#include <QLabel>
#include <QProgressBar>
#include <map>
#include <mutex>

#include "ui/DownloadProgress.h"

namespace kartivo::ui {

using testing::ScriptedReply;

using namespace std::chrono_literals;

namespace {

const std::string kDot = " \xC2\xB7 ";

// ---- the count on its own -----------------------------------------------------

using download::TileOutcome;

class ProgressCount : public ::testing::Test {
protected:
    ProgressCount() : progress([this] { return now; }) {}
    void End(TileOutcome outcome, int times = 1)
    {
        for (int i = 0; i < times; ++i)
            progress.OnTileEnded({1, 2 + i, outcome});
    }
    void Tick(std::chrono::milliseconds after = 1s)
    {
        now += after;
        progress.Sample();
    }
    DownloadProgress::Clock::time_point now{1h};
    DownloadProgress progress;
};

TEST_F(ProgressCount, EachTileCountsOnceByHowItEnded)
{
    progress.Begin(10, 0);
    End(TileOutcome::Saved);
    End(TileOutcome::NotSaved);
    End(TileOutcome::Blank);
    End(TileOutcome::Failed);
    // Banned: the worker stops at the tile, which Start requests again.
    End(TileOutcome::Stopped);

    const TileCounts& c = progress.Counts();
    EXPECT_EQ(c.Saved, 1);
    EXPECT_EQ(c.NotSaved, 1);
    EXPECT_EQ(c.Blank, 1);
    EXPECT_EQ(c.Failed, 1);
    EXPECT_EQ(c.Stopped, 1);
    EXPECT_EQ(progress.Done(), 3); // neither the tile not written nor the stopped one is done
    EXPECT_EQ(progress.Left(), 7);
    EXPECT_EQ(progress.CountsText(), "saved 1" + kDot + "blank 1" + kDot + "failed 1" + kDot + "not saved 1");
    EXPECT_EQ(progress.Permille(), 300);
}

TEST_F(ProgressCount, RateOverTheLastThirtySecondsAndTimeLeftAfterTen)
{
    progress.Begin(50'000, 0);
    auto finish = [&](int tiles) { End(TileOutcome::Saved, tiles); };
    EXPECT_EQ(progress.StatusText(), "0 of 50,000 tiles (0.0 %)" + kDot + "estimating...");

    for (int s = 1; s <= 9; ++s) {
        finish(16);
        Tick();
    }
    EXPECT_DOUBLE_EQ(progress.Rate(), 16.0);
    EXPECT_LT(progress.SecondsLeft(), 0); // 9 s of data
    EXPECT_EQ(progress.StatusText(),
              "144 of 50,000 tiles (0.3 %)" + kDot + "16.0 tiles/s" + kDot + "estimating...");
    finish(16);
    Tick();
    // 10 s: (50,000 - 160) / 16 = 3115 s, nearest minute 52.
    EXPECT_EQ(progress.StatusText(),
              "160 of 50,000 tiles (0.3 %)" + kDot + "16.0 tiles/s" + kDot + "about 52 min left");

    // 40 s at 4 tiles/s: the first ten seconds have left the window.
    for (int s = 0; s < 40; ++s) {
        finish(4);
        Tick();
    }
    EXPECT_DOUBLE_EQ(progress.Rate(), 4.0);
    // Nothing for 30 s: the rate falls to 0 and no time is promised.
    for (int s = 0; s < 30; ++s)
        Tick();
    EXPECT_DOUBLE_EQ(progress.Rate(), 0.0);
    EXPECT_LT(progress.SecondsLeft(), 0);
    EXPECT_EQ(progress.StatusText(),
              "320 of 50,000 tiles (0.6 %)" + kDot + "0.0 tiles/s" + kDot + "estimating...");
}

TEST_F(ProgressCount, SummaryOfAFinishedAContinuedAndAStoppedTask)
{
    progress.Begin(3, 0);
    End(TileOutcome::Saved, 2);
    End(TileOutcome::NotSaved);
    now += 52min + 10s;
    // The tile that could not be written is not done: it is left for Start.
    EXPECT_EQ(progress.Summary(),
              "Summary: 2 of 3 tiles done in 52 min 10 s: 2 saved, 0 blank, 0 failed, "
              "1 not saved. 1 tile left: Start continues the task.");

    progress.Begin(50'000, 20'000);
    EXPECT_EQ(progress.Permille(), 400);
    End(TileOutcome::Saved);
    EXPECT_EQ(progress.Summary(),
              "Summary: 20,001 of 50,000 tiles done in 0 s: 20,000 done before, 1 saved, 0 blank, "
              "0 failed, 0 not saved. 29,999 tiles left: Start continues the task.");
    progress.Begin(2, 1);
    EXPECT_EQ(progress.Summary(),
              "Summary: 1 of 2 tiles done in 0 s: 1 done before, 0 saved, 0 blank, 0 failed, 0 not saved. "
              "1 tile left: Start continues the task.");
}

// ---- through the main window ------------------------------------------------

class ProgressWindowTest : public testing::MainWindowTest {
protected:
    // The status text as read, no-break spaces read as blanks.
    std::string Status() const
    {
        return form->LabelProgress->text().replace(QChar(0x00A0), QChar(' ')).toStdString();
    }
    std::string Counts() const { return form->LabelCounts->text().toStdString(); }
    std::string SummaryLine()
    {
        // The line before the last run's closing lines.
        const auto log = LogFileLines();
        const auto end = std::find(log.rbegin(), log.rend(), std::string(32, '-'));
        return log.rend() - end >= 3 ? *(end + 2) : std::string();
    }
};

TEST_F(ProgressWindowTest, NewTaskCountsEveryOutcomeAndEndsWithItsSummary)
{
    // Of the 24 tiles, by the order they are first asked for: every sixth is
    // not on the server (blank), every sixth after it fails (given up), the
    // rest arrive.
    std::mutex m;
    std::map<std::string, int> order;
    UseTestServerAsProxy();
    server->SetHandler([&](const testing::RecordedRequest& r) {
        std::lock_guard<std::mutex> l(m);
        const int n = order.emplace(r.target, static_cast<int>(order.size())).first->second;
        if (n % 6 == 0)
            return ScriptedReply::Status(404, "Not Found");
        if (n % 6 == 1)
            return ScriptedReply::Status(500, "Internal Server Error");
        return ScriptedReply::Ok(testing::kTileBody);
    });
    OpenWindow();
    TypeLargerArea();
    EXPECT_TRUE(form->StatusPanel->isVisible());
    EXPECT_FALSE(form->ProgressPanel->isVisible());
    form->BitBtn1Click();
    ASSERT_EQ(C().CurrentTask->TileCount, 24);

    EXPECT_FALSE(form->StatusPanel->isVisible());
    EXPECT_TRUE(form->ProgressPanel->isVisible());
    EXPECT_EQ(Status(), "0 of 24 tiles (0.0 %)" + kDot + "estimating...");
    EXPECT_EQ(form->ProgressBar1->value(), 0);

    WaitForWorkersDone();
    Advance(2min + 5s);
    form->Timer1Timer();
    ASSERT_EQ(Caption(), "Start");

    const std::string summary =
        "Summary: 24 of 24 tiles done in 2 min 5 s: 16 saved, 4 blank, 4 failed, 0 not saved.";
    EXPECT_EQ(SummaryLine(), summary);
    EXPECT_EQ(C().Memo2Lines.Count(), 4u);
    // The status bar keeps the summary after "Task stoped!".
    EXPECT_EQ(dialogs.messages, std::vector<std::string>{"Task stoped!                    "});
    EXPECT_EQ(Status(), summary);
    EXPECT_FALSE(form->LabelCounts->isVisible());
    EXPECT_EQ(form->ProgressBar1->value(), 1000);
}

TEST_F(ProgressWindowTest, StoppedTaskSaysWhatIsLeftAndItsContinuationStartsThere)
{
    const int workers = StartHeldDownload();
    ASSERT_EQ(workers, 8);
    ASSERT_TRUE(testing::PumpUntil([&] { return gate->Waiting() == workers; }));

    // Every worker has saved one tile: 8 in the first second, then none.
    Advance(1s);
    form->Timer1Timer();
    EXPECT_EQ(Status(), "8 of 24 tiles (33.3 %)" + kDot + "8.0 tiles/s" + kDot + "estimating...");
    EXPECT_EQ(Counts(), "saved 8" + kDot + "blank 0" + kDot + "failed 0");
    EXPECT_EQ(form->ProgressBar1->value(), 333);
    Advance(10s);
    form->Timer1Timer();
    // 8 tiles in 11 s; 16 left at that rate: 22 s.
    EXPECT_EQ(Status(), "8 of 24 tiles (33.3 %)" + kDot + "0.7 tiles/s" + kDot + "about 22 s left");

    form->BitBtn1Click(); // Stop
    gate->Open();
    Advance(9s);
    RunToEnd();
    EXPECT_EQ(SummaryLine(),
              "Summary: 8 of 24 tiles done in 20 s: 8 saved, 0 blank, 0 failed, 0 not saved. "
              "16 tiles left: Start continues the task.");

    // Start again: the bar begins where the workers' positions put it.
    form->BitBtn1Click();
    ASSERT_TRUE(C().CurrentTask->Params.ContinueTask);
    EXPECT_EQ(Status(), "8 of 24 tiles (33.3 %)" + kDot + "estimating...");
    Advance(30s);
    RunToEnd();
    EXPECT_EQ(
        SummaryLine(),
        "Summary: 24 of 24 tiles done in 30 s: 8 done before, 16 saved, 0 blank, 0 failed, 0 not saved.");
    EXPECT_EQ(server->RequestCount(), 24u);
}

TEST_F(ProgressWindowTest, WorkersThatAllStopEarlyLeaveEveryTileToStart)
{
    UseTestServerAsProxy();
    server->SetHandler(
        [](const testing::RecordedRequest&) { return ScriptedReply::Status(403, "Forbidden"); });
    OpenWindow();
    TypeLargerArea();
    form->BitBtn1Click();
    RunToEnd();

    // Each worker stopped at its first tile, which is in the failed list and
    // which Start requests again: none of them is done.
    EXPECT_EQ(C().Memo2Lines.Count(), 8u);
    EXPECT_EQ(SummaryLine(),
              "Summary: 0 of 24 tiles done in 0 s: 0 saved, 0 blank, 0 failed, 0 not saved. "
              "24 tiles left: Start continues the task.");
    EXPECT_EQ(Status(), SummaryLine());
    EXPECT_EQ(form->ProgressBar1->value(), 0);
}

// The status bar's summary wraps at the window's width; whatever the width,
// no line holds one word alone and no number is parted from its unit.
TEST_F(ProgressWindowTest, SummaryNeverLeavesAWordOnALineOfItsOwn)
{
    StartHeldDownload();
    ASSERT_TRUE(testing::PumpUntil([&] { return gate->Waiting() == C().CurrentTask->Params.ThreadCount; }));
    form->BitBtn1Click(); // Stop
    gate->Open();
    RunToEnd();
    const std::string summary = SummaryLine();
    ASSERT_NE(summary.find("tiles left: Start continues the task."), std::string::npos) << summary;

    const QString shown = form->LabelProgress->text();
    EXPECT_EQ(shown.toStdString(), DownloadProgress::KeepWordsTogether(summary));
    int wrapped = 0;
    for (int width = 120; width <= 900; width += 3) {
        QTextLayout layout(shown, form->LabelProgress->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        std::vector<QString> lines;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines.push_back(shown.mid(line.textStart(), line.textLength()).trimmed());
        }
        layout.endLayout();
        if (lines.size() > 1)
            ++wrapped;
        for (const QString& line : lines) {
            SCOPED_TRACE(::testing::Message() << width << " px: \"" << line.toStdString() << '"');
            EXPECT_TRUE(line.contains(' ') || line.contains(QChar(0x00A0)));
            EXPECT_FALSE(line.startsWith("tiles") || line.startsWith("s:"));
        }
    }
    EXPECT_GT(wrapped, 10); // the widths tried do wrap it
    EXPECT_EQ(DownloadProgress::KeepWordsTogether("12 of 40 tiles left: Start continues it."),
              "12\u00a0of 40\u00a0tiles left: Start continues\u00a0it.");
}

} // namespace

} // namespace kartivo::ui
