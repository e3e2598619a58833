#pragma once
// The main window under test: its own program folder (with ini/config.ini)
// and save folder, dialogs answered by a recorder, the Qt dispatcher for the
// workers' Synchronize, pauses removed or held at a gate, the scriptable
// test server as the proxy named in the settings file, and the progress
// timer driven by the test (Timer1Timer) instead of the clock.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/TextFile.h"
#include "platform/Threads.h"
#include "platform/qt/QtDispatcher.h"
#include "tests/support/FileBytes.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestServer.h"
#include "ui/qt/Controls.h"
#include "ui/qt/Unit1.h"

namespace kartivo::testing {

inline const std::string kTileBody = std::string("\x89PNG\r\n\x1a\n", 8) + "tile bytes";

// Runs the Qt event loop (and with it the workers' synchronized calls) until
// the condition holds or the time-out passes.
inline bool PumpUntil(const std::function<bool()>& condition, int timeoutMs = 30000)
{
    if (condition())
        return true;
    QElapsedTimer clock;
    clock.start();
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(2);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (condition() || clock.elapsed() > timeoutMs)
            loop.quit();
    });
    poll.start();
    loop.exec();
    return condition();
}

// Holds every worker in its pause after a saved tile until opened.
class PauseGate {
public:
    void Close()
    {
        std::lock_guard<std::mutex> l(m_);
        open_ = false;
    }
    void Open()
    {
        {
            std::lock_guard<std::mutex> l(m_);
            open_ = true;
        }
        cv_.notify_all();
    }
    int Waiting() const
    {
        std::lock_guard<std::mutex> l(m_);
        return waiting_;
    }
    void Pause(int ms)
    {
        // A worker's first pause is its start-up stagger (index x 100 ms,
        // 500 ms for the sixth): it passes, as do the retry pauses.
        thread_local int pauses = 0;
        if (pauses++ == 0 || ms != 500)
            return;
        std::unique_lock<std::mutex> l(m_);
        ++waiting_;
        cv_.wait(l, [&] { return open_; });
        --waiting_;
    }

private:
    mutable std::mutex m_;
    std::condition_variable cv_;
    bool open_ = true;
    int waiting_ = 0;
};

class MainWindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::SetProgramFolderForTests(programFolder.Path());
        std::filesystem::create_directory(programFolder.Path() + "ini");
        platform::SetDialogs(&dialogs);
        dispatcher = std::make_unique<platform::qt::QtMainDispatcher>();
        platform::SetMainDispatcher(dispatcher.get());
        gate = std::make_shared<PauseGate>();
        platform::SetSleepHook([g = gate](int ms) { g->Pause(ms); });
        savePath = saveRoot.Path() + "maps";
    }

    void TearDown() override
    {
        gate->Open();
        form.reset(); // releases any worker still held
        platform::SetMainDispatcher(nullptr);
        dispatcher.reset();
        platform::SetSleepHook({});
        platform::SetDialogs(nullptr);
        platform::SetProgramFolderForTests("");
    }

    std::string IniPath() const { return programFolder.Path() + "ini/config.ini"; }
    void WriteSettings(const std::string& text) { WriteBytes(IniPath(), text); }

    // The test server as the proxy, answering every tile with kTileBody.
    void UseTestServerAsProxy(const std::string& extra = "")
    {
        server = std::make_unique<TestServer>();
        server->SetHandler([](const RecordedRequest&) { return ScriptedReply::Ok(kTileBody); });
        WriteSettings("[Proxy]\r\nUseProxy=1\r\nProxyServer=127.0.0.1\r\nProxyPort=" +
                      std::to_string(server->Port()) + "\r\n" + extra);
    }

    // Creates and shows the window with its other windows, as start-up
    // does; the timer is left to the test, and the progress count reads
    // the test's clock (`now`).
    void OpenWindow()
    {
        form = std::make_unique<ui::TForm1>(*dispatcher);
        form->CreateProgramWindows();
        form->Timer1->setInterval(24 * 3600 * 1000);
        form->Controller().Progress.SetClock([this] { return now; });
        form->show();
    }
    // Moves the test's clock on.
    void Advance(std::chrono::milliseconds by) { now += by; }

    // An area of a few tiles at zoom 12.
    void TypeSmallArea(const std::string& taskName = "newtask.kvpd")
    {
        form->Edit1->setText("12.5");
        form->Edit3->setText("12.6");
        form->Edit2->setText("45.55");
        form->Edit4->setText("45.5");
        form->UpDown1->SetPosition(12);
        form->Edit6->setText(QString::fromStdString(savePath));
        form->EditTaskName->setText(QString::fromStdString(taskName));
    }

    // An area where each of the 8 workers has several tiles (about 24).
    void TypeLargerArea()
    {
        TypeSmallArea();
        form->Edit3->setText("13");
        form->Edit2->setText("45.7");
    }

    // Starts a download of the larger area through the test server with the
    // pause gate closed, so each worker stops in its pause after its first
    // saved tile. Returns the number of workers.
    int StartHeldDownload()
    {
        UseTestServerAsProxy();
        OpenWindow();
        TypeLargerArea();
        gate->Close();
        form->BitBtn1Click();
        return C().CurrentTask->Params.ThreadCount;
    }

    ui::DownloadController& C() { return form->Controller(); }
    std::string Caption() const { return form->BitBtn1->text().toStdString(); }

    void WaitForWorkersDone()
    {
        ASSERT_TRUE(PumpUntil([&] { return C().RunningWorkers == 0; }));
    }

    // Runs the download to its end: workers done, then the tick that ends it.
    void RunToEnd()
    {
        WaitForWorkersDone();
        form->Timer1Timer();
        ASSERT_EQ(Caption(), "Start");
    }

    std::vector<std::string> LogFileLines() { return platform::ReadLines(C().CurrentTask->LogFile); }

    TempFolder programFolder;
    TempFolder saveRoot;
    std::string savePath;
    platform::RecordingDialogs dialogs;
    std::unique_ptr<platform::qt::QtMainDispatcher> dispatcher;
    std::shared_ptr<PauseGate> gate;
    std::unique_ptr<TestServer> server;
    std::unique_ptr<ui::TForm1> form;
    ui::DownloadProgress::Clock::time_point now{std::chrono::hours(1)};
};

} // namespace kartivo::testing
