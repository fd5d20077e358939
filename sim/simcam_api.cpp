// SPDX-License-Identifier: MIT
// The control API of simcam.h. Every call locks the bus; calls naming an
// unknown device id do nothing and return a neutral value.
#include <algorithm>
#include <cstring>

#include "sim_bus.h"

namespace {

using sim::Script;

// Runs f on the device with the given id under the bus lock; fallback if there is none.
template <class R, class F>
R ondevice(int id, R fallback, F f) {
  auto lock = sim::lockbus();
  libusb_device* dev = sim::finddevice(id);
  return dev ? f(*dev) : fallback;
}

template <class F>
void ondevice(int id, F f) {
  auto lock = sim::lockbus();
  if (libusb_device* dev = sim::finddevice(id)) f(*dev);
}

std::optional<std::string> optionalstring(const char* text) {
  return text ? std::optional<std::string>(text) : std::nullopt;
}

void setidentity(libusb_device& dev, const char* manufacturer, const char* product, const char* serial) {
  dev.strings[1] = optionalstring(manufacturer);
  dev.strings[2] = optionalstring(product);
  dev.strings[3] = optionalstring(serial);
}

int adddevice(uint16_t vid, uint16_t pid, uint16_t bcd, bool board, const char* manufacturer,
              const char* product, const char* serial) {
  auto lock = sim::lockbus(false);
  auto* dev = new libusb_device(0, vid, pid, bcd, board);
  setidentity(*dev, manufacturer, product, serial);
  return sim::plug(dev);
}

void addscript(int id, Script script) {
  ondevice(id, [&](libusb_device& dev) { dev.scripts.push_back(std::move(script)); });
}

// Stream settings change under the lock and wake the transfers that wait on them.
template <class F>
void changestream(int id, F f) {
  ondevice(id, [&](libusb_device& dev) {
    f(dev.stream);
    ++dev.stream.version;
    sim::bus().changed.notify_all();
  });
}

bool validreg(int reg) { return reg >= 0 && reg < sim::FirstProcessor::kAdcRegs; }

}  // namespace

extern "C" {

// ---- Bus ----

SIM_EXPORT void simcam_reset(void) {
  auto lock = sim::lockbus(false);
  sim::clearbus();
}

SIM_EXPORT int simcam_add_camera(const char* serial) {
  return adddevice(SIMCAM_CAMERA_VID, SIMCAM_CAMERA_PID, SIMCAM_CAMERA_BCD, true, SIMCAM_MANUFACTURER,
                   SIMCAM_PRODUCT, serial);
}

SIM_EXPORT int simcam_add_device(uint16_t vid, uint16_t pid, uint16_t bcd, const char* manufacturer,
                                 const char* product, const char* serial) {
  bool board = vid == SIMCAM_CAMERA_VID && pid == SIMCAM_CAMERA_PID;
  return adddevice(vid, pid, bcd, board, manufacturer, product, serial);
}

SIM_EXPORT void simcam_unplug(int dev) {
  ondevice(dev, [](libusb_device& d) { sim::unplug(&d); });
}

SIM_EXPORT void simcam_set_open_error(int dev, int err) {
  ondevice(dev, [&](libusb_device& d) { d.openerror = err; });
}

SIM_EXPORT void simcam_set_claim_error(int dev, int err) {
  ondevice(dev, [&](libusb_device& d) { d.claimerror = err; });
}

SIM_EXPORT void simcam_set_release_error(int dev, int err) {
  ondevice(dev, [&](libusb_device& d) { d.releaseerror = err; });
}

SIM_EXPORT void simcam_set_descriptor_error(int dev, int err) {
  ondevice(dev, [&](libusb_device& d) { d.descriptorerror = err; });
}

SIM_EXPORT void simcam_set_string_error(int dev, int which, int err) {
  if (which < 1 || which >= sim::kStrings) return;
  ondevice(dev, [&](libusb_device& d) { d.stringerror[which] = err; });
}

SIM_EXPORT void simcam_set_device_list_error(int err) {
  auto lock = sim::lockbus();
  sim::bus().listerror = err;
}

SIM_EXPORT void simcam_set_init_error(int err) {
  auto lock = sim::lockbus();
  sim::bus().initerror = err;
}

SIM_EXPORT void simcam_set_identity(int dev, uint16_t vid, uint16_t pid, uint16_t bcd,
                                    const char* manufacturer, const char* product, const char* serial) {
  ondevice(dev, [&](libusb_device& d) {
    d.vid = vid;
    d.pid = pid;
    d.bcd = bcd;
    setidentity(d, manufacturer, product, serial);
  });
}

SIM_EXPORT void simcam_set_string_bytes(int dev, int which, const void* bytes, int len) {
  if (which < 1 || which >= sim::kStrings || len < 0 || (!bytes && len > 0)) return;
  std::string text = len > 0 ? std::string(static_cast<const char*>(bytes), static_cast<size_t>(len)) : "";
  ondevice(dev, [&](libusb_device& d) { d.strings[which] = text; });
}

// ---- Counters ----

SIM_EXPORT int simcam_live_device_refs(void) {
  auto lock = sim::lockbus();
  return sim::bus().refs;
}

SIM_EXPORT int simcam_open_handles(void) {
  auto lock = sim::lockbus();
  return sim::bus().handles;
}

SIM_EXPORT int simcam_claimed_interfaces(void) {
  auto lock = sim::lockbus();
  return sim::bus().claims;
}

SIM_EXPORT int simcam_live_contexts(void) {
  auto lock = sim::lockbus();
  return sim::bus().contexts;
}

SIM_EXPORT int simcam_live_device_lists(void) {
  auto lock = sim::lockbus();
  return sim::bus().lists;
}

// ---- Control transfer log ----

SIM_EXPORT size_t simcam_log_count(void) {
  auto lock = sim::lockbus();
  return sim::bus().log.size();
}

SIM_EXPORT int simcam_log_get(size_t i, simcam_ctrl_record* out) {
  auto lock = sim::lockbus();
  if (i >= sim::bus().log.size() || !out) return -1;
  *out = sim::bus().log[i];
  return 0;
}

SIM_EXPORT void simcam_log_clear(void) {
  auto lock = sim::lockbus();
  sim::bus().log.clear();
}

// ---- Scripted replies ----

SIM_EXPORT void simcam_script_reply(int dev, uint8_t bRequest, const void* data, int len) {
  std::string bytes;
  if (data && len > 0) bytes.assign(static_cast<const char*>(data), static_cast<size_t>(len));
  addscript(dev, Script{SIMCAM_IN, bRequest, Script::Kind::Reply, bytes, 0});
}

SIM_EXPORT void simcam_script_error(int dev, int dir, uint8_t bRequest, int err) {
  addscript(dev, Script{dir == SIMCAM_IN ? SIMCAM_IN : SIMCAM_OUT, bRequest, Script::Kind::Error, {}, err});
}

SIM_EXPORT void simcam_script_out_taken(int dev, uint8_t bRequest, int taken) {
  addscript(dev, Script{SIMCAM_OUT, bRequest, Script::Kind::OutTaken, {}, taken});
}

SIM_EXPORT void simcam_script_clear(int dev) {
  ondevice(dev, [](libusb_device& d) { d.scripts.clear(); });
}

// ---- First processor ----

SIM_EXPORT int simcam_switch_state(int dev, uint8_t bRequest) {
  if (bRequest < cx_protocol::codewriteprot || bRequest > cx_protocol::datawriteprot) return -1;
  return ondevice(dev, -1,
                  [&](libusb_device& d) { return d.first.switches[bRequest - cx_protocol::codewriteprot]; });
}

SIM_EXPORT void simcam_set_power_pins(int dev, uint8_t pins) {
  ondevice(dev, [&](libusb_device& d) { d.first.powerpins = pins; });
}

SIM_EXPORT void simcam_set_ep6_status(int dev, uint8_t status) {
  ondevice(dev, [&](libusb_device& d) { d.first.ep6status = status; });
}

SIM_EXPORT int simcam_fifo_resets(int dev) {
  return ondevice(dev, 0, [](libusb_device& d) { return d.first.fiforesets; });
}

// The second processor reports the same sensor type as the first.
SIM_EXPORT void simcam_set_sensor(int dev, uint8_t presence, uint16_t marker, uint16_t type,
                                  uint16_t second) {
  ondevice(dev, [&](libusb_device& d) {
    d.first.presence = presence;
    d.first.marker = marker;
    d.first.sensortype = type;
    d.first.secondword = second;
    d.second.regs[cx_protocol::cpu2sensortype] = type;
  });
}

SIM_EXPORT int simcam_adc_reg(int dev, int reg) {
  if (!validreg(reg)) return -1;
  return ondevice(dev, -1, [&](libusb_device& d) { return static_cast<int>(d.first.adc[reg]); });
}

SIM_EXPORT int simcam_adc_saved(int dev, int reg) {
  if (!validreg(reg)) return -1;
  return ondevice(dev, -1, [&](libusb_device& d) { return static_cast<int>(d.first.adcsaved[reg]); });
}

SIM_EXPORT void simcam_set_adc_reg(int dev, int reg, uint16_t value) {
  if (!validreg(reg)) return;
  ondevice(dev, [&](libusb_device& d) { d.first.adc[reg] = value & cx_protocol::adcdatamask; });
}

SIM_EXPORT int simcam_eeprom_byte(int dev, int addr) {
  if (addr < 0 || addr >= static_cast<int>(sizeof(sim::FirstProcessor::eeprom))) return -1;
  return ondevice(dev, -1, [&](libusb_device& d) { return static_cast<int>(d.first.eeprom[addr]); });
}

SIM_EXPORT int simcam_i2cflash_byte(int dev, int addr) {
  if (addr < 0 || addr >= static_cast<int>(sizeof(sim::FirstProcessor::i2cflash))) return -1;
  return ondevice(dev, -1, [&](libusb_device& d) { return static_cast<int>(d.first.i2cflash[addr]); });
}

SIM_EXPORT int simcam_i2c_freq(int dev) {
  return ondevice(dev, -1, [](libusb_device& d) { return d.first.i2cfreq; });
}

// ---- Second processor ----

SIM_EXPORT uint32_t simcam_cpu2_reg(int dev, int reg) {
  return ondevice(dev, 0u, [&](libusb_device& d) {
    auto it = d.second.regs.find(reg);
    return it == d.second.regs.end() ? 0u : it->second;
  });
}

SIM_EXPORT void simcam_set_cpu2_reg(int dev, int reg, uint32_t value) {
  ondevice(dev, [&](libusb_device& d) {
    if (d.second.hasregister(reg)) d.second.regs[reg] = value;
  });
}

SIM_EXPORT void simcam_set_cpu2_delay(int dev, unsigned int ms) {
  ondevice(dev, [&](libusb_device& d) { d.second.delayms = ms; });
}

SIM_EXPORT int simcam_cpu2_last_command(int dev, char* buf, int buflen) {
  return ondevice(dev, -1, [&](libusb_device& d) {
    const std::string& text = d.second.lastcommand;
    if (buf && buflen > 0) {
      size_t n = std::min(text.size(), static_cast<size_t>(buflen - 1));
      std::memcpy(buf, text.data(), n);
      buf[n] = '\0';
    }
    return static_cast<int>(text.size());
  });
}

SIM_EXPORT int simcam_flash_image(int dev, uint8_t* buf, int buflen) {
  return ondevice(dev, 0, [&](libusb_device& d) {
    const std::vector<uint8_t>& image = d.second.image;
    if (buf && buflen > 0)
      std::memcpy(buf, image.data(), std::min(image.size(), static_cast<size_t>(buflen)));
    return static_cast<int>(image.size());
  });
}

SIM_EXPORT uint16_t simcam_flash_checksum(const uint8_t* image, int len) {
  return image && len > 0 ? sim::flashchecksum(image, static_cast<size_t>(len)) : 0;
}

SIM_EXPORT void simcam_set_flash_write_failure(int dev, int fail) {
  ondevice(dev, [&](libusb_device& d) { d.second.flashwritefailure = fail != 0; });
}

// ---- Bulk stream ----

SIM_EXPORT void simcam_set_stream_mode(int dev, int mode) {
  changestream(dev, [&](sim::StreamSettings& s) { s.mode = mode; });
}

SIM_EXPORT void simcam_set_short_length(int dev, int len) {
  changestream(dev, [&](sim::StreamSettings& s) { s.shortlength = len; });
}

SIM_EXPORT void simcam_set_stream_rate(int dev, uint64_t bytes_per_second) {
  changestream(dev, [&](sim::StreamSettings& s) { s.rate = bytes_per_second; });
}

SIM_EXPORT void simcam_set_bulk_errors(int dev, const int* errs, int n, int repeat_last) {
  changestream(dev, [&](sim::StreamSettings& s) {
    s.errors.clear();
    if (errs && n > 0) s.errors.assign(errs, errs + n);
    s.repeatlast = repeat_last != 0;
  });
}

SIM_EXPORT uint64_t simcam_bulk_calls(int dev) {
  return ondevice(dev, uint64_t{0}, [](libusb_device& d) { return d.stream.bulkcalls; });
}

SIM_EXPORT uint64_t simcam_packets_sent(int dev) {
  return ondevice(dev, uint64_t{0}, [](libusb_device& d) { return d.stream.packetssent; });
}

}  // extern "C"
