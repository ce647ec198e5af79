// The write queue and the ring against a plain copy of the same 560-byte records, in one run:
// in-order and out-of-order intake, incremental and full-rewrite flushes, and opening a full
// 50,000-message file (soundness test plus loading the queue). Every figure is records/second.
#include <benchmark/benchmark.h>

#include <cstring>
#include <list>
#include <vector>

#include "Admission.h"
#include "BenchMessages.h"
#include "GuardedViewAccess.h"
#include "LogFileFormat.h"
#include "LogFileSoundness.h"
#include "WriteQueue.h"

using namespace ZintarServer;
using namespace ZintarUtil;
using ZintarBench::MessageAt;

namespace {

constexpr std::int32_t kCapacity = 50000;
constexpr int kBatch = 1000;

ServiceSettings AdmitAll()
{
    ServiceSettings settings;
    for (bool& enabled : settings.typeEnabled)
        enabled = true;
    settings.maxMessage = kCapacity;
    return settings;
}

// The mapped file, as the service sees it: a header area and the ring.
struct RingImage {
    RingImage() : bytes(SlotOffset(kCapacity))
    {
        header.capacity = kCapacity;
        header.generation = 2;
    }

    unsigned char* Slot(std::int32_t slot) { return bytes.data() + SlotOffset(slot); }

    // What FlushWrites does per record: one guarded copy into the view.
    void Flush(WriteQueue& queue)
    {
        queue.WritePending(header, [this](std::int32_t slot, const MessageRecord& record) {
            unsigned char* target = Slot(slot);
            GuardedViewAccess([&] { std::memcpy(target, &record, sizeof record); });
        });
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
    explicit FullLog(std::uint64_t start = 0) : settings(AdmitAll()), clock(start)
    {
        for (std::int32_t i = 0; i < kCapacity; ++i)
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

void PlainCopy(benchmark::State& state)
{
    std::vector<MessageRecord> source(kBatch);
    RingImage ring;
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

// A message older than everything queued makes the next flush rewrite the whole ring.
void FullRewriteFlush(benchmark::State& state)
{
    FullLog log(1000000);
    for (auto _ : state) {
        state.PauseTiming();
        log.Add(MessageAt(0));
        state.ResumeTiming();
        log.ring.Flush(log.queue);
    }
    state.SetItemsProcessed(state.iterations() * kCapacity);
}

// The yardstick of opening: a plain copy of a full file's records into a buffer that is reused.
void CopyFullFile(benchmark::State& state)
{
    FullLog log;
    const std::vector<unsigned char>& image = log.ring.bytes;
    std::vector<unsigned char> copy(image.size() - kSlotsOffset);
    for (auto _ : state) {
        std::memcpy(copy.data(), image.data() + kSlotsOffset, copy.size());
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * kCapacity);
}

// Opening a full file as the writer does it: the soundness test over the records in place, then
// the ring read into the queue, each in one walk (the load oldest first, each record put in front).
void OpenFullFile(benchmark::State& state)
{
    FullLog log;
    log.Add(MessageAt(log.clock++));
    log.ring.Flush(log.queue);  // wrapped: nextSlot 1
    const std::vector<unsigned char>& image = log.ring.bytes;
    for (auto _ : state) {
        if (!IsSoundLogImage(image.data(), image.size()))
            state.SkipWithError("image unsound");
        std::list<PendingEntry> loaded;
        FileHeader header;
        std::memcpy(&header, image.data(), sizeof header);
        GuardedViewAccess([&] {
            ForEachOldestFirst(header, image.data() + kSlotsOffset, header.messageCount, [&](const MessageRecord& record) {
                loaded.emplace_front(record, SortKeyOf(record.message));
                return true;
            });
        });
        benchmark::DoNotOptimize(loaded.size());
    }
    state.SetItemsProcessed(state.iterations() * kCapacity);
}

}  // namespace

BENCHMARK(PlainCopy);
BENCHMARK(InOrderIntake);
BENCHMARK(InOrderIntakeAndFlush);
BENCHMARK(OutOfOrderIntakeAndFlush);
BENCHMARK(FullRewriteFlush)->Unit(benchmark::kMillisecond);
BENCHMARK(CopyFullFile)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenFullFile)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
