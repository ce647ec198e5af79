// The writer's queue and the ring it fills: keeps the newest messages that the admission test
// lets in, in time order (WriteQueue), and writes the pending ones into the ring of the mapped log
// file in batches, each under one write access that publishes it through the update count.
//
// The queue is never longer than the smaller of maxMessage and the ring's capacity in the open
// file, even while a raised maxMessage waits for the restart that grows the file.
//
// Not thread-safe: the service calls it with its intake mutex held, a start before the intake
// begins. A queued message is judged and the queue trimmed under settingsMutex; a flush holds
// write access and no settings.
#pragma once

#include <algorithm>
#include <cstdint>

#include "Server/ServiceSettings.h"
#include "Server/WriteQueue.h"
#include "Server/win32/LogFileView.h"
#include "Server/win32/WriteAccessGate.h"
#include "util/win32/MessageFile.h"
#include "util/win32/Mutex.h"

namespace ZintarServer {

class RingWriter {
public:
    RingWriter(ZintarUtil::MessageFile& file, const LogFileView& view, WriteAccessGate& gate, ServiceSettings* settings,
               ZintarUtil::Mutex* settingsMutex);
    RingWriter(const RingWriter&) = delete;
    RingWriter& operator=(const RingWriter&) = delete;

    // Queues one message if the admission test keeps it.
    void AddMessage(const ZintarUtil::LogMessage& message);
    // Writes the pending entries into the ring and publishes them. A failed flush leaves them
    // pending, for the next one to write into the same slots.
    void FlushWrites();
    bool HasUnwritten() const { return queue.PendingCount() > 0; }
    // Whether half a ring of messages waits to be written: a drain writes them before it reads
    // more. A ring's worth pending at once can only be written by rewriting the whole ring, which
    // leaves every record unnumbered, and a reader that follows the ring (the forwarder) could no
    // longer count what such a burst overwrote before it was read.
    bool HalfRingPending() const
    {
        return queue.PendingCount() >= std::max<std::int64_t>(std::int64_t{ringCapacity} / 2, 1);
    }

    // For a start, which loads, compacts or rebuilds the queue from the file it found, and then
    // says how many slots the ring of the open file has.
    WriteQueue& Queue() { return queue; }
    const WriteQueue& Queue() const { return queue; }
    void SetRingCapacity(std::uint32_t slots) { ringCapacity = slots; }

private:
    WriteQueue queue;  // pendingList, pendingCount and displacedCount
    std::uint32_t ringCapacity = 0;
    ZintarUtil::MessageFile& file;
    const LogFileView& view;
    WriteAccessGate& gate;
    ServiceSettings* settings;
    ZintarUtil::Mutex* settingsMutex;
};

}  // namespace ZintarServer
