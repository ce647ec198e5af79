#include <windows.h>

#include "util/TextHelpers.h"

namespace ZintarUtil {

std::string ExecutablePath()
{
    char buffer[1024] = {};
    const DWORD length = GetModuleFileNameA(nullptr, buffer, sizeof buffer);
    return std::string(buffer, length < sizeof buffer ? length : 0);
}

// A path that could not be read, or that did not fit, is empty, so ReplaceFileName refuses it
// instead of naming a wrong directory.
std::string GetExecutableRelativePath(const std::string& fileName)
{
    return ReplaceFileName(ExecutablePath(), fileName, '\\');
}

}  // namespace ZintarUtil
