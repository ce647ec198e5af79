// Small text, path and flag helpers shared by the library and the service.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ZintarUtil {

// Decimal digits of an unsigned value, without sign or leading zeros ("0" for 0).
std::string UIntToString(std::uint32_t value);

// Decimal form of a signed value, with "-" for negative values.
std::string IntToString(std::int32_t value);

// A copy of `text` with the ASCII capitals A to Z lowered; every other byte stays.
std::string ToLowerAscii(const std::string& text);

// True when some entry of `list` and `text`, ignoring ASCII case, have the shorter of the two
// as a prefix of the longer. An empty entry or an empty text matches; an empty list never does.
bool MatchesAnyFilter(const std::string& text, const std::vector<std::string>& list);

// Flag i takes bit (i mod 32) of `mask`, bit 0 being the least significant.
void MaskToFlags(std::uint32_t mask, bool* flags, std::uint32_t count);

// The reverse: `mask` is cleared, then bit (i mod 32) is set for every flag i that is set.
void FlagsToMask(std::uint32_t& mask, const bool* flags, std::uint32_t count);

// `modulePath` cut at its last `separator` (the separator itself dropped), then `separator` and
// `fileName`. Throws ExceptionBase "Failed to obtain executable's location" when the path holds
// no separator.
std::string ReplaceFileName(const std::string& modulePath, const std::string& fileName, char separator);

// The full path of the running executable; empty when it cannot be read or does not fit in 1024
// characters (a path cut short would name another file).
std::string ExecutablePath();

// The path of `fileName` in the directory of the running executable.
std::string GetExecutableRelativePath(const std::string& fileName);

}  // namespace ZintarUtil
