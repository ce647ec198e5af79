#include <unistd.h>

#include "util/TextHelpers.h"

namespace ZintarUtil {

std::string GetExecutableRelativePath(const std::string& fileName)
{
    char buffer[1024] = {};
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return ReplaceFileName(std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0), fileName, '/');
}

}  // namespace ZintarUtil
