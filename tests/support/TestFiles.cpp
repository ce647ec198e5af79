#include "tests/support/TestFiles.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace ZintarTest {

std::string TemporaryPath(const std::string& stem)
{
    static const unsigned long long processTag = std::random_device{}();
    static unsigned counter = 0;
    const std::filesystem::path directory = std::filesystem::temp_directory_path();
    return (directory / (stem + "-" + std::to_string(processTag) + "-" + std::to_string(++counter) + ".txt")).string();
}

TemporaryFile::~TemporaryFile()
{
    std::error_code ignored;  // a file another process still holds open stays behind
    std::filesystem::remove_all(path, ignored);
}

std::string ReadWholeFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace ZintarTest
