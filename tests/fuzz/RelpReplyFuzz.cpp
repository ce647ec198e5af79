// Any bytes a collector may answer with: the RELP reader reads the same frames however the bytes
// are split (and a valid stream exactly its frames), every frame's data stands in the bytes as they
// arrived, and anything else ends in ExceptionBase, never a crash or unbounded growth.
#include <algorithm>
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

// A valid stream made of the input, each byte pair's first a frame's shape (its transaction number,
// near the largest one allowed for small values, its command, its length), the data taken from the
// bytes after it. However it is cut, read after every piece, it gives back exactly those frames.
void ValidStreamReadsTheSameInAnySplit(const std::uint8_t* data, std::size_t size)
{
    std::string stream;
    std::vector<RelpReply> written;
    for (std::size_t at = 0; at < size;) {
        const std::uint8_t shape = data[at++];
        const std::size_t length = std::min<std::size_t>(shape % 16, size - at);
        written.push_back({shape < 16 ? kRelpMaxTxnr - shape : shape, shape % 5 == 0 ? "serverclose" : "rsp",
                           std::string(reinterpret_cast<const char*>(data) + at, length)});
        stream += RelpFrame(written.back().txnr, written.back().command, written.back().data);
        at += length;
    }
    RelpReplyReader reader;
    std::size_t read = 0;
    for (std::size_t at = 0; at < stream.size();) {
        const std::size_t piece = 1 + data[at % size] % 8;
        reader.Feed(std::string_view(stream).substr(at, piece));
        at += piece;
        while (auto reply = reader.Next()) {  // a valid stream never throws
            const RelpReply& w = written.at(read++);
            if (reply->txnr != w.txnr || reply->command != w.command || reply->data != w.data)
                std::abort();
        }
    }
    if (read != written.size())
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    ValidStreamReadsTheSameInAnySplit(data, size);
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
