// Names for the files a test writes: in the system's temporary directory, unique per process.
#pragma once

#include <string>

namespace ZintarTest {

std::string TemporaryPath(const std::string& stem);

// Owns a TemporaryPath: whatever the test leaves there, a file or a folder with all it holds, is
// removed when the owner goes, also when a failed assertion ends the test early.
struct TemporaryFile {
    explicit TemporaryFile(const std::string& stem) : path(TemporaryPath(stem)) {}
    TemporaryFile(const TemporaryFile&) = delete;
    ~TemporaryFile();
    const std::string path;
};

// The whole content of a file; empty when it cannot be read.
std::string ReadWholeFile(const std::string& path);

}  // namespace ZintarTest
