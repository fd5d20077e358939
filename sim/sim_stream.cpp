// SPDX-License-Identifier: MIT
#include "sim_stream.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sim_bus.h"

namespace sim {

namespace {

// The drawn scene: 16-bit little-endian pixels of 12 bits, lines of `width`
// pixels: a gentle arch with four spectral lines that drift slowly with the
// line number. The drift repeats after `period` lines, so one period is
// rendered once and the byte stream is that table repeated.
class Pattern {
 public:
  Pattern() {
    const char* text = std::getenv("SIMCAM_LINE_WIDTH");
    long w = text ? std::strtol(text, nullptr, 0) : 0;
    width = w > 0 && w <= (1 << 20) ? static_cast<size_t>(w) : 2048;
    period = std::max<size_t>(1, std::min<size_t>(256, (size_t(1) << 22) / width));
    bytes.resize(period * width * 2);
    for (size_t line = 0; line < period; ++line) render(line);
  }

  // Stream bytes from position p on.
  void copy(uint64_t p, uint8_t* out, size_t n) const {
    size_t offset = static_cast<size_t>(p % bytes.size());
    while (n > 0) {
      size_t chunk = std::min(n, bytes.size() - offset);
      std::memcpy(out, bytes.data() + offset, chunk);
      out += chunk;
      n -= chunk;
      offset = 0;
    }
  }

 private:
  struct Peak {
    double centre, drift, phase, height, sigma;
  };

  void render(size_t line) {
    static const Peak peaks[] = {
        {0.18, 0.004, 0.0, 1500.0, 0.0040},
        {0.42, 0.006, 1.3, 1100.0, 0.0060},
        {0.61, 0.003, 2.1, 1800.0, 0.0030},
        {0.83, 0.005, 4.0, 900.0, 0.0080},
    };
    const double pi = 3.14159265358979323846;
    double angle = 2.0 * pi * static_cast<double>(line) / static_cast<double>(period);
    uint8_t* row = bytes.data() + line * width * 2;
    for (size_t x = 0; x < width; ++x) {
      double u = (static_cast<double>(x) + 0.5) / static_cast<double>(width);
      double value = 500.0 + 1200.0 * (1.0 - (2.0 * u - 1.0) * (2.0 * u - 1.0));
      for (const Peak& peak : peaks) {
        double d = (u - peak.centre - peak.drift * std::sin(angle + peak.phase)) / peak.sigma;
        if (d > -6.0 && d < 6.0) value += peak.height * std::exp(-0.5 * d * d);
      }
      auto v = static_cast<uint16_t>(std::clamp(value, 0.0, 4095.0));
      row[2 * x] = static_cast<uint8_t>(v & 0xFF);
      row[2 * x + 1] = static_cast<uint8_t>(v >> 8);
    }
  }

  size_t width;
  size_t period;
  std::vector<uint8_t> bytes;
};

// Never freed: the library's pipe thread may still copy from it while the
// process exits, after function-local statics have been destroyed.
const Pattern& pattern() {
  static const Pattern* instance = new Pattern;
  return *instance;
}

}  // namespace

void preparepattern() { pattern(); }

void fillpacket(uint64_t seq, uint8_t* buf, int n, int packetlength) {
  if (n <= 0) return;
  int head = std::min(n, 8);
  for (int i = 0; i < head; ++i) buf[i] = static_cast<uint8_t>(seq >> (8 * i));
  if (n > 8)
    pattern().copy(seq * static_cast<uint64_t>(packetlength) + 8, buf + 8, static_cast<size_t>(n - 8));
}

bool StreamSettings::nextscripted(int& result) {
  if (errors.empty()) return false;
  result = errors.front();
  if (errors.size() > 1 || !repeatlast) errors.pop_front();
  return true;
}

Clock::time_point StreamCursor::due(uint64_t bytespersecond, Clock::time_point now) {
  const auto catchup = std::chrono::milliseconds(50);
  if (!paced || rate != bytespersecond) {
    paced = true;
    rate = bytespersecond;
    start = now;
    bytes = 0;
  }
  if (rate == 0) return now;
  auto offset = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(bytes) / static_cast<double>(rate)));
  Clock::time_point when = start + offset;
  if (when + catchup < now) {
    start = now - offset;
    when = now;
  }
  return when;
}

}  // namespace sim

extern "C" {

SIM_EXPORT void simcam_fill_packet(uint64_t seq, uint8_t* buf, int len) {
  sim::fillpacket(seq, buf, len, len);
}

// The bulk endpoint of a camera. Waits (time-out, pacing, no data) release the bus
// lock and end at once when the device goes away or its stream settings change.
SIM_EXPORT int libusb_bulk_transfer(libusb_device_handle* handle, unsigned char endpoint, unsigned char* data,
                                    int length, int* transferred, unsigned int timeout) {
  using namespace sim;
  if (transferred) *transferred = 0;
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  auto lock = lockbus();
  libusb_device* dev = handle->dev;
  StreamSettings& stream = dev->stream;
  ++stream.bulkcalls;
  if (dev->gone) return LIBUSB_ERROR_NO_DEVICE;
  if (!dev->board || endpoint != cx_protocol::bulkendpoint || length < 0 || (length > 0 && !data))
    return LIBUSB_ERROR_IO;
  const bool limited = timeout != 0;
  const Clock::time_point deadline = deadlineafter(timeout);
  bool scripttaken = false;  // a scripted 0 lets this transfer run normally
  for (;;) {
    const uint64_t version = stream.version;
    auto interrupted = [&] { return dev->gone || stream.version != version; };
    int scripted = 0;
    if (!scripttaken && stream.nextscripted(scripted)) {
      scripttaken = true;
      if (scripted != 0) return scripted;
    }
    if (stream.mode == SIMCAM_STREAM_OFF) {
      if (!waitfor(lock, deadline, limited, interrupted)) return LIBUSB_ERROR_TIMEOUT;
      if (dev->gone) return LIBUSB_ERROR_NO_DEVICE;
      continue;
    }
    const bool whole = stream.mode != SIMCAM_STREAM_SHORT;
    const int n = whole ? length : std::min(std::max(stream.shortlength, 0), length);
    Clock::time_point now = Clock::now();
    Clock::time_point due = handle->cursor.due(stream.rate, now);
    if (due > now) {
      bool late = limited && due > deadline;
      if (waitfor(lock, late ? deadline : due, true, interrupted)) {
        if (dev->gone) return LIBUSB_ERROR_NO_DEVICE;
        continue;
      }
      if (late) return LIBUSB_ERROR_TIMEOUT;
    }
    const uint64_t seq = handle->cursor.seq;
    handle->cursor.delivered(n);
    if (whole) {
      ++handle->cursor.seq;
      ++stream.packetssent;
    }
    lock.unlock();
    fillpacket(seq, data, n, length);
    if (transferred) *transferred = n;
    return LIBUSB_SUCCESS;
  }
}

}  // extern "C"
