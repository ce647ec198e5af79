#include "util/CommandLineValues.h"

#include <sstream>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

std::uint32_t ParseTypeList(const std::string& list, const std::string& option)
{
    const char highest = static_cast<char>('0' + kMessageTypes - 1);
    std::uint32_t mask = 0;
    std::stringstream items(list);
    std::string item;
    while (std::getline(items, item, ',')) {
        if (item.size() != 1 || item[0] < '0' || item[0] > highest)
            throw UsageError(option + " takes types 0 to " + highest + " separated by commas, not '" + list + "'");
        mask |= 1u << (item[0] - '0');
    }
    if (mask == 0)
        throw UsageError(option + " needs at least one type");
    return mask;
}

std::string TypesText(std::uint32_t mask)
{
    std::string text;
    for (std::uint32_t type = 0; type < kMessageTypes; ++type)
        if (mask & (1u << type))
            text += (text.empty() ? "" : ",") + std::to_string(type);
    return text.empty() ? "none" : text;
}

std::pair<std::string, std::string> SplitHostPort(const std::string& address, const std::string& option)
{
    const std::size_t colon = address.rfind(':');
    std::string host = colon == std::string::npos ? "" : address.substr(0, colon);
    const std::string port = colon == std::string::npos ? "" : address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    else if (host.find_first_of(":[]") != std::string::npos)
        host.clear();  // an IPv6 address without its brackets: which colon ends it?
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (host.empty() || !digits || std::stoul(port) == 0 || std::stoul(port) > 65535)
        throw UsageError(option + " needs HOST:PORT, for example 127.0.0.1:514, not '" + address + "'");
    return {host, port};
}

}  // namespace ZintarUtil
