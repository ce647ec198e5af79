// The operating system's error codes and their texts, behind a portable interface.
#pragma once

#include <cstdint>
#include <string>

namespace ZintarUtil {

// The calling thread's last error: GetLastError() on Windows, errno elsewhere.
std::uint32_t LastSystemError();

// The system's text for an error code, as the system gives it (Windows texts end in a line
// break). Never fails: a code without a text gives "Unknown error <code>." and a line break.
std::string SystemErrorText(std::uint32_t code);

}  // namespace ZintarUtil
