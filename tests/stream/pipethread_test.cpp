// The pipe thread's rate arithmetic: bytes x 1000 / elapsed ms in 64 bits,
// saturating, never the whole-seconds division that counts 1999 ms as 1 s;
// and its FIFO sizing.
#include <gtest/gtest.h>

#include <climits>
#include <new>
#include <ostream>

#include "stream/cx_fifo.h"
#include "stream/cx_pipethread.h"

namespace {

struct ratecase {
  unsigned long long bytes;
  long long elapsedms;
  int rate;
};

void PrintTo(const ratecase& c, std::ostream* os) { *os << c.bytes << " bytes in " << c.elapsedms << " ms"; }

class pipethread_rate : public testing::TestWithParam<ratecase> {};

TEST_P(pipethread_rate, bytes_per_second_of_a_window) {
  const ratecase c = GetParam();
  EXPECT_EQ(cx_pipethread::ratefor(c.bytes, c.elapsedms), c.rate);
}

INSTANTIATE_TEST_SUITE_P(
    windows, pipethread_rate,
    testing::Values(ratecase{3000000, 1500, 2000000}, ratecase{3000000, 2000, 1500000},
                    ratecase{40000000, 1000, 40000000}, ratecase{1999, 1999, 1000}, ratecase{0, 1000, 0},
                    // 4 GB in one second: beyond int, saturates.
                    ratecase{4000000000ull, 1000, INT_MAX}, ratecase{2147483647ull, 1000, INT_MAX},
                    ratecase{2147483648ull, 1000, INT_MAX},
                    // bytes x 1000 would overflow 64 bits.
                    ratecase{ULLONG_MAX, 1000, INT_MAX}, ratecase{ULLONG_MAX / 999, 1, INT_MAX}));

struct sizingcase {
  int fifosize;
  int packetlength;
  int capacity;
};

void PrintTo(const sizingcase& c, std::ostream* os) {
  *os << "fifo " << c.fifosize << " packet " << c.packetlength;
}

class pipethread_fifosize : public testing::TestWithParam<sizingcase> {};

TEST_P(pipethread_fifosize, holds_at_least_two_packets) {
  const sizingcase c = GetParam();
  EXPECT_EQ(cx_pipethread::fifosizefor(c.fifosize, c.packetlength), c.capacity);
}

INSTANTIATE_TEST_SUITE_P(sizes, pipethread_fifosize,
                         testing::Values(sizingcase{4194304, 4096, 4194304},
                                         sizingcase{1048576, 524288, 1048576},
                                         sizingcase{1048576, 524289, 1048578},
                                         sizingcase{3000000, 2000000, 4000000},
                                         sizingcase{1048576, cx_fifo::maxsize / 2, cx_fifo::maxsize}));

TEST(pipethread_fifosize, two_packets_beyond_the_largest_fifo_cannot_be_had) {
  for (int length : {cx_fifo::maxsize / 2 + 1, 1610612736, INT_MAX}) {
    SCOPED_TRACE(length);
    EXPECT_THROW(cx_pipethread::fifosizefor(1048576, length), std::bad_alloc);
  }
}

}  // namespace
