// SPDX-License-Identifier: MIT
// The FIFO class itself: position arithmetic, wrap-around, waking, and a
// two-thread run. The library exports only ls_ functions, so cx_fifo.cpp is
// compiled into this test.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstring>
#include <functional>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "stream/cx_fifo.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const int minsize = 1048576;

long long msince(Clock::time_point t) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - t).count();
}

std::vector<unsigned char> ramp(size_t n, unsigned char first = 1) {
  std::vector<unsigned char> v(n);
  std::iota(v.begin(), v.end(), first);
  return v;
}

// Makes the FIFO empty with its next byte to be written at index fipos.
void emptyat(cx_fifo& f, int fipos, int buflen) {
  f.setFOPOS(fipos == 0 ? buflen - 1 : fipos - 1);
  f.setFIPOS(fipos);
}

// Runs waitforcondition(timeout) on another thread; `action` runs once that
// thread is about to wait (plus a short settling pause, so that the waiter has
// entered the wait). Returns how long the wait lasted in ms.
long long timedwait(cx_fifo& f, unsigned int timeout, const std::function<void()>& action) {
  std::atomic<bool> started{false};
  std::atomic<long long> lasted{-1};
  std::thread waiter([&] {
    started = true;
    auto t0 = Clock::now();
    f.waitforcondition(timeout);
    lasted = msince(t0);
  });
  while (!started) std::this_thread::yield();
  std::this_thread::sleep_for(milliseconds(50));
  action();
  waiter.join();
  return lasted;
}

struct sizecase {
  int requested;
  int size;
};

void PrintTo(const sizecase& c, std::ostream* os) { *os << "size " << c.requested; }

class fifo_size : public testing::TestWithParam<sizecase> {};

TEST_P(fifo_size, new_fifo_is_empty_with_its_size_as_room) {
  cx_fifo f(GetParam().requested);
  EXPECT_EQ(f.getsize(), GetParam().size);
  EXPECT_EQ(f.getcount(), 0);
  EXPECT_EQ(f.getcapacity(), GetParam().size);
  EXPECT_EQ(f.getFIPOS(), 1);
  EXPECT_EQ(f.getFOPOS(), 0);
}

INSTANTIATE_TEST_SUITE_P(requests, fifo_size,
                         testing::Values(sizecase{0, minsize}, sizecase{-5, minsize},
                                         sizecase{INT_MIN, minsize}, sizecase{minsize, minsize},
                                         sizecase{minsize + 1, minsize + 1}, sizecase{4194304, 4194304},
                                         // size + 1 must still fit: the largest request is capped.
                                         sizecase{INT_MAX, INT_MAX - 1}));

// Count and room for positions set directly: count + room is always size.
struct poscase {
  int fipos;  // offsets from buflen when negative
  int fopos;
  int count;
};

void PrintTo(const poscase& c, std::ostream* os) { *os << "FIPOS " << c.fipos << " FOPOS " << c.fopos; }

class fifo_positions : public testing::TestWithParam<poscase> {};

TEST_P(fifo_positions, count_and_room_follow_positions) {
  cx_fifo f(minsize);
  const int buflen = minsize + 1;
  const poscase c = GetParam();
  f.setFIPOS(c.fipos < 0 ? buflen + c.fipos : c.fipos);
  f.setFOPOS(c.fopos < 0 ? buflen + c.fopos : c.fopos);
  EXPECT_EQ(f.getcount(), c.count);
  EXPECT_EQ(f.getcapacity(), minsize - c.count);
  std::vector<unsigned char> out(minsize + 10);
  EXPECT_EQ(f.readbuf(out.data(), static_cast<unsigned int>(out.size())), c.count);
  EXPECT_EQ(f.getcount(), 0);
}

INSTANTIATE_TEST_SUITE_P(layouts, fifo_positions,
                         testing::Values(poscase{1, 0, 0},             // new
                                         poscase{0, -1, 0},            // empty across the end
                                         poscase{5, -1, 5},            // indexes 0..4
                                         poscase{-1, 0, minsize - 1},  // indexes 1..buflen-2
                                         poscase{7, 7, minsize},       // full
                                         poscase{0, 0, minsize},       // full at index 0
                                         poscase{3, 10, minsize - 7},  // wrapped, nearly full
                                         poscase{-10, -20, 9}));       // near the end

TEST(fifo, fill_exactly_size_then_full) {
  cx_fifo f(minsize);
  auto data = ramp(minsize);
  EXPECT_EQ(f.writebuf(data.data(), minsize), minsize);
  EXPECT_EQ(f.getcount(), minsize);
  EXPECT_EQ(f.getcapacity(), 0);
  EXPECT_EQ(f.getFIPOS(), f.getFOPOS());
  unsigned char more[16] = {};
  EXPECT_EQ(f.writebuf(more, sizeof more), 0);
  EXPECT_EQ(f.writebyte(0xAB), 0);
  EXPECT_EQ(f.getcount(), minsize);

  std::vector<unsigned char> out(minsize);
  EXPECT_EQ(f.readbuf(out.data(), minsize + 100), minsize);
  EXPECT_EQ(out, data);
  EXPECT_EQ(f.readbuf(out.data(), 1), 0);
}

TEST(fifo, overfill_is_cut_to_room) {
  cx_fifo f(minsize);
  auto first = ramp(minsize - 50);
  ASSERT_EQ(f.writebuf(first.data(), static_cast<unsigned int>(first.size())), minsize - 50);
  auto second = ramp(100, 7);
  EXPECT_EQ(f.writebuf(second.data(), 100), 50);
  EXPECT_EQ(f.getcapacity(), 0);

  std::vector<unsigned char> out(minsize);
  ASSERT_EQ(f.readbuf(out.data(), minsize), minsize);
  EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
  EXPECT_TRUE(std::equal(second.begin(), second.begin() + 50, out.begin() + (minsize - 50)));
}

TEST(fifo, block_crossing_the_end_reads_back_in_order) {
  cx_fifo f(minsize);
  const int buflen = minsize + 1;
  emptyat(f, buflen - 10, buflen);
  auto data = ramp(100);
  EXPECT_EQ(f.writebuf(data.data(), 100), 100);
  EXPECT_EQ(f.getFIPOS(), 90);
  EXPECT_EQ(f.getcount(), 100);

  std::vector<unsigned char> out(100);
  EXPECT_EQ(f.readbuf(out.data(), 100), 100);
  EXPECT_EQ(out, data);
  EXPECT_EQ(f.getFOPOS(), 89);
  EXPECT_EQ(f.getcount(), 0);
}

TEST(fifo, read_ending_at_last_index_continues_from_zero) {
  cx_fifo f(minsize);
  const int buflen = minsize + 1;
  emptyat(f, buflen - 100, buflen);
  auto tail = ramp(100);
  ASSERT_EQ(f.writebuf(tail.data(), 100), 100);
  EXPECT_EQ(f.getFIPOS(), 0);

  std::vector<unsigned char> out(100);
  ASSERT_EQ(f.readbuf(out.data(), 100), 100);
  EXPECT_EQ(out, tail);
  EXPECT_EQ(f.getFOPOS(), buflen - 1);
  EXPECT_EQ(f.getcount(), 0);
  unsigned char b = 0x55;
  EXPECT_EQ(f.readbyte(b), 0);
  EXPECT_EQ(b, 0x55);

  auto head = ramp(5, 200);
  ASSERT_EQ(f.writebuf(head.data(), 5), 5);
  EXPECT_EQ(f.getFIPOS(), 5);
  ASSERT_EQ(f.readbyte(b), 1);
  EXPECT_EQ(b, 200);
  EXPECT_EQ(f.getFOPOS(), 0);
  ASSERT_EQ(f.readbuf(out.data(), 100), 4);
  EXPECT_TRUE(std::equal(head.begin() + 1, head.end(), out.begin()));
  EXPECT_EQ(f.getFOPOS(), 4);
}

TEST(fifo, zero_length_read_changes_nothing_at_last_index) {
  cx_fifo f(minsize);
  const int buflen = minsize + 1;
  f.setFOPOS(buflen - 1);
  f.setFIPOS(5);
  ASSERT_EQ(f.getcount(), 5);
  unsigned char out[8] = {};
  EXPECT_EQ(f.readbuf(out, 0), 0);
  EXPECT_EQ(f.getFOPOS(), buflen - 1);
  EXPECT_EQ(f.getFIPOS(), 5);
  EXPECT_EQ(f.getcount(), 5);
  EXPECT_EQ(f.readbuf(out, sizeof out), 5);
  EXPECT_EQ(f.getFOPOS(), 4);
}

TEST(fifo, bytes_wrap_one_at_a_time) {
  cx_fifo f(minsize);
  const int buflen = minsize + 1;
  emptyat(f, buflen - 2, buflen);
  for (unsigned char v = 1; v <= 4; ++v) EXPECT_EQ(f.writebyte(v), 1);
  EXPECT_EQ(f.getFIPOS(), 2);
  for (unsigned char v = 1; v <= 4; ++v) {
    unsigned char b = 0;
    ASSERT_EQ(f.readbyte(b), 1);
    EXPECT_EQ(b, v);
  }
  EXPECT_EQ(f.getFOPOS(), 1);
  EXPECT_EQ(f.getcount(), 0);
}

TEST(fifo_wait, returns_at_once_with_data_or_zero_timeout) {
  cx_fifo f(minsize);
  auto t0 = Clock::now();
  f.waitforcondition(0);
  EXPECT_LT(msince(t0), 1000);

  unsigned char b = 1;
  ASSERT_EQ(f.writebuf(&b, 1), 1);
  t0 = Clock::now();
  f.waitforcondition(60000);
  EXPECT_LT(msince(t0), 1000);
}

TEST(fifo_wait, empty_fifo_waits_out_the_timeout) {
  cx_fifo f(minsize);
  auto t0 = Clock::now();
  f.waitforcondition(200);
  EXPECT_GE(msince(t0), 190);
}

TEST(fifo_wait, empty_across_the_end_waits_too) {
  cx_fifo f(minsize);
  emptyat(f, 0, minsize + 1);
  auto t0 = Clock::now();
  f.waitforcondition(200);
  EXPECT_GE(msince(t0), 190);
}

TEST(fifo_wait, zero_length_write_wakes_the_waiter) {
  cx_fifo f(minsize);
  std::atomic<bool> done{false};
  std::atomic<long long> lasted{-1};
  std::thread waiter([&] {
    auto t0 = Clock::now();
    f.waitforcondition(20000);
    lasted = msince(t0);
    done = true;
  });
  // Repeated, since a wake before the waiter has begun to wait reaches nobody.
  unsigned char b = 0;
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!done && Clock::now() < deadline) {
    EXPECT_EQ(f.writebuf(&b, 0), 0);
    std::this_thread::sleep_for(milliseconds(5));
  }
  waiter.join();
  EXPECT_LT(lasted, 5000);
  EXPECT_EQ(f.getFIPOS(), 1);
  EXPECT_EQ(f.getFOPOS(), 0);
  EXPECT_EQ(f.getcount(), 0);
}

// The writer waiting for room resumes when a read frees enough of it, not
// at the end of its time-out; a read that frees too little keeps it waiting.
TEST(fifo_room, read_that_frees_room_ends_the_writers_wait) {
  cx_fifo f(minsize);
  std::vector<unsigned char> fill(minsize, 7);
  ASSERT_EQ(f.writebuf(fill.data(), minsize), minsize);
  const int needed = 4096;
  std::atomic<bool> done{false};
  std::atomic<long long> lasted{-1};
  std::thread writer([&] {
    auto t0 = Clock::now();
    while (f.getcapacity() < needed) f.waitforroom(needed, 60000);
    lasted = msince(t0);
    done = true;
  });
  std::vector<unsigned char> out(needed);
  ASSERT_EQ(f.readbuf(out.data(), needed - 1), needed - 1);
  // Wait until the writer has taken its decision on the short read: it must
  // keep waiting, since needed - 1 bytes are not enough.
  auto shortread = Clock::now();
  while (!done && msince(shortread) < 200) std::this_thread::yield();
  EXPECT_FALSE(done);
  ASSERT_EQ(f.readbuf(out.data(), 1), 1);
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (!done && Clock::now() < deadline) std::this_thread::yield();
  writer.join();
  EXPECT_TRUE(done);
  EXPECT_LT(lasted, 30000);
  EXPECT_EQ(f.getcapacity(), needed);
}

// A reader waiting with a long time-out is woken by the next block write,
// which skips its wake only when nobody waits.
TEST(fifo_wait, waiting_reader_is_woken_by_the_next_block) {
  cx_fifo f(minsize);
  unsigned char b = 1;
  EXPECT_LT(timedwait(f, 120000, [&] { EXPECT_EQ(f.writebuf(&b, 1), 1); }), 60000);
}

TEST(fifo_wait, single_byte_operations_wake_nobody) {
  struct step {
    const char* what;
    std::function<void(cx_fifo&)> action;
  };
  const std::vector<step> steps = {
      {"writebyte", [](cx_fifo& f) { EXPECT_EQ(f.writebyte(9), 1); }},
      {"readbyte on empty",
       [](cx_fifo& f) {
         unsigned char b;
         EXPECT_EQ(f.readbyte(b), 0);
       }},
      {"readbuf on empty",
       [](cx_fifo& f) {
         unsigned char b[4];
         EXPECT_EQ(f.readbuf(b, 4), 0);
       }},
  };
  for (const step& s : steps) {
    SCOPED_TRACE(s.what);
    // A waiter that had not begun to wait when the byte came returns at once;
    // only a waiter that was waiting tells whether it was woken.
    long long lasted = 0;
    for (int attempt = 0; attempt < 5; ++attempt) {
      cx_fifo f(minsize);
      lasted = timedwait(f, 600, [&] { s.action(f); });
      if (lasted >= 40) break;
    }
    EXPECT_GE(lasted, 550);
  }
}

// Mend of the lost wake-up: a block written right after the waiter found the
// FIFO empty still ends the wait. The writer writes one byte at a random
// moment around the start of each wait and nothing more, so a lost wake-up
// shows as a wait running into its time-out. The writer, and a third thread,
// keep reading FOPOS before the write: a waiter that meets that lock taken
// sleeps on it in the middle of its emptiness test, and the write lands
// between the test and the wait.
TEST(fifo_wait, write_right_after_the_check_is_not_lost) {
  cx_fifo f(minsize);
  const int rounds = 60000;
  std::atomic<int> go{-1};
  std::atomic<bool> contending{true};
  std::thread contender([&] {
    while (contending) f.getFOPOS();
  });
  std::thread writer([&] {
    std::mt19937 rng(12345);
    std::uniform_int_distribution<int> contend(0, 10);
    for (int r = 0; r < rounds; ++r) {
      while (go.load() < r) std::this_thread::yield();
      for (int i = contend(rng); i > 0; --i) f.getFOPOS();
      unsigned char b = static_cast<unsigned char>(r);
      while (f.writebuf(&b, 1) != 1) std::this_thread::yield();
    }
  });
  for (int r = 0; r < rounds; ++r) {
    go = r;
    auto t0 = Clock::now();
    f.waitforcondition(2000);
    // A wait that ended early by chance is followed by a second one.
    if (f.getcount() == 0) f.waitforcondition(2000);
    long long lasted = msince(t0);
    unsigned char b = 0;
    bool got = f.readbuf(&b, 1) == 1;
    if (lasted >= 1000 || !got || b != static_cast<unsigned char>(r)) {
      ADD_FAILURE() << "round " << r << ": wait lasted " << lasted << " ms, byte " << (got ? int(b) : -1);
      break;
    }
  }
  go = rounds;
  writer.join();
  contending = false;
  contender.join();
}

// The stream of the two-thread run: a table of prime length, so that a block
// lost or repeated shows unless its length were a multiple of 1000003.
const std::vector<unsigned char>& streamtable() {
  static const std::vector<unsigned char> table = [] {
    std::vector<unsigned char> t(1000003);
    std::mt19937 rng(7);
    for (auto& b : t) b = static_cast<unsigned char>(rng());
    return t;
  }();
  return table;
}

// Copies (or compares, when check is set) n stream bytes from position pos.
bool streambytes(uint64_t pos, unsigned char* p, size_t n, bool check) {
  const auto& t = streamtable();
  while (n > 0) {
    size_t at = static_cast<size_t>(pos % t.size());
    size_t k = std::min(n, t.size() - at);
    if (check) {
      if (std::memcmp(p, t.data() + at, k) != 0) return false;
    } else {
      std::memcpy(p, t.data() + at, k);
    }
    p += k;
    n -= k;
    pos += k;
  }
  return true;
}

// One writer and one reader with odd, unrelated block sizes over many
// wrap-arounds: every byte arrives once, in order.
TEST(fifo_threads, odd_sized_blocks_arrive_in_order) {
  cx_fifo f(minsize);
#ifdef __SANITIZE_THREAD__
  const uint64_t total = 3ull << 20;  // the race checker slows each copy a thousandfold
#else
  const uint64_t total = 24ull << 20;
#endif
  std::atomic<bool> failed{false};
  std::thread writer([&] {
    const unsigned int sizes[] = {1, 4093, 65537, 3, 777, 131071, 2, 10007};
    std::vector<unsigned char> block(131071);
    uint64_t pos = 0;
    for (size_t i = 0; pos < total && !failed; ++i) {
      unsigned int n = static_cast<unsigned int>(std::min<uint64_t>(sizes[i % 8], total - pos));
      streambytes(pos, block.data(), n, false);
      unsigned int done = 0;
      while (done < n && !failed) {
        int k = f.writebuf(block.data() + done, n - done);
        if (k < 0 || static_cast<unsigned int>(k) > n - done) failed = true;
        done += static_cast<unsigned int>(k);
        if (k == 0) std::this_thread::yield();
      }
      pos += n;
    }
  });

  const unsigned int sizes[] = {7, 65536, 1, 99991, 4096, 13, 300000};
  std::vector<unsigned char> out(300000);
  uint64_t pos = 0;
  auto deadline = Clock::now() + std::chrono::seconds(90);
  std::string fault;
  for (size_t i = 0; pos < total && fault.empty() && !failed; ++i) {
    if (Clock::now() > deadline) {
      fault = "deadline passed";
      break;
    }
    int k = f.readbuf(out.data(), sizes[i % 7]);
    if (k < 0 || static_cast<unsigned int>(k) > sizes[i % 7]) {
      fault = "readbuf returned " + std::to_string(k);
    } else if (k == 0) {
      f.waitforcondition(100);
    } else if (!streambytes(pos, out.data(), static_cast<size_t>(k), true)) {
      fault = "bytes differ in the block read at " + std::to_string(pos);
    } else {
      pos += static_cast<uint64_t>(k);
    }
  }
  if (!fault.empty()) failed = true;
  writer.join();
  EXPECT_EQ(fault, "");
  EXPECT_EQ(pos, total);
  EXPECT_EQ(f.getcount(), 0);
}

}  // namespace
