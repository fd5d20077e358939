// SPDX-License-Identifier: MIT
#include "peripherals/cx_i2c_io.h"

#include "usb/cx_libusb_io.h"
#include "usb/cx_protocol.h"
#include "vantorpi.h"

namespace {

using cx_protocol::i2cmaxtransfer;
using cx_protocol::vendorin;
using cx_protocol::vendorout;
const unsigned char statusunknown = 0xFF;

// wValue of a data transfer: the 7-bit address of the 8-bit form the caller passes.
unsigned short busaddress(unsigned char address) { return address >> 1; }

}  // namespace

cx_i2c_io::cx_i2c_io(cx_libusb_io* io) : libusb_io(io) {}

int cx_i2c_io::geti2cstat(unsigned char& status, unsigned int timeout) {
  unsigned char reply = 0;
  int r = libusb_io->vendorexact(vendorin, cx_protocol::i2cstatus, 0, 0, 1, &reply, timeout);
  status = r == 0 ? reply : statusunknown;
  return r;
}

int cx_i2c_io::readtransfer(unsigned char request, unsigned char address, void* data, unsigned short& length,
                            unsigned char& status, unsigned int timeout) {
  if (length == 0 || length > i2cmaxtransfer) return CX_ERR_I2C_INVALID_SIZE;
  int r = libusb_io->vendorread(request, busaddress(address), 0, length, static_cast<unsigned char*>(data),
                                timeout);
  if (r != 0) {
    length = 0;
    return r;
  }
  r = geti2cstat(status, timeout);
  if (r != 0) return r;
  if (status != cx_protocol::i2cok) {
    length = 0;
    return CX_ERR_I2C_TRANSFER;
  }
  return 0;
}

int cx_i2c_io::writetransfer(unsigned char request, unsigned char address, void* data, unsigned short length,
                             unsigned char& status, unsigned int timeout) {
  if (length == 0 || length > i2cmaxtransfer) return CX_ERR_I2C_INVALID_SIZE;
  // A data stage that carried fewer bytes than asked is a failed write, as
  // everywhere else in the library, not a success.
  int r = libusb_io->vendorexact(vendorout, request, busaddress(address), 0, length, data, timeout);
  if (r != 0) return r;
  r = geti2cstat(status, timeout);
  if (r != 0) return r;
  return status == cx_protocol::i2cok ? 0 : CX_ERR_I2C_TRANSFER;
}

int cx_i2c_io::readi2c(unsigned char address, void* data, unsigned short& length, unsigned char& status,
                       unsigned int timeout) {
  return readtransfer(cx_protocol::i2cdata, address, data, length, status, timeout);
}

int cx_i2c_io::writei2c(unsigned char address, void* data, unsigned short length, unsigned char& status,
                        unsigned int timeout) {
  return writetransfer(cx_protocol::i2cdata, address, data, length, status, timeout);
}

int cx_i2c_io::readi2cflash(unsigned char address, void* data, unsigned short& length, unsigned char& status,
                            unsigned int timeout) {
  return readtransfer(cx_protocol::i2cflash, address, data, length, status, timeout);
}

int cx_i2c_io::writei2cflash(unsigned char address, void* data, unsigned short length, unsigned char& status,
                             unsigned int timeout) {
  return writetransfer(cx_protocol::i2cflash, address, data, length, status, timeout);
}

int cx_i2c_io::seti2cfreq(unsigned char frequency, unsigned int timeout) {
  unsigned short length = 0;
  return libusb_io->vendorwrite(cx_protocol::i2csetfreq, frequency & 1, 0, length, nullptr, timeout);
}

int cx_i2c_io::geti2cfreq(unsigned char& frequency, unsigned int timeout) {
  unsigned char reply = 0;
  int r = libusb_io->vendorexact(vendorin, cx_protocol::i2cgetfreq, 0, 0, 1, &reply, timeout);
  frequency = r == 0 ? (reply & 1) : 0;
  return r;
}

const char* cx_i2c_io::geti2cstring(unsigned char status) {
  static const char* const names[] = {"I2C_IDLE",    "I2C_SENDING", "I2C_RECEIVING", "I2C_PRIME",
                                      "I2C_UNKNOWN", "I2C_STOP",    "I2C_BERROR",    "I2C_NACK",
                                      "I2C_OK",      "I2C_WAITSTOP"};
  return status < sizeof names / sizeof names[0] ? names[status] : "I2C_UNKNOWN";
}
