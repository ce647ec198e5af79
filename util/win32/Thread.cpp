#include "util/win32/Thread.h"

#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/win32/WaitFunctions.h"

namespace ZintarUtil::Threading {

using Exceptions::ExceptionBase;
using Exceptions::ExceptionWindows;

namespace {

// Names the calling thread for debuggers where the system offers it (Windows 10 and later).
void DescribeCurrentThread(const std::string& name)
{
    using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
    static const auto setDescription = reinterpret_cast<SetDescription>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetThreadDescription")));
    if (setDescription == nullptr || name.empty())
        return;
    std::wstring wide(name.begin(), name.end());
    setDescription(GetCurrentThread(), wide.c_str());
}

}  // namespace

Thread::Thread(const std::string& name) : name(name) {}

Thread::~Thread() noexcept(false)
{
    if (threadHandle && GetCurrentThreadId() != threadId) {
        Mutex::Access access(lock, InfiniteTimeout);
        if (threadHandle) {
            const BOOL terminated = TerminateThread(threadHandle.Get(), 1);
            threadHandle.Reset();
            if (terminated != 1)
                throw ExceptionWindows("Failed to terminate thread, TerminateThread() did not succeed");
        }
    }
}

void Thread::Start()
{
    // `lock` is held until the handle is stored, so the new thread cannot reach its clean-up,
    // which takes `lock`, before its handle is recorded, however quickly Run ends.
    Mutex::Access access(lock, InfiniteTimeout);
    // A run that a join gave up on may still be going: a second one beside it would share every
    // member (two loops of one timer), so the start fails instead.
    if (threadHandle)
        throw ExceptionBase("Failed to start Thread object, its previous run has not ended");
    {
        Mutex::Access stop(stopLock, InfiniteTimeout);
        stopRequested = false;
    }
    threadHandle.Reset(CreateThread(nullptr, 0, &Thread::ThreadStart, this, 0, nullptr));
    if (!threadHandle)
        throw ExceptionWindows("Failed to start Thread object, invalid handle returned by CreateThread()");
}

void Thread::Stop()
{
    Mutex::Access access(stopLock, InfiniteTimeout);
    stopRequested = true;
}

bool Thread::StopRequested()
{
    Mutex::Access access(stopLock, InfiniteTimeout);
    return stopRequested;
}

bool Thread::Join(Timeout& timeout)
{
    // The ending thread closes its own handle in its clean-up, so the wait uses a duplicate made
    // under `lock`, which stays valid whatever the thread does meanwhile.
    UniqueHandle running;
    {
        Mutex::Access access(lock, timeout);
        if (!threadHandle)
            return true;
        if (!DuplicateHandle(GetCurrentProcess(), threadHandle.Get(), GetCurrentProcess(), running.Put(), SYNCHRONIZE,
                             FALSE, 0))
            throw ExceptionWindows("Failed to wait for Thread object in Join()");
    }
    const DWORD result = WaitForSingleObject(running.Get(), timeout.Remaining());
    if (result == WAIT_FAILED)
        throw ExceptionWindows("Failed to wait for Thread object in Join()");
    return result == WAIT_OBJECT_0;
}

void Thread::Pause()
{
    Mutex::Access access(lock, InfiniteTimeout);
    if (SuspendThread(threadHandle.Get()) == 0xFFFFFFFF)
        throw ExceptionWindows("Failed to pause Thread object, SuspendThread() failed");
}

void Thread::Resume()
{
    Mutex::Access access(lock, InfiniteTimeout);
    if (ResumeThread(threadHandle.Get()) == 0xFFFFFFFF)
        throw ExceptionWindows("Failed to resume paused Thread object, ResumeThread() failed");
}

bool Thread::CleanUpAfterRun()
{
    Mutex::Access access(lock, InfiniteTimeout);
    threadHandle.Reset();
    return autoDelete;
}

DWORD WINAPI Thread::ThreadStart(LPVOID parameter)
{
    try {
        auto* thread = static_cast<Thread*>(parameter);
        if (thread == nullptr)
            throw ExceptionBase("Thread started with null pointer in ThreadStart(this)");
        DWORD exitCode = 0xFFFFFFFF;
        thread->threadId = GetCurrentThreadId();
        DescribeCurrentThread(thread->name);
        try {
            exitCode = thread->Run();
        } catch (const ExceptionBase& e) {
            if (thread->CleanUpAfterRun())
                delete thread;
            throw ExceptionBase("Exception occured during thread Run()", &e);
        }
        if (thread->CleanUpAfterRun())
            delete thread;
        return exitCode;
    } catch (const ExceptionBase& e) {
        WriteLog("Thread terminated due to unhandled exception : " + e.GetFullMessage("\n"));
    } catch (...) {
        WriteLog("Thread terminated due to an unknown, unhandled exception.");
    }
    return 0xFFFFFFFF;
}

}  // namespace ZintarUtil::Threading
