// SPDX-License-Identifier: MIT
#include "cpu2/cx_serial_io.h"

#include <QByteArray>

#include "usb/cx_libusb_io.h"
#include "usb/cx_protocol.h"
#include "vantorpi.h"

namespace {
using cx_protocol::serialmaxtransfer;
}  // namespace

cx_serial_io::cx_serial_io(cx_libusb_io* io) : libusb_io(io) {}

unsigned int cx_serial_io::readtimeout(unsigned int timeout) {
  using cx_protocol::serialmaxreadms;
  using cx_protocol::serialminreadms;
  return timeout < serialminreadms ? serialminreadms
                                   : (timeout > serialmaxreadms ? serialmaxreadms : timeout);
}

unsigned short cx_serial_io::readvalue(unsigned char selector, unsigned int timeout) {
  // The device may wait 200 ms less than the host, in whole 100 ms: 8..253.
  using namespace cx_protocol;
  unsigned int wait = (readtimeout(timeout) - serialwaitmarginms) / serialwaitunitms;
  return static_cast<unsigned short>(wait << serialwaitshift | selector);
}

int cx_serial_io::readserial(unsigned char selector, void* data, unsigned short& length,
                             unsigned int timeout) {
  if (length == 0 || length > serialmaxtransfer) return CX_ERR_SER_INVALID_SIZE;
  return libusb_io->vendorread(cx_protocol::serial, readvalue(selector, timeout), 0, length,
                               static_cast<unsigned char*>(data), readtimeout(timeout));
}

int cx_serial_io::readserialstr(unsigned char selector, QString& text, unsigned int timeout) {
  char buffer[serialmaxtransfer + 1];
  unsigned short length = serialmaxtransfer;
  int r = libusb_io->vendorread(cx_protocol::serial, readvalue(selector, timeout), 0, length,
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
  if (length == 0 || length > serialmaxtransfer) return CX_ERR_SER_INVALID_SIZE;
  return libusb_io->vendorexact(cx_protocol::vendorout, cx_protocol::serial, 0, 0, length, data, timeout);
}

int cx_serial_io::writeserialstr(QString text, unsigned int timeout) {
  if (text.isEmpty() || text.length() > serialmaxtransfer) return CX_ERR_SER_INVALID_SIZE;
  QByteArray bytes = text.toLatin1();
  return writeserial(bytes.data(), static_cast<unsigned short>(bytes.size()), timeout);
}
