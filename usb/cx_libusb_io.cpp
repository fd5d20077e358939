#include "usb/cx_libusb_io.h"

#include <dlfcn.h>

#include <QtGlobal>
#include <cstring>
#include <new>

#include "stream/cx_fifo.h"
#include "stream/cx_locker.h"
#include "stream/cx_pipethread.h"
#include "vantorpi.h"

namespace {

const unsigned char requestout = LIBUSB_ENDPOINT_OUT | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE;
const unsigned char requestin = LIBUSB_ENDPOINT_IN | LIBUSB_REQUEST_TYPE_VENDOR | LIBUSB_RECIPIENT_DEVICE;

// The power-security code is kept as two halves so that it does not stand
// in the binary as one searchable constant.
const unsigned short securityhigh = 0x5A3C;
const unsigned short securitylow = 0xC3A5;
unsigned int securitycode() { return (static_cast<unsigned int>(securityhigh) << 16) | securitylow; }

const int pipebackoffms = 100;
const int sensorrecordlength = 7;

// Texts of the library's own codes, a dense table over -10251 .. -10001.
const int firstcode = -10251;
const int lastcode = -10001;
struct codetext {
  int code;
  const char* text;
};
const codetext codetexts[] = {
    {-10001, "CX_ERR_NO_DEVICES_ATTACHED"},
    {-10002, "CX_ERR_DEVICE_INDEX_OUT_OF_RANGE"},
    {-10003, "CX_ERR_SERIAL_NUM_NOT_FOUND"},
    {-10004, "CX_ERR_USB_INVALID_HANDLE"},
    {-10005, "CX_ERR_DEVICE_ACTIVE"},
    {-10006, "CX_ERR_CONTROL_TRANSFER"},
    {-10051, "CX_ERR_I2C_INVALID_SIZE"},
    {-10052, "CX_ERR_I2C_TRANSFER"},
    {-10053, "CX_ERR_SER_INVALID_SIZE"},
    {-10054, "CX_ERR_SER_READ_ZERO_LENGTH"},
    {-10055, "CX_ERR_LENGTH_FLASH_FILE"},
    {-10056, "CX_ERR_OPEN_FLASH_FILE"},
    {-10057, "CX_ERR_GET_INVALID_FORMAT"},
    {-10058, "CX_ERR_CPU2_REGISTER"},
    {-10150, "SUCCESS"},
    {-10151, "CX_ERR_CPU2_UNKNOWN_CMD"},
    {-10152, "CX_ERR_CPU2_UNKNOWN_SET_CMD"},
    {-10153, "CX_ERR_CPU2_UNKNOWN_GET_CMD"},
    {-10154, "CX_ERR_CPU2_SET_CMD_PARAM"},
    {-10155, "CX_ERR_CPU2_GET_CMD_PARAM"},
    {-10156, "CX_ERR_CPU2_SET_CMD_VALUE"},
    {-10157, "CX_ERR_CPU2_FLASH_F0_CMD"},
    {-10158, "CX_ERR_CPU2_FLASH_F1_CMD"},
    {-10159, "CX_ERR_CPU2_FLASH_F1_PARAM"},
    {-10160, "CX_ERR_CPU2_FLASH_SIZE"},
    {-10161, "CX_ERR_CPU2_FLASH_F2_CMD"},
    {-10162, "CX_ERR_CPU2_FLASH_WRITE"},
    {-10201, "CX_ERROR_SENSOR_TYPE"},
    {-10202, "CX_ERROR_SENSOR_NOT_CONNECTED"},
    {-10203, "CX_ERROR_SENSOR_EEP_INVALID"},
    {-10251, "CX_ERR_POWER_SECURITY"},
};
const char unknowntext[] = "CX_ERR_UNKNOWN";

struct codetable {
  const char* text[lastcode - firstcode + 1];
  codetable() {
    for (const char*& t : text) t = unknowntext;
    for (const codetext& entry : codetexts) text[entry.code - firstcode] = entry.text;
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
  return vendortransfer(requestout, request, value, index, length, data, timeout);
}

int cx_libusb_io::vendorread(unsigned char request, unsigned short value, unsigned short index,
                             unsigned short& length, unsigned char* data, unsigned int timeout) {
  return vendortransfer(requestin, request, value, index, length, data, timeout);
}

int cx_libusb_io::ep6stat(unsigned char& status, unsigned int timeout) {
  return readboardbyte(0x51, status, timeout);
}

int cx_libusb_io::getpowerpins(unsigned char& pins, unsigned int timeout) {
  return readboardbyte(0x33, pins, timeout);
}

int cx_libusb_io::readboardbyte(unsigned char request, unsigned char& value, unsigned int timeout) {
  value = 0;
  if (!devicelist.handle) return CX_ERR_USB_INVALID_HANDLE;
  unsigned char reply = 0;
  int r = libusb_control_transfer(devicelist.handle, requestin, request, 0, 0, &reply, 1, timeout);
  if (r < 0) return r;
  if (r != 1) return CX_ERR_CONTROL_TRANSFER;
  value = reply;
  return 0;
}

int cx_libusb_io::resetfifo(unsigned int timeout) {
  if (!devicelist.handle) return CX_ERR_USB_INVALID_HANDLE;
  int r = libusb_control_transfer(devicelist.handle, requestout, 0x50, 0, 0, nullptr, 0, timeout);
  return r < 0 ? r : 0;
}

int cx_libusb_io::guardedswitch(unsigned char request, unsigned char state, unsigned int code,
                                unsigned int timeout) {
  // The code is checked before anything else: a wrong one sends nothing.
  if (code != securitycode()) return CX_ERR_POWER_SECURITY;
  if (!devicelist.handle) return CX_ERR_USB_INVALID_HANDLE;
  int r = libusb_control_transfer(devicelist.handle, requestout, request, state, 0, nullptr, 0, timeout);
  return r < 0 ? r : 0;
}

int cx_libusb_io::codewriteprotect(unsigned char state, unsigned int code, unsigned int timeout) {
  return guardedswitch(0x30, state, code, timeout);
}

int cx_libusb_io::powersupply(unsigned char state, unsigned int code, unsigned int timeout) {
  return guardedswitch(0x31, state, code, timeout);
}

int cx_libusb_io::datawriteprotect(unsigned char state, unsigned int code, unsigned int timeout) {
  return guardedswitch(0x32, state, code, timeout);
}

int cx_libusb_io::getsensortype(unsigned short& type, unsigned short& second, unsigned int timeout) {
  type = 0;
  second = 0;
  if (!devicelist.handle) return CX_ERR_USB_INVALID_HANDLE;
  unsigned char record[sensorrecordlength] = {};
  int r =
      libusb_control_transfer(devicelist.handle, requestin, 0x44, 0, 0, record, sensorrecordlength, timeout);
  if (r < 0) return r;
  if (r != sensorrecordlength) return CX_ERR_CONTROL_TRANSFER;
  // The words are handed out also when the record reports a problem.
  type = static_cast<unsigned short>(record[3] | record[4] << 8);
  second = static_cast<unsigned short>(record[5] | record[6] << 8);
  if (record[0] != 8) return CX_ERROR_SENSOR_NOT_CONNECTED;
  if ((record[1] | record[2] << 8) != 0xA5A5) return CX_ERROR_SENSOR_EEP_INVALID;
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
  if (code < firstcode || code > lastcode) return unknowntext;
  return table.text[code - firstcode];
}
