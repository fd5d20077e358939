// SPDX-License-Identifier: MIT
// The libusb calls for contexts, enumeration, device references and handles.
// Reference counting follows libusb: a device list gives every device one
// reference, an open handle holds one, and a device's memory stays valid while
// any is held, also after it has left the bus.

#include "sim_bus.h"
#include "sim_stream.h"

namespace {

// libusb's English texts, by -code for LIBUSB_SUCCESS .. LIBUSB_ERROR_NOT_SUPPORTED.
const char* const kErrorTexts[] = {
    "Success",
    "Input/Output Error",
    "Invalid parameter",
    "Access denied (insufficient permissions)",
    "No such device (it may have been disconnected)",
    "Entity not found",
    "Resource busy",
    "Operation timed out",
    "Overflow",
    "Pipe error",
    "System call interrupted (perhaps due to signal)",
    "Insufficient memory",
    "Operation not supported or unimplemented on this platform",
};
const char* const kOtherErrorText = "Other error";

const char* const kErrorNames[] = {
    "LIBUSB_SUCCESS / LIBUSB_TRANSFER_COMPLETED",
    "LIBUSB_ERROR_IO",
    "LIBUSB_ERROR_INVALID_PARAM",
    "LIBUSB_ERROR_ACCESS",
    "LIBUSB_ERROR_NO_DEVICE",
    "LIBUSB_ERROR_NOT_FOUND",
    "LIBUSB_ERROR_BUSY",
    "LIBUSB_ERROR_TIMEOUT",
    "LIBUSB_ERROR_OVERFLOW",
    "LIBUSB_ERROR_PIPE",
    "LIBUSB_ERROR_INTERRUPTED",
    "LIBUSB_ERROR_NO_MEM",
    "LIBUSB_ERROR_NOT_SUPPORTED",
};
// Transfer status names for the positive codes 1 .. 6.
const char* const kTransferNames[] = {
    "LIBUSB_TRANSFER_ERROR", "LIBUSB_TRANSFER_TIMED_OUT", "LIBUSB_TRANSFER_CANCELLED",
    "LIBUSB_TRANSFER_STALL", "LIBUSB_TRANSFER_NO_DEVICE", "LIBUSB_TRANSFER_OVERFLOW",
};

constexpr int kErrorCount = sizeof kErrorTexts / sizeof kErrorTexts[0];
constexpr int kTransferCount = sizeof kTransferNames / sizeof kTransferNames[0];

const libusb_version kVersion = {1, 0, 26, 11724, "", "simulated camera bus"};

}  // namespace

extern "C" {

SIM_EXPORT int libusb_init(libusb_context** ctx) {
  auto lock = sim::lockbus();
  sim::Bus& b = sim::bus();
  if (b.initerror != 0) {
    if (ctx) *ctx = nullptr;
    return b.initerror;
  }
  ++b.contexts;
  if (ctx)
    *ctx = new libusb_context;
  else
    ++b.defaultcontexts;
  return LIBUSB_SUCCESS;
}

SIM_EXPORT void libusb_exit(libusb_context* ctx) {
  auto lock = sim::lockbus();
  sim::Bus& b = sim::bus();
  if (ctx) {
    delete ctx;
    --b.contexts;
  } else if (b.defaultcontexts > 0) {
    --b.defaultcontexts;
    --b.contexts;
  }
}

SIM_EXPORT void libusb_set_debug(libusb_context*, int) {}

SIM_EXPORT int libusb_set_option(libusb_context*, enum libusb_option, ...) { return LIBUSB_SUCCESS; }

SIM_EXPORT const struct libusb_version* libusb_get_version(void) { return &kVersion; }

SIM_EXPORT const char* libusb_strerror(int errcode) {
  return errcode <= 0 && -errcode < kErrorCount ? kErrorTexts[-errcode] : kOtherErrorText;
}

SIM_EXPORT const char* libusb_error_name(int errcode) {
  if (errcode <= 0 && -errcode < kErrorCount) return kErrorNames[-errcode];
  if (errcode == LIBUSB_ERROR_OTHER) return "LIBUSB_ERROR_OTHER";
  if (errcode >= 1 && errcode <= kTransferCount) return kTransferNames[errcode - 1];
  return "**UNKNOWN**";
}

SIM_EXPORT ssize_t libusb_get_device_list(libusb_context*, libusb_device*** list) {
  if (!list) return LIBUSB_ERROR_INVALID_PARAM;
  auto lock = sim::lockbus();
  sim::Bus& b = sim::bus();
  if (b.listerror != 0) return b.listerror;
  auto** devices = new libusb_device*[b.plugged.size() + 1];
  size_t n = 0;
  for (libusb_device* dev : b.plugged) {
    sim::addref(dev);
    devices[n++] = dev;
  }
  devices[n] = nullptr;
  ++b.lists;
  *list = devices;
  return static_cast<ssize_t>(n);
}

SIM_EXPORT void libusb_free_device_list(libusb_device** list, int unref_devices) {
  if (!list) return;
  auto lock = sim::lockbus();
  if (unref_devices)
    for (libusb_device** dev = list; *dev; ++dev) sim::dropref(*dev);
  --sim::bus().lists;
  delete[] list;
}

SIM_EXPORT libusb_device* libusb_ref_device(libusb_device* dev) {
  if (!dev) return nullptr;
  auto lock = sim::lockbus();
  sim::addref(dev);
  return dev;
}

SIM_EXPORT void libusb_unref_device(libusb_device* dev) {
  if (!dev) return;
  auto lock = sim::lockbus();
  sim::dropref(dev);
}

SIM_EXPORT int libusb_get_device_descriptor(libusb_device* dev, struct libusb_device_descriptor* desc) {
  if (!dev || !desc) return LIBUSB_ERROR_INVALID_PARAM;
  auto lock = sim::lockbus();
  if (dev->descriptorerror != 0) return dev->descriptorerror;
  *desc = libusb_device_descriptor{};
  desc->bLength = LIBUSB_DT_DEVICE_SIZE;
  desc->bDescriptorType = LIBUSB_DT_DEVICE;
  desc->bcdUSB = 0x0200;
  desc->bDeviceClass = dev->board ? LIBUSB_CLASS_VENDOR_SPEC : LIBUSB_CLASS_PER_INTERFACE;
  desc->bMaxPacketSize0 = 64;
  desc->idVendor = dev->vid;
  desc->idProduct = dev->pid;
  desc->bcdDevice = dev->bcd;
  desc->iManufacturer = dev->strings[1] ? 1 : 0;
  desc->iProduct = dev->strings[2] ? 2 : 0;
  desc->iSerialNumber = dev->strings[3] ? 3 : 0;
  desc->bNumConfigurations = 1;
  return LIBUSB_SUCCESS;
}

SIM_EXPORT uint8_t libusb_get_bus_number(libusb_device*) { return 1; }

SIM_EXPORT uint8_t libusb_get_device_address(libusb_device* dev) {
  auto lock = sim::lockbus();
  return dev ? dev->address : 0;
}

SIM_EXPORT uint8_t libusb_get_port_number(libusb_device* dev) {
  auto lock = sim::lockbus();
  return dev ? dev->port : 0;
}

SIM_EXPORT int libusb_open(libusb_device* dev, libusb_device_handle** handle) {
  if (!dev || !handle) return LIBUSB_ERROR_INVALID_PARAM;
  auto lock = sim::lockbus();
  if (dev->gone) return LIBUSB_ERROR_NO_DEVICE;
  if (dev->openerror != 0) return dev->openerror;
  sim::addref(dev);
  ++sim::bus().handles;
  *handle = new libusb_device_handle(dev);
  sim::appendeventtologfile(dev->id, "open");
  return LIBUSB_SUCCESS;
}

// Closing works also after an unplug and gives back the claim, the handle and its reference.
SIM_EXPORT void libusb_close(libusb_device_handle* handle) {
  if (!handle) return;
  auto lock = sim::lockbus();
  sim::Bus& b = sim::bus();
  if (handle->claimed) {
    --handle->dev->claimedby;
    --b.claims;
  }
  --b.handles;
  sim::appendeventtologfile(handle->dev->id, "close");
  sim::dropref(handle->dev);
  delete handle;
}

SIM_EXPORT libusb_device* libusb_get_device(libusb_device_handle* handle) {
  return handle ? handle->dev : nullptr;
}

SIM_EXPORT int libusb_claim_interface(libusb_device_handle* handle, int interface_number) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  // A claim precedes streaming: render the pattern now, outside the bus lock.
  sim::preparepattern();
  auto lock = sim::lockbus();
  libusb_device* dev = handle->dev;
  if (dev->gone) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0) return LIBUSB_ERROR_NOT_FOUND;
  if (handle->claimed) return LIBUSB_SUCCESS;
  if (dev->claimerror != 0) return dev->claimerror;
  if (dev->claimedby > 0) return LIBUSB_ERROR_BUSY;
  handle->claimed = true;
  ++dev->claimedby;
  ++sim::bus().claims;
  return LIBUSB_SUCCESS;
}

SIM_EXPORT int libusb_release_interface(libusb_device_handle* handle, int interface_number) {
  if (!handle) return LIBUSB_ERROR_INVALID_PARAM;
  auto lock = sim::lockbus();
  libusb_device* dev = handle->dev;
  if (dev->gone) return LIBUSB_ERROR_NO_DEVICE;
  if (interface_number != 0 || !handle->claimed) return LIBUSB_ERROR_NOT_FOUND;
  if (dev->releaseerror != 0) return dev->releaseerror;
  handle->claimed = false;
  --dev->claimedby;
  --sim::bus().claims;
  return LIBUSB_SUCCESS;
}

}  // extern "C"
