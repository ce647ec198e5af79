#include "util/win32/Timer.h"

namespace ZintarUtil {

Timer::Timer(std::uint32_t id, const std::string& name) : Thread("Timer " + name), id(id) {}

Timer::~Timer()
{
    {
        Mutex::Access running(runLock, InfiniteTimeout);  // waits while OnTimer runs, only then
        Mutex::Access access(callbackLock, InfiniteTimeout);
        callback = nullptr;
    }
    {
        Mutex::Access access(callbackLock, InfiniteTimeout);
        callback = nullptr;
    }
    Thread::Stop();
    Join(InfiniteTimeout);
}

void Timer::SetCallback(TimerCallback* newCallback)
{
    Mutex::Access access(callbackLock, InfiniteTimeout);
    callback = newCallback;
}

void Timer::SetPeriod(std::uint32_t milliseconds)
{
    Mutex::Access access(periodLock, InfiniteTimeout);
    period = milliseconds;
}

void Timer::Start()
{
    // The new thread's Run begins by taking runLock, so it cannot enter its loop before Start
    // has returned.
    Mutex::Access access(runLock, InfiniteTimeout);
    Thread::Start();
}

void Timer::Stop()
{
    {
        Mutex::Access access(callbackLock, InfiniteTimeout);
        callback = nullptr;
    }
    Thread::Stop();
}

std::uint32_t Timer::Period()
{
    Mutex::Access access(periodLock, InfiniteTimeout);
    return period;
}

TimerCallback* Timer::Callback()
{
    Mutex::Access access(callbackLock, InfiniteTimeout);
    return callback;
}

void Timer::Pause(std::uint32_t& pause)
{
    if (pause <= 1000) {
        Sleep(pause);
        pause = Period();
        return;
    }
    // A period above a second is slept in one-second steps until the clock has passed the
    // deadline, so it lasts the period rounded up to whole seconds; each step first looks for a
    // stop request and afterwards takes a new period into the deadline.
    const std::int32_t start = ClockMilliseconds();
    auto deadline = static_cast<std::int32_t>(static_cast<std::uint32_t>(start) + pause);
    while (static_cast<std::int32_t>(static_cast<std::uint32_t>(ClockMilliseconds()) -
                                     static_cast<std::uint32_t>(deadline)) < 0) {
        if (StopRequested())
            return;
        Sleep(1000);
        pause = Period();
        deadline = static_cast<std::int32_t>(static_cast<std::uint32_t>(start) + pause);
    }
}

std::uint32_t Timer::Run()
{
    Mutex::Access running(runLock, InfiniteTimeout);
    std::uint32_t pause = Period();
    if (!StopRequested()) {
        for (;;) {
            running.Release();
            Pause(pause);
            running.Acquire(InfiniteTimeout);
            if (TimerCallback* target = Callback())
                target->OnTimer(id);
            if (StopRequested())
                break;
        }
    }
    running.Release();
    return 0;
}

}  // namespace ZintarUtil
