#include <share.h>

#include "util/DiagnosticLogPlatform.h"

namespace ZintarUtil::DiagnosticLogPlatform {

std::tm LocalTimeNow()
{
    std::tm local{};
    const __time64_t now = _time64(nullptr);
    _localtime64_s(&local, &now);
    return local;
}

std::FILE* OpenShared(const std::string& name)
{
    return _fsopen(name.c_str(), "a", _SH_DENYNO);  // text mode: "\n" is stored as CR LF
}

std::string WithFileLineEnds(const std::string& entry)
{
    return entry;  // the text-mode stream adds the CR
}

}  // namespace ZintarUtil::DiagnosticLogPlatform
