// SPDX-License-Identifier: MIT
#ifndef CX_LIBUSB_H
#define CX_LIBUSB_H

#include <libusb.h>

#include <QString>
#include <vector>

// One listed camera. The record owns one reference to `device`, taken by the
// enumeration that made it; the session drops it when the record is discarded.
struct cx_device_info {
  unsigned char index = 0;
  libusb_device* device = nullptr;
  unsigned short vendorid = 0;
  unsigned short productid = 0;
  unsigned short productversion = 0;
  QString vendorname;
  QString productname;
  QString serialnumber;
};

// The cameras of the latest enumeration and the open one. `handle` is set
// exactly when `currentindex` is a valid position.
struct cx_device_list {
  int count = 0;
  int currentindex = -1;
  libusb_device_handle* handle = nullptr;
  std::vector<cx_device_info> devices;
};

// Thin layer over libusb: the library's private context, enumeration, and
// opening/closing a listed camera with interface 0 claimed.
class cx_libusb {
 public:
  cx_libusb();
  ~cx_libusb();
  cx_libusb(const cx_libusb&) = delete;
  cx_libusb& operator=(const cx_libusb&) = delete;

  int enumdevices(cx_device_list& list, unsigned short vendorid, unsigned short productid, bool matchall);
  int open(cx_device_list& list, int index);
  int close(cx_device_list& list);
  void unref_device(libusb_device* device);
  QString getstringdescriptor(libusb_device_handle* handle, unsigned char index);

 protected:
  // Drops the references of all records and empties the list (no handle may be open).
  void releaserecords(cx_device_list& list);

  libusb_context* context = nullptr;
};

#endif
