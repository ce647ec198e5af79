#include "util/DiagnosticLogPlatform.h"

namespace ZintarUtil::DiagnosticLogPlatform {

std::tm LocalTimeNow()
{
    std::tm local{};
    const std::time_t now = std::time(nullptr);
    localtime_r(&now, &local);
    return local;
}

std::FILE* OpenShared(const std::string& name)
{
    return std::fopen(name.c_str(), "ab");
}

// A binary stream stores what it is given, so the CR goes in here.
std::string WithFileLineEnds(const std::string& entry)
{
    std::string converted;
    converted.reserve(entry.size() + 8);
    for (char c : entry) {
        if (c == '\n')
            converted += '\r';
        converted += c;
    }
    return converted;
}

}  // namespace ZintarUtil::DiagnosticLogPlatform
