#include "util/LogFileSalvage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <utility>

#include "tests/support/LogImageBuilder.h"

using namespace ZintarUtil;
using ZintarTest::LogImage;
using ZintarTest::MessageWithKey;

namespace {

using Kept = std::pair<std::uint64_t, std::uint64_t>;  // key and sequence

constexpr TimeFields kLastMoment{30827, 12, 31, 23, 59, 59, 999, 0};  // of the calendar, as Windows counts

// Sets slot `slot` to the message with `key`, stored under `sequence`.
void Put(LogImage& image, std::int32_t slot, std::uint64_t key, std::uint64_t sequence)
{
    image.Slot(slot) = MessageRecord{};
    image.Slot(slot).sequence = sequence;
    image.Slot(slot).message = MessageWithKey(key, "message " + std::to_string(key));
}

}  // namespace

// Damaged images as a crash or a power loss leaves them → what the salvage keeps (oldest first)
// and how many slots it drops. The starting point is a full ring of 6: keys 10 .. 60 stored with
// sequences 0 .. 5 in slots 0 .. 5.
TEST(Salvage, DamagedImages)
{
    struct Case {
        const char* name;
        std::function<void(LogImage&)> damage;
        std::uint32_t keepNewest;
        std::vector<Kept> kept;
        std::uint64_t dropped;
    };
    const std::vector<Kept> all{{10, 0}, {20, 1}, {30, 2}, {40, 3}, {50, 4}, {60, 5}};
    const std::uint64_t lastMoment = SortKeyOf(kLastMoment) - ZintarTest::kKeyBase;
    const Case cases[] = {
        {"a torn header: the slots are all there is to go by",
         [](LogImage& i) { std::memset(&i.Header(), 0xA5, sizeof(FileHeader)); }, 6, all, 0},
        {"random slots overwritten",
         [](LogImage& i) {
             for (std::int32_t slot : {1, 4})
                 for (std::size_t b = 0; b < kRecordSize; ++b)
                     reinterpret_cast<unsigned char*>(&i.Slot(slot))[b] = static_cast<unsigned char>(b * 131 + slot);
         },
         6,
         {{10, 0}, {30, 2}, {40, 3}, {60, 5}},
         2},
        {"a torn full rewrite: 20 .. 50 copied down one slot, stopped after two",
         [](LogImage& i) {
             Put(i, 0, 20, 1);
             Put(i, 1, 30, 2);
         },
         6,
         {{20, 1}, {30, 2}, {40, 3}, {50, 4}, {60, 5}},
         1},
        {"a torn shift: 60 copied on and renumbered before 55 took its place; the first copy is kept",
         [](LogImage& i) { Put(i, 0, 60, 7); },
         6,
         {{20, 1}, {30, 2}, {40, 3}, {50, 4}, {60, 5}},
         1},
        {"records beyond the limit: the newest are kept", [](LogImage&) {}, 4, {{30, 2}, {40, 3}, {50, 4}, {60, 5}}, 2},
        {"equal keys stand in the order of their sequences",
         [](LogImage& i) {
             Put(i, 0, 40, 9);
             std::strcpy(i.Slot(0).message.text, "another message at the same time");
         },
         6,
         {{20, 1}, {30, 2}, {40, 3}, {40, 9}, {50, 4}, {60, 5}},
         0},
        {"copies of one message under two sequences, another message of its time between them",
         [](LogImage& i) {
             Put(i, 0, 40, 7);
             Put(i, 1, 40, 6);
             std::strcpy(i.Slot(1).message.text, "another message at the same time");
         },
         6,
         {{30, 2}, {40, 3}, {40, 6}, {50, 4}, {60, 5}},
         1},
        {"a record at the calendar's last moment is whole",
         [](LogImage& i) { i.Slot(0).message.timeStamp = kLastMoment; },
         6,
         {{20, 1}, {30, 2}, {40, 3}, {50, 4}, {60, 5}, {lastMoment, 0}},
         0},
        {"never written slots are not counted; a time outside the calendar is",
         [](LogImage& i) {
             i.Slot(0) = MessageRecord{};
             i.Slot(1).message.timeStamp.month = 13;
             i.Slot(2).message.timeStamp.hour = 24;
             i.Slot(3).message.type = 4;
             std::memset(i.Slot(4).message.auxText, 'x', kTextFieldSize);
         },
         6,
         {{60, 5}},
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogImage image(6);
        for (std::uint64_t key = 10; key <= 60; key += 10)
            image.Append(MessageWithKey(key, "message " + std::to_string(key)));
        c.damage(image);
        const std::vector<unsigned char> bytes = image.Bytes();
        const Salvage salvage = SalvageRecords(bytes.data() + kSlotsOffset, 6, c.keepNewest);
        std::vector<Kept> kept;
        for (const SalvagedRecord& record : salvage.records)
            kept.push_back({record.sortKey - ZintarTest::kKeyBase, record.sequence});
        EXPECT_EQ(kept, c.kept);
        EXPECT_EQ(salvage.dropped, c.dropped);

        const FileHeader header = RepairedHeader(image.Header(), salvage, 8);
        EXPECT_EQ(header.messageCount, static_cast<std::int32_t>(c.kept.size()));
        EXPECT_EQ(header.nextSlot, static_cast<std::int32_t>(c.kept.size()) % 8);
        std::uint64_t highest = 0;
        for (const Kept& one : c.kept)
            highest = std::max(highest, one.second);
        EXPECT_EQ(header.nextSequence, c.kept.empty() ? 0 : highest + 1);
        EXPECT_EQ(header.generation, image.Header().generation + 1);
    }
}
