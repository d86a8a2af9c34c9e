// The one thread that talks to PX71Service for the window, so that a slow or busy
// service never freezes it. A job runs there and gives back what the window does with
// its result, which runs on the window's thread when the window's message comes.
#pragma once

#include "platform/win32.h"

#include "platform/handles.h"

#include <deque>
#include <functional>

namespace px71app {

class Worker {
public:
    using Finish = std::function<void()>;  // runs on the window's thread
    using Job = std::function<Finish()>;   // runs on the worker's thread

    // Finishes reach `window` as `message`, with a Finish* in lParam; the window calls
    // Worker::Run on it.
    Worker(HWND window, UINT message);
    // Waits for the job in hand, drops those queued, and frees the finishes not yet run.
    ~Worker();
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    void Post(Job job);
    static void Run(LPARAM finish);

private:
    static DWORD WINAPI Start(void* self);
    void Loop();

    HWND window_;
    UINT message_;
    // Win32's own lock and condition: the cross compiler's threads model has no std::mutex.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE wake_ = CONDITION_VARIABLE_INIT;
    std::deque<Job> jobs_;
    bool stopping_ = false;
    px71::UniqueHandle thread_;
};

} // namespace px71app
