// One task at a time on a thread of its own, started with the first task: the engine's output
// is written there while it amplifies the next stretch.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>

namespace sonolift {

class TBackgroundTask {
public:
    TBackgroundTask() = default;
    // Waits for the task and ends the thread; never throws.
    ~TBackgroundTask();
    TBackgroundTask(const TBackgroundTask&) = delete;
    TBackgroundTask& operator=(const TBackgroundTask&) = delete;

    // Runs Task on the thread; the task before it must have been waited for.
    void Start(std::function<void()> Task);
    // Waits for the task started last; raises what it raised.
    void Wait();

private:
    void Loop();

    std::mutex FLock;
    std::condition_variable FWake;
    std::function<void()> FTask; // set while a task waits or runs
    std::exception_ptr FFailure;
    bool FQuit = false;
    std::thread FThread; // last: started once the members it uses are there
};

} // namespace sonolift
