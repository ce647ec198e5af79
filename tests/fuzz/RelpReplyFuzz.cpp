// Any bytes a collector may answer with: the RELP reader reads the same frames however the bytes
// are split, every frame's data stands in the bytes as they arrived, and anything else ends in
// ExceptionBase, never a crash or unbounded growth.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/zintar-forward/RelpProtocol.h"
#include "util/Exceptions.h"

using namespace ZintarForward;
using ZintarUtil::Exceptions::ExceptionBase;

namespace {

struct Reading {
    std::vector<RelpReply> frames;
    bool refused = false;
};

Reading ReadAll(const std::string& bytes, std::size_t piece)
{
    Reading reading;
    RelpReplyReader reader;
    try {
        for (std::size_t at = 0; at < bytes.size(); at += piece) {
            reader.Feed(bytes.substr(at, piece));
            while (auto reply = reader.Next())
                reading.frames.push_back(*reply);
        }
    } catch (const ExceptionBase&) {
        reading.refused = true;
    }
    return reading;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const std::size_t piece = data[0] % 16 + 1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    const Reading whole = ReadAll(bytes, bytes.size() + 1);
    const Reading pieces = ReadAll(bytes, piece);
    if (whole.refused != pieces.refused || whole.frames.size() != pieces.frames.size())
        std::abort();
    std::size_t at = 0;
    for (std::size_t i = 0; i < whole.frames.size(); ++i) {
        const RelpReply& a = whole.frames[i];
        const RelpReply& b = pieces.frames[i];
        if (a.txnr != b.txnr || a.command != b.command || a.data != b.data || a.data.size() > RelpReplyReader::kMaxData)
            std::abort();
        at = bytes.find(a.command + " ", at);
        if (at == std::string::npos || bytes.find(a.data, at) == std::string::npos)
            std::abort();  // a frame made up rather than read
        try {
            const int code = ParseRelpStatus(a.data).code;
            if (code < 0 || code > 999)
                std::abort();
        } catch (const ExceptionBase&) {
        }
    }
    return 0;
}
