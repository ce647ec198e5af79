// A test's routine on a thread of the library's own kind, with an event that says it has run.
#pragma once

#include <functional>

#include "tests/support/win32/ChildProcess.h"
#include "util/win32/Event.h"
#include "util/win32/Thread.h"

namespace ZintarTest {

// Runs `body` on its thread; signals `finished` when it has run.
class BodyThread : public ZintarUtil::Threading::Thread {
public:
    explicit BodyThread(std::function<std::uint32_t(BodyThread&)> body)
        : Thread("Test Body"), body(std::move(body)), finished(UniqueName("finished"), nullptr)
    {
        finished.RemoveSignal();
    }
    ~BodyThread() override
    {
        Stop();
        Join(ZintarUtil::InfiniteTimeout);
    }

    using Thread::StopRequested;
    ZintarUtil::Event& Finished() { return finished; }

protected:
    std::uint32_t Run() override
    {
        const std::uint32_t code = body(*this);
        finished.SetSignal();
        return code;
    }

private:
    std::function<std::uint32_t(BodyThread&)> body;
    ZintarUtil::Event finished;
};

}  // namespace ZintarTest
