#include "cpu2/cx_serial_io.h"

#include <QByteArray>

#include "usb/cx_libusb_io.h"
#include "vantorpi.h"

namespace {
const unsigned char requestserial = 0x20;
const unsigned short maxtransfer = 64;
const unsigned int mintimeout = 1000;
const unsigned int maxtimeout = 25500;
}  // namespace

cx_serial_io::cx_serial_io(cx_libusb_io* io) : libusb_io(io) {}

unsigned int cx_serial_io::readtimeout(unsigned int timeout) {
  return timeout < mintimeout ? mintimeout : (timeout > maxtimeout ? maxtimeout : timeout);
}

unsigned short cx_serial_io::readvalue(unsigned char selector, unsigned int timeout) {
  // The device may wait 200 ms less than the host, in whole 100 ms: 8..253.
  unsigned int wait = readtimeout(timeout) / 100 - 2;
  return static_cast<unsigned short>(wait << 8 | selector);
}

int cx_serial_io::readserial(unsigned char selector, void* data, unsigned short& length,
                             unsigned int timeout) {
  if (length == 0 || length > maxtransfer) return CX_ERR_SER_INVALID_SIZE;
  return libusb_io->vendorread(requestserial, readvalue(selector, timeout), 0, length,
                               static_cast<unsigned char*>(data), readtimeout(timeout));
}

int cx_serial_io::readserialstr(unsigned char selector, QString& text, unsigned int timeout) {
  char buffer[maxtransfer + 1];
  unsigned short length = maxtransfer;
  int r = libusb_io->vendorread(requestserial, readvalue(selector, timeout), 0, length,
                                reinterpret_cast<unsigned char*>(buffer), readtimeout(timeout));
  if (r != 0) {
    text = QString();
    return r;
  }
  // The answer ends at its first zero byte, or after the bytes received.
  buffer[length] = 0;
  text = QString::fromUtf8(buffer);
  return 0;
}

int cx_serial_io::writeserial(void* data, unsigned short length, unsigned int timeout) {
  if (length == 0 || length > maxtransfer) return CX_ERR_SER_INVALID_SIZE;
  unsigned short sent = length;
  int r = libusb_io->vendorwrite(requestserial, 0, 0, sent, static_cast<unsigned char*>(data), timeout);
  if (r != 0) return r;
  return sent == length ? 0 : CX_ERR_CONTROL_TRANSFER;
}

int cx_serial_io::writeserialstr(QString text, unsigned int timeout) {
  if (text.isEmpty() || text.length() > maxtransfer) return CX_ERR_SER_INVALID_SIZE;
  QByteArray bytes = text.toLatin1();
  return writeserial(bytes.data(), static_cast<unsigned short>(bytes.size()), timeout);
}
