#include "Server/ViewSlots.h"

#include <cstring>

#include "util/Exceptions.h"
#include "util/GuardedViewAccess.h"

namespace ZintarServer {

using ZintarUtil::GuardedViewAccess;
using ZintarUtil::MessageRecord;
using ZintarUtil::Exceptions::ExceptionBase;

void ViewSlots::Read(std::int32_t slot, MessageRecord& record)
{
    Report([&] {
        CheckSlotInView(slot);
        GuardedViewAccess([&] { std::memcpy(&record, view + ZintarUtil::SlotOffset(slot), sizeof record); });
    });
}

void ViewSlots::Write(std::int32_t slot, const MessageRecord& record)
{
    Report([&] {
        CheckSlotInView(slot);
        GuardedViewAccess([&] { std::memcpy(view + ZintarUtil::SlotOffset(slot), &record, sizeof record); });
    });
}

void ViewSlots::CheckSlotInView(std::int32_t slot) const
{
    if (slot < 0 || ZintarUtil::SlotOffset(slot) + ZintarUtil::kRecordSize > length)
        throw ExceptionBase("The log file's header describes slots beyond the mapped file");
}

template <class Copy>
void ViewSlots::Report(Copy&& copy) const
{
    try {
        copy();
    } catch (const ExceptionBase& e) {
        throw ExceptionBase(failure, &e);
    }
}

}  // namespace ZintarServer
