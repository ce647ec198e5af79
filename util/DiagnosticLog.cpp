#include "util/DiagnosticLog.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "util/DiagnosticLogPlatform.h"
#include "util/LogThrottle.h"

namespace ZintarUtil {
namespace {

namespace Platform = DiagnosticLogPlatform;

std::string& LogFileName()
{
    static std::string name;
    return name;
}

// Guards the throttle and the size check with the rotation; the writes themselves need no lock.
std::mutex& LogLock()
{
    static std::mutex lock;
    return lock;
}

LogThrottle& Throttle()
{
    static LogThrottle throttle;
    return throttle;
}

std::int64_t SteadyMilliseconds()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

void SetLogFile(const std::string& name)
{
    LogFileName() = name;
}

std::string FormatAsctime(const std::tm& time)
{
    static const char* const weekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const char* weekday = time.tm_wday >= 0 && time.tm_wday < 7 ? weekdays[time.tm_wday] : "???";
    const char* month = time.tm_mon >= 0 && time.tm_mon < 12 ? months[time.tm_mon] : "???";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%s %s %02d %02d:%02d:%02d %04d", weekday, month, time.tm_mday, time.tm_hour,
                  time.tm_min, time.tm_sec, time.tm_year + 1900);
    return buffer;
}

std::string ComposeLogEntry(const std::tm& localTime, const std::string& text)
{
    return FormatAsctime(localTime) + "\n - " + text + "\n";
}

std::string OlderLogFileName(const std::string& name)
{
    return name + ".old";
}

// A log past its size limit becomes the one older copy (replacing the copy before it), and the
// entry goes into a new file. A rename that fails (the older copy is open in an editor) leaves
// the file growing until a later entry succeeds.
void RotateIfFull(const std::string& name)
{
    std::FILE* file = Platform::OpenShared(name);
    if (file == nullptr)
        return;
    std::fseek(file, 0, SEEK_END);
    const long size = std::ftell(file);
    std::fclose(file);
    if (size < 0 || static_cast<unsigned long>(size) < kLogRotationBytes)
        return;
    const std::string older = OlderLogFileName(name);
    std::remove(older.c_str());
    std::rename(name.c_str(), older.c_str());
}

void WriteLog(const std::string& text)
{
    const std::string& name = LogFileName();
    if (name.empty())
        return;
    std::string entryText = text;
    {
        const std::lock_guard<std::mutex> guard(LogLock());
        const std::optional<std::uint64_t> leftOut = Throttle().Admit(text, SteadyMilliseconds());
        if (!leftOut)
            return;
        if (*leftOut > 0)
            entryText += "\n(" + std::to_string(*leftOut) + " more entries like this one were left out since the last)";
        RotateIfFull(name);
    }
    const std::string entry = Platform::WithFileLineEnds(ComposeLogEntry(Platform::LocalTimeNow(), entryText));
    std::FILE* file = Platform::OpenShared(name);
    if (file == nullptr)
        return;
    std::fwrite(entry.data(), 1, entry.size(), file);
    std::fflush(file);
    std::fclose(file);
}

}  // namespace ZintarUtil
