// SPDX-License-Identifier: MIT
// The stream as an application receives it, through ls_waitforpipe and
// ls_getpipe, from the simulated camera: throughput from an unlimited stream,
// wake latency end to end, and the CPU time spent at a USB 2.0 rate.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <dlfcn.h>
#include <libusb.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "percentiles.h"
#include "simcam.h"
#include "vantorpi.h"

namespace {

using Clock = std::chrono::steady_clock;

int64_t nowns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Time at which the last whole bulk packet reached the pipe thread, taken
// right after the transfer returned and before the thread writes it into
// the FIFO.
std::atomic<int64_t> lastpacketns{0};
// Time the pipe thread spent between two bulk transfers in pauses of 20 ms or
// more: its sleeps while waiting for room in the FIFO (or backing off).
std::atomic<int64_t> pausedns{0};
std::atomic<int64_t> pauses{0};

using bulkfn = int (*)(libusb_device_handle*, unsigned char, unsigned char*, int, int*, unsigned int);

}  // namespace

// The library's bulk transfers come here first (this executable exports the
// symbol, so it takes precedence over the simulator's) and go on to the
// simulator; the wrapper only takes times.
extern "C" int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int timeout) {
  static const bulkfn next = reinterpret_cast<bulkfn>(dlsym(RTLD_NEXT, "libusb_bulk_transfer"));
  thread_local int64_t lastreturn = 0;
  int64_t entry = nowns();
  if (lastreturn != 0 && entry - lastreturn >= 20000000) {
    pausedns += entry - lastreturn;
    ++pauses;
  }
  int r = next(handle, endpoint, data, length, transferred, timeout);
  lastreturn = nowns();
  if (r == 0 && transferred && *transferred == length) lastpacketns.store(lastreturn);
  return r;
}

namespace {

// A fresh bus with one camera streaming at `rate` bytes per second (0:
// unlimited), opened with the given sizes. False if it cannot be opened.
bool startcamera(benchmark::State& state, uint64_t rate, int packetlength, int fifosize = 4194304) {
  ls_closedevice();
  simcam_reset();
  int dev = simcam_add_camera("BENCH001");
  simcam_set_stream_rate(dev, rate);
  ls_initialize(fifosize, packetlength);
  if (ls_enumdevices() != 1 || ls_opendevicebyindex(0) != 0) {
    state.SkipWithError("cannot open the simulated camera");
    return false;
  }
  return true;
}

// Bytes per second received from an unlimited stream; one iteration is one
// MiB taken out with the usual wait-then-read loop. Arguments: packet length,
// FIFO size.
void BM_stream_receive(benchmark::State& state) {
  const int packet = static_cast<int>(state.range(0));
  if (!startcamera(state, 0, packet, static_cast<int>(state.range(1)))) return;
  std::vector<unsigned char> buf(1 << 20);
  const int64_t paused0 = pausedns.load(), pauses0 = pauses.load();
  const auto t0 = Clock::now();
  for (auto _ : state) {
    int need = 1 << 20;
    while (need > 0) {
      ls_waitforpipe(1000);
      int got = ls_getpipe(buf.data(), need);
      need -= got;
    }
    benchmark::DoNotOptimize(buf.data());
  }
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) << 20);
  state.counters["pipe_paused_pct"] = 100.0 * static_cast<double>(pausedns.load() - paused0) / 1e9 / wall;
  state.counters["pipe_pauses_per_s"] = static_cast<double>(pauses.load() - pauses0) / wall;
  ls_closedevice();
}

// The library's default FIFO size, and larger ones. An unlimited camera fills
// the FIFO, and the pipe thread waits for room until the reader's next read
// wakes it, so the size matters only through the caches.
BENCHMARK(BM_stream_receive)
    ->ArgNames({"packet", "fifo"})
    ->Args({4096, 4194304})
    ->Args({65536, 4194304})
    ->Args({65536, 16777216})
    ->Args({65536, 67108864})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Wake latency end to end: 200 packets per second; the application drains the
// FIFO and waits. A sample is the time from the packet's arrival in the pipe
// thread (transfer returned, FIFO write next) to the return of ls_waitforpipe;
// waits that found data already there are not samples.
void BM_stream_wake_latency(benchmark::State& state) {
  const int packet = 4096;
  if (!startcamera(state, static_cast<uint64_t>(packet) * 200, packet)) return;
  std::vector<unsigned char> buf(1 << 20);
  std::vector<double> us;
  for (auto _ : state) {
    while (ls_getpipe(buf.data(), static_cast<int>(buf.size())) > 0) {
    }
    int64_t before = nowns();
    ls_waitforpipe(1000);
    int64_t woke = nowns();
    int64_t arrived = lastpacketns.load();
    if (arrived > before && ls_getpipe(nullptr, 0) > 0) {
      double latency = static_cast<double>(woke - arrived) / 1000.0;
      us.push_back(latency);
      state.SetIterationTime(latency / 1e6);
    } else {
      state.SetIterationTime(0);
    }
  }
  percentiles(state, us);
  ls_closedevice();
}

BENCHMARK(BM_stream_wake_latency)->UseManualTime()->Iterations(600)->Unit(benchmark::kMicrosecond);

double cputime(const rusage& u) {
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU seconds (user + system) of the thread named `name`, from /proc.
double threadcpu(const char* name) {
  DIR* dir = opendir("/proc/self/task");
  if (!dir) return -1;
  double seconds = -1;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    std::string base = std::string("/proc/self/task/") + e->d_name;
    char comm[64] = {};
    if (FILE* f = std::fopen((base + "/comm").c_str(), "r")) {
      if (!std::fgets(comm, sizeof comm, f)) comm[0] = 0;
      std::fclose(f);
    }
    comm[std::strcspn(comm, "\n")] = 0;
    if (std::strcmp(comm, name) != 0) continue;
    char stat[1024] = {};
    if (FILE* f = std::fopen((base + "/stat").c_str(), "r")) {
      if (!std::fgets(stat, sizeof stat, f)) stat[0] = 0;
      std::fclose(f);
    }
    // Fields 14 and 15 (utime, stime) follow the parenthesised name.
    const char* p = std::strrchr(stat, ')');
    unsigned long utime = 0, stime = 0;
    if (p && std::sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) == 2)
      seconds = static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  closedir(dir);
  return seconds;
}

// CPU time of the whole process per second of streaming at 40 MB/s. The
// simulator runs inside the process (in the pipe thread's bulk transfers), so
// its share is included; the pipe thread's and the reader's shares are
// reported apart. Arguments: packet length; reader 0 waits with
// ls_waitforpipe and reads what is there, 1 only reads every 10 ms.
void BM_stream_cpu_at_40MBps(benchmark::State& state) {
  const int packet = static_cast<int>(state.range(0));
  const bool polling = state.range(1) != 0;
  const uint64_t rate = 40000000;
  if (!startcamera(state, rate, packet)) return;
  std::vector<unsigned char> buf(1 << 20);
  auto readfor = [&](std::chrono::milliseconds span) {
    uint64_t bytes = 0;
    auto t0 = Clock::now();
    while (Clock::now() - t0 < span) {
      if (polling)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      else
        ls_waitforpipe(1000);
      int got;
      while ((got = ls_getpipe(buf.data(), static_cast<int>(buf.size()))) > 0)
        bytes += static_cast<uint64_t>(got);
    }
    return bytes;
  };
  // Until the pipe thread runs under its name and the stream is steady.
  readfor(std::chrono::milliseconds(500));
  double cpu = 0, wall = 0, pipecpu = 0, readercpu = 0;
  uint64_t bytes = 0;
  for (auto _ : state) {
    rusage p0, p1, r0, r1;
    getrusage(RUSAGE_SELF, &p0);
    getrusage(RUSAGE_THREAD, &r0);
    double t0 = threadcpu("cx_pipethread");
    auto w0 = Clock::now();
    bytes += readfor(std::chrono::seconds(4));
    wall += std::chrono::duration<double>(Clock::now() - w0).count();
    getrusage(RUSAGE_SELF, &p1);
    getrusage(RUSAGE_THREAD, &r1);
    double t1 = threadcpu("cx_pipethread");
    if (t0 < 0 || t1 < 0) {
      state.SkipWithError("pipe thread not found in /proc/self/task");
      break;
    }
    cpu += cputime(p1) - cputime(p0);
    readercpu += cputime(r1) - cputime(r0);
    pipecpu += t1 - t0;
  }
  state.counters["cpu_pct_of_core"] = 100.0 * cpu / wall;
  state.counters["pipethread_pct"] = 100.0 * pipecpu / wall;
  state.counters["reader_pct"] = 100.0 * readercpu / wall;
  state.counters["received_MBps"] = static_cast<double>(bytes) / wall / 1e6;
  ls_closedevice();
}

BENCHMARK(BM_stream_cpu_at_40MBps)
    ->ArgNames({"packet", "pollreader"})
    ->Args({4096, 0})
    ->Args({65536, 0})
    ->Args({4096, 1})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
