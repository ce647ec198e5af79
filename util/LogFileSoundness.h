// The test that decides whether the messages stored in a log file can be kept.
// It reads only what it is given: a header copy, record copies in newest-first order, or a byte
// image of known length; it never reads past the bytes it is handed.
#pragma once

#include <cstddef>
#include <cstdint>

#include "util/LogFileFormat.h"

namespace ZintarUtil {

// The header rules: no negative counts, messageCount ≤ capacity, nextSlot < capacity (so
// capacity ≥ 1), and every one of the capacity slots lies within the first `fileLength` bytes.
// A file cut short, or whose header claims more slots than it holds, is not sound: reading the
// slots it describes would leave the mapping. readCount is not judged: it counts readers of the
// moment (the verifier itself among them), and the writer resets it whenever it maps the file.
bool IsSoundHeader(const FileHeader& header, std::uint64_t fileLength);

// A message a reader can take as it is: the type below 4, text and auxText each holding a NUL.
bool IsWellFormedMessage(const LogMessage& message);

// The record rules, fed the records newest first: keys never rise walking towards older records
// (equal keys are fine), and each message is well formed.
class RecordSequenceCheck {
public:
    bool Accept(const MessageRecord& record);

private:
    std::uint64_t previousKey = UINT64_MAX;
};

// The whole test over a file image of `length` bytes.
bool IsSoundLogImage(const void* bytes, std::size_t length);

}  // namespace ZintarUtil
