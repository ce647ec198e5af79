#include <windows.h>

#include "util/TextHelpers.h"

namespace ZintarUtil {

std::string GetExecutableRelativePath(const std::string& fileName)
{
    char buffer[1024] = {};
    DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    // A path that could not be read, or that did not fit and came back cut short, is treated as
    // empty, so ReplaceFileName refuses it instead of naming a wrong directory.
    return ReplaceFileName(std::string(buffer, length < sizeof buffer ? length : 0), fileName, '\\');
}

}  // namespace ZintarUtil
