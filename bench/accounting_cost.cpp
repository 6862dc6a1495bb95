// The receiver's cost per captured frame, without a network: accountFrame on prepared test
// frames, with and without sequence numbers, next to the delay histogram's own share.
//
//   build/bench/accounting_cost [--benchmark_repetitions=N]
//
// Each iteration accounts one 100-byte frame of stream 1 to a cycle's state; the numbered runs
// write the frame's number first, as the sender would, and the plain run writes the same bytes
// so that both pay for it.

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdint>
#include <pcap/pcap.h>
#include <utility>
#include <vector>

#include "accounting.h"
#include "testframe.h"

namespace {

constexpr std::size_t LENGTH = 100;

struct TBench {
    std::vector<unsigned char> frame = std::vector<unsigned char>(LENGTH);
    pcap_pkthdr header{};
    std::vector<TStreamState> streams = std::vector<TStreamState>(1);

    explicit TBench(bool numbered) {
        static const unsigned char headerTemplate[FRAME_HEADER_SIZE] = {};
        buildTestFrame(frame.data(), LENGTH, headerTemplate, 0, 0, timeval{1700000000, 0});
        header.ts = timeval{1700000000, 250};
        header.caplen = header.len = LENGTH;
        if (numbered) {
            streams[0].sequence.enable();
        }
    }

    void account(std::uint32_t number) {
        stampSequenceNumber(frame.data(), LENGTH, number);
        benchmark::DoNotOptimize(
            accountFrame(streams, frame.data(), header, 1700000000000250000, 0));
    }
};

// In order, nothing lost: the common case.
void inOrder(benchmark::State& state, bool numbered) {
    TBench bench(numbered);
    std::uint32_t number = 0;
    for (auto _ : state) {
        bench.account(number++);
    }
    state.SetItemsProcessed(state.iterations());
}

// A troubled path: of every 100 numbers 3 lost, 2 twice, and the odd ones 8 places late.
void impairedNumbered(benchmark::State& state) {
    TBench bench(true);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> arrivals; // (arrival order, number)
    for (std::uint32_t n = 0; n < 100; ++n) {
        if (n % 33 != 7) {
            arrivals.emplace_back(n % 2 == 1 ? n + 8 : n, n);
        }
        if (n % 50 == 3) {
            arrivals.emplace_back(n + 1, n);
        }
    }
    std::sort(arrivals.begin(), arrivals.end());
    std::vector<std::uint32_t> pattern;
    for (const auto& arrival : arrivals) {
        pattern.push_back(arrival.second);
    }
    std::uint32_t base = 0;
    std::size_t k = 0;
    for (auto _ : state) {
        bench.account(base + pattern[k]);
        if (++k == pattern.size()) {
            k = 0;
            base += 100;
        }
    }
    state.SetItemsProcessed(state.iterations());
}

void histogramAlone(benchmark::State& state) {
    CDelayHistogram histogram;
    std::int64_t delay = 250;
    for (auto _ : state) {
        histogram.record(delay);
        delay = (delay * 7 + 13) & 0xFFFF;
    }
    benchmark::DoNotOptimize(histogram.count());
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(inOrder, withoutNumbers, false);
BENCHMARK_CAPTURE(inOrder, numbered, true);
BENCHMARK(impairedNumbered);
BENCHMARK(histogramAlone);
BENCHMARK_MAIN();
