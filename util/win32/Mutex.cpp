#include "util/win32/Mutex.h"

#include "util/Exceptions.h"
#include "util/win32/WaitFunctions.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;

namespace {

UniqueHandle CreateLockEvent(SECURITY_ATTRIBUTES* securityAttributes, const std::string& name)
{
    try {
        return CreateSharedEvent(securityAttributes, false, true, name);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to create Mutex object", &e);
    }
}

UniqueHandle OpenLockEvent(const std::string& name, OpenRights rights)
{
    try {
        return OpenExistingEvent(name, rights);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to open Mutex object", &e);
    }
}

}  // namespace

Mutex::Mutex() : handle(CreateLockEvent(nullptr, std::string())) {}

Mutex::Mutex(const std::string& name, SECURITY_ATTRIBUTES* securityAttributes)
    : handle(CreateLockEvent(securityAttributes, name))
{
}

Mutex::Mutex(const std::string& name, OpenRights rights) : handle(OpenLockEvent(name, rights)) {}

Mutex::~Mutex() = default;

bool Mutex::Wait(std::uint32_t milliseconds)
{
    try {
        return WaitForSingleObjectOrThrow(handle.Get(), milliseconds);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to Wait for Mutex object", &e);
    }
}

void Mutex::Release()
{
    try {
        SetEventOrThrow(handle.Get());
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to RemoveSignal for Mutex object", &e);
    }
}

Mutex::Access::Access(Mutex& mutex, Timeout& timeout) : mutex(&mutex)
{
    this->mutex->Wait(timeout.Remaining());
    owned = true;
}

Mutex::Access::Access(Mutex* mutex, Timeout& timeout) : mutex(mutex)
{
    if (mutex == nullptr)
        throw ExceptionBase("Mutex Access object declared for null pointer");
    mutex->Wait(timeout.Remaining());
    owned = true;
}

Mutex::Access::~Access()
{
    if (!owned)
        return;
    owned = false;
    try {
        mutex->Release();
    } catch (...) {
        // A destructor must not throw; the lock stays taken, as after a holder that died.
    }
}

bool Mutex::Access::Acquire(Timeout& timeout)
{
    if (owned)
        throw ExceptionBase("Mutex::Access requesting ownership of an owned object");
    const bool taken = mutex->Wait(timeout.Remaining());
    owned = true;
    return taken;
}

bool Mutex::Access::Release()
{
    if (!owned)
        throw ExceptionBase("Mutex::Access releasing ownership of an unowned object");
    mutex->Release();
    owned = false;
    return true;
}

}  // namespace ZintarUtil
