// SPDX-License-Identifier: MIT
// Allocation failures inside the library. This program replaces the global
// operator new: while armed, the Nth allocation made from the library's own
// code throws std::bad_alloc, so every failure point of an operation can be
// reached in turn through the real code path.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "simcam.h"
#include "vantorpi.h"

namespace {

std::atomic<int> countdown{0};  // 0: disarmed

bool fromlibrary(void* caller) {
  Dl_info info;
  return dladdr(caller, &info) != 0 && info.dli_fname &&
         std::strstr(info.dli_fname, "libvantorpi") != nullptr;
}

void* allocate(std::size_t n, void* caller) {
  if (countdown.load() > 0 && fromlibrary(caller) && countdown.fetch_sub(1) == 1) throw std::bad_alloc();
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}

// Runs `operation` with the Nth library allocation failing, for N = 1, 2, ...
// until it runs through without reaching the Nth allocation. `check(failed)`
// runs after each attempt. Returns how many attempts had a failure injected.
template <class Operation, class Check>
int failinturn(Operation operation, Check check) {
  int injected = 0;
  for (int n = 1; n < 1000; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n) + " fails");
    countdown = n;
    operation();
    const bool failed = countdown.exchange(0) == 0;
    check(failed);
    if (!failed) break;
    ++injected;
  }
  return injected;
}

}  // namespace

void* operator new(std::size_t n) { return allocate(n, __builtin_return_address(0)); }
void* operator new[](std::size_t n) { return allocate(n, __builtin_return_address(0)); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// An enumeration that fails part-way (while the list is filled, with records
// made and a camera's temporary handle open) releases the device array, the
// temporary handle and every device reference, and lists nothing.
TEST(AllocationFailure, EnumerationReleasesEverythingOnEveryExit) {
  simcam_reset();
  simcam_add_camera("SN-A");
  simcam_add_device(0x1234, 0x5678, 1, "Other", "Device", "X");
  simcam_add_camera("SN-B");
  simcam_add_camera("SN-C");
  int listed = 0;
  const int injected = failinturn([&] { listed = ls_enumdevices(); },
                                  [&](bool failed) {
                                    EXPECT_EQ(listed, failed ? 0 : 3);
                                    EXPECT_EQ(ls_devicecount(), listed);
                                    EXPECT_EQ(simcam_live_device_refs(), listed);
                                    EXPECT_EQ(simcam_open_handles(), 0);
                                    EXPECT_EQ(simcam_live_device_lists(), 0);
                                  });
  EXPECT_GE(injected, 2) << "the enumeration should allocate while it fills the list";
  EXPECT_STREQ(ls_getserialnumber(2), "SN-C");
}
