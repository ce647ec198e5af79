#include "tools/zintarctl/win32/SyslogSender.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "util/CommandLineValues.h"
#include "util/Exceptions.h"
#include "util/win32/SystemTimes.h"

namespace ZintarCtl {

using ZintarUtil::Exceptions::ExceptionBase;

SyslogSender::SyslogSender(const std::string& address)
{
    const auto [host, port] = ZintarUtil::SplitHostPort(address, "--syslog");
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    ZintarUtil::UniqueAddressList found;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, found.Put()) != 0 || !found)
        throw ExceptionBase("Failed to reach the syslog server " + address + ": the name cannot be resolved");
    const addrinfo& first = *found.Get();
    socket.Reset(::socket(first.ai_family, first.ai_socktype, first.ai_protocol));
    if (!socket || connect(socket.Get(), first.ai_addr, static_cast<int>(first.ai_addrlen)) != 0)
        throw ExceptionBase("Failed to reach the syslog server " + address + ": no socket to it");

    origin = ZintarUtil::ThisMachineOrigin(16);
}

SyslogSender::~SyslogSender()
{
    socket.Reset();  // before Winsock is let go
    WSACleanup();
}

void SyslogSender::Send(const ZintarUtil::MessageRecord& record, std::uint64_t generation)
{
    const std::string datagram = ZintarUtil::SyslogRecord(record, generation, origin);
    if (send(socket.Get(), datagram.data(), static_cast<int>(datagram.size()), 0) == SOCKET_ERROR)
        ++dropped;
}

}  // namespace ZintarCtl
