// Tests that need a second process run a routine of their own executable in a child: the child
// is the same program started with "--child NAME ARGS...", and its routine's result is its exit
// code. Every wait for a child is bounded; a child still running when its object goes is ended.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ZintarTest {

using ChildArguments = std::vector<std::string>;
using ChildRoutine = int (*)(const ChildArguments& args);

struct ChildRegistration {
    ChildRegistration(const char* name, ChildRoutine routine);
};

// Defines a child routine NAME(args) returning the child's exit code.
#define ZINTAR_CHILD(name)                                                                                             \
    static int name(const ::ZintarTest::ChildArguments& args);                                                         \
    static const ::ZintarTest::ChildRegistration name##Registration(#name, &name);                                     \
    static int name([[maybe_unused]] const ::ZintarTest::ChildArguments& args)

// A whole command line for CreateProcess, to start a program other than the test itself. With an
// output path, the program's standard output and error both go to that file (made anew) and its
// standard input is empty.
struct CommandLine {
    std::string text;
    std::string outputPath;
};

class ChildProcess {
public:
    ChildProcess(const std::string& routine, const ChildArguments& args = {});
    // Any program: the command line is handed to CreateProcess as it stands.
    explicit ChildProcess(const CommandLine& commandLine);
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess();

    // The exit code once the child has ended, or nothing when it did not end within the bound.
    std::optional<std::uint32_t> WaitForExit(std::uint32_t milliseconds);
    // Ends the child at once, as a crash or a kill would.
    void Terminate();

    HANDLE Process() const { return process; }

private:
    void Launch(const std::string& commandLine, const std::string& outputPath = {});

    HANDLE process = nullptr;
};

// A bound for waits on children and on objects they signal: long enough for a loaded machine
// under Wine, short enough that a hang fails the test instead of the whole run.
constexpr std::uint32_t kChildBound = 60000;

// A kernel object name that no other test or run uses: "Global\ZintarTest-<pid>-<n>-<stem>".
std::string UniqueName(const std::string& stem);

// The test program's main: runs a child routine when asked to, else the tests.
int RunTestsOrChild(int argc, char** argv);

}  // namespace ZintarTest
