#include "Admission.h"

#include <cstring>
#include <string>

#include "TextHelpers.h"

namespace ZintarServer {

bool Admits(const ServiceSettings& settings, const ZintarUtil::LogMessage& message)
{
    const std::uint32_t type = message.type;
    if (type >= kMessageTypes || !settings.typeEnabled[type])
        return false;
    if (settings.includeFilters.empty() && settings.excludeFilters.empty())
        return true;
    const std::string text(message.text, strnlen(message.text, ZintarUtil::kTextFieldSize));
    if (!settings.includeFilters.empty())
        return ZintarUtil::MatchesAnyFilter(text, settings.includeFilters);
    return !ZintarUtil::MatchesAnyFilter(text, settings.excludeFilters);
}

}  // namespace ZintarServer
