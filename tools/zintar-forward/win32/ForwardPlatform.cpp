#include "tools/zintar-forward/win32/ForwardPlatform.h"

#include <sddl.h>

#include <iostream>

#include "tools/zintar-forward/win32/SocketConnection.h"
#include "tools/zintar-forward/win32/StateFolder.h"
#include "tools/zintar-forward/win32/TlsConnection.h"
#include "util/DiagnosticLog.h"
#include "util/Exceptions.h"
#include "util/ZintarNames.h"
#include "util/win32/AutoHandle.h"
#include "util/win32/ForwardSettingsStore.h"
#include "util/win32/SystemTimes.h"
#include "util/win32/UniqueResource.h"

namespace ZintarForward {

using ZintarUtil::Exceptions::ExceptionBase;
using ZintarUtil::Exceptions::ExceptionWindows;

namespace {

constexpr std::uint32_t kConnectTimeoutMs = 10000;
// How long after a stop the connection may still wait for the collector's last answers and an
// orderly close: the forwarder's whole stop, the state saved last, stays within 2 s of it.
constexpr std::uint32_t kStopGraceMs = 1500;
constexpr std::uint64_t kOriginEveryMs = 60000;

// Replaces `path` with `text`: written to a temporary file beside it, forced to disk, then
// renamed over it with a write-through rename, so that the file is always whole. Without
// `access` the new file inherits the folder's access list.
void ReplaceWholeFile(const std::string& path, const std::string& text, SECURITY_ATTRIBUTES* access = nullptr)
{
    const std::string temporary = path + ".new";
    {
        ZintarUtil::AutoHandle file;
        file.Take(
            CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, access, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.IsInvalid())
            throw ExceptionWindows("Failed to create " + temporary);
        DWORD written = 0;
        if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
            written != text.size())
            throw ExceptionWindows("Failed to write " + temporary);
        if (!FlushFileBuffers(file.Get()))
            throw ExceptionWindows("Failed to force " + temporary + " to disk");
    }
    if (!MoveFileExA(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throw ExceptionWindows("Failed to replace " + path);
}

}  // namespace

WindowsForwarderPlatform::WindowsForwarderPlatform(const CheckedSettings& settings, std::string statePath,
                                                   HANDLE stopEvent, bool echoToConsole)
    : settings(settings), statePath(std::move(statePath)), stopEvent(stopEvent),
      stop(std::make_shared<StopLimit>(stopEvent, kStopGraceMs)), echoToConsole(echoToConsole)
{
}

std::uint64_t WindowsForwarderPlatform::NowMs()
{
    return GetTickCount64();
}

ZintarUtil::TimeFields WindowsForwarderPlatform::LocalTime()
{
    return ZintarUtil::LocalTimeNow();
}

// Asking for the time zone costs tens of milliseconds under Wine, which a batch cannot afford;
// the offset changes twice a year, so once a minute is soon enough.
ZintarUtil::SyslogOrigin WindowsForwarderPlatform::Origin()
{
    if (!origin || GetTickCount64() - originAt > kOriginEveryMs) {
        origin = ZintarUtil::ThisMachineOrigin(settings.settings.facility);
        if (!settings.settings.hostName.empty())
            origin->hostName = settings.settings.hostName;
        originAt = GetTickCount64();
    }
    return *origin;
}

bool WindowsForwarderPlatform::ReadRing(
    const std::function<void(const ZintarUtil::FileHeader&, const ZintarUtil::NewestRecord&)>& read)
{
    return log.Visit(read);
}

std::unique_ptr<Connection> WindowsForwarderPlatform::Connect()
{
    const ForwardTarget& target = settings.target;
    std::unique_ptr<Connection> connection = ConnectTcp(target.host, target.port, kConnectTimeoutMs, stop);
    if (!target.UsesTls())
        return connection;
    TlsPolicy policy{target.host, settings.settings.caFile, settings.pin};
    policy.clientCertificate = settings.settings.clientCertificate;
    policy.revocation = settings.settings.revocation;
    return StartTls(std::move(connection), policy, kConnectTimeoutMs);
}

// The resume point first; then the copy that status reads, which every user may read and so may
// also hold open: a copy that cannot be replaced costs status its news, never the resume point.
void WindowsForwarderPlatform::SaveState(const ForwardState& state)
{
    const std::string text = ZintarUtil::FormatForwardState(state);
    ReplaceWholeFile(statePath, text);
    try {
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(StatusCopyAccess(), SDDL_REVISION_1, &descriptor,
                                                                  nullptr))
            throw ExceptionWindows("Failed to build the status copy's access list");
        const ZintarUtil::UniqueLocalMemory owned(descriptor);
        SECURITY_ATTRIBUTES access{sizeof access, descriptor, FALSE};
        ReplaceWholeFile(ZintarUtil::ForwardStatusCopyPath(statePath), text, &access);
        statusCopyFailed = false;
    } catch (const ExceptionBase& e) {
        if (!statusCopyFailed)
            Log("zintar-forward: status shows older news until this is fixed: " + e.GetFullMessage("; "));
        statusCopyFailed = true;
    }
}

void WindowsForwarderPlatform::Log(const std::string& line)
{
    ZintarUtil::WriteLog(line);
    if (echoToConsole)
        std::cerr << line << std::endl;
}

bool WindowsForwarderPlatform::WaitForStop(std::uint32_t ms)
{
    WaitForSingleObject(stopEvent, ms);
    return stop->Stopped();
}

bool WindowsForwarderPlatform::StopRequested()
{
    return WaitForStop(0);
}

}  // namespace ZintarForward
