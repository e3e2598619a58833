#pragma once
// Work off the main thread, done one way in every window: a BackgroundJob
// runs one function on a std::jthread of its own with a std::stop_token,
// carries what the function sends and its result to the main thread, and
// stops it and waits for it, within a bound, when its owner goes.
//
// How work ends when its owner goes (a window closed for good, the program
// ending). The same rule holds for the main window's download workers.
//  1. It is asked to stop. For a job: its stop token is set and the
//     std::stop_callbacks registered on it run. Work that may block where no
//     token reaches registers one that unblocks it (TIdHTTP::Abort makes a
//     Get in progress fail at once instead of after its time-outs).
//  2. The owner waits for it at most kStopWait.
//  3. Work still running then is left to end on its own. It may touch only
//     what it holds itself (shared pointers, copies), never its owner; what
//     it still sends to the main thread is dropped. The program does not tear
//     itself down under such work: RunWindowProgram ends it with quick_exit
//     once its windows are gone (LeftBehind() counts these jobs).
//
// Life of a job: Start(work, done, failed) on the main thread -> work(token)
// runs on the job's thread, sending with a Poster what the window is to see
// -> work returns a result, or throws -> done(result), or failed(text) for an
// exception, runs on the main thread -> Running() is false again and the job
// can be started anew.
#include <QObject>

#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <utility>

namespace kartivo::platform::qt {

class BackgroundJob {
    struct Shared;

public:
    // How long an owner waits for work it asked to stop.
    static constexpr std::chrono::milliseconds kStopWait{10000};

    // Carries calls from the job's thread (or any thread) to the main thread,
    // in the order sent, while the job's owner lives; dropped once it has gone.
    // Never blocks. Copies may be kept by the work.
    class Poster {
    public:
        void operator()(std::function<void()> fn) const;

    private:
        friend class BackgroundJob;
        explicit Poster(std::shared_ptr<Shared> shared) : shared_(std::move(shared)) {}
        std::shared_ptr<Shared> shared_;
    };

    // On the main thread. `stopWait` is how long the destructor waits.
    explicit BackgroundJob(std::chrono::milliseconds stopWait = kStopWait);
    // Asks work still running to stop and waits for it at most stopWait;
    // then leaves it behind.
    ~BackgroundJob();
    BackgroundJob(const BackgroundJob&) = delete;
    BackgroundJob& operator=(const BackgroundJob&) = delete;

    // Runs `work` on a new thread. Its result goes to `done` on the main
    // thread; an exception escaping it goes to `failed` as its text. Neither
    // runs once the job has gone. Only while !Running().
    template <class Result>
    void Start(std::function<Result(std::stop_token)> work, std::function<void(Result)> done,
               std::function<void(const std::string&)> failed);

    Poster MainThread() const { return Poster(shared_); }
    // Started, and done or failed not yet run.
    bool Running() const { return running_; }
    // Sets the stop token of the work running (its stop callbacks run here).
    void RequestStop();
    // Waits at most `bound` for the work's thread to end; true when it has
    // (or none runs). What it posted meanwhile is still to be delivered.
    bool WaitFor(std::chrono::milliseconds bound);
    // WaitFor, then runs at once, on this (the main) thread, what the work
    // has posted so far: its done or failed among them once it has ended.
    bool Finish(std::chrono::milliseconds bound);

    // Jobs whose owners went while they ran and that have not ended yet.
    static int LeftBehind();

private:
    void Launch(std::function<void(std::stop_token, const Poster&)> body);
    void Finished() { running_ = false; }

    std::chrono::milliseconds stopWait_;
    std::shared_ptr<Shared> shared_;
    std::jthread thread_;
    bool running_ = false;
};

template <class Result>
void BackgroundJob::Start(std::function<Result(std::stop_token)> work, std::function<void(Result)> done,
                          std::function<void(const std::string&)> failed)
{
    // `this` crosses to the job's thread only inside calls the Poster
    // delivers, which run on the main thread while this job lives.
    Launch([this, work = std::move(work), done = std::move(done),
            failed = std::move(failed)](std::stop_token stop, const Poster& post) mutable {
        std::function<void()> deliver;
        try {
            deliver = [this, done, result = work(std::move(stop))]() mutable {
                Finished();
                done(std::move(result));
            };
        } catch (const std::exception& e) {
            deliver = [this, failed, text = std::string(e.what())] {
                Finished();
                failed(text);
            };
        } catch (...) {
            deliver = [this, failed] {
                Finished();
                failed("The work ended on an unknown error.");
            };
        }
        post(std::move(deliver));
    });
}

} // namespace kartivo::platform::qt
