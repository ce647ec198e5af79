// The write queue flushing into a ring in memory, with a follower reading the ring, checked
// against a model after every step: the ring stays sound and holds exactly the queue's newest
// entries, and the follower delivers every message exactly once per generation, oldest first.
// The native tests run it over fixed seeds; the fuzz target runs it over arbitrary bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "Server/WriteQueue.h"
#include "util/LogFileFormat.h"

namespace ZintarTest {

// A ring of slots in memory, written the way the service writes the log file.
struct MemoryRing : ZintarServer::RingSlots {
    explicit MemoryRing(std::int32_t capacity);

    void Read(std::int32_t slot, ZintarUtil::MessageRecord& record) override;
    void Write(std::int32_t slot, const ZintarUtil::MessageRecord& record) override;

    // Writes the queue's pending entries; false when the write was refused by `failAt` (the
    // number of slots written before the failure), which leaves the header as it was.
    bool Flush(ZintarServer::WriteQueue& queue, int failAt = -1);
    const ZintarUtil::MessageRecord& Newest(std::int32_t i) const;
    std::vector<std::uint64_t> NewestKeys() const;
    // The header, the lock names and the slots, as the file would hold them.
    std::vector<unsigned char> Image() const;

    ZintarUtil::FileHeader header{};
    std::vector<ZintarUtil::MessageRecord> slots;
    int writesLeft = -1;  // a write fails when it reaches 0; negative: none fails
};

// Runs the steps that `bytes` encode (the first picks the ring's size, which is the queue's limit; each
// further byte is an arrival, a flush, a failing flush, a writer dying in a flush, a flush and a
// restart of the service, or a poll) and returns the first broken rule, or an empty text.
std::string RunQueueModel(const std::uint8_t* bytes, std::size_t size);

}  // namespace ZintarTest
