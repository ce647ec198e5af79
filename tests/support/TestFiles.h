// Names for the files a test writes: in the system's temporary directory, unique per process.
#pragma once

#include <string>

namespace ZintarTest {

std::string TemporaryPath(const std::string& stem);

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace ZintarTest
