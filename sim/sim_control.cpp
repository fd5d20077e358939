// SPDX-License-Identifier: MIT
// Endpoint 0: every control transfer goes through serve(), which applies the
// scripted answers, lets the board answer, and logs the outcome.
#include <algorithm>
#include <cstring>

#include "sim_bus.h"

namespace sim {

namespace {

constexpr uint8_t kTypeMask = 0x60;  // the type bits of bmRequestType
constexpr uint8_t kTypeStandard = LIBUSB_REQUEST_TYPE_STANDARD;
constexpr uint8_t kTypeVendor = LIBUSB_REQUEST_TYPE_VENDOR;
constexpr uint8_t kGetDescriptor = LIBUSB_REQUEST_GET_DESCRIPTOR;
constexpr uint8_t kStringDescriptor = LIBUSB_DT_STRING;
constexpr uint16_t kLangEnglishUS = 0x0409;

bool isin(const Setup& s) { return (s.bmRequestType & LIBUSB_ENDPOINT_IN) != 0; }

void logtransfer(libusb_device* dev, const Setup& s, const uint8_t* data, unsigned int timeout, int result) {
  simcam_ctrl_record r{};
  r.dev = dev->id;
  r.bmRequestType = s.bmRequestType;
  r.bRequest = s.bRequest;
  r.wValue = s.wValue;
  r.wIndex = s.wIndex;
  r.wLength = s.wLength;
  r.data_null = data == nullptr;
  r.timeout = timeout;
  r.result = result;
  r.datalen = isin(s) ? static_cast<uint16_t>(std::max(result, 0)) : s.wLength;
  if (data) std::memcpy(r.data, data, std::min<size_t>(r.datalen, SIMCAM_LOG_DATA_MAX));
  // A long-running program that never clears the log keeps only its newest part.
  std::vector<simcam_ctrl_record>& log = bus().log;
  if (log.size() >= SIMCAM_LOG_MAX) log.erase(log.begin(), log.begin() + SIMCAM_LOG_MAX / 2);
  log.push_back(r);
  appendtologfile(r);
}

// The standard string descriptor: bLength, type 3, UTF-16LE text.
int stringdescriptor(libusb_device* dev, const Setup& s, std::string& reply) {
  int index = s.wValue & 0xFF;
  if (index == 0) {
    reply = std::string("\x04\x03\x09\x04", 4);
    return 0;
  }
  if (index >= kStrings || !dev->strings[index]) return LIBUSB_ERROR_PIPE;
  if (dev->stringerror[index] != 0) return dev->stringerror[index];
  const std::string& text = *dev->strings[index];
  size_t chars = std::min<size_t>(text.size(), 126);
  reply.assign(1, static_cast<char>(2 + 2 * chars));
  reply.push_back(static_cast<char>(kStringDescriptor));
  for (size_t i = 0; i < chars; ++i) {
    reply.push_back(text[i]);
    reply.push_back('\0');
  }
  return 0;
}

// A scripted answer for this request, if one is pending: its result, else false.
bool scripted(libusb_device* dev, const Setup& s, uint8_t* data, int room, int& result) {
  if ((s.bmRequestType & kTypeMask) != kTypeVendor) return false;
  const int dir = isin(s) ? SIMCAM_IN : SIMCAM_OUT;
  auto it = std::find_if(dev->scripts.begin(), dev->scripts.end(),
                         [&](const Script& sc) { return sc.dir == dir && sc.request == s.bRequest; });
  if (it == dev->scripts.end()) return false;
  Script script = *it;
  dev->scripts.erase(it);
  switch (script.kind) {
    case Script::Kind::Error:
      result = script.value;
      break;
    case Script::Kind::Reply:
      result = std::min(room, static_cast<int>(script.data.size()));
      if (result > 0) std::memcpy(data, script.data.data(), static_cast<size_t>(result));
      break;
    case Script::Kind::OutTaken:
      result = std::clamp(script.value, 0, room);
      break;
  }
  return true;
}

// The board's own answer, with the bus locked.
int answer(libusb_device* dev, const Setup& s, uint8_t* data, int room) {
  std::string reply;
  int result;
  if ((s.bmRequestType & kTypeMask) == kTypeStandard && isin(s) && s.bRequest == kGetDescriptor &&
      (s.wValue >> 8) == kStringDescriptor) {
    result = stringdescriptor(dev, s, reply);
  } else if ((s.bmRequestType & kTypeMask) != kTypeVendor || !dev->board) {
    return LIBUSB_ERROR_PIPE;
  } else if (!isin(s)) {
    return SecondProcessor::handles(s.bRequest) ? dev->second.out(s, data, room)
                                                : dev->first.out(s, data, room);
  } else {
    result = SecondProcessor::handles(s.bRequest) ? dev->second.in(s, reply) : dev->first.in(s, room, reply);
  }
  if (result < 0) return result;
  int n = std::min(room, static_cast<int>(reply.size()));
  if (n > 0) std::memcpy(data, reply.data(), static_cast<size_t>(n));
  return n;
}

int serve(libusb_device_handle* handle, const Setup& s, uint8_t* data, unsigned int timeout) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  const int room = data ? s.wLength : 0;
  auto lock = lockbus();
  libusb_device* dev = handle->dev;
  int result = 0;
  if (dev->gone) {
    result = LIBUSB_ERROR_NO_DEVICE;
  } else if (!scripted(dev, s, data, room, result)) {
    unsigned int waitms = 0;
    SecondProcessor::Answer when = SecondProcessor::Answer::Now;
    if (dev->board && (s.bmRequestType & kTypeMask) == kTypeVendor && isin(s))
      when = dev->second.serialanswer(s, timeout, waitms);
    if (waitms > 0) waitfor(lock, deadlineafter(waitms), true, [&] { return dev->gone; });
    if (dev->gone)
      result = LIBUSB_ERROR_NO_DEVICE;
    else if (when == SecondProcessor::Answer::TimedOut)
      result = LIBUSB_ERROR_TIMEOUT;
    else if (when == SecondProcessor::Answer::Empty)
      result = 0;
    else
      result = answer(dev, s, data, room);
  }
  logtransfer(dev, s, data, timeout, result);
  return result;
}

}  // namespace
}  // namespace sim

extern "C" {

SIM_EXPORT int libusb_control_transfer(libusb_device_handle* handle, uint8_t bmRequestType, uint8_t bRequest,
                                       uint16_t wValue, uint16_t wIndex, unsigned char* data,
                                       uint16_t wLength, unsigned int timeout) {
  sim::Setup s{bmRequestType, bRequest, wValue, wIndex, wLength};
  return sim::serve(handle, s, data, timeout);
}

// As libusb does it: one GET_DESCRIPTOR request, the UTF-16 text turned into
// ASCII ('?' for anything else), cut to length - 1 bytes and NUL-terminated.
SIM_EXPORT int libusb_get_string_descriptor_ascii(libusb_device_handle* handle, uint8_t desc_index,
                                                  unsigned char* data, int length) {
  if (desc_index == 0 || !data || length <= 0) return LIBUSB_ERROR_INVALID_PARAM;
  uint8_t buffer[255];
  sim::Setup s{LIBUSB_ENDPOINT_IN, sim::kGetDescriptor,
               static_cast<uint16_t>((sim::kStringDescriptor << 8) | desc_index), sim::kLangEnglishUS,
               sizeof buffer};
  int r = sim::serve(handle, s, buffer, 1000);
  if (r < 0) return r;
  if (r < 2 || buffer[1] != sim::kStringDescriptor || buffer[0] > r) return LIBUSB_ERROR_IO;
  int chars = (buffer[0] - 2) / 2;
  int n = 0;
  for (int i = 0; i < chars && n < length - 1; ++i, ++n) {
    uint8_t lo = buffer[2 + 2 * i], hi = buffer[3 + 2 * i];
    data[n] = (hi == 0 && lo < 0x80) ? lo : '?';
  }
  data[n] = '\0';
  return n;
}

}  // extern "C"
