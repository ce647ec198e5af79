#include "tools/zintar-forward/RingCursor.h"

#include <algorithm>
#include <limits>

namespace ZintarForward {

using ZintarUtil::DigestOf;
using ZintarUtil::FileHeader;
using ZintarUtil::MessageRecord;

namespace {

// Newest-first indexes from `newestExcluded` − 1 down to 0: the records after that one, oldest first.
std::vector<std::int32_t> NewerThan(std::int32_t newestExcluded)
{
    std::vector<std::int32_t> indexes;
    for (std::int32_t i = newestExcluded - 1; i >= 0; --i)
        indexes.push_back(i);
    return indexes;
}

// What one pass over the ring learns about a position that is not where it was. Sequence 0 is
// also what a record gets that was written in a burst larger than the ring (the writer rewrites
// the ring whole and numbers nothing), so only other sequences count as numbered.
struct Search {
    std::optional<std::int32_t> exact;  // the message, under its sequence
    std::optional<std::int32_t> copy;   // the message, under another sequence (a rewrite moved it)
    bool otherUnderSequence = false;    // another numbered message under its sequence
    std::optional<std::uint64_t> lowestNumbered;
};

Search SearchRing(std::int32_t stored, const RingCursor::NewestRecord& newest, const ResumePoint& p)
{
    Search found;
    for (std::int32_t i = 0; i < stored; ++i) {
        const MessageRecord record = newest(i);
        if (record.sequence != 0)
            found.lowestNumbered = std::min(found.lowestNumbered.value_or(record.sequence), record.sequence);
        const bool same = DigestOf(record.message) == p.digest;
        if (same && record.sequence == p.sequence && !found.exact)
            found.exact = i;
        else if (same && !found.copy)
            found.copy = i;  // the newest copy
        else if (!same && record.sequence == p.sequence && p.sequence != 0)
            found.otherUnderSequence = true;
    }
    return found;
}

}  // namespace

std::vector<std::int32_t> RingCursor::FindFollowing(const FileHeader& header, const NewestRecord& newest,
                                                    const Delivered& delivered, RingBatch& batch) const
{
    const std::int32_t stored = std::max(header.messageCount, 0);
    if (!position)
        return NewerThan(stored);
    // The records, oldest first, that `wanted` picks and that were not delivered already.
    const auto select = [&](const auto& wanted) {
        std::vector<std::int32_t> indexes;
        for (std::int32_t i = stored - 1; i >= 0; --i) {
            const MessageRecord record = newest(i);
            if (wanted(i, record) && !(delivered && delivered(DigestOf(record.message))))
                indexes.push_back(i);
        }
        return indexes;
    };
    const auto all = [](std::int32_t, const MessageRecord&) { return true; };
    const ResumePoint& p = *position;
    if (p.generation > header.generation || p.sequence >= header.nextSequence) {
        batch.positionAhead = true;
        return select(all);
    }
    if (const std::optional<std::int32_t> at = FindQuickly(header, newest))
        return NewerThan(*at);
    const Search found = SearchRing(stored, newest, p);
    if (found.exact || found.copy) {
        // Newer in the ring; older only where a rewrite since renumbered it after the message, or
        // a burst left it unnumbered.
        const std::int32_t at = found.exact ? *found.exact : *found.copy;
        const bool rewritten = header.generation != p.generation && p.sequence != 0;
        return select([&](std::int32_t i, const MessageRecord& r) {
            return i < at || (i > at && (r.sequence > p.sequence || (rewritten && r.sequence == 0)));
        });
    }
    if (stored == 0)
        return {};
    if (found.otherUnderSequence)
        return select(all);  // a new log file
    if (!found.lowestNumbered || *found.lowestNumbered > p.sequence) {
        // Overwritten: counted by the numbers in between, where there are any.
        if (found.lowestNumbered)
            batch.lost = *found.lowestNumbered - p.sequence - 1;
        batch.uncounted = !found.lowestNumbered;
        return select(all);
    }
    // A repair dropped the message itself.
    return select([&](std::int32_t, const MessageRecord& r) { return r.sequence > p.sequence || r.sequence == 0; });
}

std::optional<std::int32_t> RingCursor::FindQuickly(const FileHeader& header, const NewestRecord& newest) const
{
    const ResumePoint& p = *position;
    const std::int32_t stored = std::max(header.messageCount, 0);
    const auto holds = [&](std::int64_t i) {
        if (i < 0 || i >= stored)
            return false;
        const MessageRecord there = newest(static_cast<std::int32_t>(i));
        return there.sequence == p.sequence && DigestOf(there.message) == p.digest;
    };
    if (p.sequence < header.nextSequence && header.nextSequence - 1 - p.sequence < static_cast<std::uint64_t>(stored) &&
        holds(static_cast<std::int64_t>(header.nextSequence - 1 - p.sequence)))
        return static_cast<std::int32_t>(header.nextSequence - 1 - p.sequence);
    if (seenAt && seenAt->capacity == header.capacity && header.capacity > 0) {
        const std::int64_t i =
            (static_cast<std::int64_t>(header.nextSlot) - 1 - seenAt->slot + header.capacity) % header.capacity;
        if (holds(i))
            return static_cast<std::int32_t>(i);
    }
    return std::nullopt;
}

std::uint64_t RingCursor::Behind(const FileHeader& header, const NewestRecord& newest) const
{
    RingBatch ignored;
    return FindFollowing(header, newest, nullptr, ignored).size();
}

RingBatch RingCursor::Take(const FileHeader& header, const NewestRecord& newest, std::size_t limit,
                           const Delivered& delivered)
{
    RingBatch batch;
    batch.generation = header.generation;
    if (limit == 0)
        return batch;
    const std::vector<std::int32_t> following = FindFollowing(header, newest, delivered, batch);
    const std::size_t count = std::min(limit, following.size());
    batch.records.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        batch.records.push_back(newest(following[k]));
    batch.behind = following.size() - count;
    if (count > 0) {
        const MessageRecord& last = batch.records.back();
        position = ResumePoint{header.generation, last.sequence, DigestOf(last.message)};
        seenAt.reset();
        if (header.capacity > 0)
            seenAt = Slot{ZintarUtil::NewestFirstSlot(header.nextSlot, header.capacity, following[count - 1]),
                          header.capacity};
    }
    return batch;
}

}  // namespace ZintarForward
