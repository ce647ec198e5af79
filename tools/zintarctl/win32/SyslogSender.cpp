#include "SyslogSender.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include "Exceptions.h"
#include "CommandLineValues.h"
#include "SystemTimes.h"

namespace ZintarCtl {

using ZintarUtil::Exceptions::ExceptionBase;

SyslogSender::SyslogSender(const std::string& address) : socket(INVALID_SOCKET)
{
    const auto [host, port] = ZintarUtil::SplitHostPort(address, "--syslog");
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr)
        throw ExceptionBase("Failed to reach the syslog server " + address + ": the name cannot be resolved");
    const SOCKET opened = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    const bool connected = opened != INVALID_SOCKET && connect(opened, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
    freeaddrinfo(found);
    if (!connected) {
        if (opened != INVALID_SOCKET)
            closesocket(opened);
        throw ExceptionBase("Failed to reach the syslog server " + address + ": no socket to it");
    }
    socket = opened;

    origin = ZintarUtil::ThisMachineOrigin(16);
}

SyslogSender::~SyslogSender()
{
    closesocket(static_cast<SOCKET>(socket));
    WSACleanup();
}

void SyslogSender::Send(const ZintarUtil::MessageRecord& record, std::uint64_t generation)
{
    const std::string datagram = ZintarUtil::SyslogRecord(record, generation, origin);
    if (send(static_cast<SOCKET>(socket), datagram.data(), static_cast<int>(datagram.size()), 0) == SOCKET_ERROR)
        ++dropped;
}

}  // namespace ZintarCtl
