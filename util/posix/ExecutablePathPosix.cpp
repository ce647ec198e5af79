#include <unistd.h>

#include "util/TextHelpers.h"

namespace ZintarUtil {

std::string ExecutablePath()
{
    char buffer[1024] = {};
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0);
}

std::string GetExecutableRelativePath(const std::string& fileName)
{
    return ReplaceFileName(ExecutablePath(), fileName, '/');
}

}  // namespace ZintarUtil
