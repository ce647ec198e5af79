// The write queue and the ring against a plain copy of the same 560-byte records, in one run:
// in-order and out-of-order intake, incremental and full-rewrite flushes, and opening a full file
// of 50,000 and of 1,000,000 messages (soundness test plus loading the queue) beside a plain copy
// of its records, with the queue's heap memory per stored message. Every figure is records/second.
#include <cstring>
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>
#include <malloc.h>

#include "Server/Admission.h"
#include "Server/WriteQueue.h"
#include "bench/BenchMessages.h"
#include "util/GuardedViewAccess.h"
#include "util/LogFileFormat.h"
#include "util/LogFileSoundness.h"

using namespace ZintarServer;
using namespace ZintarUtil;
using ZintarBench::MessageAt;

namespace {

constexpr std::int32_t kCapacity = 50000;
constexpr std::int32_t kLargeCapacity = 1000000;
constexpr int kBatch = 1000;

ServiceSettings AdmitAll(std::int32_t capacity)
{
    ServiceSettings settings;
    for (bool& enabled : settings.typeEnabled)
        enabled = true;
    settings.maxMessage = static_cast<std::uint32_t>(capacity);
    return settings;
}

// The mapped file, as the service sees it: a header area and the ring, each record copied in one
// guarded access.
struct RingImage : RingSlots {
    explicit RingImage(std::int32_t capacity) : bytes(SlotOffset(capacity))
    {
        header.capacity = capacity;
        header.generation = 2;
    }

    unsigned char* Slot(std::int32_t slot) { return bytes.data() + SlotOffset(slot); }

    void Read(std::int32_t slot, MessageRecord& record) override
    {
        const unsigned char* source = Slot(slot);
        GuardedViewAccess([&] { std::memcpy(&record, source, sizeof record); });
    }
    void Write(std::int32_t slot, const MessageRecord& record) override
    {
        unsigned char* target = Slot(slot);
        GuardedViewAccess([&] { std::memcpy(target, &record, sizeof record); });
    }

    void Flush(WriteQueue& queue)
    {
        queue.WritePending(header, *this);
        std::memcpy(bytes.data(), &header, sizeof header);
        queue.MarkWritten();
    }

    FileHeader header{};
    std::vector<unsigned char> bytes;
};

void Intake(WriteQueue& queue, const ServiceSettings& settings, const LogMessage& message)
{
    if (Admits(settings, message)) {
        queue.Insert(message);
        queue.Trim(settings.maxMessage);
    }
}

// A queue and ring already full, as after the service has run for a while.
struct FullLog {
    explicit FullLog(std::uint64_t start = 0, std::int32_t capacity = kCapacity)
        : settings(AdmitAll(capacity)), ring(capacity), clock(start)
    {
        for (std::int32_t i = 0; i < capacity; ++i)
            Add(MessageAt(clock++));
        ring.Flush(queue);
    }

    void Add(const LogMessage& message) { Intake(queue, settings, message); }
    void AddBatch()
    {
        for (int i = 0; i < kBatch; ++i)
            Add(MessageAt(clock++));
    }

    ServiceSettings settings;
    WriteQueue queue;
    RingImage ring;
    std::uint64_t clock;
};

// The full logs are built once per size: the large one takes a few seconds and 560 MB.
FullLog& WrappedFullLog(std::int32_t capacity)
{
    static std::unique_ptr<FullLog> logs[2];
    std::unique_ptr<FullLog>& log = logs[capacity == kLargeCapacity ? 1 : 0];
    if (!log) {
        log = std::make_unique<FullLog>(0, capacity);
        log->Add(MessageAt(log->clock++));
        log->ring.Flush(log->queue);  // wrapped: nextSlot 1
    }
    return *log;
}

void PlainCopy(benchmark::State& state)
{
    std::vector<MessageRecord> source(kBatch);
    RingImage ring(kCapacity);
    std::int32_t slot = 0;
    for (auto _ : state) {
        for (const MessageRecord& record : source) {
            std::memcpy(ring.Slot(slot), &record, sizeof record);
            slot = (slot + 1) % kCapacity;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void InOrderIntake(benchmark::State& state)
{
    FullLog log;
    for (auto _ : state) {
        log.AddBatch();
        log.queue.MarkWritten();  // as if flushed, without the copies
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

void InOrderIntakeAndFlush(benchmark::State& state)
{
    FullLog log;
    for (auto _ : state) {
        log.AddBatch();
        log.ring.Flush(log.queue);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// Every 16th message arrives up to 32 places late: insertion walks a little, and the next flush
// rewrites the records it displaced.
void OutOfOrderIntakeAndFlush(benchmark::State& state)
{
    FullLog log;
    std::uint64_t random = 7;
    for (auto _ : state) {
        for (int i = 0; i < kBatch; ++i) {
            random = random * 6364136223846793005ull + 1442695040888963407ull;
            const std::uint64_t lateness = i % 16 == 0 ? (random >> 59) + 1 : 0;
            log.Add(MessageAt(log.clock++ - lateness));
        }
        log.ring.Flush(log.queue);
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
}

// A message older than everything queued makes the next flush rewrite the whole ring. Before
// each, one message more has moved the ring on by a slot, so that the rewrite turns the whole ring
// (every record read back and written one slot over) rather than finding it in place.
void FullRewriteFlush(benchmark::State& state)
{
    FullLog log(1000000);
    for (auto _ : state) {
        state.PauseTiming();
        log.Add(MessageAt(log.clock++));
        log.ring.Flush(log.queue);
        log.Add(MessageAt(0));
        state.ResumeTiming();
        log.ring.Flush(log.queue);
    }
    state.SetItemsProcessed(state.iterations() * kCapacity);
}

// The yardstick of opening: a plain copy of a full file's records into a buffer that is reused.
void CopyFullFile(benchmark::State& state)
{
    const std::vector<unsigned char>& image = WrappedFullLog(static_cast<std::int32_t>(state.range(0))).ring.bytes;
    std::vector<unsigned char> copy(image.size() - kSlotsOffset);
    for (auto _ : state) {
        std::memcpy(copy.data(), image.data() + kSlotsOffset, copy.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
}

// Opening a full file as the writer does it: the soundness test over the records in place, then
// the keys, sequences and slots read into the queue, each in one guarded walk. Also reports the
// heap the loaded queue holds per stored message, as the allocator counts it.
void OpenFullFile(benchmark::State& state)
{
    const std::vector<unsigned char>& image = WrappedFullLog(static_cast<std::int32_t>(state.range(0))).ring.bytes;
    FileHeader header;
    std::memcpy(&header, image.data(), sizeof header);
    double bytesPerMessage = 0;
    for (auto _ : state) {
        if (!IsSoundLogImage(image.data(), image.size()))
            state.SkipWithError("image unsound");
        const std::size_t before = mallinfo2().uordblks;
        auto loaded = std::make_unique<WriteQueue>();
        GuardedViewAccess([&] { loaded->LoadFromRing(header, image.data() + kSlotsOffset, header.messageCount); });
        bytesPerMessage = static_cast<double>(mallinfo2().uordblks - before) / header.messageCount;
        benchmark::DoNotOptimize(loaded->Entries().size());
        state.PauseTiming();
        loaded.reset();
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.counters["queue_bytes_per_message"] = bytesPerMessage;
}

}  // namespace

BENCHMARK(PlainCopy);
BENCHMARK(InOrderIntake);
BENCHMARK(InOrderIntakeAndFlush);
BENCHMARK(OutOfOrderIntakeAndFlush);
BENCHMARK(FullRewriteFlush)->Unit(benchmark::kMillisecond);
BENCHMARK(CopyFullFile)->Arg(kCapacity)->Arg(kLargeCapacity)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenFullFile)->Arg(kCapacity)->Arg(kLargeCapacity)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
