// SPDX-License-Identifier: MIT
// The camera stream through the exported functions against the simulated
// camera: FIFO size and packet length as seen in what buffers before
// back-pressure, stream integrity, short packets, transfer errors, unplug,
// closing while streaming, waking and the reported rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "simcam.h"
#include "tests/support/limitedopen.h"
#include "tests/support/stream.h"
#include "vantorpi.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Bytes read per stretch of the long stream check; the race checker slows
// every copy so much that it gets a shorter stream.
#ifdef __SANITIZE_THREAD__
const uint64_t stretchbytes = 256u << 10;
#else
const uint64_t stretchbytes = 2u << 20;
#endif

long long msince(Clock::time_point t) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

// The shared stream checker on the simulator's packets.
struct streamcheck : vtest::StreamCheck {
  explicit streamcheck(int length, uint64_t first = 0)
      : vtest::StreamCheck(length, simcam_fill_packet, first) {}
};

// Reads n bytes of the stream in pieces of the given sizes, waiting when the
// FIFO is empty, and feeds them to the check.
::testing::AssertionResult readstream(streamcheck& check, uint64_t n, const std::vector<int>& pieces,
                                      milliseconds limit = std::chrono::seconds(30)) {
  const std::string why = vtest::readstream(vtest::linkedexports(), check, n, pieces, limit);
  if (why.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "after " << check.bytes() << " bytes: " << why;
}

// Waits until neither the bulk calls of dev nor the bytes waiting change for
// `still`: the pipe thread waits for room or has ended.
::testing::AssertionResult settles(int dev, milliseconds still = milliseconds(500),
                                   std::chrono::seconds limit = std::chrono::seconds(20)) {
  auto deadline = Clock::now() + limit;
  uint64_t calls = simcam_bulk_calls(dev);
  int count = ls_getpipe(nullptr, 0);
  auto since = Clock::now();
  while (Clock::now() < deadline) {
    std::this_thread::sleep_for(milliseconds(10));
    uint64_t c = simcam_bulk_calls(dev);
    int n = ls_getpipe(nullptr, 0);
    if (c != calls || n != count) {
      calls = c;
      count = n;
      since = Clock::now();
    } else if (Clock::now() - since >= still) {
      return ::testing::AssertionSuccess();
    }
  }
  return ::testing::AssertionFailure() << "still moving after " << limit.count() << " s: " << calls
                                       << " bulk calls, " << count << " bytes waiting";
}

// Waits until at least n bytes are waiting; returns the count seen last.
int waitforbytes(int n, milliseconds limit = std::chrono::seconds(20)) {
  return vtest::waitforbytes(vtest::linkedexports(), n, limit);
}

class pipe : public testing::Test {
 protected:
  void SetUp() override {
    ls_closedevice();
    simcam_reset();
    dev = simcam_add_camera("PIPE0001");
    simcam_set_stream_rate(dev, 0);
    ls_initialize(4194304, 4096);
    ASSERT_EQ(ls_enumdevices(), 1);
  }

  void TearDown() override {
    auto t0 = Clock::now();
    ls_closedevice();
    EXPECT_LT(msince(t0), 2000);
    EXPECT_EQ(ls_currentdeviceindex(), -1);
    EXPECT_EQ(simcam_open_handles(), 0);
    EXPECT_EQ(simcam_claimed_interfaces(), 0);
  }

  int dev = 0;
};

TEST_F(pipe, without_device_nothing_is_read_and_nobody_waits) {
  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass == 0 ? "none open" : "after close");
    unsigned char buf[100];
    EXPECT_EQ(ls_getpipe(buf, sizeof buf), 0);
    EXPECT_EQ(ls_getpipe(nullptr, 0), 0);
    EXPECT_EQ(ls_getpipe(buf, -1), 0);
    EXPECT_EQ(ls_getpipe(nullptr, 100), 0);
    EXPECT_EQ(ls_getfps(), 0);
    auto t0 = Clock::now();
    ls_waitforpipe(5000);
    EXPECT_LT(msince(t0), 1000);
    if (pass == 0) {
      ASSERT_EQ(ls_opendevicebyindex(0), 0);
      ASSERT_GT(waitforbytes(1), 0);
      ASSERT_EQ(ls_closedevice(), 0);
    }
  }
}

// With nobody reading, the FIFO takes whole packets until the next one would
// not fit: the largest multiple of the packet length within the FIFO size.
struct fillcase {
  int fifosize;
  int packetlength;
  int packet;    // effective packet length
  int buffered;  // bytes waiting once the thread waits for room
};

void PrintTo(const fillcase& c, std::ostream* os) {
  *os << "fifo " << c.fifosize << " packet " << c.packetlength;
}

class pipe_fill : public pipe, public testing::WithParamInterface<fillcase> {};

TEST_P(pipe_fill, buffers_whole_packets_up_to_fifo_size) {
  const fillcase c = GetParam();
  ls_initialize(c.fifosize, c.packetlength);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  EXPECT_GE(waitforbytes(c.buffered), c.buffered);
  ASSERT_TRUE(settles(dev));
  EXPECT_EQ(ls_getpipe(nullptr, 0), c.buffered);

  // Every packet is whole and in order, and the one held back while waiting
  // for room follows the last one buffered.
  streamcheck check(c.packet);
  ASSERT_TRUE(readstream(check, static_cast<uint64_t>(c.buffered), {c.buffered}));
  EXPECT_TRUE(check.atboundary());
  ASSERT_TRUE(readstream(check, static_cast<uint64_t>(c.packet) * 3, {c.packet}));
}

INSTANTIATE_TEST_SUITE_P(
    sizes, pipe_fill,
    testing::Values(fillcase{1048576, 100, 2048, 512 * 2048}, fillcase{1048577, 100, 2048, 512 * 2048},
                    fillcase{0, 0, 2048, 512 * 2048}, fillcase{-5, -1, 2048, 512 * 2048},
                    fillcase{1048577, 2049, 2049, 511 * 2049},
                    // 1048577 = 17 x 61681: only the larger FIFO takes the 17th.
                    fillcase{1048577, 61681, 61681, 17 * 61681}, fillcase{1048576, 61681, 61681, 16 * 61681},
                    fillcase{2000000, 65536, 65536, 30 * 65536}, fillcase{4194304, 4096, 4096, 1024 * 4096},
                    // A FIFO that would hold fewer than two packets is made to hold two.
                    fillcase{1048576, 2097152, 2097152, 2 * 2097152}));

struct lengthcase {
  int requested;
  int packet;
};

void PrintTo(const lengthcase& c, std::ostream* os) { *os << "length " << c.requested; }

class pipe_length : public pipe, public testing::WithParamInterface<lengthcase> {};

TEST_P(pipe_length, set_while_closed_takes_effect_at_next_open) {
  const lengthcase c = GetParam();
  EXPECT_EQ(ls_setpacketlength(c.requested), 0);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(c.packet);
  EXPECT_TRUE(readstream(check, static_cast<uint64_t>(c.packet) * 3, {1000, 3}));
}

INSTANTIATE_TEST_SUITE_P(lengths, pipe_length,
                         testing::Values(lengthcase{100, 2048}, lengthcase{0, 2048}, lengthcase{-1, 2048},
                                         lengthcase{INT_MIN, 2048}, lengthcase{2048, 2048},
                                         lengthcase{2049, 2049}, lengthcase{65536, 65536}));

TEST_F(pipe, set_packet_length_while_open_is_refused) {
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  EXPECT_EQ(ls_setpacketlength(2049), CX_ERR_DEVICE_ACTIVE);
  {
    streamcheck check(4096);
    EXPECT_TRUE(readstream(check, 4096 * 3, {5000}));
  }
  ASSERT_EQ(ls_closedevice(), 0);

  // Refused means not stored: the next opening still uses 4096.
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  {
    streamcheck check(4096);
    EXPECT_TRUE(readstream(check, 4096 * 3, {5000}));
  }
  ASSERT_EQ(ls_closedevice(), 0);
  EXPECT_EQ(ls_setpacketlength(2049), 0);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(2049);
  EXPECT_TRUE(readstream(check, 2049 * 3, {5000}));
}

TEST_F(pipe, slow_reader_with_odd_reads_gets_every_byte_once_in_order) {
  ls_initialize(0, 4096);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(4096);
  const std::vector<int> pieces = {1, 7, 4095, 4097, 65537, 333, 100000, 2};
  // Between stretches of reading the reader stops until the FIFO is full, so
  // the thread goes through back-pressure again and again.
  for (int stretch = 0; stretch < 6; ++stretch) {
    SCOPED_TRACE(stretch);
    EXPECT_EQ(waitforbytes(1048576), 1048576);
    ASSERT_TRUE(readstream(check, stretchbytes, pieces));
  }
  EXPECT_EQ(check.bytes(), 6 * stretchbytes);
}

TEST_F(pipe, short_packets_never_reach_the_fifo) {
  simcam_set_stream_mode(dev, SIMCAM_STREAM_SHORT);
  simcam_set_short_length(dev, 1000);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  // Longer than one rate window, and long enough for many transfers.
  auto t0 = Clock::now();
  while (msince(t0) < 1500 || simcam_bulk_calls(dev) < 100) {
    ASSERT_LT(msince(t0), 20000) << "only " << simcam_bulk_calls(dev) << " bulk calls";
    ASSERT_EQ(ls_getpipe(nullptr, 0), 0);
    ASSERT_EQ(ls_getfps(), 0);
    std::this_thread::sleep_for(milliseconds(10));
  }

  // Whole packets are taken again as soon as they come.
  simcam_set_stream_mode(dev, SIMCAM_STREAM_ON);
  ASSERT_GE(waitforbytes(4096), 4096);
  unsigned char head[8];
  ASSERT_EQ(ls_getpipe(head, 8), 8);
  streamcheck check(4096, vtest::packetsequence(head));
  ASSERT_TRUE(check.feed(head, 8).empty());
  EXPECT_TRUE(readstream(check, 4096 * 4 - 8, {777}));
}

TEST_F(pipe, close_while_waiting_for_room_ends_promptly) {
  ls_initialize(0, 4096);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  ASSERT_EQ(waitforbytes(1048576), 1048576);
  ASSERT_TRUE(settles(dev));
  ASSERT_EQ(ls_getpipe(nullptr, 0), 1048576);
  auto t0 = Clock::now();
  EXPECT_EQ(ls_closedevice(), 0);
  EXPECT_LT(msince(t0), 2000);
  EXPECT_EQ(ls_getpipe(nullptr, 0), 0);
  EXPECT_EQ(ls_getfps(), 0);
}

TEST_F(pipe, close_right_after_open_ends_promptly) {
  struct round {
    int mode;
    int times;
  };
  // With the stream off every transfer lasts its full time-out.
  for (round r : {round{SIMCAM_STREAM_ON, 20}, round{SIMCAM_STREAM_OFF, 3}}) {
    simcam_set_stream_mode(dev, r.mode);
    for (int i = 0; i < r.times; ++i) {
      SCOPED_TRACE(r.mode);
      ASSERT_EQ(ls_opendevicebyindex(0), 0);
      auto t0 = Clock::now();
      EXPECT_EQ(ls_closedevice(), 0);
      EXPECT_LT(msince(t0), 2000);
      EXPECT_EQ(simcam_open_handles(), 0);
    }
  }
  // And the stream of the next opening starts anew.
  simcam_set_stream_mode(dev, SIMCAM_STREAM_ON);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(4096);
  EXPECT_TRUE(readstream(check, 4096 * 2, {4096}));
}

TEST_F(pipe, unplug_ends_the_thread_and_buffered_bytes_stay_readable) {
  simcam_set_stream_rate(dev, 4096 * 200);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  ASSERT_GE(waitforbytes(4096 * 10), 4096 * 10);
  simcam_unplug(dev);
  // Ended, not retrying: the bulk calls stop.
  ASSERT_TRUE(settles(dev));
  int waiting = ls_getpipe(nullptr, 0);
  EXPECT_EQ(waiting % 4096, 0);
  EXPECT_GE(waiting, 4096 * 10);

  streamcheck check(4096);
  ASSERT_TRUE(readstream(check, static_cast<uint64_t>(waiting), {3000}));
  unsigned char buf[100];
  EXPECT_EQ(ls_getpipe(buf, sizeof buf), 0);
  EXPECT_EQ(ls_getpipe(nullptr, 0), 0);
  auto t0 = Clock::now();
  ls_waitforpipe(300);
  EXPECT_GE(msince(t0), 250);
  EXPECT_EQ(ls_currentdeviceindex(), 0);
}

TEST_F(pipe, getpipe_forms_of_length_and_buffer) {
  simcam_set_stream_rate(dev, 4096 * 200);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  ASSERT_GE(waitforbytes(4096 * 3), 4096 * 3);
  // No more data: the count stays put.
  simcam_set_stream_mode(dev, SIMCAM_STREAM_OFF);
  ASSERT_TRUE(settles(dev, milliseconds(300)));
  const int waiting = ls_getpipe(nullptr, 0);
  ASSERT_GE(waiting, 4096 * 3);

  std::vector<unsigned char> buf(static_cast<size_t>(waiting) + 1000);
  EXPECT_EQ(ls_getpipe(buf.data(), -1), waiting);
  EXPECT_EQ(ls_getpipe(buf.data(), 0), waiting);
  EXPECT_EQ(ls_getpipe(nullptr, -1), waiting);
  EXPECT_EQ(ls_getpipe(nullptr, 100), 0);
  EXPECT_EQ(ls_getpipe(buf.data(), INT_MIN), waiting);
  EXPECT_EQ(ls_getpipe(nullptr, 0), waiting);

  // More than is waiting delivers what is waiting, then nothing at once.
  EXPECT_EQ(ls_getpipe(buf.data(), static_cast<int>(buf.size())), waiting);
  streamcheck check(4096);
  EXPECT_TRUE(check.feed(buf.data(), static_cast<size_t>(waiting)).empty());
  auto t0 = Clock::now();
  EXPECT_EQ(ls_getpipe(buf.data(), 100), 0);
  EXPECT_LT(msince(t0), 500);
}

// Mend of the lost wake-up: one packet every 20 ms; each wait ends with the
// next packet, not at its time-out of 2000 ms. Each wait is expected back
// within 200 ms; the assertion allows 1500 ms, because on a loaded machine
// the pipe thread itself can stay unscheduled for several hundred ms, and
// only a wait that ends without data or near its time-out is a fault.
TEST_F(pipe, wait_ends_with_each_packet) {
  simcam_set_stream_rate(dev, 4096 * 50);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(4096);
  std::vector<unsigned char> buf(1 << 20);
  long long longest = 0;
  int over200 = 0;
  for (int round = 0; round < 50; ++round) {
    auto t0 = Clock::now();
    ls_waitforpipe(2000);
    int got = ls_getpipe(buf.data(), static_cast<int>(buf.size()));
    long long lasted = msince(t0);
    longest = std::max(longest, lasted);
    over200 += lasted >= 200;
    EXPECT_LT(lasted, 1500) << "round " << round;
    ASSERT_GT(got, 0) << "round " << round << " after " << lasted << " ms";
    ASSERT_EQ(check.feed(buf.data(), static_cast<size_t>(got)), "");
  }
  RecordProperty("longest_wait_ms", static_cast<int>(longest));
  RecordProperty("waits_over_200ms", over200);
}

// Mend of the rate: bytes x 1000 / elapsed ms in 64 bits on a monotonic
// clock. At 4 MB/s, bytes x 1000 no longer fits 32 bits within one window.
// The camera drops what it could not deliver while the pipe thread was not
// scheduled, so a loaded machine can lower single windows: the rate must be
// within 15% in some window within 15 s.
TEST_F(pipe, reported_rate_matches_the_stream_rate) {
  const int rate = 4000000;
  simcam_set_stream_rate(dev, rate);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  std::vector<unsigned char> buf(1 << 20);
  auto t0 = Clock::now();
  std::vector<int> seen;
  bool near = false;
  while (!near && msince(t0) < 15000) {
    ls_waitforpipe(50);
    while (ls_getpipe(buf.data(), static_cast<int>(buf.size())) > 0) {
    }
    int fps = ls_getfps();
    if (fps != 0 && (seen.empty() || seen.back() != fps)) seen.push_back(fps);
    near = fps > rate * 0.85 && fps < rate * 1.15;
  }
  std::string rates;
  for (int r : seen) rates += std::to_string(r) + " ";
  EXPECT_TRUE(near) << "rates reported: " << rates;
}

struct errorcase {
  int error;
  bool ends;
};

void PrintTo(const errorcase& c, std::ostream* os) { *os << "error " << c.error; }

class pipe_error : public pipe, public testing::WithParamInterface<errorcase> {};

TEST_P(pipe_error, single_transfer_error) {
  const errorcase c = GetParam();
  const int errs[] = {c.error};
  simcam_set_bulk_errors(dev, errs, 1, 0);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  if (c.ends) {
    auto t0 = Clock::now();
    while (simcam_bulk_calls(dev) == 0 && msince(t0) < 20000) std::this_thread::sleep_for(milliseconds(5));
    ASSERT_TRUE(settles(dev));
    EXPECT_EQ(simcam_bulk_calls(dev), 1u);
    EXPECT_EQ(ls_getpipe(nullptr, 0), 0);
  } else {
    streamcheck check(4096);
    EXPECT_TRUE(readstream(check, 4096 * 4, {4096}, std::chrono::seconds(10)));
  }
}

INSTANTIATE_TEST_SUITE_P(errors, pipe_error,
                         testing::Values(errorcase{-9, true},   // stall
                                         errorcase{-4, true},   // no device
                                         errorcase{-7, false},  // time-out
                                         errorcase{-1, false},  // I/O
                                         errorcase{-99, false}));

// Mend of the error spin: a transfer that fails every time is retried a few
// times per second, not millions, and full speed returns with the first success.
TEST_F(pipe, persistent_error_backs_off_and_recovers) {
  const int errs[] = {-1};
  simcam_set_bulk_errors(dev, errs, 1, 1);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  uint64_t c0 = simcam_bulk_calls(dev);
  auto t0 = Clock::now();
  while (msince(t0) < 1000) ls_waitforpipe(50);
  uint64_t calls = simcam_bulk_calls(dev) - c0;
  long long lasted = msince(t0);
  EXPECT_LE(calls, 40u) << "in " << lasted << " ms";
  EXPECT_EQ(ls_getpipe(nullptr, 0), 0);

  simcam_set_bulk_errors(dev, nullptr, 0, 0);
  // 1 MiB is 256 packets: 25 s at the back-off pace, an instant at full speed.
  t0 = Clock::now();
  EXPECT_GE(waitforbytes(1 << 20, std::chrono::seconds(10)), 1 << 20) << "after " << msince(t0) << " ms";
  streamcheck check(4096);
  EXPECT_TRUE(readstream(check, 1 << 20, {65536}));
}

// Mend of the stall: a packet longer than the requested FIFO used to wait
// for room that never came. The FIFO takes two such packets; the stream
// flows in order and its rate is measured.
TEST_F(pipe, packet_longer_than_the_fifo_flows) {
  const int packet = 2097152;
  ls_initialize(1048576, packet);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(packet);
  auto t0 = Clock::now();
  while (ls_getfps() == 0) {
    ASSERT_LT(msince(t0), 20000) << "no rate after " << check.nextseq() << " packets";
    ASSERT_TRUE(readstream(check, packet, {65536}));
  }
  EXPECT_GE(check.nextseq(), 2u);
}

int threadcount() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  return -1;
}

// Mend of the abort: a packet length whose FIFO or transfer buffer cannot be
// had fails the opening with ENOMEM and leaves nothing open, no thread
// either; it used to open, and the thread's allocation ended the process.
TEST_F(pipe, packet_too_long_to_allocate_fails_the_open) {
  // Threads of earlier tests may still be on their way out, never in.
  const int threads = threadcount();
  ASSERT_GT(threads, 0);
  for (int length : {1610612736, INT_MAX}) {
    SCOPED_TRACE(length);
    ls_initialize(4194304, length);
    EXPECT_EQ(ls_opendevicebyindex(0), LS_ENOMEM);
    EXPECT_EQ(ls_currentdeviceindex(), -1);
    EXPECT_EQ(simcam_open_handles(), 0);
    EXPECT_EQ(simcam_claimed_interfaces(), 0);
    EXPECT_LE(threadcount(), threads);
    EXPECT_EQ(ls_getpipe(nullptr, 0), 0);
    EXPECT_EQ(ls_getfps(), 0);
  }
  ls_initialize(4194304, 4096);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(4096);
  EXPECT_TRUE(readstream(check, 4096 * 2, {4096}));
}

// The transfer buffer is allocated at the opening, not in the thread: in a
// child whose address space has room for the FIFO but not for the buffer
// too, the opening reports ENOMEM and the child lives on to say so.
TEST_F(pipe, transfer_buffer_that_cannot_be_had_fails_the_open) {
  if (const char* why = vtest::addresslimitunsupported()) GTEST_SKIP() << why;
  const int packet = 64 << 20, fifosize = 256 << 20;
  ls_initialize(fifosize, packet);
  const vtest::LimitedOpen child = vtest::openinlimitedchild(0, fifosize + packet / 2);
  ASSERT_TRUE(child.reported) << "child did not report";
  EXPECT_EQ(child.result, LS_ENOMEM);
  EXPECT_EQ(child.current, -1);
  EXPECT_EQ(child.handles, 0);
}

// Mend of the size: the largest FIFO size is capped so that its array length
// still fits; the opening either gets the memory or fails cleanly with ENOMEM.
TEST_F(pipe, largest_fifo_size_opens_or_fails_cleanly) {
  ls_initialize(INT_MAX, 4096);
  simcam_set_stream_rate(dev, 4096 * 100);
  int r = ls_opendevicebyindex(0);
  if (r == LS_ENOMEM) {
    EXPECT_EQ(ls_currentdeviceindex(), -1);
    EXPECT_EQ(simcam_open_handles(), 0);
    EXPECT_EQ(simcam_claimed_interfaces(), 0);
    EXPECT_EQ(ls_getpipe(nullptr, 0), 0);
    EXPECT_EQ(ls_getfps(), 0);
  } else {
    ASSERT_EQ(r, 0);
    EXPECT_EQ(ls_currentdeviceindex(), 0);
    streamcheck check(4096);
    EXPECT_TRUE(readstream(check, 4096 * 5, {4096}));
    EXPECT_EQ(ls_closedevice(), 0);
    EXPECT_EQ(simcam_open_handles(), 0);
  }
  ls_initialize(4194304, 4096);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  streamcheck check(4096);
  EXPECT_TRUE(readstream(check, 4096 * 2, {4096}));
}

}  // namespace
