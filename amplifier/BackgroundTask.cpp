#include "BackgroundTask.h"

#include <utility>

namespace sonolift {

TBackgroundTask::~TBackgroundTask() {
    if (!FThread.joinable()) return;
    {
        const std::lock_guard<std::mutex> Hold(FLock);
        FQuit = true;
    }
    FWake.notify_all();
    FThread.join();
}

void TBackgroundTask::Start(std::function<void()> Task) {
    {
        const std::lock_guard<std::mutex> Hold(FLock);
        FTask = std::move(Task);
        FFailure = nullptr;
    }
    if (FThread.joinable())
        FWake.notify_all();
    else
        FThread = std::thread([this] { Loop(); });
}

void TBackgroundTask::Wait() {
    std::unique_lock<std::mutex> Hold(FLock);
    FWake.wait(Hold, [this] { return !FTask; });
    if (FFailure) std::rethrow_exception(std::exchange(FFailure, nullptr));
}

void TBackgroundTask::Loop() {
    std::unique_lock<std::mutex> Hold(FLock);
    for (;;) {
        FWake.wait(Hold, [this] { return FQuit || FTask; });
        // a task still to run is run before the thread ends, so that Wait never waits in vain
        if (!FTask) return;
        Hold.unlock();
        std::exception_ptr Failure;
        try {
            FTask();
        } catch (...) {
            Failure = std::current_exception();
        }
        Hold.lock();
        FTask = nullptr;
        FFailure = Failure;
        FWake.notify_all();
    }
}

} // namespace sonolift
