#include "RingCursor.h"

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

// What one pass over the ring learns about a position that is not where the header says.
struct Search {
    std::optional<std::int32_t> exact;       // the message, under its sequence
    std::optional<std::int32_t> renumbered;  // the message, under a newer sequence
    bool otherUnderSequence = false;         // another message under its sequence
    std::uint64_t lowestSequence = std::numeric_limits<std::uint64_t>::max();
};

Search SearchRing(std::int32_t stored, const RingCursor::NewestRecord& newest, const ResumePoint& p)
{
    Search found;
    for (std::int32_t i = 0; i < stored; ++i) {
        const MessageRecord record = newest(i);
        found.lowestSequence = std::min(found.lowestSequence, record.sequence);
        if (record.sequence < p.sequence)
            continue;
        const bool same = DigestOf(record.message) == p.digest;
        if (record.sequence == p.sequence && same)
            found.exact = i;
        else if (record.sequence == p.sequence)
            found.otherUnderSequence = true;
        else if (same && !found.renumbered)
            found.renumbered = i;  // the newest copy
    }
    return found;
}

}  // namespace

std::vector<std::int32_t> RingCursor::FindFollowing(const FileHeader& header, const NewestRecord& newest,
                                                    std::uint64_t& lost) const
{
    const std::int32_t stored = std::max(header.messageCount, 0);
    if (!position)
        return NewerThan(stored);
    const ResumePoint& p = *position;
    if (p.sequence < header.nextSequence) {
        const std::uint64_t back = header.nextSequence - 1 - p.sequence;
        if (back < static_cast<std::uint64_t>(stored)) {
            const MessageRecord there = newest(static_cast<std::int32_t>(back));
            if (there.sequence == p.sequence && DigestOf(there.message) == p.digest)
                return NewerThan(static_cast<std::int32_t>(back));
        }
    }

    const Search found = SearchRing(stored, newest, p);
    if (found.exact)
        return NewerThan(*found.exact);
    const auto numberedAfter = [&](std::optional<std::int32_t> except) {
        std::vector<std::int32_t> indexes;
        for (std::int32_t i = stored - 1; i >= 0; --i)
            if (i != except && newest(i).sequence > p.sequence)
                indexes.push_back(i);
        return indexes;
    };
    if (found.renumbered)
        return numberedAfter(found.renumbered);
    if (stored == 0)
        return {};
    if (found.otherUnderSequence || header.nextSequence <= p.sequence)
        return NewerThan(stored);  // a new log file
    if (found.lowestSequence > p.sequence) {
        lost = found.lowestSequence - p.sequence - 1;
        return NewerThan(stored);
    }
    return numberedAfter(std::nullopt);  // a repair dropped the message itself
}

std::uint64_t RingCursor::Behind(const FileHeader& header, const NewestRecord& newest) const
{
    std::uint64_t lost = 0;
    return FindFollowing(header, newest, lost).size();
}

RingBatch RingCursor::Take(const FileHeader& header, const NewestRecord& newest, std::size_t limit)
{
    RingBatch batch;
    batch.generation = header.generation;
    if (limit == 0)
        return batch;
    const std::vector<std::int32_t> following = FindFollowing(header, newest, batch.lost);
    const std::size_t count = std::min(limit, following.size());
    batch.records.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        batch.records.push_back(newest(following[k]));
    batch.behind = following.size() - count;
    if (count > 0) {
        const MessageRecord& last = batch.records.back();
        position = ResumePoint{header.generation, last.sequence, DigestOf(last.message)};
    }
    return batch;
}

}  // namespace ZintarForward
