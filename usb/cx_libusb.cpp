#include "usb/cx_libusb.h"

#include "vantorpi.h"

namespace {

// Reads one ASCII string descriptor; empty when absent or unreadable.
QString readstring(libusb_device_handle* handle, uint8_t index) {
  unsigned char text[256];
  int n = libusb_get_string_descriptor_ascii(handle, index, text, sizeof text);
  if (n < 1) return QString();
  if (n > static_cast<int>(sizeof text) - 1) n = sizeof text - 1;
  return QString::fromLatin1(reinterpret_cast<const char*>(text), n);
}

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

  libusb_device** devices = nullptr;
  ssize_t n = libusb_get_device_list(context, &devices);
  if (n < 1) {
    // libusb allocates the array also when it finds no device.
    if (devices) libusb_free_device_list(devices, 0);
    return 0;
  }

  // Every device either gets a record, which keeps its reference, or has its
  // reference dropped here; the array itself is freed without touching refs.
  std::vector<cx_device_info> found;
  found.reserve(static_cast<size_t>(n));
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device* device = devices[i];
    libusb_device_descriptor descriptor;
    bool taken = libusb_get_device_descriptor(device, &descriptor) == 0 &&
                 (matchall || (descriptor.idVendor == vendorid && descriptor.idProduct == productid));
    libusb_device_handle* handle = nullptr;
    if (taken && libusb_open(device, &handle) == 0) {
      cx_device_info record;
      record.index = static_cast<unsigned char>(found.size());
      record.device = device;
      record.vendorid = descriptor.idVendor;
      record.productid = descriptor.idProduct;
      record.productversion = descriptor.bcdDevice;
      record.vendorname = readstring(handle, descriptor.iManufacturer);
      record.productname = readstring(handle, descriptor.iProduct);
      record.serialnumber = readstring(handle, descriptor.iSerialNumber);
      libusb_close(handle);
      found.push_back(record);
    } else {
      unref_device(device);
    }
  }
  libusb_free_device_list(devices, 0);

  list.devices.swap(found);
  list.count = static_cast<int>(list.devices.size());
  return list.count;
}

int cx_libusb::open(cx_device_list& list, int index) {
  if (list.count == 0) return CX_ERR_NO_DEVICES_ATTACHED;
  if (index < 0 || index >= list.count) return CX_ERR_DEVICE_INDEX_OUT_OF_RANGE;

  libusb_device_handle* handle = nullptr;
  int r = libusb_open(list.devices[static_cast<size_t>(index)].device, &handle);
  if (r != 0) return r;
  r = libusb_claim_interface(handle, 0);
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
  int r = libusb_release_interface(list.handle, 0);
  libusb_close(list.handle);
  list.currentindex = -1;
  list.handle = nullptr;
  return r;
}

void cx_libusb::unref_device(libusb_device* device) { libusb_unref_device(device); }

QString cx_libusb::getstringdescriptor(libusb_device_handle* handle, unsigned char index) {
  return readstring(handle, index);
}
