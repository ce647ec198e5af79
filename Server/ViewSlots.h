// The ring of a mapped log file as the write queue sees it (RingSlots): one record copied into or
// out of a slot of the view, each copy inside the guarded view access (so an in-page error is
// retried, GuardedViewAccess.h) and never past the `length` bytes that the view shows, whatever
// slot a header asks for. A copy that fails throws ExceptionBase(`failure`) with the cause inside:
// the caller names the operation, the cause says what went wrong.
//
// Portable: it sees only the view's bytes. Made for one operation under read or write access,
// while the view stays mapped; the caller keeps `failure` alive as long.
#pragma once

#include <cstdint>

#include "Server/WriteQueue.h"
#include "util/LogFileFormat.h"

namespace ZintarServer {

class ViewSlots final : public RingSlots {
public:
    ViewSlots(unsigned char* view, std::uint64_t length, const char* failure)
        : view(view), length(length), failure(failure)
    {
    }

    void Read(std::int32_t slot, ZintarUtil::MessageRecord& record) override;
    void Write(std::int32_t slot, const ZintarUtil::MessageRecord& record) override;

private:
    // The slot's record lies inside the view, or this throws the cause (not yet wrapped).
    void CheckSlotInView(std::int32_t slot) const;
    template <class Copy>
    void Report(Copy&& copy) const;

    unsigned char* view;
    std::uint64_t length;
    const char* failure;
};

}  // namespace ZintarServer
