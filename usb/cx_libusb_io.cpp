// SPDX-License-Identifier: MIT
#include "usb/cx_libusb_io.h"

#include <dlfcn.h>

#include <QtGlobal>
#include <cstring>
#include <new>

#include "api/cx_resultcodes.h"
#include "stream/cx_fifo.h"
#include "stream/cx_locker.h"
#include "stream/cx_pipethread.h"
#include "usb/cx_protocol.h"

namespace {

// The power-security code is assembled at run time from its two halves, read
// through a volatile array so that the compiler cannot fold them into one
// constant; high half first, so that not even the array's bytes spell the
// code as a 32-bit word. It does not stand in the binary as one searchable word.
volatile const unsigned short securityhalves[2] = {0x5A3C, 0xC3A5};
unsigned int securitycode() {
  return (static_cast<unsigned int>(securityhalves[0]) << 16) | securityhalves[1];
}

const int pipebackoffms = 100;

// Texts of the library's own codes, a dense table over the named range.
struct codetable {
  const char* text[cx_lastnamedcode - cx_firstnamedcode + 1];
  codetable() {
    for (const char*& t : text) t = cx_unknowncodename;
    for (const cx_resultcode& entry : cx_resultcodes) text[entry.code - cx_firstnamedcode] = entry.name;
  }
};

const char emptytext[] = "";

// After QThread::wait() returns, the finished pipe thread still runs a few
// instructions of Qt Core (the end of its start routine and its thread-exit
// handlers). An application that unloads this library right after closing
// would take Qt Core with it and leave that thread in unmapped code, so Qt
// Core is made resident before the first thread starts.
void keepqtcoreloaded() {
  static const bool pinned = [] {
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(&qVersion), &info) == 0 || !info.dli_fname) return false;
    return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
  }();
  (void)pinned;
}

}  // namespace

cx_libusb_io::cx_libusb_io() = default;

cx_libusb_io::~cx_libusb_io() {
  // The thread may still use the FIFO and the handle: end it first, exactly
  // as closedevice does, then close the handle and drop every reference.
  stopstreaming();
  close(devicelist);
  releaserecords(devicelist);
}

void cx_libusb_io::initialize(int size, int length) {
  fifosize = size > 1048576 ? size : 1048576;
  packetlength = length;
}

int cx_libusb_io::enumdevices() {
  closedevice();
  return cx_libusb::enumdevices(devicelist, VANTORPI_USB_VID, VANTORPI_USB_PID, false);
}

int cx_libusb_io::closedevice() {
  stopstreaming();
  return close(devicelist);
}

int cx_libusb_io::opendevicebyindex(int index) {
  closedevice();
  int r = open(devicelist, index);
  if (r != 0) return r;
  return startstreaming();
}

int cx_libusb_io::opendevicebyserial(QString serial) {
  closedevice();
  if (devicelist.count == 0) return CX_ERR_NO_DEVICES_ATTACHED;
  for (int i = 0; i < devicelist.count; ++i) {
    if (devicelist.devices[static_cast<size_t>(i)].serialnumber == serial) return opendevicebyindex(i);
  }
  return CX_ERR_SERIAL_NUM_NOT_FOUND;
}

int cx_libusb_io::startstreaming() {
  // An opening whose FIFO or thread cannot be had closes the device again,
  // so that no half-open session remains.
  try {
    if (!fifo) fifo = new cx_fifo(cx_pipethread::fifosizefor(fifosize, packetlength));
    if (!pipethread) {
      keepqtcoreloaded();
      pipethread = new cx_pipethread(fifo, devicelist.handle, packetlength, pipebackoffms);
      pipethread->start(QThread::InheritPriority);
      if (!pipethread->isRunning() && !pipethread->isFinished()) throw std::bad_alloc();
    }
  } catch (const std::bad_alloc&) {
    closedevice();
    return LS_ENOMEM;
  }
  return 0;
}

void cx_libusb_io::stopstreaming() {
  if (pipethread) {
    pipethread->stopthread();
    pipethread->wait();
    cx_syncacquire(pipethread);
    delete pipethread;
    pipethread = nullptr;
  }
  delete fifo;
  fifo = nullptr;
}

int cx_libusb_io::getdevicecount() { return devicelist.count; }

int cx_libusb_io::getcurrentdeviceindex() { return devicelist.currentindex; }

int cx_libusb_io::getproductversion(int index) {
  if (index < 0 || index >= devicelist.count) return 0;
  return devicelist.devices[static_cast<size_t>(index)].productversion;
}

const char* cx_libusb_io::recordtext(int index, QString cx_device_info::*field, QByteArray& buffer) {
  if (index < 0 || index >= devicelist.count) return emptytext;
  buffer = (devicelist.devices[static_cast<size_t>(index)].*field).toLocal8Bit();
  return buffer.constData();
}

const char* cx_libusb_io::getvendorname(int index) {
  return recordtext(index, &cx_device_info::vendorname, vendornamebuf);
}

const char* cx_libusb_io::getproductname(int index) {
  return recordtext(index, &cx_device_info::productname, productnamebuf);
}

const char* cx_libusb_io::getserialnumber(int index) {
  return recordtext(index, &cx_device_info::serialnumber, serialnumberbuf);
}

int cx_libusb_io::vendortransfer(unsigned char requesttype, unsigned char request, unsigned short value,
                                 unsigned short index, unsigned short& length, unsigned char* data,
                                 unsigned int timeout) {
  if (!devicelist.handle) return CX_ERR_USB_INVALID_HANDLE;
  if (!data) length = 0;
  int r =
      libusb_control_transfer(devicelist.handle, requesttype, request, value, index, data, length, timeout);
  if (r < 0) {
    length = 0;
    return r;
  }
  length = static_cast<unsigned short>(r);
  return 0;
}

int cx_libusb_io::vendorwrite(unsigned char request, unsigned short value, unsigned short index,
                              unsigned short& length, unsigned char* data, unsigned int timeout) {
  return vendortransfer(cx_protocol::vendorout, request, value, index, length, data, timeout);
}

int cx_libusb_io::vendorread(unsigned char request, unsigned short value, unsigned short index,
                             unsigned short& length, unsigned char* data, unsigned int timeout) {
  return vendortransfer(cx_protocol::vendorin, request, value, index, length, data, timeout);
}

int cx_libusb_io::vendorexact(unsigned char requesttype, unsigned char request, unsigned short value,
                              unsigned short index, unsigned short length, void* data, unsigned int timeout) {
  unsigned short moved = length;
  int r =
      vendortransfer(requesttype, request, value, index, moved, static_cast<unsigned char*>(data), timeout);
  if (r != 0) return r;
  return moved == length ? 0 : CX_ERR_CONTROL_TRANSFER;
}

int cx_libusb_io::ep6stat(unsigned char& status, unsigned int timeout) {
  return readboardbyte(cx_protocol::ep6status, status, timeout);
}

int cx_libusb_io::getpowerpins(unsigned char& pins, unsigned int timeout) {
  return readboardbyte(cx_protocol::powerpins, pins, timeout);
}

int cx_libusb_io::readboardbyte(unsigned char request, unsigned char& value, unsigned int timeout) {
  unsigned char reply = 0;
  int r = vendorexact(cx_protocol::vendorin, request, 0, 0, 1, &reply, timeout);
  value = r == 0 ? reply : 0;
  return r;
}

int cx_libusb_io::resetfifo(unsigned int timeout) {
  return vendorexact(cx_protocol::vendorout, cx_protocol::resetfifo, 0, 0, 0, nullptr, timeout);
}

int cx_libusb_io::guardedswitch(unsigned char request, unsigned char state, unsigned int code,
                                unsigned int timeout) {
  // The code is checked before anything else: a wrong one sends nothing.
  if (code != securitycode()) return CX_ERR_POWER_SECURITY;
  return vendorexact(cx_protocol::vendorout, request, state, 0, 0, nullptr, timeout);
}

int cx_libusb_io::codewriteprotect(unsigned char state, unsigned int code, unsigned int timeout) {
  return guardedswitch(cx_protocol::codewriteprot, state, code, timeout);
}

int cx_libusb_io::powersupply(unsigned char state, unsigned int code, unsigned int timeout) {
  return guardedswitch(cx_protocol::powersupply, state, code, timeout);
}

int cx_libusb_io::datawriteprotect(unsigned char state, unsigned int code, unsigned int timeout) {
  return guardedswitch(cx_protocol::datawriteprot, state, code, timeout);
}

int cx_libusb_io::getsensortype(unsigned short& type, unsigned short& second, unsigned int timeout) {
  using namespace cx_protocol;
  unsigned char record[sensorrecordlength] = {};
  int r = vendorexact(vendorin, sensorrecord, 0, 0, sensorrecordlength, record, timeout);
  if (r != 0) {
    type = 0;
    second = 0;
    return r;
  }
  // The words are handed out also when the record reports a problem.
  type = static_cast<unsigned short>(record[sensortypeoffset] | record[sensortypeoffset + 1] << 8);
  second = static_cast<unsigned short>(record[sensorsecondoffset] | record[sensorsecondoffset + 1] << 8);
  if (record[sensorpresenceoffset] != sensorpresent) return CX_ERROR_SENSOR_NOT_CONNECTED;
  if ((record[sensormarkeroffset] | record[sensormarkeroffset + 1] << 8) != sensormarker)
    return CX_ERROR_SENSOR_EEP_INVALID;
  return 0;
}

int cx_libusb_io::getpipe(void* buffer, int length) {
  if (!fifo) return 0;
  if (length < 1) return fifo->getcount();
  if (!buffer) return 0;
  return fifo->readbuf(buffer, static_cast<unsigned int>(length));
}

void cx_libusb_io::waitforpipe(unsigned int timeout) {
  if (fifo) fifo->waitforcondition(timeout);
}

int cx_libusb_io::setpacketlength(int length) {
  if (devicelist.currentindex >= 0) return CX_ERR_DEVICE_ACTIVE;
  packetlength = length;
  return 0;
}

int cx_libusb_io::getfps() { return pipethread ? pipethread->getfps() : 0; }

const char* cx_libusb_io::geterrorstring(int code) {
  static const codetable table;
  if (code == 0) return "SUCCESS";
  if (code >= 1) return strerror(code);
  if (code >= -9999) return libusb_strerror(code);
  if (code < cx_firstnamedcode || code > cx_lastnamedcode) return cx_unknowncodename;
  return table.text[code - cx_firstnamedcode];
}
