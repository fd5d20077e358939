// SPDX-License-Identifier: MIT
// The pipe thread's rate arithmetic: bytes x 1000 / elapsed ms in 64 bits,
// saturating, never the whole-seconds division that counts 1999 ms as 1 s;
// its FIFO sizing; and a stop while it waits for room.
#include <gtest/gtest.h>
#include <libusb.h>

#include <chrono>
#include <climits>
#include <new>
#include <ostream>
#include <thread>
#include <vector>

#include "simcam.h"
#include "stream/cx_fifo.h"
#include "stream/cx_locker.h"
#include "stream/cx_pipethread.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ratecase {
  unsigned long long bytes;
  long long elapsedms;
  int rate;
};

void PrintTo(const ratecase &c, std::ostream *os) { *os << c.bytes << " bytes in " << c.elapsedms << " ms"; }

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

void PrintTo(const sizingcase &c, std::ostream *os) {
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

// The simulated camera's first device, opened with libusb directly.
struct simcamera {
  simcamera() {
    simcam_reset();
    dev = simcam_add_camera("STOP0001");
    simcam_set_stream_rate(dev, 0);
    libusb_device **list = nullptr;
    if (libusb_init(&ctx) == 0 && libusb_get_device_list(ctx, &list) > 0) libusb_open(list[0], &handle);
    if (list) libusb_free_device_list(list, 1);
  }
  ~simcamera() {
    if (handle) libusb_close(handle);
    if (ctx) libusb_exit(ctx);
  }
  int dev = 0;
  libusb_context *ctx = nullptr;
  libusb_device_handle *handle = nullptr;
};

// A stop ends the wait for room in a full FIFO at once: with a back-off of
// ten minutes, only the wake of the stop can end the thread within the
// minute allowed here.
TEST(pipethread_stop, stop_ends_the_wait_for_room) {
  simcamera camera;
  ASSERT_NE(camera.handle, nullptr);
  cx_fifo fifo(0);
  const int packet = 4096;
  const uint64_t fitting = static_cast<uint64_t>(fifo.getsize() / packet);
  cx_pipethread thread(&fifo, camera.handle, packet, 600000);
  thread.start();
  // The FIFO is full and the next packet has been taken from the camera:
  // the thread waits for room.
  auto deadline = Clock::now() + std::chrono::seconds(30);
  while (simcam_bulk_calls(camera.dev) < fitting + 1 && Clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(simcam_bulk_calls(camera.dev), fitting + 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(simcam_bulk_calls(camera.dev), fitting + 1);
  EXPECT_EQ(fifo.getcapacity(), fifo.getsize() % packet);

  thread.stopthread();
  const bool ended = thread.wait(60000);
  EXPECT_TRUE(ended) << "the stop did not end the wait for room";
  if (ended) {
    // Stopped, the packet that waited for room was not written.
    EXPECT_EQ(fifo.getcount(), static_cast<int>(fitting) * packet);
  } else {
    // Room ends the wait, so that the test does not leave the thread behind.
    std::vector<unsigned char> out(static_cast<size_t>(packet));
    fifo.readbuf(out.data(), static_cast<unsigned int>(packet));
    thread.wait();
  }
  cx_syncacquire(&thread);
}

}  // namespace
