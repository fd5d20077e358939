#include "peripherals/cx_i2c_io.h"

#include "usb/cx_libusb_io.h"
#include "vantorpi.h"

namespace {

const unsigned char requestdata = 0x10;
const unsigned char requeststatus = 0x11;
const unsigned char requestsetfreq = 0x12;
const unsigned char requestgetfreq = 0x13;
const unsigned char requestflash = 0xF0;
const unsigned short maxtransfer = 64;
const unsigned char statusunknown = 0xFF;

}  // namespace

cx_i2c_io::cx_i2c_io(cx_libusb_io* io) : libusb_io(io) {}

int cx_i2c_io::geti2cstat(unsigned char& status, unsigned int timeout) {
  unsigned char reply = 0;
  unsigned short length = 1;
  int r = libusb_io->vendorread(requeststatus, 0, 0, length, &reply, timeout);
  if (r == 0 && length != 1) r = CX_ERR_CONTROL_TRANSFER;
  status = r == 0 ? reply : statusunknown;
  return r;
}

int cx_i2c_io::readtransfer(unsigned char request, unsigned char address, void* data, unsigned short& length,
                            unsigned char& status, unsigned int timeout) {
  if (length == 0 || length > maxtransfer) return CX_ERR_I2C_INVALID_SIZE;
  int r = libusb_io->vendorread(request, address >> 1, 0, length, static_cast<unsigned char*>(data), timeout);
  if (r != 0) {
    length = 0;
    return r;
  }
  r = geti2cstat(status, timeout);
  if (r != 0) return r;
  if (status != LS_I2C_OK) {
    length = 0;
    return CX_ERR_I2C_TRANSFER;
  }
  return 0;
}

int cx_i2c_io::writetransfer(unsigned char request, unsigned char address, void* data, unsigned short length,
                             unsigned char& status, unsigned int timeout) {
  if (length == 0 || length > maxtransfer) return CX_ERR_I2C_INVALID_SIZE;
  unsigned short sent = length;
  int r = libusb_io->vendorwrite(request, address >> 1, 0, sent, static_cast<unsigned char*>(data), timeout);
  if (r != 0) return r;
  // A data stage that carried fewer bytes than asked is a failed write, as
  // everywhere else in the library, not a success.
  if (sent != length) return CX_ERR_CONTROL_TRANSFER;
  r = geti2cstat(status, timeout);
  if (r != 0) return r;
  return status == LS_I2C_OK ? 0 : CX_ERR_I2C_TRANSFER;
}

int cx_i2c_io::readi2c(unsigned char address, void* data, unsigned short& length, unsigned char& status,
                       unsigned int timeout) {
  return readtransfer(requestdata, address, data, length, status, timeout);
}

int cx_i2c_io::writei2c(unsigned char address, void* data, unsigned short length, unsigned char& status,
                        unsigned int timeout) {
  return writetransfer(requestdata, address, data, length, status, timeout);
}

int cx_i2c_io::readi2cflash(unsigned char address, void* data, unsigned short& length, unsigned char& status,
                            unsigned int timeout) {
  return readtransfer(requestflash, address, data, length, status, timeout);
}

int cx_i2c_io::writei2cflash(unsigned char address, void* data, unsigned short length, unsigned char& status,
                             unsigned int timeout) {
  return writetransfer(requestflash, address, data, length, status, timeout);
}

int cx_i2c_io::seti2cfreq(unsigned char frequency, unsigned int timeout) {
  unsigned short length = 0;
  return libusb_io->vendorwrite(requestsetfreq, frequency & 1, 0, length, nullptr, timeout);
}

int cx_i2c_io::geti2cfreq(unsigned char& frequency, unsigned int timeout) {
  unsigned char reply = 0;
  unsigned short length = 1;
  int r = libusb_io->vendorread(requestgetfreq, 0, 0, length, &reply, timeout);
  if (r == 0 && length != 1) r = CX_ERR_CONTROL_TRANSFER;
  frequency = r == 0 ? (reply & 1) : 0;
  return r;
}

const char* cx_i2c_io::geti2cstring(unsigned char status) {
  static const char* const names[] = {"I2C_IDLE",    "I2C_SENDING", "I2C_RECEIVING", "I2C_PRIME",
                                      "I2C_UNKNOWN", "I2C_STOP",    "I2C_BERROR",    "I2C_NACK",
                                      "I2C_OK",      "I2C_WAITSTOP"};
  return status < sizeof names / sizeof names[0] ? names[status] : "I2C_UNKNOWN";
}
