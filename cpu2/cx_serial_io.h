// SPDX-License-Identifier: MIT
#ifndef CX_SERIAL_IO_H
#define CX_SERIAL_IO_H

#include <QString>

class cx_libusb_io;

// Host side of the serial channel to the second processor, relayed by the
// first processor in the serial request: 1 to 64 bytes per transfer each way, one
// control transfer per call, no framing or splitting.
class cx_serial_io {
 public:
  explicit cx_serial_io(cx_libusb_io* libusb_io);

  int readserial(unsigned char selector, void* data, unsigned short& length, unsigned int timeout);
  int readserialstr(unsigned char selector, QString& text, unsigned int timeout);
  int writeserial(void* data, unsigned short length, unsigned int timeout);
  int writeserialstr(QString text, unsigned int timeout);

  // USB time-out of a read: the caller's clamped to 1000..25500 ms.
  static unsigned int readtimeout(unsigned int timeout);
  // wValue of a read: wait byte (device time limit in 100 ms units) and selector.
  static unsigned short readvalue(unsigned char selector, unsigned int timeout);

 private:
  cx_libusb_io* libusb_io;
};

#endif
