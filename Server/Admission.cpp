#include "Server/Admission.h"

#include <cstring>
#include <string>

#include "util/TextHelpers.h"

namespace ZintarServer {

bool Admits(const ServiceSettings& settings, const ZintarUtil::LogMessage& message)
{
    // A stored type of 4 or more, or a text without its NUL, makes the whole file unsound at the
    // next start, which then reformats the ring and loses every stored message. So no message from
    // a client or from the device may put one there: such a message is refused like a message of a
    // disabled type.
    const std::uint32_t type = message.type;
    if (type >= kMessageTypes || !settings.typeEnabled[type])
        return false;
    if (!ZintarUtil::HasTerminator(message.text, ZintarUtil::kTextFieldSize) ||
        !ZintarUtil::HasTerminator(message.auxText, ZintarUtil::kTextFieldSize))
        return false;
    if (settings.includeFilters.empty() && settings.excludeFilters.empty())
        return true;
    const std::string text(message.text, strnlen(message.text, ZintarUtil::kTextFieldSize));
    if (!settings.includeFilters.empty())
        return ZintarUtil::MatchesAnyFilter(text, settings.includeFilters);
    return !ZintarUtil::MatchesAnyFilter(text, settings.excludeFilters);
}

}  // namespace ZintarServer
