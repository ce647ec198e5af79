#include "tools/zintarctl/FollowPrinter.h"

#include <algorithm>
#include <limits>

namespace ZintarCtl {

using ZintarUtil::MessageRecord;

std::vector<MessageRecord> FollowPrinter::Look(const ZintarUtil::FileHeader& header,
                                               const ZintarUtil::NewestRecord& newest)
{
    ZintarUtil::CursorBatch batch = cursor.Take(header, newest, std::numeric_limits<std::size_t>::max());
    for (const MessageRecord& record : batch.records)
        cursor.Had(ZintarUtil::DigestOf(record.message));  // as stored, before `shown` changes it
    generation = header.generation;
    missed += batch.lost;
    std::vector<MessageRecord>& records = batch.records;
    if (shown)
        shown(records);
    std::erase_if(records, [this](const MessageRecord& record) { return !Selects(selection, record.message); });
    if (!std::exchange(started, true) && records.size() > lines)
        records.erase(records.begin(), records.end() - lines);
    return std::move(records);
}

std::vector<MessageRecord> FollowPrinter::Look(const ZintarUtil::LogImageContent& file)
{
    ZintarUtil::FileHeader header = file.header;
    header.messageCount = static_cast<std::int32_t>(file.newestFirst.size());  // what a damaged file kept
    return Look(header, [&](std::int32_t i) { return file.newestFirst.at(static_cast<std::size_t>(i)); });
}

}  // namespace ZintarCtl
