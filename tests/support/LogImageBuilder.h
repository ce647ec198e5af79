// Builds log file images in memory for the tests of the format and the soundness test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "util/LogFileFormat.h"

namespace ZintarTest {

// A message `key` milliseconds into 1 January 2026 (0 ≤ key < 86,400,000): a whole record, whose
// sortKey is kKeyBase + key.
ZintarUtil::LogMessage MessageWithKey(std::uint64_t key, const std::string& text = "message");
extern const std::uint64_t kKeyBase;
// The `key` of such a message.
std::uint64_t KeyOf(const ZintarUtil::LogMessage& message);
// A stored record as a client reads it: sequence `second`, dated 2026-12-06 10:00:`second`.005.
ZintarUtil::MessageRecord RecordAt(std::int16_t second, std::uint32_t type, const char* text, const char* aux = "");

class LogImage {
public:
    explicit LogImage(std::int32_t capacity);

    ZintarUtil::FileHeader& Header() { return header; }
    ZintarUtil::LockNames& Names() { return names; }
    ZintarUtil::MessageRecord& Slot(std::int32_t slot);

    // Writes the records into the ring the way the writer does: at nextSlot, then onwards.
    void Append(const ZintarUtil::LogMessage& message);

    // The header followed by the lock names and the slots, as the file holds them.
    std::vector<unsigned char> Bytes() const;

private:
    ZintarUtil::FileHeader header{};
    ZintarUtil::LockNames names{};
    std::vector<ZintarUtil::MessageRecord> slots;
};

}  // namespace ZintarTest
