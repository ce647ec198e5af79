#include "util/LogCursor.h"

#include <algorithm>

namespace ZintarUtil {

namespace {

constexpr std::size_t kHadRemembered = 65536;  // more than the largest ring holds

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

Search SearchRing(std::int32_t stored, const NewestRecord& newest, const ResumePoint& p)
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

std::vector<std::int32_t> LogCursor::FindFollowing(const FileHeader& header, const NewestRecord& newest,
                                                   bool leaveOutHad, CursorBatch& batch) const
{
    const std::int32_t stored = std::max(header.messageCount, 0);
    if (!position)
        return NewerThan(stored);
    // The records, oldest first, that `wanted` picks, less one of them for each copy the reader had.
    const auto select = [&](const auto& wanted) {
        std::vector<std::int32_t> indexes;
        std::unordered_map<std::uint64_t, std::uint32_t> passed;  // copies left out so far
        for (std::int32_t i = stored - 1; i >= 0; --i) {
            const MessageRecord record = newest(i);
            if (!wanted(i, record))
                continue;
            const auto had = leaveOutHad ? hadCopies.find(DigestOf(record.message)) : hadCopies.end();
            if (had == hadCopies.end() || passed[had->first]++ >= had->second)
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

std::optional<std::int32_t> LogCursor::FindQuickly(const FileHeader& header, const NewestRecord& newest) const
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

std::uint64_t LogCursor::Behind(const FileHeader& header, const NewestRecord& newest) const
{
    CursorBatch ignored;
    return FindFollowing(header, newest, false, ignored).size();
}

CursorBatch LogCursor::Take(const FileHeader& header, const NewestRecord& newest, std::size_t limit)
{
    CursorBatch batch;
    batch.generation = header.generation;
    if (limit == 0)
        return batch;
    const std::vector<std::int32_t> following = FindFollowing(header, newest, true, batch);
    const std::size_t count = std::min(limit, following.size());
    batch.records.reserve(count);
    for (std::size_t k = 0; k < count; ++k)
        batch.records.push_back(newest(following[k]));
    batch.behind = following.size() - count;
    if (count == 0)
        return batch;
    // Past the last record taken and what the reader had after it, up to the next one to take.
    const std::int32_t past = count < following.size() ? following[count] + 1 : 0;
    MoveTo(header, past == following[count - 1] ? batch.records.back() : newest(past), past);
    return batch;
}

void LogCursor::MoveTo(const FileHeader& header, const MessageRecord& record, std::int32_t i)
{
    position = ResumePoint{header.generation, record.sequence, DigestOf(record.message)};
    seenAt.reset();
    if (header.capacity > 0)
        seenAt = Slot{NewestFirstSlot(header.nextSlot, header.capacity, i), header.capacity};
}

void LogCursor::Had(std::uint64_t digest)
{
    hadOrder.push_back(digest);
    ++hadCopies[digest];
    if (hadOrder.size() > kHadRemembered) {
        const auto oldest = hadCopies.find(hadOrder.front());
        if (--oldest->second == 0)
            hadCopies.erase(oldest);
        hadOrder.pop_front();
    }
}

}  // namespace ZintarUtil
