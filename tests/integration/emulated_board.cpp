// SPDX-License-Identifier: MIT
#include "emulated_board.h"

#include <libusb.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iomanip>
#include <ostream>

namespace {

namespace cp = cx_protocol;

const uint8_t bulkendpoint = cp::bulkendpoint;
// The type bits of bmRequestType.
const uint8_t requesttypemask = 0x60;
std::atomic<uint64_t> eventclock{0};
const uint32_t usbfscapabilities = USBDEVFS_CAP_BULK_SCATTER_GATHER | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
                                   USBDEVFS_CAP_REAP_AFTER_DISCONNECT | USBDEVFS_CAP_ZERO_PACKET;

void put16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

uint16_t get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Index 0..7 of the ADC register at this address.
int adcindex(uint16_t address) { return (address & cp::adcaddressmask) >> cp::adcregistershift; }

// Device descriptor, then the one configuration: interface 0 with its bulk IN
// endpoint.
std::vector<uint8_t> devicedescriptor(const DeviceIdentity& id) {
  std::vector<uint8_t> d = {18, 1, 0x00, 0x02, 0, 0, 0, 64};
  put16(d, id.vendorid);
  put16(d, id.productid);
  put16(d, id.release);
  d.push_back(id.manufacturer.empty() ? 0 : 1);
  d.push_back(id.product.empty() ? 0 : 2);
  d.push_back(id.serial.empty() ? 0 : 3);
  d.push_back(1);
  return d;
}

std::vector<uint8_t> configdescriptor() {
  return {9, 2,    25,
          0, 1,    1,
          0, 0x80, 50,  // configuration 1, one interface
          9, 4,    0,
          0, 1,    0xFF,
          0, 0,    0,  // interface 0, vendor class, one endpoint
          7, 5,    bulkendpoint,
          2, 0x00, 0x02,
          0};  // bulk IN, 512 bytes
}

std::string hex(const std::vector<uint8_t>& bytes) {
  std::string out;
  char two[3];
  for (uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char text[256];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

int copyreply(const std::string& reply, uint8_t* data, uint16_t length) {
  size_t n = std::min<size_t>(reply.size(), length);
  std::memcpy(data, reply.data(), n);
  return static_cast<int>(n);
}

int copyreply(const std::vector<uint8_t>& reply, uint8_t* data, uint16_t length) {
  size_t n = std::min<size_t>(reply.size(), length);
  if (n) std::memcpy(data, reply.data(), n);
  return static_cast<int>(n);
}

usbdevfs_urb* urbof(UMockdevIoctlData* data) { return reinterpret_cast<usbdevfs_urb*>(data->data); }

}  // namespace

bool SetupPacket::operator==(const SetupPacket& o) const {
  return requesttype == o.requesttype && request == o.request && value == o.value && index == o.index &&
         length == o.length && data == o.data;
}

std::ostream& operator<<(std::ostream& out, const SetupPacket& p) {
  std::ios_base::fmtflags flags = out.flags();
  out << std::hex << std::setfill('0') << "{" << std::setw(2) << int(p.requesttype) << " " << std::setw(2)
      << int(p.request) << " wValue=" << std::setw(4) << p.value << " wIndex=" << std::setw(4) << p.index
      << " wLength=" << std::dec << p.length;
  if (!p.data.empty()) {
    out << " data=" << std::hex;
    for (uint8_t b : p.data) out << std::setw(2) << int(b);
  }
  out << "}";
  out.flags(flags);
  return out;
}

void fillpacket(uint64_t sequence, uint8_t* packet, int length) {
  for (int i = 0; i < length; ++i) {
    packet[i] =
        i < 8 ? static_cast<uint8_t>(sequence >> (8 * i)) : static_cast<uint8_t>(sequence * 131 + i * 7);
  }
}

EmulatedBoard::EmulatedBoard(const DeviceIdentity& identity) : identity_(identity) {
  handler_ = umockdev_ioctl_base_new();
  g_signal_connect_after(handler_, "handle-ioctl", G_CALLBACK(onioctl), this);
  g_signal_connect(handler_, "client-connected", G_CALLBACK(onconnected), this);
  lastioctl_ = std::chrono::steady_clock::now();
}

EmulatedBoard::~EmulatedBoard() {
  releaseall();
  for (auto& client : clients_) g_object_unref(client.first);
  g_signal_handlers_disconnect_by_data(handler_, this);
  g_object_unref(handler_);
}

std::string EmulatedBoard::devnode() const {
  return format("/dev/bus/usb/%03d/%03d", identity_.busnum, identity_.devnum);
}

std::string EmulatedBoard::devpath() const {
  return format("/devices/pci0000:00/0000:00:14.0/usb%d/%d-%d", identity_.busnum, identity_.busnum,
                identity_.devnum - 1);
}

std::string EmulatedBoard::record() const {
  std::vector<uint8_t> descriptors = devicedescriptor(identity_);
  std::vector<uint8_t> config = configdescriptor();
  descriptors.insert(descriptors.end(), config.begin(), config.end());
  // dev= gives the node a device number, so that removing the device removes the node too.
  return format("P: %s\n", devpath().c_str()) + format("N: %s\n", devnode().c_str() + 5) +
         "E: SUBSYSTEM=usb\n"
         "E: DEVTYPE=usb_device\n"
         "E: DRIVER=usb\n" +
         format("E: BUSNUM=%03d\n", identity_.busnum) + format("E: DEVNUM=%03d\n", identity_.devnum) +
         format("E: DEVNAME=%s\n", devnode().c_str()) + format("A: busnum=%d\\n\n", identity_.busnum) +
         format("A: devnum=%d\\n\n", identity_.devnum) +
         "A: speed=480\\n\n"
         "A: bConfigurationValue=1\\n\n" +
         format("A: dev=189:%d\\n\n", (identity_.busnum - 1) * 128 + identity_.devnum - 1) +
         "H: descriptors=" + hex(descriptors) + "\n";
}

void EmulatedBoard::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_ = BoardState();
  counters_ = BoardCounters();
  refreshclients();
  log_.clear();
  faults_.clear();
  stalledstrings_.clear();
  refuseclaim_ = false;
  streamon_ = false;
  budget_ = -1;
  bulkstall_ = false;
  sequence_ = 0;
  unplugrequested_ = false;
  unplugged_ = false;
}

BoardState EmulatedBoard::state() {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void EmulatedBoard::update(const std::function<void(BoardState&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  change(state_);
}

BoardCounters EmulatedBoard::counters() {
  std::lock_guard<std::mutex> lock(mutex_);
  refreshclients();
  return counters_;
}

std::vector<SetupPacket> EmulatedBoard::controllog() {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::vector<SetupPacket> EmulatedBoard::vendorlog() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<SetupPacket> vendor;
  for (const SetupPacket& p : log_) {
    if ((p.requesttype & requesttypemask) == LIBUSB_REQUEST_TYPE_VENDOR) vendor.push_back(p);
  }
  return vendor;
}

void EmulatedBoard::clearlog() {
  std::lock_guard<std::mutex> lock(mutex_);
  log_.clear();
}

void EmulatedBoard::stallnext(uint8_t request) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.emplace_back(request, Fault::stall);
}

void EmulatedBoard::holdnext(uint8_t request) {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_.emplace_back(request, Fault::hold);
}

void EmulatedBoard::stallstring(uint8_t index) {
  std::lock_guard<std::mutex> lock(mutex_);
  stalledstrings_.insert(index);
}

void EmulatedBoard::refuseclaim(bool refuse) {
  std::lock_guard<std::mutex> lock(mutex_);
  refuseclaim_ = refuse;
}

void EmulatedBoard::setstream(bool on, int64_t budget) {
  std::lock_guard<std::mutex> lock(mutex_);
  streamon_ = on;
  budget_ = budget;
}

void EmulatedBoard::stallbulk() {
  std::lock_guard<std::mutex> lock(mutex_);
  bulkstall_ = true;
}

void EmulatedBoard::unplug() {
  std::lock_guard<std::mutex> lock(mutex_);
  unplugrequested_ = true;
}

bool EmulatedBoard::waitfor(const std::function<bool(const BoardCounters&)>& pred,
                            std::chrono::milliseconds timeout) {
  // Closed clients are noticed by looking, so the wait also polls.
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    refreshclients();
    if (pred(counters_)) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    changed_.wait_for(lock, std::chrono::milliseconds(5));
  }
}

bool EmulatedBoard::waitquiet(std::chrono::milliseconds quiet, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    auto now = std::chrono::steady_clock::now();
    if (now - lastioctl_ >= quiet) return true;
    if (now >= deadline) return false;
    changed_.wait_until(lock, std::min(deadline, lastioctl_ + quiet));
  }
}

gboolean EmulatedBoard::onioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  static_cast<EmulatedBoard*>(self)->handle(client);
  return TRUE;
}

void EmulatedBoard::onconnected(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
  auto* board = static_cast<EmulatedBoard*>(self);
  std::lock_guard<std::mutex> lock(board->mutex_);
  board->clients_.emplace(static_cast<UMockdevIoctlClient*>(g_object_ref(client)), false);
  ++board->counters_.opens;
  board->counters_.openstamp = ++eventclock;
  board->refreshclients();
  board->touch();
}

// umockdev signals no disconnect: a client whose stream has closed is found
// by looking. Urbs of a closed file can never be reaped and are dropped.
void EmulatedBoard::refreshclients() {
  counters_.openclients = 0;
  for (auto client = clients_.begin(); client != clients_.end();) {
    if (umockdev_ioctl_client_get_connected(client->first)) {
      if (client->second) ++counters_.openclients;
      ++client;
      continue;
    }
    for (auto* queue : {&pending_, &done_}) {
      for (auto urb = queue->begin(); urb != queue->end();) {
        if (urb->client != client->first) {
          ++urb;
          continue;
        }
        g_clear_object(&urb->urb);
        g_clear_object(&urb->buffer);
        urb = queue->erase(urb);
      }
    }
    g_object_unref(client->first);
    client = clients_.erase(client);
  }
}

void EmulatedBoard::touch() {
  lastioctl_ = std::chrono::steady_clock::now();
  changed_.notify_all();
}

// Every ioctl is answered here and at once: umockdev serialises the ioctls
// of one file, so a request left unanswered would stall its caller.
void EmulatedBoard::handle(UMockdevIoctlClient* client) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++counters_.ioctls;
  auto speaker = clients_.find(client);
  if (speaker != clients_.end()) speaker->second = true;
  refreshclients();
  applyunplug();
  switch (umockdev_ioctl_client_get_request(client)) {
    case USBDEVFS_GET_CAPABILITIES:
      capabilities(client);
      break;
    case USBDEVFS_CLAIMINTERFACE:
      claim(client, true);
      break;
    case USBDEVFS_RELEASEINTERFACE:
      claim(client, false);
      break;
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_RESET:
    case USBDEVFS_RESETEP:
    case USBDEVFS_CLEAR_HALT:
      if (unplugged_)
        umockdev_ioctl_client_complete(client, -1, ENODEV);
      else
        umockdev_ioctl_client_complete(client, 0, 0);
      break;
    case USBDEVFS_GETDRIVER:
      umockdev_ioctl_client_complete(client, -1, ENODATA);
      break;
    case USBDEVFS_SUBMITURB:
      submit(client);
      break;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
      reap(client);
      break;
    case USBDEVFS_DISCARDURB:
      discard(client);
      break;
    default:
      std::fprintf(stderr, "emulated board %s: unexpected ioctl 0x%lx\n", devnode().c_str(),
                   umockdev_ioctl_client_get_request(client));
      umockdev_ioctl_client_complete(client, -1, ENOTTY);
      break;
  }
  touch();
}

void EmulatedBoard::capabilities(UMockdevIoctlClient* client) {
  if (unplugged_) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
    return;
  }
  UMockdevIoctlData* caps =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(uint32_t), nullptr);
  std::memcpy(caps->data, &usbfscapabilities, sizeof usbfscapabilities);
  g_object_unref(caps);
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedBoard::claim(UMockdevIoctlClient* client, bool claiming) {
  UMockdevIoctlData* arg =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned int), nullptr);
  unsigned int interface = 0;
  std::memcpy(&interface, arg->data, sizeof interface);
  g_object_unref(arg);
  if (unplugged_) {
    umockdev_ioctl_client_complete(client, -1, ENODEV);
  } else if (interface != 0) {
    umockdev_ioctl_client_complete(client, -1, claiming ? EINVAL : ENOENT);
  } else if (claiming && refuseclaim_) {
    umockdev_ioctl_client_complete(client, -1, EBUSY);
  } else {
    counters_.claimed = claiming;
    ++(claiming ? counters_.claims : counters_.releases);
    (claiming ? counters_.claimstamp : counters_.releasestamp) = ++eventclock;
    umockdev_ioctl_client_complete(client, 0, 0);
  }
}

void EmulatedBoard::submit(UMockdevIoctlClient* client) {
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  Urb urb;
  urb.urb = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  usbdevfs_urb* u = urbof(urb.urb);
  if (u->buffer_length > 0) {
    urb.buffer = umockdev_ioctl_data_resolve(urb.urb, offsetof(usbdevfs_urb, buffer),
                                             static_cast<gsize>(u->buffer_length), nullptr);
  }
  urb.client = client;
  urb.control = u->type == USBDEVFS_URB_TYPE_CONTROL;
  bool bulkin = u->type == USBDEVFS_URB_TYPE_BULK && u->endpoint == bulkendpoint;

  int error = 0;
  if (unplugged_) {
    error = ENODEV;
    if (bulkin) ++counters_.bulkrefused;
  } else if (!urb.control && !bulkin) {
    error = EINVAL;
  } else if (urb.control && u->buffer_length < 8) {
    error = EINVAL;
  }
  if (error) {
    g_clear_object(&urb.urb);
    g_clear_object(&urb.buffer);
    umockdev_ioctl_client_complete(client, -1, error);
    return;
  }

  if (urb.control) {
    if (control(urb))
      done_.push_back(urb);
    else
      pending_.push_back(urb);
  } else {
    ++counters_.bulksubmits;
    counters_.lastbulklength = u->buffer_length;
    pending_.push_back(urb);
    pumpstream();
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedBoard::finish(Urb& urb, int status, int actual) {
  usbdevfs_urb* u = urbof(urb.urb);
  u->status = status;
  u->actual_length = actual;
}

void EmulatedBoard::pumpstream() {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->control) {
      ++it;
      continue;
    }
    usbdevfs_urb* u = urbof(it->urb);
    if (bulkstall_) {
      finish(*it, -EPIPE, 0);
      ++counters_.pipestalls;
    } else if (streamon_ && budget_ != 0) {
      fillpacket(sequence_++, static_cast<uint8_t*>(u->buffer), u->buffer_length);
      finish(*it, 0, u->buffer_length);
      ++counters_.packets;
      if (budget_ > 0) --budget_;
    } else {
      ++it;
      continue;
    }
    done_.push_back(*it);
    it = pending_.erase(it);
  }
}

void EmulatedBoard::applyunplug() {
  if (!unplugrequested_ || unplugged_) return;
  unplugged_ = true;
  for (Urb& urb : pending_) {
    finish(urb, -ESHUTDOWN, 0);
    ++counters_.shutdownreaps;
    done_.push_back(urb);
  }
  pending_.clear();
}

void EmulatedBoard::reap(UMockdevIoctlClient* client) {
  pumpstream();
  auto it = done_.begin();
  while (it != done_.end() && it->client != client) ++it;
  if (it == done_.end()) {
    umockdev_ioctl_client_complete(client, -1, unplugged_ ? ENODEV : EAGAIN);
    return;
  }
  Urb urb = *it;
  done_.erase(it);
  UMockdevIoctlData* pointer =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*), nullptr);
  umockdev_ioctl_data_set_ptr(pointer, 0, urb.urb);
  g_object_unref(pointer);
  g_clear_object(&urb.urb);
  g_clear_object(&urb.buffer);
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedBoard::discard(UMockdevIoctlClient* client) {
  gulong address = 0;
  UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
  std::memcpy(&address, arg->data, sizeof address);
  for (auto it = pending_.begin(); it != pending_.end(); ++it) {
    if (it->client == client && it->urb->client_addr == address) {
      finish(*it, -ENOENT, 0);
      ++counters_.discards;
      done_.push_back(*it);
      pending_.erase(it);
      umockdev_ioctl_client_complete(client, 0, 0);
      return;
    }
  }
  umockdev_ioctl_client_complete(client, -1, EINVAL);
}

void EmulatedBoard::releaseall() {
  for (auto* queue : {&pending_, &done_}) {
    for (Urb& urb : *queue) {
      g_clear_object(&urb.urb);
      g_clear_object(&urb.buffer);
    }
    queue->clear();
  }
}

bool EmulatedBoard::control(Urb& urb) {
  usbdevfs_urb* u = urbof(urb.urb);
  auto* buffer = static_cast<uint8_t*>(u->buffer);
  SetupPacket setup;
  setup.requesttype = buffer[0];
  setup.request = buffer[1];
  setup.value = get16(buffer + 2);
  setup.index = get16(buffer + 4);
  setup.length = get16(buffer + 6);
  uint8_t* data = buffer + 8;
  uint16_t room = static_cast<uint16_t>(std::min<int>(setup.length, u->buffer_length - 8));
  if (!(setup.requesttype & 0x80)) setup.data.assign(data, data + room);
  log_.push_back(setup);

  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->first != setup.request) continue;
    Fault fault = it->second;
    faults_.erase(it);
    if (fault == Fault::hold) return false;
    finish(urb, -EPIPE, 0);
    return true;
  }

  setup.length = room;
  int result = (setup.requesttype & requesttypemask) == LIBUSB_REQUEST_TYPE_VENDOR
                   ? vendorrequest(setup, data)
                   : standardrequest(setup, data);
  if (result < 0)
    finish(urb, result, 0);
  else
    finish(urb, 0, result);
  return true;
}

int EmulatedBoard::standardrequest(const SetupPacket& setup, uint8_t* data) {
  const int stall = -EPIPE;
  if (setup.requesttype != LIBUSB_ENDPOINT_IN || setup.request != LIBUSB_REQUEST_GET_DESCRIPTOR) return stall;
  uint8_t type = static_cast<uint8_t>(setup.value >> 8);
  uint8_t index = static_cast<uint8_t>(setup.value);
  if (type == LIBUSB_DT_DEVICE) return copyreply(devicedescriptor(identity_), data, setup.length);
  if (type == LIBUSB_DT_CONFIG) return copyreply(configdescriptor(), data, setup.length);
  if (type != LIBUSB_DT_STRING || stalledstrings_.count(index)) return stall;
  std::vector<uint8_t> reply;
  if (index == 0) {
    reply = {4, 3, 0x09, 0x04};  // English (US)
  } else {
    const std::string* text = index == 1   ? &identity_.manufacturer
                              : index == 2 ? &identity_.product
                              : index == 3 ? &identity_.serial
                                           : nullptr;
    if (!text || text->empty()) return stall;
    reply = {static_cast<uint8_t>(2 + 2 * text->size()), 3};
    for (char c : *text) put16(reply, static_cast<uint8_t>(c));
  }
  return copyreply(reply, data, setup.length);
}

int EmulatedBoard::vendorrequest(const SetupPacket& setup, uint8_t* data) {
  const int stall = -EPIPE;
  const bool in = setup.requesttype & 0x80;
  BoardState& s = state_;
  auto i2c = [&](std::map<uint8_t, std::vector<uint8_t>>& bus) {
    auto device = bus.find(static_cast<uint8_t>(setup.value));
    s.i2cstatus = device == bus.end() ? cp::i2cnack : cp::i2cok;
    if (device == bus.end()) return in ? 0 : static_cast<int>(setup.length);
    if (in) return copyreply(device->second, data, setup.length);
    device->second.assign(data, data + setup.length);
    return static_cast<int>(setup.length);
  };
  auto threewords = [&](uint16_t first) {
    if (setup.length < cp::adcthreelength) return static_cast<int>(setup.length);
    for (int i = 0; i < 3; ++i) s.adc[adcindex(first) + i] = get16(data + 2 * i);
    return cp::adcthreelength;
  };
  auto onebyte = [&](uint8_t value) { return copyreply(std::vector<uint8_t>{value}, data, setup.length); };

  switch (setup.request) {
    case cp::i2cdata:
      return i2c(s.i2cdevices);
    case cp::i2cflash:
      return i2c(s.i2cflash);
    case cp::i2cstatus:
      return in ? onebyte(s.i2cstatus) : stall;
    case cp::i2csetfreq:
      if (in) return stall;
      s.i2cfrequency = static_cast<uint8_t>(setup.value);
      return 0;
    case cp::i2cgetfreq:
      return in ? onebyte(s.i2cfrequency) : stall;
    case cp::serial:
      if (in) return serialread(setup, data);
      serialwrite(setup);
      return setup.length;
    case cp::codewriteprot:
    case cp::powersupply:
    case cp::datawriteprot:
      return in ? stall : 0;
    case cp::powerpins:
      return in ? onebyte(s.powerpins) : stall;
    case cp::adcregister: {
      int reg = adcindex(setup.value);
      if (!in) {
        s.adc[reg] = setup.value & cp::adcdatamask;
        return 0;
      }
      std::vector<uint8_t> word;
      put16(word, s.adc[reg]);
      return copyreply(word, data, setup.length);
    }
    case cp::adcsave:
      ++s.adcsaves;
      return in ? stall : 0;
    case cp::adcreset:
      ++s.adcresets;
      return in ? stall : 0;
    case cp::sensorrecord:
      return in ? copyreply(std::vector<uint8_t>(s.sensorrecord.begin(), s.sensorrecord.end()), data,
                            setup.length)
                : stall;
    case cp::adcpga:
      return in ? stall : threewords(cp::adcrpga);
    case cp::adcoffset:
      return in ? stall : threewords(cp::adcroffset);
    case cp::resetfifo:
      ++s.fiforesets;
      return in ? stall : 0;
    case cp::ep6status:
      return in ? onebyte(s.ep6status) : stall;
    case cp::cpu2flash:
      if (in) return flashcommand(setup, data);
      for (int i = 0; i < setup.length; ++i) s.flashsum += data[i];
      return setup.length;
    default:
      return stall;
  }
}

void EmulatedBoard::serialwrite(const SetupPacket& setup) {
  BoardState& s = state_;
  s.cpu2received = setup.data;
  std::string text(setup.data.begin(), setup.data.end());
  unsigned reg = 0;
  unsigned long value = 0;
  int used = 0;
  // "s<register>:<value>\r" and nothing else.
  if (std::sscanf(text.c_str(), "s%u:%lu\r%n", &reg, &value, &used) != 2 ||
      used != static_cast<int>(text.size()) || text.back() != cp::commandend) {
    s.cpu2status = cp::cpu2unknowncmd;
    return;
  }
  if (reg < cp::cpu2mode || reg > cp::cpu2inttime) {
    s.cpu2status = cp::cpu2unknownset;
    return;
  }
  s.cpu2registers[static_cast<uint8_t>(reg)] = static_cast<int32_t>(static_cast<uint32_t>(value));
  s.cpu2status = 0;
}

int EmulatedBoard::serialread(const SetupPacket& setup, uint8_t* data) {
  const BoardState& s = state_;
  uint8_t reg = static_cast<uint8_t>(setup.value);
  std::string reply;
  if (reg == cp::cpu2status) {
    reply = format("g%u:%d;", unsigned(reg), s.cpu2status);
  } else {
    auto it = s.cpu2registers.find(reg);
    reply = it == s.cpu2registers.end() ? format("?get:%d;", int(cp::cpu2unknownget))
                                        : format("g%u:%d;", unsigned(reg), it->second);
  }
  return copyreply(reply, data, setup.length);
}

int EmulatedBoard::flashcommand(const SetupPacket& setup, uint8_t* data) {
  BoardState& s = state_;
  uint8_t command = static_cast<uint8_t>(setup.value);
  uint8_t argument = static_cast<uint8_t>(setup.value >> 8);
  std::string reply;
  switch (command) {
    case cp::flashf0:
      s.flashsum = 0;
      reply = "f0:0;";
      break;
    case cp::flashf1:
      reply = format("f1:%u;", unsigned(setup.index));
      break;
    case cp::flashf2:
      reply = format("f2:%u;", unsigned(s.flashsum & 0xFFFF));
      break;
    case cp::flashf2lastbyte:
      reply = format("f2:%u;", unsigned((s.flashsum + argument) & 0xFFFF));
      break;
    default:
      reply = format("?flash:%d;", int(cp::cpu2flashf0));
      break;
  }
  return copyreply(reply, data, setup.length);
}
