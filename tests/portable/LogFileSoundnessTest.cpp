#include <gtest/gtest.h>

#include <cstring>

#include "LogFileSoundness.h"
#include "LogImageBuilder.h"

using namespace ZintarUtil;
using ZintarTest::LogImage;
using ZintarTest::MessageWithKey;

namespace {

bool IsSound(const LogImage& image)
{
    const std::vector<unsigned char> bytes = image.Bytes();
    return IsSoundLogImage(bytes.data(), bytes.size());
}

LogImage FullRingOfThree()
{
    LogImage image(3);
    for (std::uint64_t key : {10, 20, 30, 40})
        image.Append(MessageWithKey(key));
    return image;  // nextSlot 1: the newest record is in slot 0
}

}  // namespace

TEST(Soundness, FullRingWithNextSlotOneIsSound)
{
    EXPECT_TRUE(IsSound(FullRingOfThree()));
}

TEST(Soundness, EmptyRingOfOneSlotIsSound)
{
    EXPECT_TRUE(IsSound(LogImage(1)));
}

TEST(Soundness, CapacityZeroIsNeverSound)
{
    LogImage image(0);
    EXPECT_FALSE(IsSound(image));
    FileHeader header{};
    EXPECT_FALSE(IsSoundHeader(header, 1u << 20));
}

TEST(Soundness, NegativeCountsAreUnsound)
{
    for (int field = 0; field < 3; ++field) {
        LogImage image(4);
        std::int32_t* values[] = {&image.Header().messageCount, &image.Header().capacity,
                                  &image.Header().nextSlot};
        *values[field] = -1;
        EXPECT_FALSE(IsSound(image)) << "field " << field;
    }
}

TEST(Soundness, CountsBeyondTheCapacityAreUnsound)
{
    LogImage tooMany = FullRingOfThree();
    tooMany.Header().messageCount = 4;
    EXPECT_FALSE(IsSound(tooMany));

    LogImage slotOutside = FullRingOfThree();
    slotOutside.Header().nextSlot = 3;
    EXPECT_FALSE(IsSound(slotOutside));
}

TEST(Soundness, EqualNeighbouringKeysAreSound)
{
    LogImage image(4);
    image.Append(MessageWithKey(10));
    image.Append(MessageWithKey(20));
    image.Append(MessageWithKey(20));
    EXPECT_TRUE(IsSound(image));
}

TEST(Soundness, OlderRecordWithLargerKeyIsUnsound)
{
    LogImage image(4);
    image.Append(MessageWithKey(30));
    image.Append(MessageWithKey(20));
    EXPECT_FALSE(IsSound(image));
}

TEST(Soundness, RecordsOutsideTheCountAreNotJudged)
{
    LogImage image(4);
    image.Append(MessageWithKey(99));
    image.Append(MessageWithKey(10));
    image.Append(MessageWithKey(20));
    image.Header().messageCount = 2;  // the record with key 99 is stale
    image.Slot(3).message.type = 9;
    EXPECT_TRUE(IsSound(image));
}

TEST(Soundness, TextWithoutNulIsUnsound)
{
    LogImage image = FullRingOfThree();
    std::memset(image.Slot(2).message.text, 'x', kTextFieldSize);
    EXPECT_FALSE(IsSound(image));
    image.Slot(2).message.text[kTextFieldSize - 1] = '\0';
    EXPECT_TRUE(IsSound(image));
}

TEST(Soundness, AuxTextWithoutNulIsUnsound)
{
    LogImage image = FullRingOfThree();
    std::memset(image.Slot(0).message.auxText, 'y', kTextFieldSize);
    EXPECT_FALSE(IsSound(image));
}

TEST(Soundness, TypeFourIsUnsoundTypeThreeIsSound)
{
    LogImage image = FullRingOfThree();
    image.Slot(1).message.type = 3;
    EXPECT_TRUE(IsSound(image));
    image.Slot(1).message.type = 4;
    EXPECT_FALSE(IsSound(image));
}

TEST(Soundness, PaddingFillerAndCountersAreNotJudged)
{
    LogImage image = FullRingOfThree();
    FileHeader& header = image.Header();
    header.readCount = 7;
    header.serverRunning = 1;
    std::memset(header.padding1, 0xAB, sizeof header.padding1);
    std::memset(header.padding2, 0xCD, sizeof header.padding2);
    header.updateCount = header.generation = header.nextSequence = 0xFFFFFFFFFFFFull;
    std::memset(image.Slot(0).filler, 0xEE, sizeof image.Slot(0).filler);
    EXPECT_TRUE(IsSound(image));
}

TEST(Soundness, HeaderClaimingMoreSlotsThanTheBytesHoldIsUnsound)
{
    LogImage image = FullRingOfThree();
    std::vector<unsigned char> bytes = image.Bytes();
    FileHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    header.capacity = 1000;
    std::memcpy(bytes.data(), &header, sizeof header);
    EXPECT_FALSE(IsSoundLogImage(bytes.data(), bytes.size()));
}

TEST(Soundness, FileCutInTheMiddleOfARecordIsUnsound)
{
    const std::vector<unsigned char> bytes = FullRingOfThree().Bytes();
    EXPECT_TRUE(IsSoundLogImage(bytes.data(), bytes.size()));
    // Copy into an exactly sized buffer so that the sanitizer would see any read beyond it.
    const std::size_t cut = bytes.size() - kRecordSize / 2;
    std::vector<unsigned char> shortened(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    EXPECT_FALSE(IsSoundLogImage(shortened.data(), shortened.size()));
}

TEST(Soundness, ImageShorterThanTheHeaderIsUnsound)
{
    const std::vector<unsigned char> bytes = FullRingOfThree().Bytes();
    std::vector<unsigned char> stub(bytes.begin(), bytes.begin() + 20);
    EXPECT_FALSE(IsSoundLogImage(stub.data(), stub.size()));
    EXPECT_FALSE(IsSoundLogImage(nullptr, 0));
}

TEST(Soundness, HugeCapacityDoesNotOverflowTheLengthCheck)
{
    FileHeader header{};
    header.capacity = INT32_MAX;
    EXPECT_FALSE(IsSoundHeader(header, 0xFFFFFFFFull));
    EXPECT_TRUE(IsSoundHeader(header, SlotOffset(INT32_MAX)));
}

TEST(Soundness, RecordCheckRemembersThePreviousKey)
{
    RecordSequenceCheck check;
    MessageRecord record{};
    record.message = MessageWithKey(50);
    EXPECT_TRUE(check.Accept(record));
    record.message = MessageWithKey(50);
    EXPECT_TRUE(check.Accept(record));
    record.message = MessageWithKey(51);
    EXPECT_FALSE(check.Accept(record));
}
