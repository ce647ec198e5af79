#include "util/LogFileSoundness.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "tests/support/LogImageBuilder.h"

using namespace ZintarUtil;
using ZintarTest::LogImage;
using ZintarTest::MessageWithKey;

namespace {

bool IsSound(const std::vector<unsigned char>& bytes)
{
    // An exactly sized copy, so that the sanitizer sees any read beyond the image.
    const std::vector<unsigned char> exact(bytes);
    return IsSoundLogImage(exact.data(), exact.size());
}

}  // namespace

// A full ring of three (keys 20, 30, 40 in slots 1, 2, 0: nextSlot 1, the newest in slot 0), one
// change at a time.
TEST(Soundness, MutationsOfAFullRing)
{
    struct Case {
        const char* name;
        std::function<void(LogImage&)> change;
        bool sound;
    };
    const Case cases[] = {
        {"as written", [](LogImage&) {}, true},
        {"negative count", [](LogImage& i) { i.Header().messageCount = -1; }, false},
        {"negative capacity", [](LogImage& i) { i.Header().capacity = -1; }, false},
        {"negative next slot", [](LogImage& i) { i.Header().nextSlot = -1; }, false},
        {"negative next slot, no record to walk",
         [](LogImage& i) {
             i.Header().messageCount = 0;
             i.Header().nextSlot = -2;
         },
         false},
        {"more messages than slots", [](LogImage& i) { i.Header().messageCount = 4; }, false},
        {"next slot outside the ring", [](LogImage& i) { i.Header().nextSlot = 3; }, false},
        {"more slots than the bytes hold", [](LogImage& i) { i.Header().capacity = 1000; }, false},
        {"older record with a larger key", [](LogImage& i) { i.Slot(1).message = MessageWithKey(35); }, false},
        {"older record with an equal key", [](LogImage& i) { i.Slot(1).message = MessageWithKey(30); }, true},
        {"text without NUL", [](LogImage& i) { std::memset(i.Slot(2).message.text, 'x', kTextFieldSize); }, false},
        {"text NUL in its last byte",
         [](LogImage& i) {
             std::memset(i.Slot(2).message.text, 'x', kTextFieldSize);
             i.Slot(2).message.text[kTextFieldSize - 1] = '\0';
         },
         true},
        {"auxText without NUL", [](LogImage& i) { std::memset(i.Slot(0).message.auxText, 'y', kTextFieldSize); },
         false},
        {"type 3", [](LogImage& i) { i.Slot(1).message.type = 3; }, true},
        {"type 4", [](LogImage& i) { i.Slot(1).message.type = 4; }, false},
        {"records outside the count are not judged",
         [](LogImage& i) {
             i.Header().messageCount = 2;
             i.Slot(1).message.type = 9;
             i.Slot(1).message.text[0] = 'z';
         },
         true},
        {"padding, filler and counters are not judged",
         [](LogImage& i) {
             FileHeader& header = i.Header();
             header.readCount = 7;
             header.serverRunning = 1;
             std::memset(header.padding1, 0xAB, sizeof header.padding1);
             std::memset(header.padding2, 0xCD, sizeof header.padding2);
             header.updateCount = header.generation = header.nextSequence = 0xFFFFFFFFFFFFull;
             std::memset(i.Slot(0).filler, 0xEE, sizeof i.Slot(0).filler);
         },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogImage image(3);
        for (std::uint64_t key : {10, 20, 30, 40})
            image.Append(MessageWithKey(key));
        c.change(image);
        EXPECT_EQ(IsSound(image.Bytes()), c.sound);
    }
}

TEST(Soundness, ImagesOfOtherShapes)
{
    EXPECT_TRUE(IsSound(LogImage(1).Bytes())) << "an empty ring of one slot";
    EXPECT_FALSE(IsSound(LogImage(0).Bytes())) << "no slot at all";
    std::vector<unsigned char> bytes = LogImage(3).Bytes();
    EXPECT_FALSE(IsSound(std::vector<unsigned char>(bytes.begin(), bytes.end() - kRecordSize / 2)))
        << "cut in a record";
    EXPECT_FALSE(IsSound(std::vector<unsigned char>(bytes.begin(), bytes.begin() + 20))) << "shorter than a header";
    EXPECT_FALSE(IsSoundLogImage(nullptr, 0));
    FileHeader header{};
    header.capacity = INT32_MAX;  // the length check must not overflow
    EXPECT_FALSE(IsSoundHeader(header, 0xFFFFFFFFull));
    EXPECT_TRUE(IsSoundHeader(header, SlotOffset(INT32_MAX)));
}
