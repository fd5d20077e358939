// SPDX-License-Identifier: MIT
// The stream FIFO on its own: throughput with one writer and one reader
// thread in 4096-byte blocks, side by side with plain memcpy through a ring of
// the same size and with boost's lock-free single-producer queue; and the
// latency from a block's write to the return of a waiting reader.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "percentiles.h"
#include "stream/cx_fifo.h"

namespace {

const int ringsize = 4194304;  // the library's default FIFO size
const unsigned int block = 4096;

std::vector<unsigned char> pattern(size_t n) {
  std::vector<unsigned char> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<unsigned char>(i * 31 + 7);
  return v;
}

// Pins the calling thread to one CPU, so that writer and reader run on two
// cores as in the library (left to the scheduler, the two threads share one
// core in some runs and not in others, and the figures jump threefold).
void pin(int cpu) {
  if (cpu >= CPU_SETSIZE || static_cast<long>(cpu) >= static_cast<long>(std::thread::hardware_concurrency()))
    return;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

void unpin() {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (unsigned int i = 0; i < std::thread::hardware_concurrency() && i < CPU_SETSIZE; ++i) CPU_SET(i, &set);
  pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

// Two copies per block, as the FIFO makes: into the ring, then out of it.
void BM_memcpy_ring(benchmark::State& state) {
  std::vector<unsigned char> ring(ringsize + 1);
  auto in = pattern(block);
  std::vector<unsigned char> out(block);
  size_t pos = 0;
  for (auto _ : state) {
    std::memcpy(ring.data() + pos, in.data(), block);
    std::memcpy(out.data(), ring.data() + pos, block);
    benchmark::DoNotOptimize(out.data());
    pos += block;
    if (pos + block > ring.size()) pos = 0;
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * block);
}

// The benchmark's thread reads; a second thread writes whole blocks whenever
// there is room for one, as the pipe thread does.
void BM_fifo_two_threads(benchmark::State& state) {
  cx_fifo fifo(ringsize);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    pin(0);
    auto in = pattern(block);
    while (!stop.load(std::memory_order_relaxed)) {
      if (fifo.getcapacity() >= static_cast<int>(block))
        fifo.writebuf(in.data(), block);
      else
        std::this_thread::yield();
    }
  });
  pin(1);
  std::vector<unsigned char> out(block);
  for (auto _ : state) {
    while (fifo.readbuf(out.data(), block) == 0) std::this_thread::yield();
    benchmark::DoNotOptimize(out.data());
  }
  stop = true;
  writer.join();
  unpin();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * block);
}

void BM_boost_spsc_two_threads(benchmark::State& state) {
  boost::lockfree::spsc_queue<unsigned char> queue(ringsize);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    pin(0);
    auto in = pattern(block);
    while (!stop.load(std::memory_order_relaxed)) {
      if (queue.write_available() >= block)
        queue.push(in.data(), block);
      else
        std::this_thread::yield();
    }
  });
  pin(1);
  std::vector<unsigned char> out(block);
  for (auto _ : state) {
    while (queue.read_available() < block) std::this_thread::yield();
    queue.pop(out.data(), block);
    benchmark::DoNotOptimize(out.data());
  }
  stop = true;
  writer.join();
  unpin();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * block);
}

BENCHMARK(BM_memcpy_ring)->UseRealTime();
BENCHMARK(BM_fifo_two_threads)->UseRealTime();
BENCHMARK(BM_boost_spsc_two_threads)->UseRealTime();

using Clock = std::chrono::steady_clock;

int64_t nowns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Wake latency: the reader waits on an empty FIFO; the writer, once the
// reader is waiting, takes the time and writes it as a block. The latency is
// the reader's clock at the return of waitforcondition minus that time.
void BM_fifo_wake_latency(benchmark::State& state) {
  cx_fifo fifo(ringsize);
  std::atomic<int> waiting{0};
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    int seen = 0;
    while (!stop) {
      if (waiting.load() == seen) {
        std::this_thread::yield();
        continue;
      }
      seen = waiting.load();
      // Let the reader get into its wait before the block comes.
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      int64_t t0 = nowns();
      fifo.writebuf(&t0, sizeof t0);
    }
  });
  std::vector<double> us;
  int round = 0;
  for (auto _ : state) {
    waiting = ++round;
    fifo.waitforcondition(1000);
    int64_t t1 = nowns();
    int64_t t0 = 0;
    if (fifo.readbuf(&t0, sizeof t0) != sizeof t0) {
      state.SkipWithError("no block within 1 s");
      break;
    }
    double latency = static_cast<double>(t1 - t0) / 1000.0;
    us.push_back(latency);
    state.SetIterationTime(latency / 1e6);
  }
  stop = true;
  waiting = -1;
  writer.join();
  percentiles(state, us);
}

BENCHMARK(BM_fifo_wake_latency)->UseManualTime()->Iterations(2000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
