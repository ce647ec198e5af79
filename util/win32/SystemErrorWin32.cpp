#include <windows.h>

#include "util/SystemError.h"
#include "util/TextHelpers.h"
#include "util/win32/UniqueResource.h"

namespace ZintarUtil {

std::uint32_t LastSystemError()
{
    return GetLastError();
}

std::string SystemErrorText(std::uint32_t code)
{
    constexpr DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_FROM_SYSTEM;
    static_assert(flags == 0x1300);
    UniqueLocalMemory buffer;
    DWORD length = FormatMessageA(flags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  reinterpret_cast<LPSTR>(buffer.Put()), 0, nullptr);
    // Keep the last error as the failing call left it: composing a text must not disturb it.
    if (length != 0 && buffer)
        return std::string(static_cast<const char*>(buffer.Get()), length);
    return "Unknown error " + UIntToString(code) + ".\r\n";
}

}  // namespace ZintarUtil
