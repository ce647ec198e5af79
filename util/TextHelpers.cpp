#include "util/TextHelpers.h"

#include <algorithm>

#include "util/Exceptions.h"

namespace ZintarUtil {

std::string UIntToString(std::uint32_t value)
{
    return std::to_string(value);
}

std::string IntToString(std::int32_t value)
{
    return std::to_string(value);
}

std::string ToLowerAscii(const std::string& text)
{
    std::string lower = text;
    for (char& c : lower) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + ('a' - 'A'));
    }
    return lower;
}

bool MatchesAnyFilter(const std::string& text, const std::vector<std::string>& list)
{
    const std::string lowerText = ToLowerAscii(text);
    for (const std::string& entry : list) {
        const std::string lowerEntry = ToLowerAscii(entry);
        const std::size_t common = std::min(lowerText.size(), lowerEntry.size());
        if (common == 0 || lowerText.compare(0, common, lowerEntry, 0, common) == 0)
            return true;
    }
    return false;
}

void MaskToFlags(std::uint32_t mask, bool* flags, std::uint32_t count)
{
    for (std::uint32_t i = 0; i < count; ++i)
        flags[i] = ((mask >> (i % 32)) & 1u) != 0;
}

void FlagsToMask(std::uint32_t& mask, const bool* flags, std::uint32_t count)
{
    mask = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (flags[i])
            mask |= 1u << (i % 32);
    }
}

std::string ReplaceFileName(const std::string& modulePath, const std::string& fileName, char separator)
{
    const std::size_t cut = modulePath.rfind(separator);
    if (cut == std::string::npos)
        throw Exceptions::ExceptionBase("Failed to obtain executable's location");
    return modulePath.substr(0, cut) + separator + fileName;
}

}  // namespace ZintarUtil
