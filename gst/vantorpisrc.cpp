// SPDX-License-Identifier: MIT
#include "vantorpisrc.h"

#include <gst/video/video.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <numeric>
#include <string>
#include <vector>

#include "vantorpi.h"

GST_DEBUG_CATEGORY_STATIC(vantorpisrc_debug);
#define GST_CAT_DEFAULT vantorpisrc_debug

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMinPacketLength = 2048;        // the library's smallest packet
constexpr int kMinFifoSize = 1 << 20;         // the library's smallest FIFO
constexpr int kMaxFifoSize = 1 << 30;         // far above any frame
constexpr int kDefaultFifoSize = 16 << 20;    // 0.4 s at 40 MB/s
constexpr guint kDefaultLinesPerFrame = 256;  // about 38 frames a second at 40 MB/s
constexpr guint kDefaultTimeout = 2000;       // ms, as lscam
constexpr guint kDefaultBits = 12;            // full scale of the live view and the Python package
constexpr unsigned kWaitSliceMs = 20;         // longest wait before the flushing flag is seen again
constexpr auto kStatusAfter = std::chrono::milliseconds(100);  // silence before one status request
constexpr unsigned kStatusTimeoutMs = 250;                     // that request's own limit
constexpr auto kPaceLimit = std::chrono::milliseconds(10);     // longest nap while a frame fills
constexpr auto kMeasureFor = std::chrono::milliseconds(200);   // line-rate measurement before the caps
constexpr size_t kMeasureMaxBytes = 4 << 20;                   // or this much data, whichever first

// The camera settings, in property order. A value of -1 leaves the camera's own setting alone.
enum Setting {
  kIntegrationTime,
  kMode,
  kState,
  kGain1,
  kGain2,
  kGain3,
  kOffset1,
  kOffset2,
  kOffset3,
  kSettings
};

struct SettingInfo {
  const char* name;
  const char* nick;
  const char* blurb;
  gint64 max;
  int (*apply)(gint64 value, unsigned timeout);
  int (*read)(gint64* value, unsigned timeout);
};

template <int (*get)(unsigned short*, unsigned)>
int readshort(gint64* value, unsigned timeout) {
  unsigned short v = 0;
  const int code = get(&v, timeout);
  *value = v;
  return code;
}

template <int (*set)(unsigned short, unsigned)>
int writeshort(gint64 value, unsigned timeout) {
  return set(static_cast<unsigned short>(value), timeout);
}

const std::array<SettingInfo, kSettings> kSettingInfo = {{
    {"integration-time", "Integration time",
     "Integration time in the second processor's unit, checked against the sensor catalogue's limits "
     "(0 = leave the camera's setting)",
     4294967295LL, [](gint64 v, unsigned t) { return ls_setinttime(static_cast<unsigned>(v), t); },
     [](gint64* v, unsigned t) {
       unsigned x = 0;
       const int code = ls_getinttime(&x, t);
       *v = x;
       return code;
     }},
    {"mode", "Mode", "Operating mode of the camera, 0 to 3 (-1 = leave the camera's setting)", 3,
     [](gint64 v, unsigned t) { return ls_setmode(static_cast<unsigned char>(v), t); },
     [](gint64* v, unsigned t) {
       unsigned char x = 0;
       const int code = ls_getmode(&x, t);
       *v = x;
       return code;
     }},
    {"state", "State", "State of the camera, 0 or 1 (-1 = leave the camera's setting)", 1,
     [](gint64 v, unsigned t) { return ls_setstate(static_cast<unsigned char>(v), t); },
     [](gint64* v, unsigned t) {
       unsigned char x = 0;
       const int code = ls_getstate(&x, t);
       *v = x;
       return code;
     }},
    {"gain1", "ADC gain 1", "ADC gain of channel 1 (red), 0 to 511 (-1 = leave the camera's setting)", 511,
     writeshort<ls_setadcpga1>, readshort<ls_getadcpga1>},
    {"gain2", "ADC gain 2", "ADC gain of channel 2 (green), 0 to 511 (-1 = leave the camera's setting)", 511,
     writeshort<ls_setadcpga2>, readshort<ls_getadcpga2>},
    {"gain3", "ADC gain 3", "ADC gain of channel 3 (blue), 0 to 511 (-1 = leave the camera's setting)", 511,
     writeshort<ls_setadcpga3>, readshort<ls_getadcpga3>},
    {"offset1", "ADC offset 1", "ADC offset of channel 1 (red), 0 to 511 (-1 = leave the camera's setting)",
     511, writeshort<ls_setadcoffset1>, readshort<ls_getadcoffset1>},
    {"offset2", "ADC offset 2", "ADC offset of channel 2 (green), 0 to 511 (-1 = leave the camera's setting)",
     511, writeshort<ls_setadcoffset2>, readshort<ls_getadcoffset2>},
    {"offset3", "ADC offset 3", "ADC offset of channel 3 (blue), 0 to 511 (-1 = leave the camera's setting)",
     511, writeshort<ls_setadcoffset3>, readshort<ls_getadcoffset3>},
}};

enum {
  PROP_0,
  PROP_SERIAL,
  PROP_INDEX,
  PROP_LINES_PER_FRAME,
  PROP_PACKET_LENGTH,
  PROP_FIFO_SIZE,
  PROP_TIMEOUT,
  PROP_BITS,
  PROP_SENSOR,
  PROP_RATE,
  PROP_FIRST_SETTING,  // then one per Setting
};

// A message to post once no lock is held: a handler of the bus may call back into the element.
struct Report {
  GstMessageType type = GST_MESSAGE_UNKNOWN;
  gint code = 0;  // GstResourceError
  std::string text, debug;
  explicit operator bool() const { return type != GST_MESSAGE_UNKNOWN; }
};

Report problem(GstMessageType type, GstResourceError code, std::string text, std::string debug) {
  Report r;
  r.type = type;
  r.code = code;
  r.text = std::move(text);
  r.debug = std::move(debug);
  return r;
}

std::string coded(int code) { return std::to_string(code) + " " + ls_geterrorstring(code); }

// Properties as the application set them; read under the object lock.
struct Config {
  std::string serial;  // empty: by index
  int index = 0;
  guint lines = kDefaultLinesPerFrame;
  int packetlength = 0;  // 0: the camera's packet-length register
  int fifosize = kDefaultFifoSize;
  guint timeout = kDefaultTimeout;
  guint bits = kDefaultBits;
};

// The element's C++ state, owned through the GObject instance.
struct Impl {
  Config config;                         // under GST_OBJECT_LOCK
  std::array<gint64, kSettings> wanted;  // settings to apply, -1 = none; under `control`
  std::mutex control;                    // serialises every control call of the library
  bool opened = false;                   // under `control`
  unsigned short sensortype = 0;         // 0: unknown; under `control`
  std::string sensor = "none";           // under `control`
  unsigned timeout = kDefaultTimeout;    // control time-out while open

  // The stream, touched by the streaming thread only (start and stop run while it is stopped).
  Config run;  // the configuration of this run
  // Read by caps and latency queries from other threads as well.
  std::atomic<int> linebytes{0};
  std::vector<uint8_t> staged;  // read while measuring the line rate, delivered first
  size_t stagedat = 0;
  std::atomic<double> byterate{0};  // bytes per second, measured before the first caps
  std::atomic<GstClockTime> latency{GST_CLOCK_TIME_NONE}, maxlatency{GST_CLOCK_TIME_NONE};
  bool negotiated = false;
  bool gray8 = false;
  GstVideoInfo info;
  GstBufferPool* pool = nullptr;
  std::vector<uint8_t> scratch;  // a frame's lines when they cannot be read in place
  std::array<uint8_t, 65536> lut;
  guint64 lines = 0;  // lines delivered so far
  GstClockTime lastts = GST_CLOCK_TIME_NONE;
  Clock::time_point lastdata, laststatus;
  bool stallwarned = false;
  std::atomic<int> camerarate{0};  // ls_getfps as last seen by the streaming thread

  // unlock(): wakes the streaming thread out of its naps.
  std::mutex flushmutex;
  std::condition_variable flushwake;
  std::atomic<bool> flushing{false};

  Impl() { wanted.fill(-1); }
};

// The library holds one camera per process: the element that has it open.
std::atomic<GstVantorpiSrc*> owner{nullptr};

}  // namespace

struct _GstVantorpiSrc {
  GstPushSrc parent;
  Impl* impl;
};

G_DEFINE_TYPE(GstVantorpiSrc, gst_vantorpi_src, GST_TYPE_PUSH_SRC)

namespace {

Impl& impl(gpointer self) { return *GST_VANTORPI_SRC(self)->impl; }

void post(GstVantorpiSrc* self, const Report& r) {
  if (!r) return;
  gst_element_message_full(GST_ELEMENT(self), r.type, GST_RESOURCE_ERROR, r.code, g_strdup(r.text.c_str()),
                           r.debug.empty() ? nullptr : g_strdup(r.debug.c_str()), __FILE__, GST_FUNCTION,
                           __LINE__);
}

// ---- Opening and closing (start and stop, with the control lock held) ----

std::string openhint(int code, const Config& c) {
  switch (code) {
    case -3:
      return "No permission to open the camera: install the udev rules (60-vantorpi.rules with "
             "70-vantorpi-uaccess.rules for a desktop session, or 61-vantorpi-group.rules and membership of "
             "its group for a service) and plug the camera in again. 'lscam doctor' tells what is missing.";
    case -6:
      return "Another program holds the camera: end it (or its stream) and try again.";
    case -4:
      return "The camera was unplugged while it was being opened.";
    case CX_ERR_NO_DEVICES_ATTACHED:
      return "No camera found. A camera that this user may not open is not listed either: install the udev "
             "rules (see -3); 'lscam doctor' tells why and what fixes it.";
    case CX_ERR_SERIAL_NUM_NOT_FOUND:
      return "No camera carries the serial number '" + c.serial + "': 'lscam list' shows the cameras.";
    case CX_ERR_DEVICE_INDEX_OUT_OF_RANGE:
      return "No camera with index " + std::to_string(c.index) + ": 'lscam list' shows the cameras.";
    case LS_ENOMEM:
      return "The library could not allocate its FIFO: choose a smaller fifo-size.";
    default:
      return "'lscam doctor' checks the rules, the group and the camera.";
  }
}

Report openfailure(int code, const Config& c) {
  GstResourceError e = GST_RESOURCE_ERROR_OPEN_READ;
  if (code == -3) e = GST_RESOURCE_ERROR_NOT_AUTHORIZED;
  if (code == -6) e = GST_RESOURCE_ERROR_BUSY;
  if (code == CX_ERR_NO_DEVICES_ATTACHED || code == CX_ERR_SERIAL_NUM_NOT_FOUND ||
      code == CX_ERR_DEVICE_INDEX_OUT_OF_RANGE)
    e = GST_RESOURCE_ERROR_NOT_FOUND;
  const std::string which = c.serial.empty() ? "index " + std::to_string(c.index) : "serial " + c.serial;
  return problem(GST_MESSAGE_ERROR, e, "Could not open the camera (" + which + "): " + coded(code),
                 openhint(code, c));
}

int openchosen(const Config& c) {
  ls_enumdevices();
  return c.serial.empty() ? ls_opendevicebyindex(c.index) : ls_opendevicebyserial(c.serial.c_str());
}

// The integration-time limits of the fitted sensor; empty when the value is within them.
std::string inttimerefusal(unsigned short sensortype, gint64 value) {
  unsigned lo = 0, hi = 0;
  if (sensortype == 0 || ls_getminmaxtime(sensortype, &lo, &hi) != CX_SUCCESS)
    return "the sensor is unknown, so its integration-time limits are too";
  if (value < lo || value > hi)
    return "the sensor " + std::string(ls_getsensorname(sensortype)) + " takes " + std::to_string(lo) +
           " to " + std::to_string(hi);
  return {};
}

// Sends one setting to the open camera. Control lock held.
Report applysetting(Impl& im, int which, gint64 value) {
  const SettingInfo& s = kSettingInfo[static_cast<size_t>(which)];
  if (which == kIntegrationTime) {
    const std::string why = inttimerefusal(im.sensortype, value);
    if (!why.empty())
      return problem(GST_MESSAGE_WARNING, GST_RESOURCE_ERROR_SETTINGS,
                     "Integration time " + std::to_string(value) + " refused: " + why, "Nothing was sent.");
  }
  const int code = s.apply(value, im.timeout);
  if (code != CX_SUCCESS)
    return problem(
        GST_MESSAGE_WARNING, GST_RESOURCE_ERROR_SETTINGS,
        std::string("Could not set ") + s.name + " to " + std::to_string(value) + ": " + coded(code), {});
  return {};
}

// Opens the configured camera with the packet length and FIFO of the configuration, and reads what the
// caps and the settings need. Control lock held. Leaves no camera open on failure.
Report opencamera(Impl& im) {
  const Config& c = im.run;
  const int first = c.packetlength > 0 ? c.packetlength : 4096;
  ls_initialize(c.fifosize, first);
  int code = openchosen(c);
  if (code != CX_SUCCESS) return openfailure(code, c);
  int length = std::max(first, kMinPacketLength);
  if (c.packetlength == 0) {
    // The stream's packet length is fixed at the open: reopen when the register differs.
    int reg = 0;
    code = ls_getpacketlength(&reg, c.timeout);
    if (code != CX_SUCCESS || reg < kMinPacketLength || reg > c.fifosize) {
      ls_closedevice();
      return problem(GST_MESSAGE_ERROR, GST_RESOURCE_ERROR_SETTINGS,
                     code != CX_SUCCESS
                         ? "Could not read the camera's packet-length register: " + coded(code)
                         : "The camera's packet-length register holds " + std::to_string(reg) + " bytes",
                     "Set packet-length to the camera's bytes per line (" + std::to_string(kMinPacketLength) +
                         " to fifo-size).");
    }
    if (reg != length) {
      const int index = ls_currentdeviceindex();
      ls_closedevice();
      ls_initialize(c.fifosize, reg);
      code = ls_opendevicebyindex(index);
      if (code != CX_SUCCESS) return openfailure(code, c);
      length = reg;
    }
  }
  if (length % 2 != 0) {
    ls_closedevice();
    return problem(GST_MESSAGE_ERROR, GST_RESOURCE_ERROR_SETTINGS,
                   "A line of " + std::to_string(length) + " bytes is no whole number of 16-bit pixels",
                   "Set packet-length to an even number of bytes.");
  }
  im.linebytes = length;
  im.timeout = c.timeout;

  unsigned short type = 0, second = 0;
  code = ls_getsensortype(&type, &second, c.timeout);
  if (code == CX_SUCCESS) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%04X", type);
    im.sensortype = type;
    im.sensor = std::string(ls_getsensorname(type)) + " (" + hex + ")";
  } else {
    im.sensortype = 0;
    im.sensor = "unknown (" + coded(code) + ")";
  }
  im.opened = true;
  return {};
}

// ---- Properties ----

gint64 settingproperty(const GValue* v, int which) {
  if (which == kIntegrationTime) {
    const guint x = g_value_get_uint(v);
    return x == 0 ? -1 : x;
  }
  return g_value_get_int(v);
}

void setsetting(GstVantorpiSrc* self, int which, gint64 value) {
  Impl& im = impl(self);
  Report r;
  {
    std::lock_guard<std::mutex> lock(im.control);
    if (!im.opened || value < 0) {
      im.wanted[static_cast<size_t>(which)] = value;
    } else {
      r = applysetting(im, which, value);
      if (!r) im.wanted[static_cast<size_t>(which)] = value;
    }
  }
  post(self, r);
}

// The camera's value while it is open, else the value that the next start applies.
gint64 getsetting(GstVantorpiSrc* self, int which) {
  Impl& im = impl(self);
  std::lock_guard<std::mutex> lock(im.control);
  gint64 value = im.wanted[static_cast<size_t>(which)];
  if (im.opened) {
    gint64 read = 0;
    if (kSettingInfo[static_cast<size_t>(which)].read(&read, im.timeout) == CX_SUCCESS) value = read;
  }
  return value;
}

void set_property(GObject* object, guint id, const GValue* value, GParamSpec* pspec) {
  GstVantorpiSrc* self = GST_VANTORPI_SRC(object);
  Impl& im = impl(self);
  if (id >= PROP_FIRST_SETTING && id < PROP_FIRST_SETTING + kSettings) {
    const int which = static_cast<int>(id - PROP_FIRST_SETTING);
    setsetting(self, which, settingproperty(value, which));
    return;
  }
  GST_OBJECT_LOCK(self);
  Config& c = im.config;
  switch (id) {
    case PROP_SERIAL: {
      const char* s = g_value_get_string(value);
      c.serial = s ? s : "";
      break;
    }
    case PROP_INDEX:
      c.index = g_value_get_int(value);
      break;
    case PROP_LINES_PER_FRAME:
      c.lines = g_value_get_uint(value);
      break;
    case PROP_PACKET_LENGTH:
      c.packetlength = g_value_get_int(value);
      break;
    case PROP_FIFO_SIZE:
      c.fifosize = g_value_get_int(value);
      break;
    case PROP_TIMEOUT:
      c.timeout = g_value_get_uint(value);
      break;
    case PROP_BITS:
      c.bits = g_value_get_uint(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
}

void get_property(GObject* object, guint id, GValue* value, GParamSpec* pspec) {
  GstVantorpiSrc* self = GST_VANTORPI_SRC(object);
  Impl& im = impl(self);
  if (id >= PROP_FIRST_SETTING && id < PROP_FIRST_SETTING + kSettings) {
    const int which = static_cast<int>(id - PROP_FIRST_SETTING);
    const gint64 v = getsetting(self, which);
    if (which == kIntegrationTime)
      g_value_set_uint(value, v < 0 ? 0 : static_cast<guint>(v));
    else
      g_value_set_int(value, static_cast<gint>(v));
    return;
  }
  if (id == PROP_SENSOR) {
    std::lock_guard<std::mutex> lock(im.control);
    g_value_set_string(value, im.sensor.c_str());
    return;
  }
  GST_OBJECT_LOCK(self);
  const Config& c = im.config;
  switch (id) {
    case PROP_SERIAL:
      g_value_set_string(value, c.serial.empty() ? nullptr : c.serial.c_str());
      break;
    case PROP_INDEX:
      g_value_set_int(value, c.index);
      break;
    case PROP_LINES_PER_FRAME:
      g_value_set_uint(value, c.lines);
      break;
    case PROP_PACKET_LENGTH:
      g_value_set_int(value, c.packetlength);
      break;
    case PROP_FIFO_SIZE:
      g_value_set_int(value, c.fifosize);
      break;
    case PROP_TIMEOUT:
      g_value_set_uint(value, c.timeout);
      break;
    case PROP_BITS:
      g_value_set_uint(value, c.bits);
      break;
    case PROP_RATE:
      g_value_set_int(value, im.camerarate.load());
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, pspec);
  }
  GST_OBJECT_UNLOCK(self);
}

// ---- Caps ----

GstCaps* ourcaps(const Impl& im, bool withrate) {
  const int width = im.linebytes / 2;
  const int height = static_cast<int>(im.run.lines);
  GstCaps* caps = gst_caps_new_empty();
  for (const char* format : {"GRAY16_LE", "GRAY8"}) {
    GstStructure* s = gst_structure_new("video/x-raw", "format", G_TYPE_STRING, format, "width", G_TYPE_INT,
                                        width, "height", G_TYPE_INT, height, nullptr);
    if (withrate) {
      // Frames per second to a thousandth, as a fraction in lowest terms.
      const double fps = im.byterate / im.linebytes / height;
      const gint n =
          static_cast<gint>(std::min(std::max(std::lround(fps * 1000), 1L), static_cast<long>(G_MAXINT)));
      const gint common = std::gcd(n, 1000);
      gst_structure_set(s, "framerate", GST_TYPE_FRACTION, n / common, 1000 / common, nullptr);
    } else {
      gst_structure_set(s, "framerate", GST_TYPE_FRACTION_RANGE, 0, 1, G_MAXINT, 1, nullptr);
    }
    gst_caps_append_structure(caps, s);
  }
  return caps;
}

GstCaps* get_caps(GstBaseSrc* base, GstCaps* filter) {
  Impl& im = impl(base);
  GstCaps* caps = nullptr;
  if (im.linebytes > 0)
    caps = ourcaps(im, im.byterate > 0);
  else
    caps = gst_pad_get_pad_template_caps(GST_BASE_SRC_PAD(base));
  if (filter) {
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    caps = both;
  }
  return caps;
}

GstClockTime frameduration(const Impl& im) {
  if (GST_VIDEO_INFO_FPS_N(&im.info) <= 0) return GST_CLOCK_TIME_NONE;
  return gst_util_uint64_scale_int(GST_SECOND, GST_VIDEO_INFO_FPS_D(&im.info),
                                   GST_VIDEO_INFO_FPS_N(&im.info));
}

void makelut(Impl& im) {
  const guint full = (1u << im.run.bits) - 1;
  for (guint v = 0; v < im.lut.size(); ++v)
    im.lut[v] = static_cast<uint8_t>((std::min(v, full) * 255 + full / 2) / full);
}

// Chooses the format with downstream (GRAY16_LE unless only GRAY8 is taken), sets the caps and makes the
// frame pool. Needs the line rate.
bool negotiateformat(GstVantorpiSrc* self) {
  Impl& im = impl(self);
  GstBaseSrc* base = GST_BASE_SRC(self);
  GstCaps* ours = ourcaps(im, true);
  GstCaps* peer = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), ours);
  gst_caps_unref(ours);
  if (!peer || gst_caps_is_empty(peer)) {
    if (peer) gst_caps_unref(peer);
    GST_ELEMENT_ERROR(self, STREAM, FORMAT, ("Downstream takes neither GRAY16_LE nor GRAY8 lines"),
                      (nullptr));
    return false;
  }
  // Downstream that takes any data (files, payloaders, appsink) stores or forwards the lines: GRAY16_LE,
  // lossless. A video element that takes GRAY8 (videoconvert) shows them: GRAY8 at the full scale of
  // `bits`, unless a caps filter asks for GRAY16_LE.
  GstCaps* unfiltered = gst_pad_peer_query_caps(GST_BASE_SRC_PAD(base), nullptr);
  const bool bytes = !unfiltered || gst_caps_is_any(unfiltered);
  if (unfiltered) gst_caps_unref(unfiltered);
  guint pick = 0;
  for (guint i = 0; !bytes && i < gst_caps_get_size(peer); ++i) {
    const gchar* format = gst_structure_get_string(gst_caps_get_structure(peer, i), "format");
    if (format && std::strcmp(format, "GRAY8") == 0) {
      pick = i;
      break;
    }
  }
  GstCaps* chosen = gst_caps_copy_nth(peer, pick);
  gst_caps_unref(peer);
  chosen = gst_caps_fixate(chosen);
  GstVideoInfo info;
  bool ok = gst_video_info_from_caps(&info, chosen) && gst_base_src_set_caps(base, chosen);
  if (ok) {
    im.info = info;
    im.gray8 = GST_VIDEO_INFO_FORMAT(&info) == GST_VIDEO_FORMAT_GRAY8;
    if (im.gray8) makelut(im);
    if (im.pool) {
      gst_buffer_pool_set_active(im.pool, FALSE);
      gst_object_unref(im.pool);
    }
    im.pool = gst_buffer_pool_new();
    GstStructure* config = gst_buffer_pool_get_config(im.pool);
    gst_buffer_pool_config_set_params(config, chosen, static_cast<guint>(info.size), 2, 0);
    ok = gst_buffer_pool_set_config(im.pool, config) && gst_buffer_pool_set_active(im.pool, TRUE);
    im.negotiated = ok;
    im.latency = frameduration(im);
    im.maxlatency = im.latency + gst_util_uint64_scale(static_cast<guint64>(im.run.fifosize), GST_SECOND,
                                                       static_cast<guint64>(im.byterate.load()));
  }
  GST_DEBUG_OBJECT(self, "caps %" GST_PTR_FORMAT ": %s", chosen, ok ? "set" : "refused");
  gst_caps_unref(chosen);
  if (ok) gst_element_post_message(GST_ELEMENT(self), gst_message_new_latency(GST_OBJECT(self)));
  return ok;
}

// Until the line rate is measured (in the first create) the caps wait; afterwards downstream may ask
// again (a reconfigure event).
gboolean negotiate(GstBaseSrc* base) {
  Impl& im = impl(base);
  if (im.byterate <= 0) return TRUE;
  return negotiateformat(GST_VANTORPI_SRC(base));
}

// ---- The stream (streaming thread) ----

// Naps up to d unless unlock() comes; true when flushing.
bool nap(Impl& im, Clock::duration d) {
  std::unique_lock<std::mutex> lock(im.flushmutex);
  return im.flushwake.wait_for(lock, d, [&] { return im.flushing.load(); });
}

// Waits until stream data waits. On a silence: after kStatusAfter one status request per period tells an
// unplugged or failed camera (an element error) from a stalled one (a warning after `timeout`).
GstFlowReturn waitfordata(GstVantorpiSrc* self) {
  Impl& im = impl(self);
  for (;;) {
    if (im.flushing) return GST_FLOW_FLUSHING;
    ls_waitforpipe(kWaitSliceMs);
    if (ls_getpipe(nullptr, 0) > 0) return GST_FLOW_OK;
    const Clock::time_point now = Clock::now();
    const auto idle = now - im.lastdata;
    if (idle >= kStatusAfter && now - im.laststatus >= kStatusAfter) {
      im.laststatus = now;
      unsigned char status = 0;
      int code;
      {
        std::lock_guard<std::mutex> lock(im.control);
        code = ls_ep6stat(&status, std::min(im.timeout, kStatusTimeoutMs));
      }
      if (code < 0 && code != -7) {
        GST_ELEMENT_ERROR(
            self, RESOURCE, READ, ("The camera stopped: %s", coded(code).c_str()),
            ("No stream data for %lld ms and the camera does not answer; it may have been "
             "unplugged.",
             static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(idle).count())));
        return GST_FLOW_ERROR;
      }
    }
    if (!im.stallwarned && idle >= std::chrono::milliseconds(im.run.timeout)) {
      im.stallwarned = true;
      GST_ELEMENT_WARNING(self, RESOURCE, READ, ("No data from the camera for %u ms", im.run.timeout),
                          ("The camera answers but sends no lines: check its mode, state and trigger."));
    }
  }
}

// Reads exactly n bytes of the stream: what was staged first, then the FIFO. While a frame fills, the
// thread naps for about the time the missing lines take instead of waking for every packet.
GstFlowReturn readbytes(GstVantorpiSrc* self, uint8_t* dst, size_t n, size_t& have) {
  Impl& im = impl(self);
  have = 0;
  if (im.stagedat < im.staged.size()) {
    have = std::min(n, im.staged.size() - im.stagedat);
    std::memcpy(dst, im.staged.data() + im.stagedat, have);
    im.stagedat += have;
    if (im.stagedat == im.staged.size()) {
      im.staged = std::vector<uint8_t>();
      im.stagedat = 0;
    }
  }
  bool napped = false;  // a nap that brings nothing hands over to waitfordata and its silence checks
  while (have < n) {
    const int got = ls_getpipe(dst + have, static_cast<int>(std::min<size_t>(n - have, INT_MAX)));
    if (got > 0) {
      have += static_cast<size_t>(got);
      im.lastdata = Clock::now();
      im.stallwarned = false;
      napped = false;
      continue;
    }
    if (im.byterate > 0 && !napped) {
      napped = true;
      const auto missing = std::chrono::duration<double>(static_cast<double>(n - have) / im.byterate);
      const auto pace =
          std::min<Clock::duration>(std::chrono::duration_cast<Clock::duration>(missing), kPaceLimit);
      if (pace >= std::chrono::milliseconds(1)) {
        if (nap(im, pace)) return GST_FLOW_FLUSHING;
        continue;
      }
    }
    const GstFlowReturn r = waitfordata(self);
    if (r != GST_FLOW_OK) return r;
  }
  return GST_FLOW_OK;
}

// Measures the line rate for the caps: reads for kMeasureFor (or kMeasureMaxBytes) after the first data,
// keeping every byte for the first frames. The first read may be a backlog and does not count.
GstFlowReturn measure(GstVantorpiSrc* self) {
  Impl& im = impl(self);
  size_t counted = 0;
  Clock::time_point begin{}, last{};
  bool started = false;
  std::vector<uint8_t> chunk(1 << 20);
  for (;;) {
    const int got = ls_getpipe(chunk.data(), static_cast<int>(chunk.size()));
    if (got <= 0) {
      const GstFlowReturn r = waitfordata(self);
      if (r != GST_FLOW_OK) return r;
      continue;
    }
    const Clock::time_point now = Clock::now();
    im.lastdata = now;
    im.stallwarned = false;
    im.staged.insert(im.staged.end(), chunk.begin(), chunk.begin() + got);
    if (!started) {
      started = true;
      begin = now;
      continue;
    }
    counted += static_cast<size_t>(got);
    last = now;
    const bool enough = now - begin >= kMeasureFor || im.staged.size() >= kMeasureMaxBytes;
    if (enough && counted >= 2 * static_cast<size_t>(im.linebytes) && last > begin) break;
  }
  im.byterate = static_cast<double>(counted) / std::chrono::duration<double>(last - begin).count();
  GST_INFO_OBJECT(self, "line rate %.1f lines/s (%.0f bytes/s)", im.byterate / im.linebytes,
                  im.byterate.load());
  return GST_FLOW_OK;
}

// The running time at which the frame's first line arrived: the newest byte arrived about now, and the
// bytes still waiting behind the frame came at the measured rate. Strictly increasing.
GstClockTime arrival(GstVantorpiSrc* self, size_t framebytes) {
  Impl& im = impl(self);
  GstClock* clock = gst_element_get_clock(GST_ELEMENT(self));
  if (!clock) return GST_CLOCK_TIME_NONE;
  const GstClockTime now = gst_clock_get_time(clock);
  gst_object_unref(clock);
  const GstClockTime basetime = gst_element_get_base_time(GST_ELEMENT(self));
  if (now < basetime) return GST_CLOCK_TIME_NONE;
  const guint64 behind = static_cast<guint64>(std::max(ls_getpipe(nullptr, 0), 0)) +
                         (im.staged.size() - im.stagedat) + framebytes - static_cast<guint64>(im.linebytes);
  const GstClockTime ago = static_cast<GstClockTime>(static_cast<double>(behind) / im.byterate * GST_SECOND);
  GstClockTime ts = now - basetime > ago ? now - basetime - ago : 0;
  if (GST_CLOCK_TIME_IS_VALID(im.lastts) && ts <= im.lastts) ts = im.lastts + 1;
  im.lastts = ts;
  return ts;
}

// Lines into the mapped frame in the negotiated format and strides.
void deliver(Impl& im, const uint8_t* lines, GstVideoFrame* frame) {
  const int width = GST_VIDEO_FRAME_WIDTH(frame);
  const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  uint8_t* out = static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
  for (guint row = 0; row < im.run.lines; ++row, out += stride) {
    const uint8_t* in = lines + static_cast<size_t>(row) * static_cast<size_t>(im.linebytes);
    if (!im.gray8) {
      std::memcpy(out, in, static_cast<size_t>(width) * 2);
    } else {
      for (int x = 0; x < width; ++x) out[x] = im.lut[static_cast<size_t>(in[2 * x] | in[2 * x + 1] << 8)];
    }
  }
}

GstFlowReturn create(GstPushSrc* src, GstBuffer** out) {
  GstVantorpiSrc* self = GST_VANTORPI_SRC(src);
  Impl& im = impl(self);
  if (!im.negotiated) {
    if (im.byterate <= 0) {
      const GstFlowReturn r = measure(self);
      if (r != GST_FLOW_OK) return r;
    }
    if (!negotiateformat(self)) return GST_FLOW_NOT_NEGOTIATED;
  }
  GstBuffer* buffer = nullptr;
  GstFlowReturn r = gst_buffer_pool_acquire_buffer(im.pool, &buffer, nullptr);
  if (r != GST_FLOW_OK) return r;
  const size_t framebytes = static_cast<size_t>(im.run.lines) * static_cast<size_t>(im.linebytes);
  GstVideoFrame frame;
  if (!gst_video_frame_map(&frame, &im.info, buffer, GST_MAP_WRITE)) {
    gst_buffer_unref(buffer);
    GST_ELEMENT_ERROR(self, RESOURCE, FAILED, ("Could not map a frame buffer"), (nullptr));
    return GST_FLOW_ERROR;
  }
  // GRAY16_LE without row padding is the stream itself: read in place.
  const bool inplace = !im.gray8 && static_cast<size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0)) ==
                                        static_cast<size_t>(im.linebytes);
  if (!inplace && im.scratch.size() != framebytes) im.scratch.resize(framebytes);
  uint8_t* lines = inplace ? static_cast<uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0)) : im.scratch.data();
  size_t have = 0;
  r = readbytes(self, lines, framebytes, have);
  if (r == GST_FLOW_OK && !inplace) deliver(im, lines, &frame);
  if (r == GST_FLOW_FLUSHING && have > 0) {
    // A flush (unlock) interrupts a frame: its lines wait for the next one, so none is lost.
    std::vector<uint8_t> keep(lines, lines + have);
    keep.insert(keep.end(), im.staged.begin() + static_cast<std::ptrdiff_t>(im.stagedat), im.staged.end());
    im.staged = std::move(keep);
    im.stagedat = 0;
  }
  gst_video_frame_unmap(&frame);
  if (r != GST_FLOW_OK) {
    gst_buffer_unref(buffer);
    return r;
  }
  GST_BUFFER_PTS(buffer) = arrival(self, framebytes);
  GST_BUFFER_DTS(buffer) = GST_CLOCK_TIME_NONE;
  GST_BUFFER_DURATION(buffer) = frameduration(im);
  GST_BUFFER_OFFSET(buffer) = im.lines;
  im.lines += im.run.lines;
  GST_BUFFER_OFFSET_END(buffer) = im.lines;
  im.camerarate = ls_getfps();
  *out = buffer;
  return GST_FLOW_OK;
}

gboolean query(GstBaseSrc* base, GstQuery* q) {
  Impl& im = impl(base);
  if (GST_QUERY_TYPE(q) == GST_QUERY_LATENCY) {
    // A frame is complete one frame duration after its first line; the FIFO may hold more meanwhile.
    const GstClockTime min = im.latency, max = im.maxlatency;
    if (!GST_CLOCK_TIME_IS_VALID(min)) return FALSE;
    gst_query_set_latency(q, TRUE, min, max);
    return TRUE;
  }
  return GST_BASE_SRC_CLASS(gst_vantorpi_src_parent_class)->query(base, q);
}

// ---- States ----

void releasecamera(GstVantorpiSrc* self) {
  Impl& im = impl(self);
  {
    std::lock_guard<std::mutex> lock(im.control);
    if (im.opened) ls_closedevice();
    im.opened = false;
  }
  GstVantorpiSrc* me = self;
  owner.compare_exchange_strong(me, nullptr);
}

gboolean start(GstBaseSrc* base) {
  GstVantorpiSrc* self = GST_VANTORPI_SRC(base);
  Impl& im = impl(self);
  GstVantorpiSrc* none = nullptr;
  if (!owner.compare_exchange_strong(none, self)) {
    GST_ELEMENT_ERROR(self, RESOURCE, BUSY,
                      ("Another vantorpisrc in this process (%s) has the camera open", GST_OBJECT_NAME(none)),
                      ("The library holds one camera per process: run one vantorpisrc per process."));
    return FALSE;
  }
  GST_OBJECT_LOCK(self);
  im.run = im.config;
  GST_OBJECT_UNLOCK(self);

  std::vector<Report> reports;
  {
    std::lock_guard<std::mutex> lock(im.control);
    Report r = opencamera(im);
    if (r) {
      reports.push_back(r);
    } else {
      for (int which = 0; which < kSettings; ++which) {
        const gint64 v = im.wanted[static_cast<size_t>(which)];
        if (v < 0) continue;
        r = applysetting(im, which, v);
        if (r) {
          im.wanted[static_cast<size_t>(which)] = -1;
          reports.push_back(r);
        }
      }
    }
  }
  for (const Report& r : reports) post(self, r);
  if (!im.opened) {
    releasecamera(self);
    return FALSE;
  }
  im.staged = std::vector<uint8_t>();
  im.stagedat = 0;
  im.byterate = 0;
  im.negotiated = false;
  im.latency = im.maxlatency = GST_CLOCK_TIME_NONE;
  gst_video_info_init(&im.info);
  im.lines = 0;
  im.lastts = GST_CLOCK_TIME_NONE;
  im.lastdata = im.laststatus = Clock::now();
  im.stallwarned = false;
  im.camerarate = 0;
  GST_INFO_OBJECT(self, "camera open: %d bytes per line, sensor %s", im.linebytes.load(), im.sensor.c_str());
  return TRUE;
}

gboolean stop(GstBaseSrc* base) {
  GstVantorpiSrc* self = GST_VANTORPI_SRC(base);
  Impl& im = impl(self);
  releasecamera(self);
  if (im.pool) {
    gst_buffer_pool_set_active(im.pool, FALSE);
    gst_object_unref(im.pool);
    im.pool = nullptr;
  }
  im.staged = std::vector<uint8_t>();
  im.scratch = std::vector<uint8_t>();
  im.linebytes = 0;
  im.byterate = 0;
  im.negotiated = false;
  im.latency = im.maxlatency = GST_CLOCK_TIME_NONE;
  return TRUE;
}

gboolean unlock(GstBaseSrc* base) {
  Impl& im = impl(base);
  {
    std::lock_guard<std::mutex> lock(im.flushmutex);
    im.flushing = true;
  }
  im.flushwake.notify_all();
  return TRUE;
}

gboolean unlock_stop(GstBaseSrc* base) {
  Impl& im = impl(base);
  std::lock_guard<std::mutex> lock(im.flushmutex);
  im.flushing = false;
  return TRUE;
}

void finalize(GObject* object) {
  delete GST_VANTORPI_SRC(object)->impl;
  G_OBJECT_CLASS(gst_vantorpi_src_parent_class)->finalize(object);
}

}  // namespace

static void gst_vantorpi_src_init(GstVantorpiSrc* self) {
  self->impl = new Impl();
  gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
  gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
}

static void gst_vantorpi_src_class_init(GstVantorpiSrcClass* klass) {
  GST_DEBUG_CATEGORY_INIT(vantorpisrc_debug, "vantorpisrc", 0, "line-scan camera source");
  GObjectClass* object = G_OBJECT_CLASS(klass);
  GstElementClass* element = GST_ELEMENT_CLASS(klass);
  GstBaseSrcClass* base = GST_BASE_SRC_CLASS(klass);
  object->set_property = set_property;
  object->get_property = get_property;
  object->finalize = finalize;

  const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
  const auto beforestart = static_cast<GParamFlags>(flags | GST_PARAM_MUTABLE_READY);
  const auto live = static_cast<GParamFlags>(flags | GST_PARAM_MUTABLE_PLAYING);
  const auto readonly = static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS);
  g_object_class_install_property(
      object, PROP_SERIAL,
      g_param_spec_string("serial", "Serial number",
                          "Serial number of the camera to open (exact match); unset: the camera at index",
                          nullptr, beforestart));
  g_object_class_install_property(
      object, PROP_INDEX,
      g_param_spec_int("index", "Index",
                       "Index of the camera to open in the list of cameras, when serial is unset", 0, 127, 0,
                       beforestart));
  g_object_class_install_property(
      object, PROP_LINES_PER_FRAME,
      g_param_spec_uint(
          "lines-per-frame", "Lines per frame",
          "Lines in each buffer: the height of a frame, one row per line (1: one spectrum per buffer)", 1,
          65536, kDefaultLinesPerFrame, beforestart));
  g_object_class_install_property(
      object, PROP_PACKET_LENGTH,
      g_param_spec_int("packet-length", "Packet length",
                       "Bytes per line, an even number of at least 2048, read with the stream's bulk packets "
                       "(0: the camera's packet-length register)",
                       0, kMaxFifoSize, 0, beforestart));
  g_object_class_install_property(
      object, PROP_FIFO_SIZE,
      g_param_spec_int("fifo-size", "FIFO size", "Bytes of the library's stream FIFO", kMinFifoSize,
                       kMaxFifoSize, kDefaultFifoSize, beforestart));
  g_object_class_install_property(
      object, PROP_TIMEOUT,
      g_param_spec_uint("timeout", "Time-out",
                        "Time-out of each control request in ms, and the silence of the stream after which a "
                        "warning is posted",
                        1, 600000, kDefaultTimeout, beforestart));
  g_object_class_install_property(
      object, PROP_BITS,
      g_param_spec_uint("bits", "Bits", "Full scale of the pixel values in bits, mapped to 255 in GRAY8", 1,
                        16, kDefaultBits, beforestart));
  g_object_class_install_property(
      object, PROP_SENSOR,
      g_param_spec_string("sensor", "Sensor", "Catalogue name and type code of the open camera's sensor",
                          "none", readonly));
  g_object_class_install_property(
      object, PROP_RATE,
      g_param_spec_int("rate", "Rate", "Measured stream rate in bytes per second (0 before the first second)",
                       0, G_MAXINT, 0, readonly));
  for (int which = 0; which < kSettings; ++which) {
    const SettingInfo& s = kSettingInfo[static_cast<size_t>(which)];
    const guint id = PROP_FIRST_SETTING + static_cast<guint>(which);
    if (which == kIntegrationTime)
      g_object_class_install_property(
          object, id, g_param_spec_uint(s.name, s.nick, s.blurb, 0, static_cast<guint>(s.max), 0, live));
    else
      g_object_class_install_property(
          object, id, g_param_spec_int(s.name, s.nick, s.blurb, -1, static_cast<gint>(s.max), -1, live));
  }

  gst_element_class_set_static_metadata(element, "Line-scan camera source", "Source/Video/Hardware",
                                        "Streams the lines of a USB line-scan camera, one row per line",
                                        "vantorpi maintainers <maintainers@vantorpi.invalid>");
  static GstStaticPadTemplate srctemplate = GST_STATIC_PAD_TEMPLATE(
      "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("{ GRAY16_LE, GRAY8 }")));
  gst_element_class_add_static_pad_template(element, &srctemplate);

  base->start = start;
  base->stop = stop;
  base->get_caps = get_caps;
  base->negotiate = negotiate;
  base->query = query;
  base->unlock = unlock;
  base->unlock_stop = unlock_stop;
  GST_PUSH_SRC_CLASS(klass)->create = create;
}
