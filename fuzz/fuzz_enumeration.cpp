// SPDX-License-Identifier: MIT
// Arbitrary buses at enumeration: one to four devices with arbitrary IDs,
// release numbers and string descriptors (present or not, readable or not,
// any bytes, any length), some that cannot be opened or described. After
// ls_enumdevices the listed identity must be exactly what the bus shows, an
// opening by serial number must pick the first match, and the simulator's
// counters must show no reference, list or handle beyond the listed cameras.
//
// Input: a device count byte, then per device: kind, bcd (2 bytes), flags,
// vid and pid (2 bytes each, used by kind 3), and three strings, each a length
// byte and that many bytes; last, a byte that picks the serial to open by.
// kind 0-2: a camera (0 added with its identity, 1 and 2 a default camera
// whose identity is then replaced); 3: any vid/pid. flags bits 0-2: string
// 1-3 present; bit 3: open fails; bit 4: descriptor fails; bits 5-6: string
// 1-3 that fails to read (0: none). Seeds: fuzz/corpus/fuzz_enumeration/.
#include "harness.h"

namespace {

struct Device {
  int id = 0;
  uint16_t vid = 0, pid = 0, bcd = 0;
  uint8_t flags = 0;
  std::string strings[3];
  bool listed() const {
    return vid == SIMCAM_CAMERA_VID && pid == SIMCAM_CAMERA_PID && !(flags & 0x08) && !(flags & 0x10);
  }
  // The text the library must report for string 1-3.
  std::string expected(int which) const {
    if (!(flags & (1 << (which - 1))) || ((flags >> 5) & 3) == which) return std::string();
    // The bus carries the text as an ASCII string descriptor of at most 126
    // characters; a character outside ASCII arrives as '?'.
    std::string text = strings[which - 1].substr(0, strings[which - 1].find('\0')).substr(0, 126);
    for (char& ch : text)
      if (static_cast<uint8_t>(ch) >= 0x80) ch = '?';
    return text;
  }
  const char* string(int which) const {
    return (flags & (1 << (which - 1))) ? strings[which - 1].c_str() : nullptr;
  }
};

void addtobus(Device& d, uint8_t kind) {
  if (kind == 0 || kind == 3) {
    d.id = simcam_add_device(d.vid, d.pid, d.bcd, d.string(1), d.string(2), d.string(3));
  } else {
    d.id = simcam_add_camera("replaced");
    simcam_set_identity(d.id, d.vid, d.pid, d.bcd, d.string(1), d.string(2), d.string(3));
  }
  if (d.flags & 0x08) simcam_set_open_error(d.id, -3);
  if (d.flags & 0x10) simcam_set_descriptor_error(d.id, -1);
  int failing = (d.flags >> 5) & 3;
  if (failing != 0) simcam_set_string_error(d.id, failing, -9);
  // An opened camera's pipe thread ends at once: the stream stalls.
  const int stall = -9;
  simcam_set_bulk_errors(d.id, &stall, 1, 1);
}

// Each listed camera holds one reference, an open handle one more.
void checkcounters(int listed, int open) {
  FUZZ_CHECK(simcam_live_device_refs() == listed + open,
             "%d device references held, %d cameras listed, %d open", simcam_live_device_refs(), listed,
             open);
  FUZZ_CHECK(simcam_live_device_lists() == 0, "%d device lists not freed", simcam_live_device_lists());
  FUZZ_CHECK(simcam_open_handles() == open && simcam_claimed_interfaces() == open,
             "%d handles open and %d interfaces claimed, expected %d", simcam_open_handles(),
             simcam_claimed_interfaces(), open);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::Input in(data, size);
  const int count = 1 + in.byte() % 4;
  std::vector<Device> devices(static_cast<size_t>(count));
  std::vector<uint8_t> kinds;
  for (Device& d : devices) {
    uint8_t kind = in.byte() % 4;
    kinds.push_back(kind);
    d.bcd = in.u16();
    d.flags = in.byte();
    uint16_t vid = in.u16(), pid = in.u16();
    d.vid = kind == 3 ? vid : SIMCAM_CAMERA_VID;
    d.pid = kind == 3 ? pid : SIMCAM_CAMERA_PID;
    for (std::string& s : d.strings) s = in.bytes(in.byte());
  }
  const uint8_t pick = in.byte();

  simcam_reset();
  for (size_t i = 0; i < devices.size(); ++i) addtobus(devices[i], kinds[i]);

  const int n = ls_enumdevices();
  std::vector<const Device*> listed;
  for (const Device& d : devices)
    if (d.listed()) listed.push_back(&d);
  FUZZ_CHECK(n == static_cast<int>(listed.size()) && ls_devicecount() == n,
             "ls_enumdevices gives %d (count %d), %zu cameras can be listed", n, ls_devicecount(),
             listed.size());
  checkcounters(n, 0);

  typedef const char* (*Text)(int);
  static const Text texts[] = {ls_getvendorname, ls_getproductname, ls_getserialnumber};
  for (int i = 0; i < n; ++i) {
    const Device& d = *listed[static_cast<size_t>(i)];
    FUZZ_CHECK(ls_getmcu1version(i) == d.bcd, "ls_getmcu1version(%d) = %d, bcdDevice 0x%04X", i,
               ls_getmcu1version(i), d.bcd);
    for (int which = 1; which <= 3; ++which) {
      const char* text = texts[which - 1](i);
      FUZZ_CHECK(text && d.expected(which) == text, "string %d of camera %d is \"%s\", expected \"%s\"",
                 which, i, text ? text : "(null)", d.expected(which).c_str());
    }
  }
  for (int bad : {-1, n, 0x7FFFFFFF}) {
    FUZZ_CHECK(ls_getmcu1version(bad) == 0, "ls_getmcu1version(%d) is not 0", bad);
    for (const Text text : texts) {
      const char* t = text(bad);
      FUZZ_CHECK(t && *t == '\0', "identity string of index %d is not empty", bad);
    }
  }

  // Opening by a serial number: the first listed camera that carries it.
  const bool nullserial = pick == 0xFF;
  std::string serial;
  if (!nullserial)
    serial = n > 0 && (pick & 0x80) == 0 ? listed[pick % static_cast<size_t>(n)]->expected(3)
                                         : devices[pick % devices.size()].strings[2];
  serial = serial.substr(0, serial.find('\0'));
  int want = -1;
  for (int i = 0; i < n && want < 0; ++i)
    if (listed[static_cast<size_t>(i)]->expected(3) == serial) want = i;
  const int r = ls_opendevicebyserial(nullserial ? nullptr : serial.c_str());
  const int expected = n == 0 ? CX_ERR_NO_DEVICES_ATTACHED : want < 0 ? CX_ERR_SERIAL_NUM_NOT_FOUND : 0;
  FUZZ_CHECK(r == expected && ls_currentdeviceindex() == (r == 0 ? want : -1),
             "ls_opendevicebyserial(\"%s\") gives %d and index %d; expected %d and index %d", serial.c_str(),
             r, ls_currentdeviceindex(), expected, want);
  checkcounters(n, r == 0 ? 1 : 0);
  FUZZ_CHECK(ls_closedevice() == 0, "ls_closedevice fails");
  checkcounters(n, 0);
  return 0;
}
