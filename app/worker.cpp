#include "app/worker.h"

#include <memory>

namespace px71app {
namespace {

class Locked {
public:
    explicit Locked(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~Locked() { ReleaseSRWLockExclusive(&lock_); }
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

private:
    SRWLOCK& lock_;
};

} // namespace

Worker::Worker(HWND window, UINT message)
    : window_(window), message_(message), thread_(CreateThread(nullptr, 0, Start, this, 0, nullptr))
{
}

Worker::~Worker()
{
    {
        const Locked locked(lock_);
        stopping_ = true;
        jobs_.clear();
    }
    WakeConditionVariable(&wake_);
    if (thread_) WaitForSingleObject(thread_.get(), INFINITE);
    // Finishes posted but never taken would leak: the window is going.
    MSG msg;
    while (PeekMessageW(&msg, window_, message_, message_, PM_REMOVE)) delete reinterpret_cast<Finish*>(msg.lParam);
}

void Worker::Post(Job job)
{
    {
        const Locked locked(lock_);
        jobs_.push_back(std::move(job));
    }
    WakeConditionVariable(&wake_);
}

void Worker::Run(LPARAM finish)
{
    const std::unique_ptr<Finish> owned(reinterpret_cast<Finish*>(finish));
    if (owned && *owned) (*owned)();
}

DWORD WINAPI Worker::Start(void* self)
{
    static_cast<Worker*>(self)->Loop();
    return 0;
}

void Worker::Loop()
{
    for (;;) {
        Job job;
        {
            const Locked locked(lock_);
            while (!stopping_ && jobs_.empty()) SleepConditionVariableSRW(&wake_, &lock_, INFINITE, 0);
            if (stopping_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        auto finish = std::make_unique<Finish>(job());
        if (PostMessageW(window_, message_, 0, reinterpret_cast<LPARAM>(finish.get()))) finish.release();
    }
}

} // namespace px71app
