#include "Event.h"

#include "Exceptions.h"
#include "WaitFunctions.h"

namespace ZintarUtil {

using Exceptions::ExceptionBase;

Event::Event(const std::string& name, SECURITY_ATTRIBUTES* securityAttributes)
{
    try {
        handle = CreateEventOrThrow(securityAttributes, true, true, name.c_str());
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to create Event object", &e);
    }
}

Event::~Event() noexcept(false)
{
    Close();
}

void Event::Close()
{
    if (handle == nullptr)
        return;
    try {
        CloseHandleOrThrow(handle);
        handle = nullptr;
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to destroy Event object", &e);
    }
}

bool Event::Wait(std::uint32_t milliseconds)
{
    try {
        return WaitForSingleObjectOrThrow(handle, milliseconds);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to Wait for Event object", &e);
    }
}

void Event::SetSignal()
{
    try {
        SetEventOrThrow(handle);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to SetSignal for Event object", &e);
    }
}

void Event::RemoveSignal()
{
    try {
        ResetEventOrThrow(handle);
    } catch (const ExceptionBase& e) {
        throw ExceptionBase("Failed to RemoveSignal for Event object", &e);
    }
}

}  // namespace ZintarUtil
