// SPDX-License-Identifier: MIT
#include "usb/cx_libusb.h"

#include <cstring>

#include "usb/cx_protocol.h"
#include "vantorpi.h"

namespace {

// Reads one ASCII string descriptor; empty when absent or unreadable. libusb
// counts the descriptor's U+0000 code units as bytes, so a descriptor padded
// with NULs would carry them into the text: the text ends at its first NUL.
QString readstring(libusb_device_handle* handle, uint8_t index) {
  char text[256];
  int n =
      libusb_get_string_descriptor_ascii(handle, index, reinterpret_cast<unsigned char*>(text), sizeof text);
  if (n < 1) return QString();
  if (n > static_cast<int>(sizeof text) - 1) n = sizeof text - 1;
  return QString::fromLatin1(text, static_cast<int>(strnlen(text, static_cast<size_t>(n))));
}

// libusb's device array during one enumeration. Every exit frees it and drops
// the references of the devices that were not taken out of it by a record.
struct devicearray {
  libusb_device** devices = nullptr;
  ssize_t count = 0;
  ~devicearray() {
    if (!devices) return;
    for (ssize_t i = 0; i < count; ++i)
      if (devices[i]) libusb_unref_device(devices[i]);
    libusb_free_device_list(devices, 0);
  }
  libusb_device* take(ssize_t i) {
    libusb_device* device = devices[i];
    devices[i] = nullptr;
    return device;
  }
};

// The temporary handle through which a camera's strings are read.
struct temporaryhandle {
  libusb_device_handle* handle = nullptr;
  ~temporaryhandle() {
    if (handle) libusb_close(handle);
  }
};

// Records made by an enumeration that has not finished: unless the list takes
// them over, their references are dropped.
struct pendingrecords {
  std::vector<cx_device_info> records;
  ~pendingrecords() {
    for (cx_device_info& record : records)
      if (record.device) libusb_unref_device(record.device);
  }
};

}  // namespace

cx_libusb::cx_libusb() {
  // A failed init leaves no context; enumeration then finds no devices.
  if (libusb_init(&context) != 0) context = nullptr;
}

cx_libusb::~cx_libusb() {
  if (context) libusb_exit(context);
}

void cx_libusb::releaserecords(cx_device_list& list) {
  for (cx_device_info& record : list.devices) {
    if (record.device) unref_device(record.device);
  }
  std::vector<cx_device_info>().swap(list.devices);
  list.count = 0;
  list.currentindex = -1;
  list.handle = nullptr;
}

int cx_libusb::enumdevices(cx_device_list& list, unsigned short vendorid, unsigned short productid,
                           bool matchall) {
  // The caller has closed the handle before; the old records' references go now.
  releaserecords(list);
  if (!context) return 0;

  // Every device either gets a record, which keeps its reference, or has its
  // reference dropped, on every way out of this function, exceptions included.
  devicearray array;
  array.count = libusb_get_device_list(context, &array.devices);
  if (array.count < 1) {
    array.count = 0;  // libusb allocates the array also when it finds no device
    return 0;
  }

  pendingrecords found;
  for (ssize_t i = 0; i < array.count; ++i) {
    libusb_device* device = array.devices[i];
    libusb_device_descriptor descriptor;
    bool taken = libusb_get_device_descriptor(device, &descriptor) == 0 &&
                 (matchall || (descriptor.idVendor == vendorid && descriptor.idProduct == productid));
    temporaryhandle temporary;
    if (!taken || libusb_open(device, &temporary.handle) != 0) {
      unref_device(array.take(i));
      continue;
    }
    cx_device_info record;
    record.index = static_cast<unsigned char>(found.records.size());
    record.device = device;
    record.vendorid = descriptor.idVendor;
    record.productid = descriptor.idProduct;
    record.productversion = descriptor.bcdDevice;
    record.vendorname = readstring(temporary.handle, descriptor.iManufacturer);
    record.productname = readstring(temporary.handle, descriptor.iProduct);
    record.serialnumber = readstring(temporary.handle, descriptor.iSerialNumber);
    found.records.push_back(record);
    array.take(i);  // the record holds the reference now
  }

  list.devices.swap(found.records);
  list.count = static_cast<int>(list.devices.size());
  return list.count;
}

int cx_libusb::open(cx_device_list& list, int index) {
  if (list.count == 0) return CX_ERR_NO_DEVICES_ATTACHED;
  if (index < 0 || index >= list.count) return CX_ERR_DEVICE_INDEX_OUT_OF_RANGE;

  libusb_device_handle* handle = nullptr;
  int r = libusb_open(list.devices[static_cast<size_t>(index)].device, &handle);
  if (r != 0) return r;
  r = libusb_claim_interface(handle, cx_protocol::interfacenumber);
  if (r != 0) {
    libusb_close(handle);
    list.currentindex = -1;
    list.handle = nullptr;
    return r;
  }
  list.handle = handle;
  list.currentindex = index;
  return 0;
}

int cx_libusb::close(cx_device_list& list) {
  if (!list.handle) return 0;
  int r = libusb_release_interface(list.handle, cx_protocol::interfacenumber);
  libusb_close(list.handle);
  list.currentindex = -1;
  list.handle = nullptr;
  return r;
}

void cx_libusb::unref_device(libusb_device* device) { libusb_unref_device(device); }

QString cx_libusb::getstringdescriptor(libusb_device_handle* handle, unsigned char index) {
  return readstring(handle, index);
}
