// A thread that calls one callback again and again with a fixed pause between calls. Each pause
// starts when the previous call has returned: there is no schedule, and a late call is never
// made up.
#pragma once

#include <cstdint>
#include <string>

#include "util/win32/Mutex.h"
#include "util/win32/Thread.h"

namespace ZintarUtil {

class TimerCallback {
public:
    // May throw: the service behind it is destroyed through either of its bases.
    virtual ~TimerCallback() noexcept(false) = default;
    // Called on the timer's thread with the timer's id.
    virtual void OnTimer(std::uint32_t id) = 0;
};

class Timer : public Threading::Thread {
public:
    Timer(std::uint32_t id, const std::string& name);
    // Waits for a call under way, stops the thread and joins it. Must not run inside OnTimer.
    ~Timer() override;

    // The timer never deletes the callback.
    void SetCallback(TimerCallback* callback);
    // May be called at any time: a long pause takes a new period at its next one-second step,
    // a short one from the next pause on.
    void SetPeriod(std::uint32_t milliseconds);

    void Start() override;
    // No call begins after Stop returns, except one already under way.
    void Stop() override;

protected:
    std::uint32_t Run() override;

private:
    std::uint32_t Period();
    TimerCallback* Callback();
    // Sleeps one period, in one-second steps when it is longer than a second so that a stop
    // request ends it within about a second.
    void Pause(std::uint32_t& period);

    Mutex periodLock;
    std::uint32_t period = 0;
    Mutex runLock;
    Mutex callbackLock;
    TimerCallback* callback = nullptr;
    std::uint32_t id;
};

}  // namespace ZintarUtil
