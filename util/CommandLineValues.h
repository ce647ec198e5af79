// Values that several programs take from their command lines, parsed one way for all of them.
// Each throws UsageError with a text that names the option, for the user.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "util/UsageError.h"

namespace ZintarUtil {

// "0,2,3" → bit mask 0b1101; anything but types 0 to 3 separated by commas is refused.
std::uint32_t ParseTypeList(const std::string& list, const std::string& option = "--type");

// The types of `mask` as ParseTypeList takes them ("0,1,3"), or "none".
std::string TypesText(std::uint32_t mask);

// "host:port" → its parts; either missing, or a port that is not 1 to 65535, is refused. An IPv6
// address stands in brackets ("[::1]:514") and comes back without them.
std::pair<std::string, std::string> SplitHostPort(const std::string& address, const std::string& option);

}  // namespace ZintarUtil
