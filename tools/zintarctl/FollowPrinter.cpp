#include "tools/zintarctl/FollowPrinter.h"

#include <algorithm>

namespace ZintarCtl {

using ZintarUtil::MessageRecord;

std::vector<MessageRecord> FollowPrinter::Start(const ZintarUtil::FollowUpdate& whole)
{
    std::vector<MessageRecord> selected = Selected(seen.Fresh(whole, whole.header.capacity));
    if (selected.size() > lines)
        selected.erase(selected.begin(), selected.end() - lines);
    return selected;
}

std::vector<MessageRecord> FollowPrinter::Next(const ZintarUtil::FollowUpdate& update)
{
    return Selected(seen.Fresh(update, update.header.capacity));
}

std::vector<MessageRecord> FollowPrinter::Selected(std::vector<MessageRecord> records) const
{
    std::erase_if(records, [this](const MessageRecord& record) { return !Selects(selection, record.message); });
    return records;
}

ZintarUtil::FollowUpdate WholeLog(const ZintarUtil::FileHeader& header, const std::vector<MessageRecord>& newestFirst)
{
    ZintarUtil::FollowUpdate update;
    update.header = header;
    update.header.capacity = std::max<std::int32_t>(header.capacity, static_cast<std::int32_t>(newestFirst.size()));
    update.restarted = true;
    update.messages.assign(newestFirst.rbegin(), newestFirst.rend());
    return update;
}

}  // namespace ZintarCtl
