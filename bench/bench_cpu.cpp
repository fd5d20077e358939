// SPDX-License-Identifier: MIT
// CPU time per packet that the library spends above the bare transfer loop,
// next to a floor of the same shape built on std::mutex and
// std::condition_variable. Three programs read the same simulated camera
// (the simulator's libusb-1.0.so.0 is loaded in place of libusb) in one run:
//
//   bare     one thread calls libusb_bulk_transfer in a loop, nothing else;
//   floor    a producer thread makes the same transfers and puts each whole
//            packet into a ring under a std::mutex, waking the reader with a
//            std::condition_variable after every block; the reader waits for
//            data (up to 1000 ms) and then takes what is there, as an
//            application does with ls_waitforpipe and ls_getpipe;
//   library  the library's pipe thread and FIFO, read with ls_waitforpipe(1000)
//            and ls_getpipe.
//
// Each is measured in process CPU time (CLOCK_PROCESS_CPUTIME_ID, all
// threads) over the same number of 4096-byte packets after a warm-up; the
// bare loop's time is subtracted from the two others.
#include <benchmark/benchmark.h>
#include <libusb.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "simcam.h"
#include "vantorpi.h"

namespace {

const int packet = 4096;
const size_t ringsize = 4194304;      // the library's default FIFO size
const size_t readsize = 1 << 20;      // what the reader asks for at a time
const uint64_t warmup = 500;          // packets before the measurement
const unsigned int timeoutms = 1000;  // bulk transfer and reader wait

struct usage {
  double cpu;     // process CPU seconds
  long switches;  // voluntary context switches of the process
};

usage now() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return {static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9, u.ru_nvcsw};
}

usage since(const usage& start) {
  usage end = now();
  return {end.cpu - start.cpu, end.switches - start.switches};
}

// A fresh bus with one camera streaming at `rate` bytes per second (0:
// unlimited).
void freshcamera(uint64_t rate) {
  ls_closedevice();
  simcam_reset();
  simcam_set_stream_rate(simcam_add_camera("CPU00001"), rate);
}

// The camera opened with libusb directly, as a program without the library
// would.
struct directcamera {
  directcamera() {
    libusb_device** list = nullptr;
    if (libusb_init(&ctx) == 0 && libusb_get_device_list(ctx, &list) > 0 &&
        libusb_open(list[0], &handle) == 0)
      claimed = libusb_claim_interface(handle, 0) == 0;
    if (list) libusb_free_device_list(list, 1);
  }
  ~directcamera() {
    if (claimed) libusb_release_interface(handle, 0);
    if (handle) libusb_close(handle);
    if (ctx) libusb_exit(ctx);
  }
  bool transfer(unsigned char* buf) {
    int transferred = 0;
    return libusb_bulk_transfer(handle, 0x86, buf, packet, &transferred, timeoutms) == 0 &&
           transferred == packet;
  }
  libusb_context* ctx = nullptr;
  libusb_device_handle* handle = nullptr;
  bool claimed = false;
};

bool runbare(uint64_t packets, usage& used) {
  directcamera camera;
  if (!camera.claimed) return false;
  std::vector<unsigned char> buf(packet);
  for (uint64_t i = 0; i < warmup; ++i) camera.transfer(buf.data());
  usage start = now();
  for (uint64_t i = 0; i < packets; ++i) {
    if (!camera.transfer(buf.data())) return false;
  }
  used = since(start);
  return true;
}

// The floor: a byte ring whose positions live under one std::mutex; the
// copies run outside it, as in the library's FIFO.
class ring {
 public:
  ring() : bytes(ringsize) {}

  // Producer: waits for room for n bytes, copies them in, wakes the reader.
  bool put(const unsigned char* p, size_t n) {
    size_t at;
    {
      std::unique_lock<std::mutex> lock(mutex);
      room.wait(lock, [&] { return stopped || ringsize - count >= n; });
      if (stopped) return false;
      at = tail;
    }
    size_t first = std::min(n, ringsize - at);
    std::memcpy(bytes.data() + at, p, first);
    std::memcpy(bytes.data(), p + first, n - first);
    {
      std::lock_guard<std::mutex> lock(mutex);
      tail = (at + n) % ringsize;
      count += n;
    }
    data.notify_one();
    return true;
  }

  // Reader: like ls_waitforpipe, returns when data is there, at a wake or at
  // the time-out.
  void wait(unsigned int ms) {
    std::unique_lock<std::mutex> lock(mutex);
    if (count == 0) data.wait_for(lock, std::chrono::milliseconds(ms));
  }

  // Reader: like ls_getpipe, takes up to n bytes without waiting.
  size_t get(unsigned char* p, size_t n) {
    size_t at;
    {
      std::lock_guard<std::mutex> lock(mutex);
      n = std::min(n, count);
      at = head;
    }
    if (n == 0) return 0;
    size_t first = std::min(n, ringsize - at);
    std::memcpy(p, bytes.data() + at, first);
    std::memcpy(p + first, bytes.data(), n - first);
    {
      std::lock_guard<std::mutex> lock(mutex);
      head = (at + n) % ringsize;
      count -= n;
    }
    room.notify_one();
    return n;
  }

  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopped = true;
    }
    room.notify_one();
  }

  bool isstopped() {
    std::lock_guard<std::mutex> lock(mutex);
    return stopped;
  }

 private:
  std::vector<unsigned char> bytes;
  std::mutex mutex;
  std::condition_variable data;
  std::condition_variable room;
  size_t head = 0;
  size_t tail = 0;
  size_t count = 0;
  bool stopped = false;
};

// Reads packets x 4096 bytes through wait and get, after the warm-up.
template <class Wait, class Get>
bool readpackets(uint64_t packets, Wait wait, Get get, usage& used) {
  std::vector<unsigned char> buf(readsize);
  auto readbytes = [&](uint64_t n) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (n > 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      wait(timeoutms);
      n -= get(buf.data(), static_cast<size_t>(std::min<uint64_t>(n, readsize)));
    }
    return true;
  };
  if (!readbytes(warmup * packet)) return false;
  usage start = now();
  if (!readbytes(packets * packet)) return false;
  used = since(start);
  return true;
}

bool runfloor(uint64_t packets, usage& used) {
  directcamera camera;
  if (!camera.claimed) return false;
  ring r;
  std::thread producer([&] {
    std::vector<unsigned char> buf(packet);
    while (!r.isstopped()) {
      if (camera.transfer(buf.data())) r.put(buf.data(), packet);
    }
  });
  bool ok = readpackets(
      packets, [&](unsigned int ms) { r.wait(ms); }, [&](unsigned char* p, size_t n) { return r.get(p, n); },
      used);
  r.stop();
  producer.join();
  return ok;
}

bool runlibrary(uint64_t packets, usage& used) {
  ls_initialize(static_cast<int>(ringsize), packet);
  if (ls_enumdevices() != 1 || ls_opendevicebyindex(0) != 0) return false;
  bool ok = readpackets(
      packets, [](unsigned int ms) { ls_waitforpipe(ms); },
      [](unsigned char* p, size_t n) {
        int got = ls_getpipe(p, static_cast<int>(n));
        return static_cast<size_t>(got > 0 ? got : 0);
      },
      used);
  ls_closedevice();
  return ok;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// One iteration runs the three programs in short rounds, each on a fresh
// camera and in turn first, so that a change of the machine's load falls on
// all three alike. The figures per packet are medians over the rounds of
// each round's difference to its own bare loop. Arguments: stream rate in
// bytes per second (0: unlimited), packets per program and round, rounds.
void BM_cpu_per_packet(benchmark::State& state) {
  const uint64_t rate = static_cast<uint64_t>(state.range(0));
  const uint64_t packets = static_cast<uint64_t>(state.range(1));
  const int rounds = static_cast<int>(state.range(2));
  bool (*const programs[])(uint64_t, usage&) = {runbare, runfloor, runlibrary};
  std::vector<double> bare, floor, library, floorblocks, libraryblocks;
  for (auto _ : state) {
    for (int round = 0; round < rounds; ++round) {
      usage used[3] = {};
      for (int i = 0; i < 3; ++i) {
        const int p = (round + i) % 3;
        freshcamera(rate);
        if (!programs[p](packets, used[p])) {
          state.SkipWithError("the simulated camera did not stream");
          return;
        }
      }
      const double n = static_cast<double>(packets);
      bare.push_back(used[0].cpu / n * 1e6);
      floor.push_back((used[1].cpu - used[0].cpu) / n * 1e6);
      library.push_back((used[2].cpu - used[0].cpu) / n * 1e6);
      floorblocks.push_back(static_cast<double>(used[1].switches - used[0].switches) / n);
      libraryblocks.push_back(static_cast<double>(used[2].switches - used[0].switches) / n);
    }
  }
  const double floorus = median(floor), libraryus = median(library);
  state.counters["bare_us"] = median(bare);
  state.counters["floor_us"] = floorus;
  state.counters["library_us"] = libraryus;
  state.counters["ratio"] = floorus > 0 ? libraryus / floorus : 0;
  // Times a thread blocked (voluntary context switches), per packet, above
  // the bare loop.
  state.counters["floor_blocks"] = median(floorblocks);
  state.counters["library_blocks"] = median(libraryblocks);
}

BENCHMARK(BM_cpu_per_packet)
    ->ArgNames({"rate", "packets", "rounds"})
    ->Args({40000000, 2000, 30})
    ->Args({0, 20000, 30})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
