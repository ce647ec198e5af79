#include "util/win32/SharedLog.h"

#include <windows.h>

#include "util/Exceptions.h"

namespace ZintarUtil {

namespace {

constexpr std::uint64_t kLookAgainAfterMs = 1000;

}  // namespace

bool SharedLog::Visit(const std::function<void(const FileHeader&, const NewestRecord&)>& visit)
{
    if (!reader && GetTickCount64() < lookAgainAt)
        return false;
    try {
        if (!reader)
            reader.emplace(fileMapName);
        reader->Visit(visit);
        if (!reader->IsValid())
            LetGo();  // the service stopped, and the reader let go of the mapping itself
        return true;
    } catch (const Exceptions::ExceptionBase&) {
        // Not shared now: the service is stopping, restarting or not running.
        LetGo();
        return false;
    }
}

void SharedLog::LetGoIfStopped()
{
    if (reader && !reader->ServerRunning())
        LetGo();
}

void SharedLog::LetGo()
{
    reader.reset();
    lookAgainAt = GetTickCount64() + kLookAgainAfterMs;
}

}  // namespace ZintarUtil
