// SPDX-License-Identifier: MIT
// Unloading the library while a camera streams, without ls_closedevice: the
// library's instance goes with it and must end the pipe thread before it
// takes away the FIFO and the handle. Nothing may stay open, claimed or
// referenced, the bulk endpoint must fall silent, and nothing may crash or
// leak (the ASan build checks the leaks at exit).
//
// This program does not link the library; it loads it with dlopen, several
// times over.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "simcam.h"
#include "tests/support/library.h"
#include "tests/support/stream.h"

#ifndef VANTORPI_LIBRARY_FILE
#error "VANTORPI_LIBRARY_FILE must name the built library"
#endif

namespace {

enum class state { flowing, fifofull, stalled };

struct unloadcase {
  const char* name;
  state at;  // what the pipe thread does when the library goes
};

void PrintTo(const unloadcase& c, std::ostream* os) { *os << c.name; }

const int kFifoSize = 1048576;
const int kPacket = 4096;

class unload : public testing::TestWithParam<unloadcase> {};

TEST_P(unload, ends_the_stream_and_releases_everything) {
  const unloadcase c = GetParam();
  for (int cycle = 0; cycle < 3; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    simcam_reset();
    const int camera = simcam_add_camera("UNLOAD01");
    // Flowing: paced, the thread mostly waits inside its transfers. Full: as
    // fast as it goes into the smallest FIFO, where the thread waits for room.
    simcam_set_stream_rate(camera, c.at == state::fifofull ? 0 : 4000000);

    vtest::LoadedLibrary lib;
    std::string error;
    ASSERT_TRUE(lib.load(VANTORPI_LIBRARY_FILE, error)) << error;
    lib.ls_initialize(kFifoSize, kPacket);
    ASSERT_EQ(lib.ls_enumdevices(), 1);
    ASSERT_EQ(lib.ls_opendevicebyindex(0), 0);
    const int wanted = c.at == state::fifofull ? kFifoSize / kPacket * kPacket : kPacket;
    ASSERT_GE(vtest::waitforbytes(lib, wanted), wanted) << "the stream did not arrive";
    if (c.at == state::flowing) {
      char buffer[kPacket];
      ASSERT_EQ(lib.ls_getpipe(buffer, sizeof buffer), kPacket);
    }
    // Stalled: the thread waits in a transfer that only its time-out ends.
    if (c.at == state::stalled) simcam_set_stream_mode(camera, SIMCAM_STREAM_OFF);
    EXPECT_EQ(simcam_open_handles(), 1);
    EXPECT_EQ(simcam_claimed_interfaces(), 1);

    ASSERT_EQ(lib.unload(), 0) << dlerror();

    EXPECT_EQ(simcam_open_handles(), 0);
    EXPECT_EQ(simcam_claimed_interfaces(), 0);
    EXPECT_EQ(simcam_live_device_refs(), 0);
    EXPECT_EQ(simcam_live_device_lists(), 0);
    EXPECT_EQ(simcam_live_contexts(), 0);
    // The thread has ended: no further transfer reaches the endpoint. A
    // thread still running would show here, or as a use of the freed handle.
    const uint64_t calls = simcam_bulk_calls(camera);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(simcam_bulk_calls(camera), calls);
  }
}

INSTANTIATE_TEST_SUITE_P(streams, unload,
                         testing::Values(unloadcase{"flowing", state::flowing},
                                         unloadcase{"fifo_full", state::fifofull},
                                         unloadcase{"stalled", state::stalled}),
                         [](const testing::TestParamInfo<unloadcase>& info) { return info.param.name; });

}  // namespace
