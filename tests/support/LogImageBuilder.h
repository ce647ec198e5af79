// Builds log file images in memory for the tests of the format and the soundness test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "LogFileFormat.h"

namespace ZintarTest {

// A message whose sortKey is `key`: the key is spread over the time stamp so that
// SortKeyOf(MessageWithKey(k)) == k for 0 ≤ k < 1000 × 60 × 60 × 24.
ZintarUtil::LogMessage MessageWithKey(std::uint64_t key, const std::string& text = "message");

class LogImage {
public:
    explicit LogImage(std::int32_t capacity);

    ZintarUtil::FileHeader& Header() { return header; }
    ZintarUtil::MessageRecord& Slot(std::int32_t slot);

    // Writes the records into the ring the way the writer does: at nextSlot, then onwards.
    void Append(const ZintarUtil::LogMessage& message);

    // The header followed by the lock names and the slots, as the file holds them.
    std::vector<unsigned char> Bytes() const;

private:
    ZintarUtil::FileHeader header{};
    std::vector<ZintarUtil::MessageRecord> slots;
};

}  // namespace ZintarTest
