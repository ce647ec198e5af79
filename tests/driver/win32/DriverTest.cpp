// The Zintar driver, loaded into the run's Wine prefix, through its real device interface.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <vector>

#include "tests/support/win32/ChildProcess.h"
#include "util/win32/ZintarDeviceClient.h"

using namespace ZintarUtil;
using ZintarTest::ChildProcess;
using ZintarTest::kChildBound;

namespace {

constexpr DWORD kMessageSize = ZINTAR_MESSAGE_SIZE;

// A message that says who made it and its number, in every byte the device passes through.
LogMessage Tagged(std::uint32_t producer, std::uint32_t number)
{
    LogMessage message;
    std::memset(&message, static_cast<int>((producer * 31 + number) & 0xFF), sizeof message);
    std::memcpy(message.leading, &producer, sizeof producer);
    std::memcpy(message.leading + 4, &number, sizeof number);
    message.trailing[3] = 0x5A;
    return message;
}

std::uint32_t ProducerOf(const LogMessage& m)
{
    std::uint32_t value;
    std::memcpy(&value, m.leading, sizeof value);
    return value;
}

std::uint32_t NumberOf(const LogMessage& m)
{
    std::uint32_t value;
    std::memcpy(&value, m.leading + 4, sizeof value);
    return value;
}

// A raw request, for the exact result and error of each call.
struct Result {
    BOOL ok;
    DWORD error;
    DWORD returned;
};

Result Control(HANDLE device, DWORD code, const void* input, DWORD inputLength, void* output, DWORD outputLength)
{
    DWORD returned = 0;
    SetLastError(0);
    const BOOL ok =
        DeviceIoControl(device, code, const_cast<void*>(input), inputLength, output, outputLength, &returned, nullptr);
    return {ok, ok ? 0 : GetLastError(), returned};
}

// Every test starts from an empty queue.
class DeviceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        LogMessage message;
        while (device.ReadMessage(message)) {
        }
        ASSERT_EQ(device.Stats().queued, 0u);
    }

    std::uint32_t PushRange(std::uint32_t producer, std::uint32_t first, std::uint32_t count)
    {
        std::vector<LogMessage> batch;
        for (std::uint32_t i = 0; i < count; ++i)
            batch.push_back(Tagged(producer, first + i));
        return device.Push(batch.data(), batch.size());
    }

    ZintarDeviceClient device;
};

}  // namespace

TEST_F(DeviceTest, MessagesComeOutByteExactInOrderAcrossPushes)
{
    ASSERT_EQ(PushRange(1, 0, 3), 0u);
    ASSERT_EQ(PushRange(1, 3, 1), 0u);
    ASSERT_EQ(PushRange(1, 4, 5), 0u);
    for (std::uint32_t i = 0; i < 9; ++i) {
        LogMessage message;
        const Result result = Control(device.Handle(), IOCTL_READ_MESSAGE, nullptr, 0, &message, kMessageSize);
        ASSERT_TRUE(result.ok) << "message " << i;
        EXPECT_EQ(result.returned, kMessageSize);
        const LogMessage expected = Tagged(1, i);
        EXPECT_EQ(std::memcmp(&message, &expected, sizeof message), 0) << "message " << i;
    }
    LogMessage message;
    EXPECT_FALSE(device.ReadMessage(message));
}

TEST_F(DeviceTest, RequestsThatCannotBeAnsweredFailWithTheirErrorAndChangeNothing)
{
    LogMessage message;
    const Result empty = Control(device.Handle(), IOCTL_READ_MESSAGE, nullptr, 0, &message, kMessageSize);
    EXPECT_FALSE(empty.ok);
    EXPECT_EQ(empty.error, 259u);

    ASSERT_EQ(PushRange(3, 0, 1), 0u);
    struct Case {
        DWORD code;
        DWORD inputLength;
        DWORD outputLength;
        DWORD error;
    };
    const Case cases[] = {
        {IOCTL_READ_MESSAGE, 0, kMessageSize - 1, ERROR_INSUFFICIENT_BUFFER},
        {IOCTL_ZINTAR_STATS, 0, ZINTAR_STATS_SIZE - 1, ERROR_INSUFFICIENT_BUFFER},
        {IOCTL_ZINTAR_PUSH, 0, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_ZINTAR_PUSH, 1, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_ZINTAR_PUSH, kMessageSize - 1, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_ZINTAR_PUSH, kMessageSize + 1, 0, ERROR_INVALID_PARAMETER},
        {IOCTL_ZINTAR_PUSH, 2 * kMessageSize + 7, 0, ERROR_INVALID_PARAMETER},
    };
    std::vector<unsigned char> input(3 * kMessageSize, 0);
    std::vector<unsigned char> output(kMessageSize);
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << std::hex << c.code << " in " << c.inputLength << " out " << c.outputLength);
        const Result result = Control(device.Handle(), c.code, c.inputLength ? input.data() : nullptr, c.inputLength,
                                      c.outputLength ? output.data() : nullptr, c.outputLength);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(result.error, c.error);
        EXPECT_EQ(device.Stats().queued, 1u);
    }
    ASSERT_TRUE(device.ReadMessage(message));
    EXPECT_EQ(NumberOf(message), 0u);
}

TEST_F(DeviceTest, StatsCountPushesAndReads)
{
    const ZintarStats before = device.Stats();
    EXPECT_EQ(before.capacity, 65536u);
    ASSERT_EQ(PushRange(4, 0, 7), 0u);
    LogMessage message;
    ASSERT_TRUE(device.ReadMessage(message));
    ASSERT_TRUE(device.ReadMessage(message));
    const ZintarStats after = device.Stats();
    EXPECT_EQ(after.queued, 5u);
    EXPECT_EQ(after.pushed - before.pushed, 7u);
    EXPECT_EQ(after.read - before.read, 2u);
}

TEST_F(DeviceTest, FullQueueRefusesABatchWholeAndTakesItAfterReads)
{
    constexpr std::uint32_t kCapacity = ZINTAR_QUEUE_CAPACITY;
    constexpr std::uint32_t kBatch = 4096;
    for (std::uint32_t first = 0; first < kCapacity - 1; first += kBatch)
        ASSERT_EQ(PushRange(5, first, std::min(kBatch, kCapacity - 1 - first)), 0u);
    ASSERT_EQ(device.Stats().queued, kCapacity - 1);

    // One place left: a batch of two is refused whole, a single message fits.
    EXPECT_EQ(PushRange(5, kCapacity - 1, 2), static_cast<std::uint32_t>(ERROR_BUSY));
    EXPECT_EQ(device.Stats().queued, kCapacity - 1);
    EXPECT_EQ(PushRange(5, kCapacity - 1, 1), 0u);
    EXPECT_EQ(PushRange(5, kCapacity, 1), static_cast<std::uint32_t>(ERROR_BUSY));

    LogMessage message;
    ASSERT_TRUE(device.ReadMessage(message));
    ASSERT_TRUE(device.ReadMessage(message));
    EXPECT_EQ(PushRange(5, kCapacity, 2), 0u);

    // Everything comes out once, in order, across the ring's wrap.
    std::uint32_t expected = 2;
    while (device.ReadMessage(message)) {
        ASSERT_EQ(NumberOf(message), expected);
        const LogMessage original = Tagged(5, expected);
        ASSERT_EQ(std::memcmp(&message, &original, sizeof message), 0);
        ++expected;
    }
    EXPECT_EQ(expected, kCapacity + 2);
}

ZINTAR_CHILD(PushNumbered)
{
    const auto producer = static_cast<std::uint32_t>(std::stoul(args.at(0)));
    const auto count = static_cast<std::uint32_t>(std::stoul(args.at(1)));
    ZintarDeviceClient device;
    std::uint32_t next = 0;
    while (next < count) {
        // Batches of varying size, retried while the queue is full.
        const std::uint32_t size = std::min<std::uint32_t>(1 + next % 37, count - next);
        std::vector<LogMessage> batch;
        for (std::uint32_t i = 0; i < size; ++i)
            batch.push_back(Tagged(producer, next + i));
        const std::uint32_t error = device.Push(batch.data(), batch.size());
        if (error == ERROR_BUSY) {
            Sleep(1);
            continue;
        }
        if (error != 0)
            return 1;
        next += size;
    }
    return 0;
}

ZINTAR_CHILD(DrainCounting)
{
    // Reads until it has seen `expected` messages; exit 0 when each producer's numbers came in
    // order with none lost or repeated.
    const auto expected = static_cast<std::uint32_t>(std::stoul(args.at(0)));
    ZintarDeviceClient device;
    std::uint32_t next[3] = {0, 0, 0};
    std::uint32_t seen = 0;
    const ULONGLONG deadline = GetTickCount64() + kChildBound;
    LogMessage message;
    while (seen < expected) {
        if (!device.ReadMessage(message)) {
            if (GetTickCount64() > deadline)
                return 2;
            Sleep(0);
            continue;
        }
        const std::uint32_t producer = ProducerOf(message);
        if (producer < 1 || producer > 2 || NumberOf(message) != next[producer])
            return 3;
        const LogMessage original = Tagged(producer, next[producer]);
        if (std::memcmp(&message, &original, sizeof message) != 0)
            return 4;
        ++next[producer];
        ++seen;
    }
    return device.ReadMessage(message) ? 5 : 0;
}

TEST_F(DeviceTest, TwoProducersAndADrainerLoseAndRepeatNothing)
{
    constexpr std::uint32_t kEach = 20000;
    ChildProcess drainer("DrainCounting", {std::to_string(2 * kEach)});
    ChildProcess first("PushNumbered", {"1", std::to_string(kEach)});
    ChildProcess second("PushNumbered", {"2", std::to_string(kEach)});
    EXPECT_EQ(first.WaitForExit(kChildBound), 0u);
    EXPECT_EQ(second.WaitForExit(kChildBound), 0u);
    EXPECT_EQ(drainer.WaitForExit(kChildBound), 0u);
}
