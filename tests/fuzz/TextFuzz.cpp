// The filter rule, the flag helpers and the stored filter values on arbitrary text.
#include <string>

#include "Server/ServiceSettings.h"
#include "util/TextHelpers.h"

using namespace ZintarUtil;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\n');
    const std::string text = input.substr(0, cut), entry = cut == std::string::npos ? "" : input.substr(cut + 1);
    // The rule is symmetric and ignores ASCII case, on either side.
    const bool matches = MatchesAnyFilter(text, {entry});
    if (matches != MatchesAnyFilter(entry, {text}) || matches != MatchesAnyFilter(ToLowerAscii(text), {entry}) ||
        matches != MatchesAnyFilter(text, {ToLowerAscii(entry)}))
        __builtin_trap();
    std::uint32_t mask = 0;
    for (std::size_t i = 0; i < 4 && i < size; ++i)
        mask = mask << 8 | data[i];
    bool flags[32];
    MaskToFlags(mask, flags, 32);
    std::uint32_t back = 0;
    FlagsToMask(back, flags, 32);
    if (back != mask)
        __builtin_trap();
    ZintarServer::ServiceSettings settings;
    ZintarServer::AddStoredFilter(settings, input);
    if (settings.includeFilters.size() + settings.excludeFilters.size() != (input.empty() ? 0u : 1u))
        __builtin_trap();
    return 0;
}
