// A running process's handle count, thread count and private bytes, as scripts/soak samples the
// service under Wine, where GetProcessHandleCount answers 0 for every process.
//   ProcessFigures NAME|PID [--types]
//                               one line: "pid handles threads private_bytes", with --types
//                               followed by the handles of each kind ("Event=38 Thread=8 ...")
//   ProcessFigures verify       which source follows what: a child of this program opens 1000
//                               events, starts 50 threads and commits 100 MiB; each source's change
//                               is printed beside what it should be
//   ProcessFigures hold TAG     the child of verify
// Handles: the entries of SystemExtendedHandleInformation that name the process (Wine lists
// every handle its server holds; SystemProcessInformation's HandleCount is, under Wine 8, the size
// of the handle table, a power of two). Threads: SystemProcessInformation's NumberOfThreads.
// Private bytes: GetProcessMemoryInfo's PagefileUsage, the commit charge, which is what Windows
// shows as private bytes; Wine fills it from the Unix process's RssAnon and VmSwap and leaves
// PrivateUsage 0.
#include <windows.h>

#include <psapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr DWORD kBound = 60000;  // ms any wait of verify may take

struct Figures {
    DWORD pid = 0;
    std::size_t handles = 0;                      // SystemExtendedHandleInformation: entries of this process
    std::map<USHORT, std::size_t> handlesByType;  // the same by their ObjectTypeIndex
    ULONG threads = 0;                            // SystemProcessInformation.NumberOfThreads
    SIZE_T privateBytes = 0;                      // GetProcessMemoryInfo: PagefileUsage
    ULONG handleTableSize = 0;                    // SystemProcessInformation.HandleCount (see above)
    DWORD handleCountCall = 0;                    // GetProcessHandleCount
    SIZE_T privateUsage = 0;                      // GetProcessMemoryInfo: PrivateUsage
    SIZE_T workingSet = 0;                        // GetProcessMemoryInfo: WorkingSetSize
};

// Not in mingw's headers: the layouts Windows documents for these classes.
constexpr auto kSystemExtendedHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(64);
struct HandleEntry {
    void* object;
    ULONG_PTR pid;
    ULONG_PTR handle;
    ULONG grantedAccess;
    USHORT creatorBackTraceIndex;
    USHORT objectTypeIndex;
    ULONG attributes;
    ULONG reserved;
};
struct HandleList {
    ULONG_PTR count;
    ULONG_PTR reserved;
    HandleEntry entries[1];
};
static_assert(sizeof(HandleEntry) == 40 && offsetof(HandleList, entries) == 16, "the 64-bit layouts");

using QuerySystemInformation = NTSTATUS(WINAPI*)(SYSTEM_INFORMATION_CLASS, void*, ULONG, ULONG*);

// The system information of `kind` in one buffer, grown until it fits; empty when it cannot be had.
std::vector<unsigned char> SystemInformation(SYSTEM_INFORMATION_CLASS kind)
{
    const auto query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    std::vector<unsigned char> buffer(1 << 16);
    for (int attempt = 0; attempt < 12; ++attempt) {
        ULONG needed = 0;
        const NTSTATUS status = query(kind, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status >= 0)
            return buffer;
        buffer.resize(std::max<std::size_t>(buffer.size() * 2, needed + 4096));
    }
    return {};
}

std::map<USHORT, std::size_t> HandlesByType(DWORD pid)
{
    std::map<USHORT, std::size_t> byType;
    const std::vector<unsigned char> buffer = SystemInformation(kSystemExtendedHandleInformation);
    if (buffer.size() < sizeof(HandleList))
        return byType;
    const auto& list = *reinterpret_cast<const HandleList*>(buffer.data());
    const std::size_t fits = (buffer.size() - offsetof(HandleList, entries)) / sizeof(HandleEntry);
    for (std::size_t i = 0; i < std::min<std::size_t>(list.count, fits); ++i)
        if (list.entries[i].pid == pid)
            ++byType[list.entries[i].objectTypeIndex];
    return byType;
}

// The names of the object types by the index a handle entry carries. Windows gives each type's
// index in ObjectTypesInformation; Wine numbers the entries' types from 0 in that list's order.
std::map<USHORT, std::string> TypeNames()
{
    using QueryObject = NTSTATUS(WINAPI*)(HANDLE, ULONG, void*, ULONG, ULONG*);
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    const auto query = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryObject")));
    const bool wine = GetProcAddress(ntdll, "wine_get_version") != nullptr;
    constexpr ULONG kObjectTypesInformation = 3;
    constexpr std::size_t kTypeInformationSize = 0x68, kTypeIndexOffset = 0x5A;  // OBJECT_TYPE_INFORMATION
    std::vector<unsigned char> buffer(1 << 16);
    ULONG needed = 0;
    std::map<USHORT, std::string> names;
    if (query(nullptr, kObjectTypesInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) < 0)
        return names;
    const ULONG count = *reinterpret_cast<const ULONG*>(buffer.data());
    std::size_t offset = sizeof(void*);
    for (ULONG position = 0; position < count && offset + kTypeInformationSize <= buffer.size(); ++position) {
        const auto& name = *reinterpret_cast<const UNICODE_STRING*>(buffer.data() + offset);
        char text[64] = {};
        WideCharToMultiByte(CP_ACP, 0, name.Buffer, name.Length / 2, text, sizeof text - 1, nullptr, nullptr);
        names[wine ? static_cast<USHORT>(position) : buffer[offset + kTypeIndexOffset]] = text;
        offset += kTypeInformationSize + ((name.MaximumLength + sizeof(void*) - 1) & ~(sizeof(void*) - 1));
    }
    return names;
}

bool Matches(const SYSTEM_PROCESS_INFORMATION& entry, const std::string& nameOrPid)
{
    const DWORD pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry.UniqueProcessId));
    if (!nameOrPid.empty() && nameOrPid.find_first_not_of("0123456789") == std::string::npos)
        return pid == std::strtoul(nameOrPid.c_str(), nullptr, 10);
    char name[MAX_PATH] = {};
    WideCharToMultiByte(CP_ACP, 0, entry.ImageName.Buffer, entry.ImageName.Length / 2, name, sizeof name - 1, nullptr,
                        nullptr);
    return _stricmp(name, nameOrPid.c_str()) == 0;
}

void AddMemoryCounters(Figures& figures)
{
    const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, figures.pid);
    if (process == nullptr)
        return;
    PROCESS_MEMORY_COUNTERS_EX memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
        figures.privateBytes = memory.PagefileUsage;
        figures.privateUsage = memory.PrivateUsage;
        figures.workingSet = memory.WorkingSetSize;
    }
    GetProcessHandleCount(process, &figures.handleCountCall);
    CloseHandle(process);
}

// The first process whose image name (or id) matches; nothing when none runs.
std::optional<Figures> FiguresOf(const std::string& nameOrPid)
{
    const std::vector<unsigned char> list = SystemInformation(SystemProcessInformation);
    for (std::size_t offset = 0; offset + sizeof(SYSTEM_PROCESS_INFORMATION) <= list.size();) {
        const auto& entry = *reinterpret_cast<const SYSTEM_PROCESS_INFORMATION*>(list.data() + offset);
        if (Matches(entry, nameOrPid)) {
            Figures figures;
            figures.pid = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(entry.UniqueProcessId));
            figures.handleTableSize = entry.HandleCount;
            figures.threads = entry.NumberOfThreads;
            figures.handlesByType = HandlesByType(figures.pid);
            for (const auto& [type, count] : figures.handlesByType)
                figures.handles += count;
            AddMemoryCounters(figures);
            return figures;
        }
        if (entry.NextEntryOffset == 0)
            break;
        offset += entry.NextEntryOffset;
    }
    return std::nullopt;
}

DWORD WINAPI Idle(void* stop)
{
    WaitForSingleObject(static_cast<HANDLE>(stop), INFINITE);
    return 0;
}

constexpr int kEvents = 1000, kThreads = 50, kMebibytes = 100;

// The hand-over between verify and its child: auto-reset, so each signal releases one step.
HANDLE StepEvent(const char* what, const std::string& tag)
{
    return CreateEventA(nullptr, FALSE, FALSE, ("Local\\Figures" + std::string(what) + tag).c_str());
}

// The child of verify: one kind of object per step, each step made between two of the parent's
// looks; then it waits to be ended.
int Hold(const std::string& tag)
{
    const HANDLE next = StepEvent("Next", tag);
    const HANDLE done = StepEvent("Done", tag);
    const HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetEvent(done);  // started
    if (WaitForSingleObject(next, kBound) != WAIT_OBJECT_0)
        return 3;
    for (int i = 0; i < kEvents; ++i)
        CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetEvent(done);
    if (WaitForSingleObject(next, kBound) != WAIT_OBJECT_0)
        return 3;
    for (int i = 0; i < kThreads; ++i)  // the threads' own handles closed at once: no handle more
        CloseHandle(CreateThread(nullptr, 64 * 1024, &Idle, stop, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    SetEvent(done);
    if (WaitForSingleObject(next, kBound) != WAIT_OBJECT_0)
        return 3;
    const SIZE_T bytes = static_cast<SIZE_T>(kMebibytes) << 20;
    auto* block = static_cast<unsigned char*>(VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    for (SIZE_T i = 0; block != nullptr && i < bytes; i += 4096)
        block[i] = 1;
    SetEvent(done);
    Sleep(kBound);
    return 0;
}

void PrintRow(const char* source, double before, double after, double expected)
{
    std::printf("%-44s %10.0f %10.0f %10.0f %10.0f\n", source, before, after, after - before, expected);
}

// Starts the holding child and looks at it before and after each of its steps.
int Verify()
{
    const std::string tag = std::to_string(GetCurrentProcessId());
    const HANDLE next = StepEvent("Next", tag);
    const HANDLE done = StepEvent("Done", tag);
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, sizeof self);
    std::string line = "\"" + std::string(self) + "\" hold " + tag;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child)) {
        std::fprintf(stderr, "ProcessFigures: cannot start the child (error %lu)\n", GetLastError());
        return 1;
    }
    const std::string pid = std::to_string(child.dwProcessId);
    std::vector<std::optional<Figures>> looks;  // after its start, then after each step
    for (int step = 0; step < 4; ++step) {
        if (step > 0)
            SetEvent(next);
        looks.push_back(WaitForSingleObject(done, kBound) == WAIT_OBJECT_0 ? FiguresOf(pid) : std::nullopt);
    }
    TerminateProcess(child.hProcess, 0);
    WaitForSingleObject(child.hProcess, kBound);
    for (const std::optional<Figures>& look : looks) {
        if (!look) {
            std::fprintf(stderr, "ProcessFigures: the child did not make its objects\n");
            return 1;
        }
    }
    const Figures &start = *looks[0], &events = *looks[1], &threads = *looks[2], &memory = *looks[3];
    std::printf("%-44s %10s %10s %10s %10s\n", "the child's step, and the source", "before", "after", "change",
                "expected");
    std::printf("%d events\n", kEvents);
    PrintRow("  SystemExtendedHandleInformation entries", start.handles, events.handles, kEvents);
    PrintRow("  SystemProcessInformation HandleCount", start.handleTableSize, events.handleTableSize, kEvents);
    PrintRow("  GetProcessHandleCount", start.handleCountCall, events.handleCountCall, kEvents);
    std::printf("%d threads\n", kThreads);
    PrintRow("  SystemProcessInformation NumberOfThreads", events.threads, threads.threads, kThreads);
    PrintRow("  SystemExtendedHandleInformation entries", events.handles, threads.handles, 0);
    std::printf("%d MiB committed and written (KiB)\n", kMebibytes);
    PrintRow("  GetProcessMemoryInfo PagefileUsage", threads.privateBytes / 1024.0, memory.privateBytes / 1024.0,
             kMebibytes * 1024.0);
    PrintRow("  GetProcessMemoryInfo PrivateUsage", threads.privateUsage / 1024.0, memory.privateUsage / 1024.0,
             kMebibytes * 1024.0);
    PrintRow("  GetProcessMemoryInfo WorkingSetSize", threads.workingSet / 1024.0, memory.workingSet / 1024.0,
             kMebibytes * 1024.0);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "verify")
        return Verify();
    if (args.size() == 2 && args[0] == "hold")
        return Hold(args[1]);
    const bool byType = args.size() == 2 && args[1] == "--types";
    if (args.size() != 1 && !byType) {
        std::fprintf(stderr, "usage: ProcessFigures NAME|PID [--types] | verify\n");
        return 2;
    }
    const std::optional<Figures> figures = FiguresOf(args[0]);
    if (!figures) {
        std::fprintf(stderr, "ProcessFigures: no process %s\n", args[0].c_str());
        return 1;
    }
    std::printf("%lu %zu %lu %llu", figures->pid, figures->handles, figures->threads,
                static_cast<unsigned long long>(figures->privateBytes));
    if (byType) {
        const std::map<USHORT, std::string> names = TypeNames();
        for (const auto& [type, count] : figures->handlesByType) {
            const auto name = names.find(type);
            std::printf(" %s=%zu", name == names.end() ? std::to_string(type).c_str() : name->second.c_str(), count);
        }
    }
    std::printf("\n");
    return 0;
}
