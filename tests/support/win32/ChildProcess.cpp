#include "tests/support/win32/ChildProcess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <stdexcept>

#include "util/TextHelpers.h"

namespace ZintarTest {
namespace {

std::map<std::string, ChildRoutine>& Routines()
{
    static std::map<std::string, ChildRoutine> routines;
    return routines;
}

std::string Quote(const std::string& argument)
{
    return "\"" + argument + "\"";
}

}  // namespace

ChildRegistration::ChildRegistration(const char* name, ChildRoutine routine)
{
    Routines()[name] = routine;
}

ChildProcess::ChildProcess(const std::string& routine, const ChildArguments& args)
{
    std::string commandLine = Quote(ZintarUtil::ExecutablePath()) + " --child " + Quote(routine);
    for (const std::string& argument : args)
        commandLine += " " + Quote(argument);
    Launch(commandLine);
}

ChildProcess::ChildProcess(const CommandLine& commandLine)
{
    Launch(commandLine.text, commandLine.outputPath);
}

void ChildProcess::Launch(const std::string& commandLine, const std::string& outputPath)
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    std::vector<char> mutableLine(commandLine.begin(), commandLine.end());
    mutableLine.push_back('\0');
    SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
    HANDLE output = INVALID_HANDLE_VALUE;
    HANDLE input = INVALID_HANDLE_VALUE;
    if (!outputPath.empty()) {
        output =
            CreateFileA(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inheritable, CREATE_ALWAYS, 0, nullptr);
        input = CreateFileA("NUL", GENERIC_READ, 0, &inheritable, OPEN_EXISTING, 0, nullptr);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = startup.hStdError = output;
        startup.hStdInput = input;
    }
    const BOOL created = CreateProcessA(nullptr, mutableLine.data(), nullptr, nullptr, !outputPath.empty(), 0, nullptr,
                                        nullptr, &startup, &info);
    const DWORD error = GetLastError();
    if (output != INVALID_HANDLE_VALUE)
        CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE)
        CloseHandle(input);
    if (!created)
        throw std::runtime_error("CreateProcess failed with " + std::to_string(error) + " for: " + commandLine);
    CloseHandle(info.hThread);
    process = info.hProcess;
}

ChildProcess::~ChildProcess()
{
    if (process == nullptr)
        return;
    if (WaitForSingleObject(process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process, 99);
        WaitForSingleObject(process, kChildBound);
    }
    CloseHandle(process);
}

std::optional<std::uint32_t> ChildProcess::WaitForExit(std::uint32_t milliseconds)
{
    if (WaitForSingleObject(process, milliseconds) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    return code;
}

void ChildProcess::Terminate()
{
    TerminateProcess(process, 99);
    WaitForSingleObject(process, kChildBound);
}

std::string UniqueName(const std::string& stem)
{
    static std::atomic<unsigned> counter{0};
    return "Global\\ZintarTest-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + "-" + stem;
}

int RunTestsOrChild(int argc, char** argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--child") == 0) {
        auto found = Routines().find(argv[2]);
        if (found == Routines().end())
            return 98;
        return found->second(ChildArguments(argv + 3, argv + argc));
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

}  // namespace ZintarTest
