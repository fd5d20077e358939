// SPDX-License-Identifier: MIT

#include <climits>
#include <cstdlib>
#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/limitedopen.h"

// An allocation that cannot be had must fail as it does without a sanitizer
// (Qt then throws std::bad_alloc), not abort the program: the test of an
// unconvertible serial argument asks for more than any address space.
#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
#elif defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }
#endif

namespace {

using Session = vtest::SessionTest;

void expectnothingopen() {
  EXPECT_EQ(ls_currentdeviceindex(), -1);
  EXPECT_EQ(simcam_open_handles(), 0);
  EXPECT_EQ(simcam_claimed_interfaces(), 0);
}

void expectopen(int index) {
  EXPECT_EQ(ls_currentdeviceindex(), index);
  EXPECT_EQ(simcam_open_handles(), 1);
  EXPECT_EQ(simcam_claimed_interfaces(), 1);
}

}  // namespace

TEST_F(Session, OpensByIndexAndClosesTheOneOpenBefore) {
  listcameras({"SN-0001", "SN-0002"});
  EXPECT_EQ(ls_opendevicebyindex(0), 0);
  expectopen(0);
  EXPECT_EQ(ls_opendevicebyindex(1), 0);
  expectopen(1);
  EXPECT_EQ(ls_opendevicebyindex(1), 0);
  expectopen(1);
  EXPECT_EQ(ls_closedevice(), 0);
  expectnothingopen();
  EXPECT_EQ(ls_closedevice(), 0);
  EXPECT_EQ(ls_libversion(), 258);
}

TEST_F(Session, IndexOutOfRangeLeavesNothingOpen) {
  listcameras({"SN-0001", "SN-0002"});
  for (int bad : {-1, 2, 3, INT_MIN, INT_MAX}) {
    SCOPED_TRACE(bad);
    ASSERT_EQ(ls_opendevicebyindex(0), 0);
    EXPECT_EQ(ls_opendevicebyindex(bad), CX_ERR_DEVICE_INDEX_OUT_OF_RANGE);
    expectnothingopen();
  }
}

TEST_F(Session, OpenByIndexOnEmptyList) {
  EXPECT_EQ(ls_enumdevices(), 0);
  for (int index : {0, -1, 1}) EXPECT_EQ(ls_opendevicebyindex(index), CX_ERR_NO_DEVICES_ATTACHED);
  for (const char* serial : {"SN-0001", "", static_cast<const char*>(nullptr)})
    EXPECT_EQ(ls_opendevicebyserial(serial), CX_ERR_NO_DEVICES_ATTACHED);
  expectnothingopen();
}

TEST_F(Session, OpensBySerialComparedExactly) {
  listcameras({"SN-0001", "DUP", "DUP", nullptr, nullptr, "sn-0002"});
  struct Case {
    const char* serial;
    int result;
    int index;
  };
  const Case cases[] = {
      {"SN-0001", 0, 0},
      {"sn-0001", CX_ERR_SERIAL_NUM_NOT_FOUND, -1},
      {"SN-0001 ", CX_ERR_SERIAL_NUM_NOT_FOUND, -1},
      {" SN-0001", CX_ERR_SERIAL_NUM_NOT_FOUND, -1},
      {"SN-000", CX_ERR_SERIAL_NUM_NOT_FOUND, -1},
      {"SN-00011", CX_ERR_SERIAL_NUM_NOT_FOUND, -1},
      {"SN-0002", CX_ERR_SERIAL_NUM_NOT_FOUND, -1},
      {"sn-0002", 0, 5},
      {"DUP", 0, 1},
      {"", 0, 3},
      {nullptr, 0, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serial ? c.serial : "(null)");
    ASSERT_EQ(ls_opendevicebyindex(2), 0);
    EXPECT_EQ(ls_opendevicebyserial(c.serial), c.result);
    if (c.index < 0) {
      expectnothingopen();
    } else {
      expectopen(c.index);
    }
  }
}

// A serial argument too long for any text the library can hold cannot be
// converted: the call gives LS_ENOMEM and, like every opening, it has closed
// the open camera first.
TEST_F(Session, OpenBySerialClosesFirstAlsoWhenTheArgumentCannotBeConverted) {
  listcameras({"SN-0001"});
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  const std::string huge(1200u * 1000u * 1000u, 'S');  // 2.4 GB as UTF-16, beyond any QString
  EXPECT_EQ(ls_opendevicebyserial(huge.c_str()), LS_ENOMEM);
  expectnothingopen();
}

TEST_F(Session, EmptySerialWithoutSuchCameraIsNotFound) {
  listcameras({"SN-0001", "SN-0002"});
  EXPECT_EQ(ls_opendevicebyserial(nullptr), CX_ERR_SERIAL_NUM_NOT_FOUND);
  EXPECT_EQ(ls_opendevicebyserial(""), CX_ERR_SERIAL_NUM_NOT_FOUND);
  expectnothingopen();
}

TEST_F(Session, RefusedOpenOrClaimLeavesNothingOpen) {
  struct Case {
    const char* name;
    void (*refuse)(int, int);
    int err;
  };
  for (const Case& c : {Case{"open", simcam_set_open_error, -3}, Case{"claim", simcam_set_claim_error, -6}}) {
    SCOPED_TRACE(c.name);
    simcam_reset();
    const auto ids = listcameras({"SN-0001", "SN-0002"});
    c.refuse(ids[1], c.err);
    ASSERT_EQ(ls_opendevicebyindex(0), 0);
    EXPECT_EQ(ls_opendevicebyindex(1), c.err);
    expectnothingopen();
    ASSERT_EQ(ls_opendevicebyindex(0), 0);
    EXPECT_EQ(ls_opendevicebyserial("SN-0002"), c.err);
    expectnothingopen();
    c.refuse(ids[1], 0);
    EXPECT_EQ(ls_opendevicebyindex(1), 0);
    expectopen(1);
  }
}

TEST_F(Session, CameraUnpluggedAfterEnumerationGivesNoDevice) {
  const auto ids = listcameras({"SN-0001", "SN-0002"});
  simcam_unplug(ids[0]);
  EXPECT_EQ(ls_opendevicebyindex(0), -4);
  expectnothingopen();
  EXPECT_EQ(ls_opendevicebyserial("SN-0001"), -4);
  expectnothingopen();
  EXPECT_EQ(ls_opendevicebyindex(1), 0);
  expectopen(1);
}

TEST_F(Session, CloseReportsFailedReleaseButCloses) {
  const auto ids = listcameras({"SN-0001", "SN-0002"});
  simcam_set_release_error(ids[0], -1);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  EXPECT_EQ(ls_closedevice(), -1);
  EXPECT_EQ(ls_currentdeviceindex(), -1);
  EXPECT_EQ(simcam_open_handles(), 0);
  EXPECT_EQ(ls_closedevice(), 0);

  ASSERT_EQ(ls_opendevicebyindex(1), 0);
  simcam_unplug(ids[1]);
  EXPECT_EQ(ls_closedevice(), -4);
  EXPECT_EQ(ls_currentdeviceindex(), -1);
  EXPECT_EQ(simcam_open_handles(), 0);
}

// The FIFO size and packet length show in how many bytes the stream buffers
// before it stops reading: whole packets while one more fits.
TEST_F(Session, InitializeSetsFifoSizeAndPacketLengthOfTheNextOpen) {
  const int dev = listcameras({"SN-0001"})[0];
  simcam_set_stream_rate(dev, 0);
  simcam_set_stream_mode(dev, SIMCAM_STREAM_ON);
  // Bytes waiting once the stream has filled a FIFO of `size` with `packet`-byte packets.
  auto fill = [&](int size, int packet, bool initializewhileopen) {
    const int held = size / packet * packet;
    const uint64_t before = simcam_packets_sent(dev);
    if (ls_opendevicebyindex(0) != 0) return -1;
    if (initializewhileopen) ls_initialize(0, 0);
    // Full: the thread holds one more packet that does not fit.
    const bool full = vtest::waitfor([&] {
      return ls_getpipe(nullptr, 0) >= held &&
             simcam_packets_sent(dev) - before >= uint64_t(held / packet) + 1;
    });
    const int count = ls_getpipe(nullptr, 0);
    ls_closedevice();
    return full ? count : -count - 1;
  };
  struct Case {
    int fifosize, packetlength;
    int size, packet;  // what the opening must use
  };
  const Case cases[] = {
      {4194304, 4096, 4194304, 4096}, {0, 0, 1048576, 2048},          {-1, 4096, 1048576, 4096},
      {1000000, 4096, 1048576, 4096}, {1048576, 100, 1048576, 2048},  {1050000, 100, 1050000, 2048},
      {1048577, 2049, 1048577, 2049}, {2000000, 3000, 2000000, 3000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.fifosize << ", " << c.packetlength);
    ls_initialize(c.fifosize, c.packetlength);
    EXPECT_EQ(fill(c.size, c.packet, false), c.size / c.packet * c.packet);
  }
  // An open camera keeps the sizes it was opened with; the next opening takes the new ones.
  ls_initialize(2000000, 3000);
  EXPECT_EQ(fill(2000000, 3000, true), 1998000);
  EXPECT_EQ(fill(1048576, 2048, false), 1048576);
}

// An allocation that fails inside an export becomes LS_ENOMEM. A FIFO larger
// than the address space left to a child process is such an allocation.
TEST_F(Session, FailedAllocationAtOpenIsEnomemAndLeavesNothingOpen) {
  if (const char* why = vtest::addresslimitunsupported()) GTEST_SKIP() << why;
  listcameras({"SN-0001"});
  ls_initialize(INT_MAX, 4096);
  const vtest::LimitedOpen child = vtest::openinlimitedchild(0, 256u << 20);
  ASSERT_TRUE(child.reported) << "child did not report";
  EXPECT_EQ(child.result, LS_ENOMEM);
  EXPECT_EQ(child.current, -1);
  EXPECT_EQ(child.handles, 0);
}
