// SPDX-License-Identifier: MIT
#ifndef EMULATED_BOARD_H
#define EMULATED_BOARD_H

// A camera board (or any other USB device) behind an emulated usbdevfs node.
//
// The unmodified system libusb talks to the node through the ioctls it uses
// on real hardware; umockdev hands every ioctl of the node to this object on
// the testbed's worker thread. The board answers each one at once: control
// transfers (string descriptors, the vendor requests of the first and second
// processor), the bulk IN stream on the bulk endpoint whose packets begin with
// a 64-bit little-endian sequence number, claims, and the faults a test asks
// for (a stall, a request left pending until libusb discards it, a refused
// claim, a disconnect).
//
// Tests call the public methods from any thread; they take the board's mutex,
// and whatever they change is applied by the handler on its next ioctl.

#include <umockdev.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "usb/cx_protocol.h"

// One control transfer as the device saw it: the setup packet and, for
// host-to-device requests, the data stage.
struct SetupPacket {
  uint8_t requesttype = 0;
  uint8_t request = 0;
  uint16_t value = 0;
  uint16_t index = 0;
  uint16_t length = 0;
  std::vector<uint8_t> data;

  bool operator==(const SetupPacket& other) const;
};
std::ostream& operator<<(std::ostream& out, const SetupPacket& packet);

struct DeviceIdentity {
  int busnum = 1;
  int devnum = 2;
  uint16_t vendorid = 0;
  uint16_t productid = 0;
  uint16_t release = 0;  // bcdDevice
  std::string manufacturer;
  std::string product;
  std::string serial;  // empty: the device has no serial-number string (index 0)
};

// What the board keeps and reports. Tests read a copy and change it through
// EmulatedBoard::update.
struct BoardState {
  // First processor.
  uint8_t ep6status = 0x21;
  uint8_t powerpins = 0x05;
  std::array<uint8_t, cx_protocol::sensorrecordlength> sensorrecord = {8, 0xA5, 0xA5, 0x00, 0x10, 0x34, 0x12};
  std::array<uint16_t, cx_protocol::adcregistercount> adc = {};  // registers 0..7
  int adcsaves = 0;
  int adcresets = 0;
  int fiforesets = 0;
  // I2C bus: the devices that acknowledge, by 7-bit address, with their bytes.
  std::map<uint8_t, std::vector<uint8_t>> i2cdevices;
  std::map<uint8_t, std::vector<uint8_t>> i2cflash;
  uint8_t i2cfrequency = 0;
  uint8_t i2cstatus = cx_protocol::i2cok;
  // Second processor behind the serial request.
  std::map<uint8_t, int32_t> cpu2registers = {
      {cx_protocol::cpu2version, 0x0304},   {cx_protocol::cpu2mode, 0},
      {cx_protocol::cpu2state, 0},          {cx_protocol::cpu2inttime, 1000},
      {cx_protocol::cpu2custom, 0},         {cx_protocol::cpu2packetlength, 4096},
      {cx_protocol::cpu2sensortype, 0x1000}};
  int cpu2status = 0;
  std::vector<uint8_t> cpu2received;  // bytes of the latest serial write
  // Second-processor flash: sum of the data bytes taken since the last f0.
  uint32_t flashsum = 0;
};

// Counters of the bulk stream and of the usbdevfs traffic.
struct BoardCounters {
  uint64_t ioctls = 0;
  uint64_t opens = 0;   // clients that connected to the node
  int openclients = 0;  // clients connected now that have issued an ioctl
  uint64_t claims = 0;
  uint64_t releases = 0;
  bool claimed = false;
  uint64_t discards = 0;       // urbs discarded by libusb (time-outs, cancels)
  uint64_t bulksubmits = 0;    // bulk urbs accepted
  uint64_t bulkrefused = 0;    // bulk submits refused after a disconnect
  uint64_t packets = 0;        // bulk packets delivered
  int lastbulklength = 0;      // buffer length of the latest bulk urb
  uint64_t shutdownreaps = 0;  // urbs reaped with -ESHUTDOWN at a disconnect
  uint64_t pipestalls = 0;     // bulk urbs ended with -EPIPE
  // When the latest open, claim and release happened, on one clock shared by
  // all boards: they order events across boards.
  uint64_t openstamp = 0;
  uint64_t claimstamp = 0;
  uint64_t releasestamp = 0;
};

// Content of bulk packet `sequence` of length `length`: the sequence number,
// then a pattern that differs from packet to packet.
void fillpacket(uint64_t sequence, uint8_t* packet, int length);

class EmulatedBoard {
 public:
  explicit EmulatedBoard(const DeviceIdentity& identity);
  ~EmulatedBoard();
  EmulatedBoard(const EmulatedBoard&) = delete;
  EmulatedBoard& operator=(const EmulatedBoard&) = delete;

  const DeviceIdentity& identity() const { return identity_; }
  // "/dev/bus/usb/001/002"
  std::string devnode() const;
  // "/devices/pci0000:00/0000:00:14.0/usb1/1-1"
  std::string devpath() const;
  // The device record for umockdev_testbed_add_from_string.
  std::string record() const;
  UMockdevIoctlBase* handler() const { return handler_; }

  // Back to a fresh board: state, faults, logs, counters, stream; plugged in.
  void reset();

  BoardState state();
  void update(const std::function<void(BoardState&)>& change);
  BoardCounters counters();

  // Every control transfer since the last clearlog(), in order.
  std::vector<SetupPacket> controllog();
  // Only the vendor requests.
  std::vector<SetupPacket> vendorlog();
  void clearlog();

  // The next control request with this bRequest stalls (-EPIPE).
  void stallnext(uint8_t request);
  // The next control request with this bRequest stays pending until libusb
  // discards it (its time-out).
  void holdnext(uint8_t request);
  // GET_DESCRIPTOR of this string index stalls until reset().
  void stallstring(uint8_t index);
  // CLAIMINTERFACE fails with EBUSY while set.
  void refuseclaim(bool refuse);

  // Bulk stream: while on, every bulk IN urb is answered with the next
  // packet, up to `budget` packets (negative: no limit); otherwise urbs stay
  // pending until libusb discards them.
  void setstream(bool on, int64_t budget = -1);
  // The pending bulk urb, and every later one, ends with -EPIPE.
  void stallbulk();

  // Acts out an unplug: pending urbs are reaped with -ESHUTDOWN, and
  // submits, reaps and interface calls fail with ENODEV from then on.
  void unplug();

  // Waits until pred(counters) holds; false at the deadline.
  bool waitfor(const std::function<bool(const BoardCounters&)>& pred, std::chrono::milliseconds timeout);
  // Waits until no ioctl has arrived for `quiet`; false at the deadline.
  bool waitquiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout);

 private:
  struct Urb {
    UMockdevIoctlData* urb = nullptr;     // the client's usbdevfs_urb, resolved
    UMockdevIoctlData* buffer = nullptr;  // its buffer, resolved (null when empty)
    UMockdevIoctlClient* client = nullptr;
    bool control = false;
  };
  enum class Fault { stall, hold };

  static gboolean onioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);
  static void onconnected(UMockdevIoctlBase* base, UMockdevIoctlClient* client, gpointer self);

  void handle(UMockdevIoctlClient* client);
  void submit(UMockdevIoctlClient* client);
  void reap(UMockdevIoctlClient* client);
  void discard(UMockdevIoctlClient* client);
  void capabilities(UMockdevIoctlClient* client);
  void claim(UMockdevIoctlClient* client, bool claiming);

  // Runs a control transfer: fills urb status and actual_length; false when
  // the urb is to stay pending.
  bool control(Urb& urb);
  int standardrequest(const SetupPacket& setup, uint8_t* data);
  int vendorrequest(const SetupPacket& setup, uint8_t* data);
  int serialread(const SetupPacket& setup, uint8_t* data);
  void serialwrite(const SetupPacket& setup);
  int flashcommand(const SetupPacket& setup, uint8_t* data);
  void pumpstream();
  void finish(Urb& urb, int status, int actual);
  void applyunplug();
  void releaseall();
  void refreshclients();
  void touch();

  DeviceIdentity identity_;
  UMockdevIoctlBase* handler_ = nullptr;

  std::mutex mutex_;
  std::condition_variable changed_;
  BoardState state_;
  BoardCounters counters_;
  std::vector<SetupPacket> log_;
  std::deque<std::pair<uint8_t, Fault>> faults_;
  std::set<uint8_t> stalledstrings_;
  bool refuseclaim_ = false;
  bool streamon_ = false;
  int64_t budget_ = -1;
  bool bulkstall_ = false;
  uint64_t sequence_ = 0;
  bool unplugrequested_ = false;
  bool unplugged_ = false;
  std::chrono::steady_clock::time_point lastioctl_;
  std::deque<Urb> pending_;  // submitted, not done
  std::deque<Urb> done_;     // done, waiting to be reaped
  // Connected clients, and whether each has issued an ioctl. libusb asks for
  // the capabilities right after every open; a client that never speaks is
  // the preload library's socket of an open() that the file system refused,
  // which it never closes.
  std::map<UMockdevIoctlClient*, bool> clients_;
};

#endif
