// The service's pipe protocol as typed calls. Each call sends one request and checks its reply
// against the protocol's table (PipeRecords.h); a reply other than the one the table gives throws
// ExceptionBase naming the request and what the reply means. The connection is made at
// construction and ends with the object (the service also ends it after 10 s without a request).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "client/ServiceRequests.h"
#include "client/win32/PipeClient.h"
#include "util/LogFileFormat.h"

namespace ZintarClient {

class ServiceClient {
public:
    // Throws ExceptionWindows when the service does not answer within `timeoutMs`.
    explicit ServiceClient(std::uint32_t timeoutMs = 5000, const std::string& pipeName = ZintarUtil::kRequestPipeName);

    std::string GetFileMapName();
    void Ping();
    // The message is added and flushed before the reply; one the service's filters refuse is
    // still answered as done.
    void WriteMessage(const ZintarUtil::LogMessage& message);
    Settings GetSettings();
    // The service restarts itself a second later to apply them (clients are disconnected then).
    void SetSettings(const Settings& settings);
    std::string GetLogFileName();
    // Takes effect when the service next stops, which moves the file there.
    void SetLogFileName(const std::string& path);
    std::string GetDefaultLogFileName();
    // Every filter, include filters first.
    std::vector<Filter> ListFilters();
    void AddFilter(const Filter& filter);
    void ClearFilters();

    // Any request of the protocol's table, checked as the typed calls check theirs: a request
    // with no typed call of its own is sent through this.
    ZintarUtil::PipeReply Call(const ZintarUtil::PipeRequest& request);

private:
    PipeClient pipe;
};

}  // namespace ZintarClient
