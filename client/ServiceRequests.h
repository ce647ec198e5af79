// The client's side of each pipe request, apart from the pipe: building the request, and reading
// the reply or turning an unexpected one into an error that says what went wrong.
#pragma once

#include <cstdint>
#include <string>

#include "util/LogFileFormat.h"
#include "util/PipeRecords.h"
#include "util/ServiceSettingsTable.h"

namespace ZintarClient {

// The settings as GetSettings reports them and SetSettings takes them, read from a reply by
// SettingsOf: the table's own record and decoding, the same the service encodes with.
using Settings = ZintarUtil::PipeSettings;
using ZintarUtil::SettingsOf;

struct Filter {
    std::string text;
    bool include = false;
};

ZintarUtil::PipeRequest MakeRequest(std::uint32_t code);
ZintarUtil::PipeRequest WriteMessageRequest(const ZintarUtil::LogMessage& message);
ZintarUtil::PipeRequest SetSettingsRequest(const Settings& settings);
// Throws ExceptionBase when the text does not fit its field (1023 characters for a path, 127 for
// a filter): the service would refuse it.
ZintarUtil::PipeRequest SetLogFileNameRequest(const std::string& path);
ZintarUtil::PipeRequest GetFilterRequest(std::uint32_t index);
ZintarUtil::PipeRequest AddFilterRequest(const Filter& filter);

// Throws ExceptionBase "<what> failed: ..." naming the reply when its code is not `expected`; its
// kind is NeedsAdministrator when the service refused the request to someone who is no
// administrator.
void ExpectReply(const ZintarUtil::PipeReply& reply, std::uint32_t expected, const std::string& what);
// The same, expecting the reply and giving the name that the protocol's table (PipeRecords.h)
// has for `request`.
void ExpectReplyTo(const ZintarUtil::PipeRequest& request, const ZintarUtil::PipeReply& reply);
std::string TextOf(const ZintarUtil::PipeReply& reply);
Filter FilterOf(const ZintarUtil::PipeReply& reply);

}  // namespace ZintarClient
