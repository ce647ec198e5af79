// Sends log messages as RFC 5424 syslog datagrams over UDP to one server.
#pragma once

#include <cstdint>
#include <string>

#include "util/LogFileFormat.h"
#include "util/SyslogRecord.h"
#include "util/win32/UniqueSocket.h"

namespace ZintarCtl {

class SyslogSender {
public:
    // Resolves `address` ("host:port") and opens a UDP socket to it. Throws ExceptionBase
    // "Failed to reach the syslog server ..." when the name cannot be resolved.
    explicit SyslogSender(const std::string& address);
    SyslogSender(const SyslogSender&) = delete;
    SyslogSender& operator=(const SyslogSender&) = delete;
    ~SyslogSender();

    // UDP gives no answer: a datagram that cannot be sent is counted and otherwise dropped.
    // `generation` is that of the log the record was read from.
    void Send(const ZintarUtil::MessageRecord& record, std::uint64_t generation);
    std::uint64_t Dropped() const { return dropped; }

private:
    ZintarUtil::UniqueSocket socket;
    ZintarUtil::SyslogOrigin origin;
    std::uint64_t dropped = 0;
};

}  // namespace ZintarCtl
