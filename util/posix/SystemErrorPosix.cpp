#include <cerrno>
#include <cstring>

#include "util/SystemError.h"
#include "util/TextHelpers.h"

namespace ZintarUtil {

// Off Windows the codes are errno values and the texts come from the C library; the line break
// matches the Windows texts, which end in one.
std::uint32_t LastSystemError()
{
    return static_cast<std::uint32_t>(errno);
}

std::string SystemErrorText(std::uint32_t code)
{
    char buffer[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
#else
    const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer) == 0 ? buffer : "";
#endif
    if (text == nullptr || *text == '\0')
        return "Unknown error " + UIntToString(code) + ".\n";
    return std::string(text) + "\n";
}

}  // namespace ZintarUtil
