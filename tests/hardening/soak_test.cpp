// SPDX-License-Identifier: MIT
// Soak: one thread reads the stream without pause while the test's thread
// loops over control calls of every family, closes and reopens, enumerates
// again, changes the packet length, and unplugs and re-adds the camera.
//
// The reader keeps to the library's threading rule: it stays out of the
// stream functions while the control thread opens, closes or enumerates
// (streamgate). Every open run must deliver the simulator's packets 0, 1, 2,
// ... whole and in order. At the end nothing may stay open, claimed or
// referenced beyond the listed cameras.
//
// VANTORPI_SOAK_SECONDS sets the duration (default 20, at most 90).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "simcam.h"
#include "tests/support/stream.h"
#include "usb/cx_protocol.h"
#include "vantorpi.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const unsigned int kTimeout = 2000;
const int kNoDevice = -4;  // libusb's LIBUSB_ERROR_NO_DEVICE
const char kSerial[] = "SOAK0001";
const int kCheckEvery = 8;  // packets whose whole content is compared

int soakseconds() {
  const char* text = std::getenv("VANTORPI_SOAK_SECONDS");
  int s = text ? std::atoi(text) : 0;
  return s > 0 ? std::min(s, 90) : 20;
}

// Lets the reader use the stream only while a camera is open and the control
// thread is not opening, closing or enumerating. Each opening starts a new run.
class streamgate {
 public:
  struct run {
    uint64_t id;
    int packetlength;
  };

  // Reader: waits until it may call the stream functions; false when the soak is over.
  bool enter(run& r) {
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return finished || (streaming && !quiet); });
    if (finished) return false;
    reading = true;
    r = current;
    return true;
  }
  void leave() {
    std::lock_guard<std::mutex> lock(mutex);
    reading = false;
    changed.notify_all();
  }

  // Control thread: keeps the reader out and waits until it has left.
  void quiesce() {
    std::unique_lock<std::mutex> lock(mutex);
    quiet = true;
    changed.wait(lock, [&] { return !reading; });
  }
  // Control thread: a camera was opened with this packet length; the reader may go on.
  void opened(int packetlength) {
    std::lock_guard<std::mutex> lock(mutex);
    ++current.id;
    current.packetlength = std::max(packetlength, 2048);
    streaming = true;
    quiet = false;
    changed.notify_all();
  }
  void finish() {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
    changed.notify_all();
  }

 private:
  std::mutex mutex;
  std::condition_variable changed;
  run current{0, 0};
  bool streaming = false, quiet = false, reading = false, finished = false;
};

// What the reader saw of one open run.
struct runresult {
  uint64_t id = 0;
  uint64_t packets = 0;
  uint64_t checked = 0;
  std::string fault;  // empty while intact
};

// One open run: its packets are numbered from 0; every packet's sequence
// number is checked, and every kCheckEvery-th one's whole content.
struct runstate {
  runstate(uint64_t id, int packetlength) : id(id), check(packetlength, simcam_fill_packet, 0, kCheckEvery) {}

  runresult done() const {
    const std::string& fault = failure.empty() ? check.fault() : failure;
    return {id, check.packets(), check.compared(),
            fault.empty() ? std::string() : "run " + std::to_string(id) + ": " + fault};
  }

  uint64_t id;
  vtest::StreamCheck check;
  std::string failure;  // of the reads themselves
};

// Reads the stream without pause, in pieces that do not fit the packets.
void reader(streamgate& gate, std::vector<runresult>& runs, std::atomic<long>& fpsreads) {
  std::vector<unsigned char> buffer(10007);
  std::unique_ptr<runstate> current;
  streamgate::run opened{};
  while (gate.enter(opened)) {
    if (!current || current->id != opened.id) {
      if (current) runs.push_back(current->done());
      current = std::make_unique<runstate>(opened.id, opened.packetlength);
    }
    ls_waitforpipe(20);
    int n = ls_getpipe(buffer.data(), static_cast<int>(buffer.size()));
    if (ls_getfps() >= 0) ++fpsreads;
    gate.leave();
    if (n < 0 || n > static_cast<int>(buffer.size())) {
      if (current->failure.empty()) current->failure = "ls_getpipe returned " + std::to_string(n);
    } else {
      current->check.feed(buffer.data(), static_cast<size_t>(n));
    }
  }
  if (current) runs.push_back(current->done());
}

// Runs the reader; ends and joins it also when the test stops early.
class readerthread {
 public:
  readerthread(streamgate& g, std::vector<runresult>& runs, std::atomic<long>& fpsreads)
      : gate(g), thread(reader, std::ref(g), std::ref(runs), std::ref(fpsreads)) {}
  ~readerthread() { join(); }
  void join() {
    if (!thread.joinable()) return;
    gate.finish();
    thread.join();
  }

 private:
  streamgate& gate;
  std::thread thread;
};

// One camera plus a device of another maker on the bus.
int plugcamera() {
  int dev = simcam_add_camera(kSerial);
  simcam_set_stream_rate(dev, 8000000);
  return dev;
}

class soak : public testing::Test {
 protected:
  void SetUp() override {
    ls_closedevice();
    simcam_reset();
    simcam_add_device(0x046D, 0xC52B, 0x1201, "Other maker", "Receiver", "OTHER01");
    camera = plugcamera();
    ls_initialize(4194304, 4096);
    ASSERT_EQ(ls_enumdevices(), 1);
  }

  // One round of control calls of every family; each must succeed against the
  // simulated board. k varies the values written.
  void controlround(unsigned int k) {
    // The simulator logs every control transfer; nothing here reads the log.
    simcam_log_clear();
    unsigned short type = 0, second = 0;
    EXPECT_EQ(ls_getsensortype(&type, &second, kTimeout), 0);

    // ADC: single registers, three-channel writes, the filtered writes, save and reset.
    unsigned short mask = 0, fixed = 0, value = 0;
    ASSERT_EQ(ls_getsensorconfigmask(type, &mask, &fixed), 0);
    const unsigned short gain = static_cast<unsigned short>(k & cx_protocol::adcdatamask);
    EXPECT_EQ(ls_setadcpga1(gain, kTimeout), 0);
    EXPECT_EQ(ls_getadcpga1(&value, kTimeout), 0);
    EXPECT_EQ(value, gain);
    EXPECT_EQ(ls_setadcoffset(gain, static_cast<unsigned short>(gain ^ 1), 7, kTimeout), 0);
    EXPECT_EQ(ls_getadcoffset2(&value, kTimeout), 0);
    EXPECT_EQ(value, gain ^ 1);
    EXPECT_EQ(ls_setadc3xpga(gain, kTimeout), 0);
    EXPECT_EQ(ls_setadcconfig(static_cast<unsigned short>(k), kTimeout), 0);
    EXPECT_EQ(ls_getadcconfig(&value, kTimeout), 0);
    EXPECT_EQ(value, ((k & mask) | fixed) & cx_protocol::adcdatamask);
    EXPECT_EQ(ls_setadcmux(static_cast<unsigned short>(k), kTimeout), 0);
    EXPECT_EQ(ls_savesettings(kTimeout), 0);
    EXPECT_EQ(ls_resetsettings(kTimeout), 0);

    // I2C: write two bytes at an EEPROM address, point back at it and read them.
    unsigned char status = 0;
    unsigned char write[3] = {static_cast<unsigned char>(k & 0x7F), static_cast<unsigned char>(k),
                              static_cast<unsigned char>(~k)};
    EXPECT_EQ(ls_writei2c(0xA0, write, 3, &status, kTimeout), 0);
    EXPECT_EQ(status, LS_I2C_OK);
    EXPECT_EQ(ls_writei2c(0xA0, write, 1, &status, kTimeout), 0);
    unsigned char read[2] = {};
    unsigned short length = 2;
    EXPECT_EQ(ls_readi2c(0xA1, read, &length, &status, kTimeout), 0);
    EXPECT_EQ(length, 2);
    EXPECT_EQ(0, std::memcmp(read, write + 1, 2));
    EXPECT_EQ(ls_seti2cfreq(static_cast<unsigned char>(k), kTimeout), 0);
    unsigned char frequency = 0xFF;
    EXPECT_EQ(ls_geti2cfreq(&frequency, kTimeout), 0);
    EXPECT_EQ(frequency, k & 1);
    EXPECT_EQ(ls_geti2cstat(&status, kTimeout), 0);

    // Board requests.
    unsigned char byte = 0;
    EXPECT_EQ(ls_ep6stat(&byte, kTimeout), 0);
    EXPECT_EQ(ls_getpowerpins(&byte, kTimeout), 0);
    EXPECT_EQ(ls_resetfifo(kTimeout), 0);
    EXPECT_EQ(ls_psy(1, LS_POWER_SECURITY_CODE, kTimeout), 0);

    // Catalogue.
    unsigned int mintime = 0, maxtime = 0;
    EXPECT_EQ(ls_getminmaxtime(type, &mintime, &maxtime), 0);
    EXPECT_LE(mintime, maxtime);
    EXPECT_STRNE(ls_getsensorname(type), "");

    // Second processor: set and read back mode and integration time.
    EXPECT_EQ(ls_setmode(static_cast<unsigned char>(k), kTimeout), 0);
    unsigned char mode = 0xFF;
    EXPECT_EQ(ls_getmode(&mode, kTimeout), 0);
    EXPECT_EQ(mode, k & 3);
    EXPECT_EQ(ls_setinttime(1000 + k, kTimeout), 0);
    unsigned int inttime = 0;
    EXPECT_EQ(ls_getinttime(&inttime, kTimeout), 0);
    EXPECT_EQ(inttime, 1000 + k);
    unsigned short version = 0;
    EXPECT_EQ(ls_getmcu2version(&version, kTimeout), 0);
    unsigned short cpu2type = 0;
    EXPECT_EQ(ls_getmcu2sensortype(&cpu2type, kTimeout), 0);
    EXPECT_EQ(cpu2type, type);

    // A whole flash programming run of one block.
    unsigned char block[16];
    for (size_t i = 0; i < sizeof block; ++i) block[i] = static_cast<unsigned char>(k + i);
    unsigned short sum = 0;
    EXPECT_EQ(ls_cpu2flash_f0(kTimeout), 0);
    EXPECT_EQ(ls_cpu2flash_f1(sizeof block, kTimeout), 0);
    EXPECT_EQ(ls_cpu2flashdata(sizeof block, block, kTimeout), 0);
    EXPECT_EQ(ls_cpu2flash_f2(&sum, kTimeout), 0);
    EXPECT_EQ(sum, simcam_flash_checksum(block, sizeof block));

    EXPECT_EQ(ls_setpacketlength(4096), CX_ERR_DEVICE_ACTIVE);
  }

  long long timedclose(int expected) {
    auto t0 = Clock::now();
    EXPECT_EQ(ls_closedevice(), expected);
    EXPECT_EQ(simcam_open_handles(), 0);
    EXPECT_EQ(simcam_claimed_interfaces(), 0);
    return std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
  }

  int camera = 0;
};

TEST_F(soak, stream_stays_intact_under_control_calls_reopening_and_unplugging) {
  const auto deadline = Clock::now() + std::chrono::seconds(soakseconds());
  streamgate gate;
  std::vector<runresult> runs;
  std::atomic<long> fpsreads{0};

  int packetlength = 4096;
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  gate.opened(packetlength);
  readerthread streamreader(gate, runs, fpsreads);

  unsigned int k = 0;
  int cycles = 0, unplugs = 0;
  long long slowestclose = 0;
  while (Clock::now() < deadline && !HasFatalFailure()) {
    // A spell of control calls while the stream runs.
    const auto spell = Clock::now() + milliseconds(250);
    while (Clock::now() < spell && !HasFatalFailure()) controlround(k++);

    switch (cycles++ % 4) {
      case 0:  // close, enumerate, reopen by index
        gate.quiesce();
        slowestclose = std::max(slowestclose, timedclose(0));
        ASSERT_EQ(ls_enumdevices(), 1);
        ASSERT_EQ(ls_opendevicebyindex(0), 0);
        break;
      case 1:  // enumerate while open (it closes), reopen by serial number
        gate.quiesce();
        ASSERT_EQ(ls_enumdevices(), 1);
        EXPECT_EQ(simcam_open_handles(), 0);
        ASSERT_EQ(ls_opendevicebyserial(kSerial), 0);
        break;
      case 2: {  // unplug while streaming; requests fail; close, re-add, enumerate, reopen
        simcam_unplug(camera);
        unsigned char mode = 0xFF;
        EXPECT_EQ(ls_getmode(&mode, kTimeout), kNoDevice);
        gate.quiesce();
        slowestclose = std::max(slowestclose, timedclose(kNoDevice));
        camera = plugcamera();
        ++unplugs;
        ASSERT_EQ(ls_enumdevices(), 1);
        ASSERT_EQ(ls_opendevicebyindex(0), 0);
        break;
      }
      default:  // reopen with another packet length
        gate.quiesce();
        slowestclose = std::max(slowestclose, timedclose(0));
        packetlength = packetlength == 4096 ? 6000 : 4096;
        ASSERT_EQ(ls_setpacketlength(packetlength), 0);
        ASSERT_EQ(ls_opendevicebyindex(0), 0);
        break;
    }
    EXPECT_EQ(ls_currentdeviceindex(), 0);
    gate.opened(packetlength);
  }

  gate.quiesce();
  streamreader.join();
  slowestclose = std::max(slowestclose, timedclose(0));
  ls_initialize(4194304, 4096);
  ls_setpacketlength(4096);

  EXPECT_EQ(simcam_live_device_refs(), ls_devicecount());
  EXPECT_EQ(simcam_live_device_lists(), 0);

  uint64_t packets = 0, checked = 0;
  size_t withdata = 0;
  for (const runresult& r : runs) {
    EXPECT_EQ(r.fault, "");
    packets += r.packets;
    checked += r.checked;
    withdata += r.packets > 0;
  }
  EXPECT_GE(cycles, 4);
  EXPECT_GT(unplugs, 0);
  EXPECT_GT(withdata, runs.size() / 2) << "most runs delivered no packet";
  EXPECT_LT(slowestclose, 5000);
  std::printf(
      "soak: %d cycles (%d unplugs), %u control rounds, %zu runs (%zu with data), %llu packets "
      "(%llu compared whole), %ld rate reads, slowest close %lld ms\n",
      cycles, unplugs, k, runs.size(), withdata, static_cast<unsigned long long>(packets),
      static_cast<unsigned long long>(checked), fpsreads.load(), slowestclose);
}

}  // namespace
