// SPDX-License-Identifier: MIT
// The library on the system's libusb, end to end: libusb enumerates the
// emulated bus through sysfs and talks to the boards through usbdevfs ioctls,
// exactly as on hardware; only the kernel is emulated (umockdev, in-process).
//
// The bus: camera 1 (with a serial number), another device of the same
// vendor, camera 2 (without a serial-number string), and a device of another
// vendor. Each test begins with every board reset and no camera open.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <libusb.h>
#include <limits.h>
#include <link.h>
#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "emulated_board.h"
#include "tests/support/adcregisters.h"
#include "tests/support/library.h"
#include "tests/support/stream.h"
#include "tests/support/wait.h"
#include "usb/cx_protocol.h"
#include "usbfs_testbed.h"

#if defined(VANTORPI_SANITIZE_THREAD)
// Findings inside the uninstrumented third-party code that only this tier
// loads:
// - The system libusb hands transfers between the thread that handles its
//   events and the thread that waits for them through plain flags that TSan
//   cannot see, so it reports libusb's own mutexes (a finished transfer's
//   lock destroyed by its owner) as races.
// - umockdev serves the emulated nodes from a GLib worker thread; umockdev,
//   GLib and GIO synchronise on raw futexes, so testbed set-up and their
//   internal bookkeeping are reported as races with the main thread.
// - Qt wakes a QThread's internal "done" condition after run() has returned;
//   when the thread is joined after it has finished, TSan sees no order
//   between that wake-up and the condition's destruction.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libusb-1.0.so.0\n"
         "race:libumockdev.so.0\n"
         "race:libglib-2.0.so.0\n"
         "race:libgio-2.0.so.0\n"
         "race:libgobject-2.0.so.0\n"
         "race:QWaitCondition::wakeAll\n";
}
#endif

namespace {

namespace cp = cx_protocol;
using std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

const unsigned int transfertimeout = 1000;
const milliseconds deadline(10000);
// How long a close may take: the pipe thread's bulk time-out (1000 ms) plus
// one back-off sleep (100 ms), and room for a loaded machine.
const milliseconds closebound(2500);

DeviceIdentity identity(int devnum, uint16_t vendorid, uint16_t productid, uint16_t release,
                        const char* manufacturer, const char* product, const char* serial) {
  DeviceIdentity id;
  id.busnum = 1;
  id.devnum = devnum;
  id.vendorid = vendorid;
  id.productid = productid;
  id.release = release;
  id.manufacturer = manufacturer;
  id.product = product;
  id.serial = serial;
  return id;
}

struct EmulatedBus {
  UsbfsTestbed testbed;
  EmulatedBoard camera1{identity(2, VANTORPI_USB_VID, VANTORPI_USB_PID, 0x0102, "Vantor Imaging",
                                 "LS-2048 line camera", "LC2048-0117")};
  EmulatedBoard sibling{identity(3, VANTORPI_USB_VID, VANTORPI_USB_PID + 1, 0x0102, "Vantor Imaging",
                                 "LS service adapter", "SA-0001")};
  EmulatedBoard camera2{identity(4, VANTORPI_USB_VID, VANTORPI_USB_PID, 0x0A31, "Vantor Imaging GmbH",
                                 "LS-4096 line camera", "")};
  EmulatedBoard stranger{
      identity(5, VANTORPI_USB_VID + 1, VANTORPI_USB_PID, 0x0200, "Other Maker", "Keyboard", "LC2048-0117")};

  std::vector<EmulatedBoard*> boards() { return {&camera1, &sibling, &camera2, &stranger}; }
  std::vector<EmulatedBoard*> cameras() { return {&camera1, &camera2}; }
};

EmulatedBus* bus = nullptr;
vtest::LoadedLibrary lib;
std::string setupfailure;  // why the emulated bus or the library could not be set up

long long msince(clock_type::time_point start) {
  return std::chrono::duration_cast<milliseconds>(clock_type::now() - start).count();
}

// Position of the board in the library's device list, -1 when not listed.
int listed(const EmulatedBoard& board) {
  for (int i = 0; i < lib.ls_devicecount(); ++i) {
    if (lib.ls_getmcu1version(i) == board.identity().release) return i;
  }
  return -1;
}

SetupPacket in(uint8_t request, uint16_t value, uint16_t index, uint16_t length) {
  SetupPacket p;
  p.requesttype = cp::vendorin;
  p.request = request;
  p.value = value;
  p.index = index;
  p.length = length;
  return p;
}

SetupPacket out(uint8_t request, uint16_t value, uint16_t index = 0, std::vector<uint8_t> data = {}) {
  SetupPacket p;
  p.requesttype = cp::vendorout;
  p.request = request;
  p.value = value;
  p.index = index;
  p.length = static_cast<uint16_t>(data.size());
  p.data = std::move(data);
  return p;
}

// A read of a second-processor register whose answer the board awaits for
// `wait` x 100 ms.
SetupPacket registerread(uint8_t reg, uint8_t wait) {
  return in(cp::serial, cp::requestvalue(reg, wait), 0, cp::serialmaxtransfer);
}

// A flash command with its argument byte and parameter.
SetupPacket flashcommand(uint8_t command, uint8_t argument = 0, uint16_t parameter = 0) {
  return in(cp::cpu2flash, cp::requestvalue(command, argument), parameter, cp::flashreplymax);
}

std::vector<uint8_t> bytes(const std::string& text) { return std::vector<uint8_t>(text.begin(), text.end()); }

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// One exported call, the requests the board must see for it, its result,
// and what must hold afterwards.
struct WireCase {
  const char* name;
  std::function<int()> call;
  std::vector<SetupPacket> expected;
  int result;
  std::function<void()> check;
};

void runwirecases(EmulatedBoard& board, const std::vector<WireCase>& cases) {
  for (const WireCase& c : cases) {
    SCOPED_TRACE(c.name);
    board.clearlog();
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(board.vendorlog(), c.expected);
    if (c.check) c.check();
  }
}

// Changes the mode of a board's node while it lives.
class NodeMode {
 public:
  NodeMode(const std::string& path, mode_t mode) : path_(path) {
    struct stat st;
    saved_ = stat(path.c_str(), &st) == 0 && chmod(path.c_str(), mode) == 0;
    mode_ = st.st_mode & 07777;
  }
  ~NodeMode() {
    if (saved_) chmod(path_.c_str(), mode_);
  }
  bool ok() const { return saved_; }

 private:
  std::string path_;
  mode_t mode_ = 0;
  bool saved_ = false;
};

// Takes CAP_DAC_OVERRIDE out of the calling thread's effective set while it
// lives, so that file modes bind a root process too. The library opens on
// the calling thread. Without privileges there is nothing to drop.
class DacOverrideDropped {
 public:
  DacOverrideDropped() {
    header_.version = _LINUX_CAPABILITY_VERSION_3;
    header_.pid = 0;
    if (syscall(SYS_capget, &header_, saved_) != 0) return;
    __user_cap_data_struct dropped[2];
    std::memcpy(dropped, saved_, sizeof dropped);
    dropped[CAP_TO_INDEX(CAP_DAC_OVERRIDE)].effective &= ~CAP_TO_MASK(CAP_DAC_OVERRIDE);
    ok_ = syscall(SYS_capset, &header_, dropped) == 0;
  }
  ~DacOverrideDropped() {
    if (ok_) syscall(SYS_capset, &header_, saved_);
  }
  bool ok() const { return ok_; }

 private:
  __user_cap_header_struct header_;
  __user_cap_data_struct saved_[2] = {};
  bool ok_ = false;
};

// Drains the pipe on a thread of its own, as an application's reader does,
// and checks every packet: whole, intact, numbered from 0 without a gap.
class StreamReader {
 public:
  explicit StreamReader(int packetlength) : packetlength_(packetlength), check_(packetlength, fillpacket) {}
  ~StreamReader() { stop(); }

  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  // Waits until `packets` whole packets have passed the check.
  bool waitfor(uint64_t packets) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, deadline, [&] { return check_.packets() >= packets || !check_.fault().empty(); });
    return check_.packets() >= packets;
  }
  uint64_t packets() {
    std::lock_guard<std::mutex> lock(mutex_);
    return check_.packets();
  }
  // The first difference from the expected stream; empty while it is intact.
  std::string fault() {
    std::lock_guard<std::mutex> lock(mutex_);
    return check_.fault();
  }

 private:
  void run() {
    std::vector<uint8_t> chunk(static_cast<size_t>(packetlength_) * 4);
    while (!stop_) {
      lib.ls_waitforpipe(20);
      int n = lib.ls_getpipe(chunk.data(), static_cast<int>(chunk.size()));
      if (n <= 0) continue;
      std::lock_guard<std::mutex> lock(mutex_);
      check_.feed(chunk.data(), static_cast<size_t>(n));
      changed_.notify_all();
    }
  }

  const int packetlength_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::condition_variable changed_;
  vtest::StreamCheck check_;
};

// Reads the n bytes that wait in the pipe and checks them as above; nothing
// may be left over.
void expectpipeholds(uint64_t n, int packetlength) {
  vtest::StreamCheck check(packetlength, fillpacket);
  EXPECT_EQ(vtest::readstream(lib, check, n, {packetlength}, deadline), "");
  EXPECT_TRUE(check.atboundary());
  EXPECT_EQ(lib.ls_getpipe(nullptr, 0), 0);
}

class Usbfs : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(setupfailure.empty()) << setupfailure;
    lib.ls_closedevice();
    for (EmulatedBoard* board : bus->boards()) board->reset();
    lib.ls_initialize(4194304, 4096);
    ASSERT_EQ(lib.ls_setpacketlength(4096), 0);
  }
  void TearDown() override {
    if (setupfailure.empty()) lib.ls_closedevice();
  }

  EmulatedBoard& camera1() { return bus->camera1; }
  EmulatedBoard& camera2() { return bus->camera2; }

  // Enumerates and opens the board; its request log starts empty.
  void open(EmulatedBoard& board) {
    ASSERT_EQ(lib.ls_enumdevices(), 2);
    int index = listed(board);
    ASSERT_GE(index, 0);
    ASSERT_EQ(lib.ls_opendevicebyindex(index), 0);
    board.clearlog();
  }

  static bool closedall(EmulatedBoard& board) {
    return board.waitfor([](const BoardCounters& c) { return c.openclients == 0; }, deadline);
  }
};

// ---- The tier itself ----

TEST_F(Usbfs, LibraryRunsOnTheSystemLibusbOverEmulatedUsbdevfs) {
  EXPECT_TRUE(umockdev_in_mock_environment());
  void* usb = dlopen("libusb-1.0.so.0", RTLD_NOW | RTLD_NOLOAD);
  ASSERT_NE(usb, nullptr) << "the library did not bring libusb-1.0.so.0 in";
  link_map* map = nullptr;
  ASSERT_EQ(dlinfo(usb, RTLD_DI_LINKMAP, &map), 0);
  char real[PATH_MAX];
  ASSERT_NE(realpath(map->l_name, real), nullptr) << map->l_name;
  char binary[PATH_MAX];
  ASSERT_NE(realpath(VANTORPI_BINARY_DIR, binary), nullptr);
  EXPECT_NE(std::string(real).rfind(binary, 0), 0u) << "libusb comes from the build tree: " << real;
  EXPECT_EQ(dlsym(RTLD_DEFAULT, "simcam_reset"), nullptr) << "the simulator is loaded";
  using versionfn = const libusb_version* (*)();
  auto version = reinterpret_cast<versionfn>(dlsym(usb, "libusb_get_version"));
  ASSERT_NE(version, nullptr);
  EXPECT_EQ(version()->major, 1);
  dlclose(usb);
}

// ---- Enumeration ----

TEST_F(Usbfs, EnumerationListsTheTwoCamerasInTheOrderLibusbGivesThem) {
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  EXPECT_EQ(lib.ls_devicecount(), 2);
  EXPECT_EQ(lib.ls_currentdeviceindex(), -1);

  // The library opens each matching device once, in libusb's order, to read
  // its strings; the list keeps that order.
  std::vector<EmulatedBoard*> probed = bus->cameras();
  for (EmulatedBoard* board : probed) EXPECT_EQ(board->counters().opens, 1u) << board->devnode();
  std::sort(probed.begin(), probed.end(), [](EmulatedBoard* a, EmulatedBoard* b) {
    return a->counters().openstamp < b->counters().openstamp;
  });
  for (int i = 0; i < 2; ++i) {
    const DeviceIdentity& id = probed[static_cast<size_t>(i)]->identity();
    SCOPED_TRACE(id.product);
    EXPECT_EQ(lib.ls_getmcu1version(i), id.release);
    EXPECT_STREQ(lib.ls_getvendorname(i), id.manufacturer.c_str());
    EXPECT_STREQ(lib.ls_getproductname(i), id.product.c_str());
    EXPECT_STREQ(lib.ls_getserialnumber(i), id.serial.c_str());
  }
  EXPECT_STREQ(lib.ls_getserialnumber(listed(camera2())), "");

  // Foreign devices are never opened; no interface is claimed; every
  // temporary handle is closed again.
  EXPECT_EQ(bus->sibling.counters().opens, 0u);
  EXPECT_EQ(bus->stranger.counters().opens, 0u);
  for (EmulatedBoard* board : bus->boards()) {
    EXPECT_EQ(board->counters().claims, 0u) << board->devnode();
    EXPECT_TRUE(closedall(*board)) << board->devnode();
  }

  EXPECT_EQ(lib.ls_getmcu1version(2), 0);
  EXPECT_EQ(lib.ls_getmcu1version(-1), 0);
  EXPECT_STREQ(lib.ls_getvendorname(2), "");
  EXPECT_STREQ(lib.ls_getproductname(-1), "");
  EXPECT_STREQ(lib.ls_getserialnumber(2), "");
}

TEST_F(Usbfs, EnumerationReadsNothingButTheStringDescriptors) {
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  for (EmulatedBoard* board : bus->cameras()) {
    SCOPED_TRACE(board->devnode());
    std::vector<SetupPacket> log = board->controllog();
    for (const SetupPacket& p : log) {
      EXPECT_TRUE(p.requesttype == (LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_STANDARD) &&
                  p.request == LIBUSB_REQUEST_GET_DESCRIPTOR && (p.value >> 8) == LIBUSB_DT_STRING)
          << p;
    }
    auto asked = [&](uint8_t index) {
      return std::any_of(log.begin(), log.end(),
                         [&](const SetupPacket& p) { return (p.value & 0xFF) == index; });
    };
    EXPECT_TRUE(asked(1));
    EXPECT_TRUE(asked(2));
    // A serial-number index of 0 means the camera has none: nothing is asked.
    EXPECT_EQ(asked(3), !board->identity().serial.empty());
  }
}

TEST_F(Usbfs, EnumerationGivesAnEmptyTextForAStringTheCameraStalls) {
  camera1().stallstring(3);
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  int index = listed(camera1());
  ASSERT_GE(index, 0);
  EXPECT_STREQ(lib.ls_getserialnumber(index), "");
  EXPECT_STREQ(lib.ls_getvendorname(index), camera1().identity().manufacturer.c_str());
  EXPECT_STREQ(lib.ls_getproductname(index), camera1().identity().product.c_str());
  // Nothing is left over from the stall: the next enumeration reads it again.
  camera1().reset();
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  EXPECT_STREQ(lib.ls_getserialnumber(listed(camera1())), camera1().identity().serial.c_str());
}

TEST_F(Usbfs, EnumerationLeavesOutACameraThatCannotBeOpened) {
  NodeMode readonly(bus->testbed.nodepath(camera1()), 0444);
  ASSERT_TRUE(readonly.ok());
  DacOverrideDropped unprivileged;
  ASSERT_TRUE(unprivileged.ok());
  ASSERT_EQ(lib.ls_enumdevices(), 1);
  EXPECT_EQ(lib.ls_getmcu1version(0), camera2().identity().release);
  EXPECT_EQ(listed(camera1()), -1);
}

TEST_F(Usbfs, EnumerationWhileStreamingStopsTheStreamAndClosesTheCamera) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  camera1().setstream(true);
  ASSERT_TRUE(camera1().waitfor([](const BoardCounters& c) { return c.packets >= 8; }, deadline));
  EXPECT_EQ(lib.ls_enumdevices(), 2);
  EXPECT_EQ(lib.ls_currentdeviceindex(), -1);
  EXPECT_EQ(lib.ls_getpipe(nullptr, 0), 0);
  BoardCounters c = camera1().counters();
  EXPECT_FALSE(c.claimed);
  EXPECT_EQ(c.releases, 1u);
  EXPECT_TRUE(closedall(camera1()));
}

// ---- Opening and closing ----

TEST_F(Usbfs, OpenByIndexClaimsInterfaceZeroAndCloseReleasesIt) {
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  for (EmulatedBoard* board : bus->cameras()) {
    SCOPED_TRACE(board->devnode());
    int index = listed(*board);
    ASSERT_GE(index, 0);
    ASSERT_EQ(lib.ls_opendevicebyindex(index), 0);
    EXPECT_EQ(lib.ls_currentdeviceindex(), index);
    BoardCounters c = board->counters();
    EXPECT_TRUE(c.claimed);
    EXPECT_EQ(c.claims, 1u);
    EXPECT_EQ(c.openclients, 1);
    // The stream starts with the opening: the pipe thread reads the bulk endpoint.
    EXPECT_TRUE(board->waitfor([](const BoardCounters& k) { return k.bulksubmits >= 1; }, deadline));
    EXPECT_EQ(board->counters().lastbulklength, 4096);

    EXPECT_EQ(lib.ls_closedevice(), 0);
    EXPECT_EQ(lib.ls_currentdeviceindex(), -1);
    c = board->counters();
    EXPECT_FALSE(c.claimed);
    EXPECT_EQ(c.releases, 1u);
    EXPECT_TRUE(closedall(*board));
  }
  EXPECT_EQ(lib.ls_closedevice(), 0);
}

TEST_F(Usbfs, OpeningAnotherCameraClosesTheOpenOneFirst) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  int second = listed(camera2());
  ASSERT_EQ(lib.ls_opendevicebyindex(second), 0);
  EXPECT_EQ(lib.ls_currentdeviceindex(), second);
  BoardCounters first = camera1().counters();
  BoardCounters now = camera2().counters();
  EXPECT_FALSE(first.claimed);
  EXPECT_TRUE(now.claimed);
  EXPECT_LT(first.releasestamp, now.claimstamp);
  EXPECT_TRUE(closedall(camera1()));
}

TEST_F(Usbfs, OpenBySerialNumberComparesTheWholeTextExactly) {
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  const std::string serial = camera1().identity().serial;
  std::string lower = serial;
  std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);

  EXPECT_EQ(lib.ls_opendevicebyserial(serial.c_str()), 0);
  EXPECT_EQ(lib.ls_currentdeviceindex(), listed(camera1()));
  EXPECT_TRUE(camera1().counters().claimed);

  // The empty text finds the camera without a serial-number string.
  EXPECT_EQ(lib.ls_opendevicebyserial(""), 0);
  EXPECT_EQ(lib.ls_currentdeviceindex(), listed(camera2()));
  EXPECT_FALSE(camera1().counters().claimed);
  EXPECT_EQ(lib.ls_opendevicebyserial(nullptr), 0);
  EXPECT_EQ(lib.ls_currentdeviceindex(), listed(camera2()));

  for (const std::string& wrong : {lower, serial + " ", serial.substr(1)}) {
    SCOPED_TRACE(wrong);
    EXPECT_EQ(lib.ls_opendevicebyserial(wrong.c_str()), CX_ERR_SERIAL_NUM_NOT_FOUND);
    EXPECT_EQ(lib.ls_currentdeviceindex(), -1);
  }
  EXPECT_FALSE(camera2().counters().claimed);
  EXPECT_EQ(lib.ls_opendevicebyindex(2), CX_ERR_DEVICE_INDEX_OUT_OF_RANGE);
  EXPECT_EQ(lib.ls_opendevicebyindex(-1), CX_ERR_DEVICE_INDEX_OUT_OF_RANGE);
  for (EmulatedBoard* board : bus->cameras()) EXPECT_TRUE(closedall(*board));
}

TEST_F(Usbfs, OpenWithoutAccessRightsGivesTheAccessError) {
  ASSERT_NO_FATAL_FAILURE(open(camera2()));
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  int index = listed(camera1());
  {
    NodeMode readonly(bus->testbed.nodepath(camera1()), 0444);
    ASSERT_TRUE(readonly.ok());
    DacOverrideDropped unprivileged;
    ASSERT_TRUE(unprivileged.ok());
    EXPECT_EQ(lib.ls_opendevicebyindex(index), LIBUSB_ERROR_ACCESS);
    EXPECT_EQ(lib.ls_currentdeviceindex(), -1);
    EXPECT_EQ(lib.ls_opendevicebyserial(camera1().identity().serial.c_str()), LIBUSB_ERROR_ACCESS);
  }
  EXPECT_EQ(camera1().counters().claims, 0u);
  EXPECT_EQ(lib.ls_opendevicebyindex(index), 0);
}

TEST_F(Usbfs, ARefusedClaimGivesTheBusyErrorAndClosesTheDevice) {
  ASSERT_NO_FATAL_FAILURE(open(camera2()));
  camera1().refuseclaim(true);
  EXPECT_EQ(lib.ls_opendevicebyindex(listed(camera1())), LIBUSB_ERROR_BUSY);
  EXPECT_EQ(lib.ls_currentdeviceindex(), -1);
  // The camera that was open is closed, and so is the handle of the refused one.
  EXPECT_FALSE(camera2().counters().claimed);
  EXPECT_TRUE(closedall(camera2()));
  EXPECT_TRUE(closedall(camera1()));
  EXPECT_EQ(lib.ls_getpipe(nullptr, 0), 0);

  camera1().refuseclaim(false);
  EXPECT_EQ(lib.ls_opendevicebyindex(listed(camera1())), 0);
}

TEST_F(Usbfs, OpeningACameraUnpluggedSinceTheEnumerationGivesNoDevice) {
  ASSERT_EQ(lib.ls_enumdevices(), 2);
  int index = listed(camera1());
  bus->testbed.remove(camera1());
  EXPECT_EQ(lib.ls_opendevicebyindex(index), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(lib.ls_currentdeviceindex(), -1);

  std::string error;
  ASSERT_TRUE(bus->testbed.readd(camera1(), error)) << error;
  ASSERT_TRUE(vtest::waitfor([] { return lib.ls_enumdevices() == 2; }));
  EXPECT_EQ(lib.ls_opendevicebyindex(listed(camera1())), 0);
}

// ---- Vendor requests: exact setup packets ----

TEST_F(Usbfs, BoardControlRequests) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  const BoardState board = camera1().state();
  unsigned char status = 0, pins = 0;
  unsigned short type = 0, second = 0;
  runwirecases(camera1(), {
                              {"ep6stat",
                               [&] { return lib.ls_ep6stat(&status, transfertimeout); },
                               {in(cp::ep6status, 0, 0, 1)},
                               0,
                               [&] { EXPECT_EQ(status, board.ep6status); }},
                              {"resetfifo",
                               [&] { return lib.ls_resetfifo(transfertimeout); },
                               {out(cp::resetfifo, 0)},
                               0,
                               [&] { EXPECT_EQ(camera1().state().fiforesets, 1); }},
                              {"cwp",
                               [&] { return lib.ls_cwp(1, LS_POWER_SECURITY_CODE, transfertimeout); },
                               {out(cp::codewriteprot, 1)},
                               0,
                               {}},
                              {"psy",
                               [&] { return lib.ls_psy(0xFF, LS_POWER_SECURITY_CODE, transfertimeout); },
                               {out(cp::powersupply, 0xFF)},
                               0,
                               {}},
                              {"dwp",
                               [&] { return lib.ls_dwp(0, LS_POWER_SECURITY_CODE, transfertimeout); },
                               {out(cp::datawriteprot, 0)},
                               0,
                               {}},
                              {"psy with a wrong code",
                               [&] { return lib.ls_psy(1, LS_POWER_SECURITY_CODE ^ 1, transfertimeout); },
                               {},
                               CX_ERR_POWER_SECURITY,
                               {}},
                              {"getpowerpins",
                               [&] { return lib.ls_getpowerpins(&pins, transfertimeout); },
                               {in(cp::powerpins, 0, 0, 1)},
                               0,
                               [&] { EXPECT_EQ(pins, board.powerpins); }},
                              {"getsensortype",
                               [&] { return lib.ls_getsensortype(&type, &second, transfertimeout); },
                               {in(cp::sensorrecord, 0, 0, cp::sensorrecordlength)},
                               0,
                               [&] {
                                 EXPECT_EQ(type, le16(&board.sensorrecord[cp::sensortypeoffset]));
                                 EXPECT_EQ(second, le16(&board.sensorrecord[cp::sensorsecondoffset]));
                               }},
                          });
}

TEST_F(Usbfs, AdcRequests) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  camera1().update([](BoardState& s) { s.adc = {0x058, 0x0C0, 0x101, 0x102, 0x103, 0x011, 0x012, 0x013}; });
  const BoardState board = camera1().state();
  unsigned short value = 0;
  std::vector<WireCase> cases;
  for (const vtest::AdcRegister& r : vtest::adcregisters(lib)) {
    cases.push_back({r.name,
                     [&value, r] { return r.get(&value, transfertimeout); },
                     {in(cp::adcregister, r.address, 0, cp::adcreadlength)},
                     0,
                     [&value, &board, r] { EXPECT_EQ(value, board.adc[static_cast<size_t>(r.number)]); }});
    if (r.filtered) continue;
    // Single-register writes keep the low 9 bits of the value.
    cases.push_back({r.name,
                     [r] { return r.set(0x3FF, transfertimeout); },
                     {out(cp::adcregister, r.address | 0x1FF)},
                     0,
                     [this, r] { EXPECT_EQ(camera1().state().adc[static_cast<size_t>(r.number)], 0x1FF); }});
  }
  runwirecases(camera1(), cases);

  runwirecases(
      camera1(),
      {
          {"setadcpga",
           [] { return lib.ls_setadcpga(0x3FF, 1, 2, transfertimeout); },
           {out(cp::adcpga, 0, 0, {0xFF, 0x03, 0x01, 0x00, 0x02, 0x00})},
           0,
           {}},
          {"setadc3xpga",
           [] { return lib.ls_setadc3xpga(0x0155, transfertimeout); },
           {out(cp::adcpga, 0, 0, {0x55, 0x01, 0x55, 0x01, 0x55, 0x01})},
           0,
           {}},
          {"setadcoffset",
           [] { return lib.ls_setadcoffset(7, 0x100, 0xFFFF, transfertimeout); },
           {out(cp::adcoffset, 0, 0, {0x07, 0x00, 0x00, 0x01, 0xFF, 0xFF})},
           0,
           {}},
          {"setadc3xoffset",
           [] { return lib.ls_setadc3xoffset(0x0123, transfertimeout); },
           {out(cp::adcoffset, 0, 0, {0x23, 0x01, 0x23, 0x01, 0x23, 0x01})},
           0,
           {}},
          {"savesettings", [] { return lib.ls_savesettings(transfertimeout); }, {out(cp::adcsave, 0)}, 0, {}},
          {"resetsettings",
           [] { return lib.ls_resetsettings(transfertimeout); },
           {out(cp::adcreset, 0)},
           0,
           {}},
      });
  EXPECT_EQ(camera1().state().adcsaves, 1);
  EXPECT_EQ(camera1().state().adcresets, 1);

  // Configuration and multiplexer writes read the fitted sensor first and go
  // through the masks that the catalogue gives for it.
  for (uint16_t sensor : {0x1000, 0x1004}) {
    unsigned short configmask = 0, configfixed = 0, muxmask = 0, muxfixed = 0;
    ASSERT_EQ(lib.ls_getsensorconfigmask(sensor, &configmask, &configfixed), 0);
    ASSERT_EQ(lib.ls_getsensormuxmask(sensor, &muxmask, &muxfixed), 0);
    camera1().update([&](BoardState& s) {
      s.sensorrecord[cp::sensortypeoffset] = static_cast<uint8_t>(sensor);
      s.sensorrecord[cp::sensortypeoffset + 1] = static_cast<uint8_t>(sensor >> 8);
    });
    for (uint16_t config : {0xFFFF, 0x0000}) {
      auto filtered = [config](uint16_t address, unsigned mask, unsigned fixed) {
        return static_cast<uint16_t>(address | (((config & mask) | fixed) & cp::adcdatamask));
      };
      const SetupPacket sensorread = in(cp::sensorrecord, 0, 0, cp::sensorrecordlength);
      runwirecases(camera1(),
                   {
                       {"setadcconfig",
                        [&] { return lib.ls_setadcconfig(config, transfertimeout); },
                        {sensorread, out(cp::adcregister, filtered(cp::adcconfig, configmask, configfixed))},
                        0,
                        {}},
                       {"setadcmux",
                        [&] { return lib.ls_setadcmux(config, transfertimeout); },
                        {sensorread, out(cp::adcregister, filtered(cp::adcmux, muxmask, muxfixed))},
                        0,
                        {}},
                   });
    }
  }
}

TEST_F(Usbfs, I2cRequests) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  const std::vector<uint8_t> stored = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  camera1().update([&](BoardState& s) {
    s.i2cdevices[0x50] = stored;
    s.i2cflash[0x51] = {0xAA, 0xBB};
  });
  unsigned char status = 0, frequency = 0;
  unsigned short length = 0;
  unsigned char sent[3] = {0x11, 0x22, 0x33};
  unsigned char received[64] = {};
  runwirecases(camera1(),
               {
                   {"writei2c",
                    [&] { return lib.ls_writei2c(0xA0, sent, 3, &status, transfertimeout); },
                    {out(cp::i2cdata, 0x50, 0, {0x11, 0x22, 0x33}), in(cp::i2cstatus, 0, 0, 1)},
                    0,
                    [&] {
                      EXPECT_EQ(status, LS_I2C_OK);
                      EXPECT_EQ(camera1().state().i2cdevices[0x50], std::vector<uint8_t>(sent, sent + 3));
                    }},
                   {"readi2c, fewer bytes than asked",
                    [&] {
                      camera1().update([&](BoardState& s) { s.i2cdevices[0x50] = stored; });
                      length = 16;
                      return lib.ls_readi2c(0xA1, received, &length, &status, transfertimeout);
                    },
                    {in(cp::i2cdata, 0x50, 0, 16), in(cp::i2cstatus, 0, 0, 1)},
                    0,
                    [&] {
                      EXPECT_EQ(length, stored.size());
                      EXPECT_TRUE(std::equal(stored.begin(), stored.end(), received));
                      EXPECT_EQ(status, LS_I2C_OK);
                    }},
                   {"writei2c to an address that does not answer",
                    [&] { return lib.ls_writei2c(0x42, sent, 1, &status, transfertimeout); },
                    {out(cp::i2cdata, 0x21, 0, {0x11}), in(cp::i2cstatus, 0, 0, 1)},
                    CX_ERR_I2C_TRANSFER,
                    [&] { EXPECT_EQ(status, LS_I2C_NACK); }},
                   {"writei2cflash",
                    [&] { return lib.ls_writei2cflash(0xA2, sent, 2, &status, transfertimeout); },
                    {out(cp::i2cflash, 0x51, 0, {0x11, 0x22}), in(cp::i2cstatus, 0, 0, 1)},
                    0,
                    {}},
                   {"readi2cflash",
                    [&] {
                      length = 2;
                      return lib.ls_readi2cflash(0xA3, received, &length, &status, transfertimeout);
                    },
                    {in(cp::i2cflash, 0x51, 0, 2), in(cp::i2cstatus, 0, 0, 1)},
                    0,
                    [&] {
                      EXPECT_EQ(length, 2);
                      EXPECT_TRUE(std::equal(sent, sent + 2, received));
                    }},
                   {"seti2cfreq",
                    [&] { return lib.ls_seti2cfreq(3, transfertimeout); },
                    {out(cp::i2csetfreq, 1)},
                    0,
                    {}},
                   {"geti2cfreq",
                    [&] { return lib.ls_geti2cfreq(&frequency, transfertimeout); },
                    {in(cp::i2cgetfreq, 0, 0, 1)},
                    0,
                    [&] { EXPECT_EQ(frequency, 1); }},
                   {"geti2cstat",
                    [&] { return lib.ls_geti2cstat(&status, transfertimeout); },
                    {in(cp::i2cstatus, 0, 0, 1)},
                    0,
                    [&] { EXPECT_EQ(status, camera1().state().i2cstatus); }},
               });
}

TEST_F(Usbfs, SecondProcessorRequests) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  const BoardState board = camera1().state();
  unsigned char mode = 0, state = 0;
  unsigned short version = 0, sensor = 0;
  unsigned int inttime = 0, custom = 0;
  int packetlength = 0;
  auto reg = [this](uint8_t r) { return static_cast<uint32_t>(camera1().state().cpu2registers[r]); };
  // A set is the text command, then the status read whose wait byte passes
  // the time-out on in units of 100 ms.
  runwirecases(
      camera1(),
      {
          {"setmode",
           [] { return lib.ls_setmode(2, 1000); },
           {out(cp::serial, 0, 0, bytes("s1:2\r")), registerread(cp::cpu2status, 8)},
           0,
           [&] { EXPECT_EQ(reg(cp::cpu2mode), 2u); }},
          {"setmode masks",
           [] { return lib.ls_setmode(5, 0); },
           {out(cp::serial, 0, 0, bytes("s1:1\r")), registerread(cp::cpu2status, 8)},
           0,
           [&] { EXPECT_EQ(reg(cp::cpu2mode), 1u); }},
          {"setstate",
           [] { return lib.ls_setstate(3, 2000); },
           {out(cp::serial, 0, 0, bytes("s2:1\r")), registerread(cp::cpu2status, 18)},
           0,
           [&] { EXPECT_EQ(reg(cp::cpu2state), 1u); }},
          {"setinttime",
           [] { return lib.ls_setinttime(4260000000u, 5000); },
           {out(cp::serial, 0, 0, bytes("s3:4260000000\r")), registerread(cp::cpu2status, 48)},
           0,
           [&] { EXPECT_EQ(reg(cp::cpu2inttime), 4260000000u); }},
          {"getinttime",
           [&] { return lib.ls_getinttime(&inttime, 5000); },
           {registerread(cp::cpu2inttime, 48)},
           0,
           [&] { EXPECT_EQ(inttime, 4260000000u); }},
          {"getmode",
           [&] { return lib.ls_getmode(&mode, 1099); },
           {registerread(cp::cpu2mode, 8)},
           0,
           [&] { EXPECT_EQ(mode, 1); }},
          {"getstate",
           [&] { return lib.ls_getstate(&state, 1100); },
           {registerread(cp::cpu2state, 9)},
           0,
           [&] { EXPECT_EQ(state, 1); }},
          {"getmcu2version",
           [&] { return lib.ls_getmcu2version(&version, 60000); },
           {registerread(cp::cpu2version, 253)},
           0,
           [&] { EXPECT_EQ(version, static_cast<uint16_t>(board.cpu2registers.at(cp::cpu2version))); }},
          {"customfirmware",
           [&] { return lib.ls_customfirmware(&custom, 1000); },
           {registerread(cp::cpu2custom, 8)},
           0,
           [&] { EXPECT_EQ(custom, static_cast<uint32_t>(board.cpu2registers.at(cp::cpu2custom))); }},
          {"getpacketlength",
           [&] { return lib.ls_getpacketlength(&packetlength, 1000); },
           {registerread(cp::cpu2packetlength, 8)},
           0,
           [&] { EXPECT_EQ(packetlength, board.cpu2registers.at(cp::cpu2packetlength)); }},
          {"getmcu2sensortype",
           [&] { return lib.ls_getmcu2sensortype(&sensor, 1000); },
           {registerread(cp::cpu2sensortype, 8)},
           0,
           [&] { EXPECT_EQ(sensor, static_cast<uint16_t>(board.cpu2registers.at(cp::cpu2sensortype))); }},
      });

  // Refusals of the second processor come back as its error numbers.
  camera1().update([](BoardState& s) { s.cpu2registers.erase(cp::cpu2custom); });
  custom = 77;
  runwirecases(camera1(), {
                              {"customfirmware, register missing",
                               [&] { return lib.ls_customfirmware(&custom, 1000); },
                               {registerread(cp::cpu2custom, 8)},
                               CX_ERR_CPU2_UNKNOWN_GET_CMD,
                               [&] { EXPECT_EQ(custom, 0u); }},
                          });
}

TEST_F(Usbfs, SecondProcessorFlashRequests) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  std::vector<uint8_t> block(512);
  for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 13 + 5);
  unsigned sum = 0;
  for (uint8_t b : block) sum += b;
  unsigned short value = 0;
  runwirecases(
      camera1(),
      {
          {"f0", [] { return lib.ls_cpu2flash_f0(transfertimeout); }, {flashcommand(cp::flashf0)}, 0, {}},
          {"f1",
           [] { return lib.ls_cpu2flash_f1(300, transfertimeout); },
           {flashcommand(cp::flashf1, 0, 300)},
           0,
           {}},
          {"data",
           [&] { return lib.ls_cpu2flashdata(512, block.data(), transfertimeout); },
           {out(cp::cpu2flash, 0, 0, block)},
           0,
           {}},
          {"f2",
           [&] { return lib.ls_cpu2flash_f2(&value, transfertimeout); },
           {flashcommand(cp::flashf2)},
           0,
           [&] { EXPECT_EQ(value, sum & 0xFFFF); }},
          {"f2 with last byte",
           [&] { return lib.ls_cpu2flash_f2_lastbyte(0x5C, &value, transfertimeout); },
           {flashcommand(cp::flashf2lastbyte, 0x5C)},
           0,
           [&] { EXPECT_EQ(value, (sum + 0x5C) & 0xFFFF); }},
      });
}

// ---- Stalls and time-outs ----

// One request of each carrier: the direct board requests, vendorread,
// vendorwrite through the serial channel, and the flash command.
struct FaultCase {
  const char* name;
  uint8_t request;
  std::function<int(unsigned int timeout)> call;
  std::function<void()> check;  // outputs after the failure
};

std::vector<FaultCase> faultcases() {
  static unsigned char byte;
  static unsigned short word;
  static unsigned short length;
  static unsigned char status;
  static unsigned char data[16];
  return {
      {"ep6stat", cp::ep6status,
       [](unsigned int t) {
         byte = 0x77;
         return lib.ls_ep6stat(&byte, t);
       },
       [] { EXPECT_EQ(byte, 0); }},
      {"getadcpga1", cp::adcregister,
       [](unsigned int t) {
         word = 0x77;
         return lib.ls_getadcpga1(&word, t);
       },
       [] { EXPECT_EQ(word, 0); }},
      {"setmode", cp::serial, [](unsigned int t) { return lib.ls_setmode(1, t); }, {}},
      {"readi2c", cp::i2cdata,
       [](unsigned int t) {
         length = 4;
         status = 0x77;
         return lib.ls_readi2c(0xA0, data, &length, &status, t);
       },
       [] {
         EXPECT_EQ(length, 0);
         EXPECT_EQ(status, 0x77);
       }},
      {"cpu2flash_f2", cp::cpu2flash,
       [](unsigned int t) {
         word = 0x77;
         return lib.ls_cpu2flash_f2(&word, t);
       },
       [] { EXPECT_EQ(word, 0x77); }},
  };
}

TEST_F(Usbfs, AStalledRequestGivesThePipeErrorAndTheNextRequestWorks) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  for (const FaultCase& c : faultcases()) {
    SCOPED_TRACE(c.name);
    camera1().clearlog();
    camera1().stallnext(c.request);
    EXPECT_EQ(c.call(transfertimeout), LIBUSB_ERROR_PIPE);
    if (c.check) c.check();
    // Nothing follows a failed first request (a set sends no status read).
    EXPECT_EQ(camera1().vendorlog().size(), 1u);
    unsigned char pins = 0;
    EXPECT_EQ(lib.ls_getpowerpins(&pins, transfertimeout), 0);
    EXPECT_EQ(pins, camera1().state().powerpins);
    EXPECT_EQ(lib.ls_currentdeviceindex(), listed(camera1()));
  }
}

TEST_F(Usbfs, ARequestTheDeviceLeavesUnansweredTimesOut) {
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  const unsigned int timeout = 50;
  for (const FaultCase& c : faultcases()) {
    SCOPED_TRACE(c.name);
    camera1().clearlog();
    camera1().holdnext(c.request);
    uint64_t discards = camera1().counters().discards;
    auto start = clock_type::now();
    EXPECT_EQ(c.call(timeout), LIBUSB_ERROR_TIMEOUT);
    EXPECT_LT(msince(start), closebound.count());
    if (c.check) c.check();
    EXPECT_EQ(camera1().vendorlog().size(), 1u);
    EXPECT_GT(camera1().counters().discards, discards) << "libusb did not cancel the request";
    unsigned char pins = 0;
    EXPECT_EQ(lib.ls_getpowerpins(&pins, transfertimeout), 0);
    EXPECT_EQ(pins, camera1().state().powerpins);
  }
}

// ---- The stream ----

TEST_F(Usbfs, ControlRequestsRunWhileTheStreamFlowsOnTheSameHandle) {
  const int packetlength = 8192;
  lib.ls_initialize(1048576, packetlength);
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  camera1().setstream(true);
  StreamReader reader(packetlength);
  reader.start();
  ASSERT_TRUE(reader.waitfor(32));

  const int rounds = 100;
  uint64_t packetsbefore = camera1().counters().packets;
  for (int i = 0; i < rounds; ++i) {
    unsigned short gain = static_cast<unsigned short>((i * 37) & 0x1FF), readback = 0;
    unsigned char mode = static_cast<unsigned char>(i & 3), modeback = 0xFF;
    ASSERT_EQ(lib.ls_setadcpga2(gain, transfertimeout), 0) << i;
    ASSERT_EQ(lib.ls_getadcpga2(&readback, transfertimeout), 0) << i;
    ASSERT_EQ(readback, gain) << i;
    ASSERT_EQ(lib.ls_setmode(mode, transfertimeout), 0) << i;
    ASSERT_EQ(lib.ls_getmode(&modeback, transfertimeout), 0) << i;
    ASSERT_EQ(modeback, mode) << i;
  }
  uint64_t packetsafter = camera1().counters().packets;
  EXPECT_GT(packetsafter, packetsbefore) << "the stream stood still during the control requests";
  // Every request reached the device once: no loss, no repetition.
  EXPECT_EQ(camera1().vendorlog().size(), static_cast<size_t>(rounds) * 5);

  ASSERT_TRUE(reader.waitfor(reader.packets() + 32));
  reader.stop();
  EXPECT_EQ(lib.ls_closedevice(), 0);
  EXPECT_EQ(camera1().counters().lastbulklength, packetlength);
  EXPECT_EQ(reader.fault(), "");
}

TEST_F(Usbfs, PacketLengthsBelowTheMinimumAreRaisedTo2048) {
  ASSERT_EQ(lib.ls_setpacketlength(100), 0);
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  EXPECT_EQ(lib.ls_setpacketlength(4096), CX_ERR_DEVICE_ACTIVE);
  camera1().setstream(true, 4);
  ASSERT_TRUE(vtest::waitfor([] { return lib.ls_getpipe(nullptr, 0) == 4 * 2048; }, deadline));
  EXPECT_EQ(camera1().counters().lastbulklength, 2048);
  expectpipeholds(4 * 2048, 2048);
}

TEST_F(Usbfs, ClosingEndsThePipeThreadWithinTheBound) {
  struct CloseCase {
    const char* name;
    std::function<void()> prepare;
  };
  const CloseCase cases[] = {
      {"right after the opening", [] {}},
      {"while a bulk transfer waits for data",
       [this] {
         ASSERT_TRUE(camera1().waitfor([](const BoardCounters& c) { return c.bulksubmits >= 1; }, deadline));
       }},
      {"while packets flow",
       [this] {
         camera1().setstream(true);
         ASSERT_TRUE(camera1().waitfor([](const BoardCounters& c) { return c.packets >= 16; }, deadline));
       }},
      {"while the thread waits for room in a full FIFO",
       [this] {
         camera1().setstream(true);
         // Full: less than two packets of room, and the thread holds a
         // packet that the FIFO has not taken.
         ASSERT_TRUE(vtest::waitfor([this] {
           int waiting = lib.ls_getpipe(nullptr, 0);
           return waiting > 1048576 - 2 * 4096 && camera1().counters().packets * 4096 > uint64_t(waiting);
         }));
       }},
  };
  lib.ls_initialize(1048576, 4096);
  for (const CloseCase& c : cases) {
    SCOPED_TRACE(c.name);
    camera1().reset();
    ASSERT_NO_FATAL_FAILURE(open(camera1()));
    ASSERT_NO_FATAL_FAILURE(c.prepare());
    auto start = clock_type::now();
    EXPECT_EQ(lib.ls_closedevice(), 0);
    EXPECT_LT(msince(start), closebound.count());
    EXPECT_FALSE(camera1().counters().claimed);
    EXPECT_TRUE(closedall(camera1()));
    EXPECT_EQ(lib.ls_getpipe(nullptr, 0), 0);
  }
}

TEST_F(Usbfs, UnplugDuringStreamingEndsTheThreadAndKeepsTheBufferedBytes) {
  const int packets = 64;
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  camera1().setstream(true, packets);
  ASSERT_TRUE(vtest::waitfor([] { return lib.ls_getpipe(nullptr, 0) == packets * 4096; }));
  // The thread now waits in the next bulk transfer, which the unplug ends.
  ASSERT_TRUE(camera1().waitfor([](const BoardCounters& c) { return c.bulksubmits > packets; }, deadline));
  camera1().unplug();
  ASSERT_TRUE(camera1().waitfor([](const BoardCounters& c) { return c.shutdownreaps >= 1; }, deadline));
  // A thread that ended leaves the handle idle; one that kept trying would not.
  EXPECT_TRUE(camera1().waitquiet(milliseconds(200), deadline));
  EXPECT_EQ(camera1().counters().bulkrefused, 0u) << "the pipe thread went on after the device vanished";

  expectpipeholds(packets * 4096, 4096);
  unsigned char buffer[16];
  EXPECT_EQ(lib.ls_getpipe(buffer, sizeof buffer), 0);
  auto start = clock_type::now();
  lib.ls_waitforpipe(200);
  EXPECT_GE(msince(start), 150);

  // Control requests and the release see the vanished device.
  unsigned char pins = 0;
  EXPECT_EQ(lib.ls_getpowerpins(&pins, transfertimeout), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(lib.ls_closedevice(), LIBUSB_ERROR_NO_DEVICE);
  EXPECT_EQ(lib.ls_currentdeviceindex(), -1);
  EXPECT_TRUE(closedall(camera1()));
}

TEST_F(Usbfs, AStalledBulkEndpointEndsTheThreadButNotTheSession) {
  const int packets = 8;
  ASSERT_NO_FATAL_FAILURE(open(camera1()));
  camera1().setstream(true, packets);
  ASSERT_TRUE(vtest::waitfor([] { return lib.ls_getpipe(nullptr, 0) == packets * 4096; }));
  ASSERT_TRUE(camera1().waitfor([](const BoardCounters& c) { return c.bulksubmits > packets; }, deadline));
  camera1().stallbulk();
  ASSERT_TRUE(camera1().waitfor([](const BoardCounters& c) { return c.pipestalls >= 1; }, deadline));
  EXPECT_TRUE(camera1().waitquiet(milliseconds(200), deadline));
  EXPECT_EQ(camera1().counters().pipestalls, 1u) << "the pipe thread went on after the stall";

  unsigned short gain = 0;
  EXPECT_EQ(lib.ls_setadcpga3(0x42, transfertimeout), 0);
  EXPECT_EQ(lib.ls_getadcpga3(&gain, transfertimeout), 0);
  EXPECT_EQ(gain, 0x42);
  expectpipeholds(packets * 4096, 4096);
  EXPECT_EQ(lib.ls_closedevice(), 0);
}

// The umockdev preload library looks up the libc functions that it wraps on
// their first use, with dlsym. A sanitizer that symbolizes a report walks the
// loaded modules with dl_iterate_phdr and stats and opens their files through
// those wrappers; a first lookup there, while the main thread is inside
// dlopen, deadlocks on the dynamic loader's locks. One use of each here, before
// any other thread exists, does the lookups beforehand.
void resolvepreloadwrappers() {
  struct stat st;
  struct stat64 st64;
  lstat("/", &st);
  lstat64("/", &st64);
  stat("/", &st);
  stat64("/", &st64);
  access("/", F_OK);
  char target[PATH_MAX];
  if (readlink("/proc/self/exe", target, sizeof target) < 0) target[0] = 0;
  for (int fd :
       {open("/proc/self/exe", O_RDONLY | O_CLOEXEC), open64("/proc/self/exe", O_RDONLY | O_CLOEXEC)}) {
    if (fd < 0) continue;
    char head[4];
    if (read(fd, head, sizeof head) < 0) head[0] = 0;
    fstat(fd, &st);
    fstat64(fd, &st64);
    close(fd);
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();

  resolvepreloadwrappers();

  // libusb waits for usbdevfs completions by polling a plain file; a fine
  // timer slack keeps its short sleeps short.
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  bus = new EmulatedBus;
  for (EmulatedBoard* board : bus->boards()) {
    if (!setupfailure.empty()) break;
    bus->testbed.add(*board, setupfailure);
  }
  if (setupfailure.empty() && !lib.load(VANTORPI_LIBRARY_FILE, setupfailure, RTLD_NOW | RTLD_GLOBAL)) {
    setupfailure = "cannot load the library: " + setupfailure;
  }
  int result = RUN_ALL_TESTS();
  if (lib.handle) lib.ls_closedevice();
  // The bus stays up: the library's instance, and with it its libusb
  // context, is destroyed at exit.
  return result;
}
