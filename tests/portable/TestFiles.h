// Names for the files a test writes: in the system's temporary directory, unique per process.
#pragma once

#include <string>

namespace ZintarTest {

std::string TemporaryPath(const std::string& stem);

}  // namespace ZintarTest
