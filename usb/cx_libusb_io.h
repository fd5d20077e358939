// SPDX-License-Identifier: MIT
#ifndef CX_LIBUSB_IO_H
#define CX_LIBUSB_IO_H

#include <QByteArray>
#include <QString>

#include "usb/cx_libusb.h"

class cx_fifo;
class cx_pipethread;

// The device session: the one object through which every component reaches
// the camera. Owns the device list, the open handle, and while a camera is
// open its FIFO and pipe thread.
class cx_libusb_io : public cx_libusb {
 public:
  cx_libusb_io();
  ~cx_libusb_io();

  // Device management.
  void initialize(int fifosize, int packetlength);
  int enumdevices();
  int closedevice();
  int opendevicebyindex(int index);
  int opendevicebyserial(QString serial);
  int getdevicecount();
  int getcurrentdeviceindex();
  int getproductversion(int index);
  const char* getvendorname(int index);
  const char* getproductname(int index);
  const char* getserialnumber(int index);

  // Vendor control transfers on the open device.
  int vendorwrite(unsigned char request, unsigned short value, unsigned short index, unsigned short& length,
                  unsigned char* data, unsigned int timeout);
  int vendorread(unsigned char request, unsigned short value, unsigned short index, unsigned short& length,
                 unsigned char* data, unsigned int timeout);
  // A vendor request that must move exactly `length` bytes (requesttype is
  // cx_protocol::vendorin or vendorout): 0, the libusb code of a failed
  // transfer, CX_ERR_USB_INVALID_HANDLE with no device open, or
  // CX_ERR_CONTROL_TRANSFER when the device moved another count. Every
  // operation that needs a fixed count goes through here.
  int vendorexact(unsigned char requesttype, unsigned char request, unsigned short value,
                  unsigned short index, unsigned short length, void* data, unsigned int timeout);

  // Board control requests.
  int ep6stat(unsigned char& status, unsigned int timeout);
  int resetfifo(unsigned int timeout);
  int codewriteprotect(unsigned char state, unsigned int code, unsigned int timeout);
  int datawriteprotect(unsigned char state, unsigned int code, unsigned int timeout);
  int powersupply(unsigned char state, unsigned int code, unsigned int timeout);
  int getpowerpins(unsigned char& pins, unsigned int timeout);
  int getsensortype(unsigned short& type, unsigned short& second, unsigned int timeout);

  // Pipe access.
  int getpipe(void* buffer, int length);
  void waitforpipe(unsigned int timeout);
  int setpacketlength(int length);
  int getfps();

  const char* geterrorstring(int code);

 private:
  int startstreaming();
  void stopstreaming();
  int guardedswitch(unsigned char request, unsigned char state, unsigned int code, unsigned int timeout);
  int readboardbyte(unsigned char request, unsigned char& value, unsigned int timeout);
  int vendortransfer(unsigned char requesttype, unsigned char request, unsigned short value,
                     unsigned short index, unsigned short& length, unsigned char* data, unsigned int timeout);
  const char* recordtext(int index, QString cx_device_info::*field, QByteArray& buffer);

  cx_device_list devicelist;
  int fifosize = 4194304;
  int packetlength = 4096;
  cx_pipethread* pipethread = nullptr;
  cx_fifo* fifo = nullptr;
  // One buffer per identity-string function: a returned text stays valid
  // until the next call of the same function, also across enumerations.
  QByteArray vendornamebuf;
  QByteArray productnamebuf;
  QByteArray serialnumberbuf;
};

#endif
