#pragma once
// How late the main thread runs its events while a benchmark loads it: a
// probe thread posts an event every 2 ms and the main thread notes how late
// each one runs. Start it before the load, Stop it after; Worst() is the
// figure the window benchmarks print.
#include <QObject>

#include <atomic>
#include <chrono>
#include <thread>

namespace kartivo::bench {

class LatencyProbe {
public:
    LatencyProbe()
        : thread_([this] {
              while (running_) {
                  const auto posted = std::chrono::steady_clock::now();
                  QMetaObject::invokeMethod(
                      &target_,
                      [this, posted] {
                          const double late = std::chrono::duration<double, std::milli>(
                                                  std::chrono::steady_clock::now() - posted)
                                                  .count();
                          if (late > worstMs_)
                              worstMs_ = late;
                          ++probes_;
                      },
                      Qt::QueuedConnection);
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          })
    {
    }
    ~LatencyProbe() { Stop(); }

    void Stop()
    {
        running_ = false;
        if (thread_.joinable())
            thread_.join();
    }
    double WorstMs() const { return worstMs_; }
    long Probes() const { return probes_; }

private:
    std::atomic<bool> running_{true};
    std::atomic<double> worstMs_{0};
    std::atomic<long> probes_{0};
    QObject target_;
    std::thread thread_; // last: starts once the members it uses exist
};

} // namespace kartivo::bench
