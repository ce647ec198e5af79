#include "util/LogFileImage.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/LogImageBuilder.h"

using namespace ZintarUtil;
using ZintarTest::KeyOf;
using ZintarTest::LogImage;
using ZintarTest::MessageWithKey;

// A file read from disk is judged as the service judges the files it opens.
TEST(LogFileImage, SoundDamagedAndForeignFiles)
{
    LogImage image(4);
    std::strcpy(image.Names().headerMutexName, kHeaderMutexName);
    std::strcpy(image.Names().readWaitEventName, kReadWaitEventName);
    std::strcpy(image.Names().writeWaitEventName, kWriteWaitEventName);
    for (std::uint64_t key : {10, 20, 30, 40, 50})
        image.Append(MessageWithKey(key));
    auto read = [](const std::vector<unsigned char>& bytes, LogImageContent::Kind kind, std::vector<std::uint64_t> keys,
                   std::uint64_t skipped) {
        const LogImageContent content = ReadLogImage(bytes.data(), bytes.size());
        EXPECT_EQ(content.kind, kind);
        std::vector<std::uint64_t> newestFirst;
        for (const MessageRecord& record : content.newestFirst)
            newestFirst.push_back(KeyOf(record.message));
        EXPECT_EQ(newestFirst, keys);
        EXPECT_EQ(content.skipped, skipped);
        EXPECT_EQ(content.header.messageCount, static_cast<std::int32_t>(keys.size()));
    };
    read(image.Bytes(), LogImageContent::Kind::Sound, {50, 40, 30, 20}, 0);
    image.Slot(2).message.type = 9;  // the record of 30
    read(image.Bytes(), LogImageContent::Kind::Damaged, {50, 40, 20}, 1);
    std::vector<unsigned char> cut = image.Bytes();
    cut.resize(kSlotsOffset + kRecordSize + 10);
    read(cut, LogImageContent::Kind::Damaged, {50}, 0);
    cut.resize(100);
    read(cut, LogImageContent::Kind::Foreign, {}, 0);
    image.Names().headerMutexName[7] = 'X';
    read(image.Bytes(), LogImageContent::Kind::Foreign, {}, 0);
}
