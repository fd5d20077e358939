// SPDX-License-Identifier: MIT
#ifndef CX_XMOS_IO_H
#define CX_XMOS_IO_H

#include <QString>

class cx_libusb_io;
class cx_serial_io;

// The second processor: its text register protocol over the serial channel,
// the named registers, and the flash programming commands (request cpu2flash).
class cx_xmos_io {
 public:
  cx_xmos_io(cx_libusb_io* libusb_io, cx_serial_io* serial_io);

  static QString copy2char(QString text, char open, char close);
  int getxmos(unsigned char reg, unsigned int& value, unsigned int timeout);
  int setxmos(unsigned char reg, unsigned int value, unsigned int timeout);

  int setmode(unsigned char mode, unsigned int timeout);
  int setstate(unsigned char state, unsigned int timeout);
  int setinttime(unsigned int inttime, unsigned int timeout);
  int getxmosversion(unsigned short& version, unsigned int timeout);
  int getxmossensortype(unsigned short& type, unsigned int timeout);
  int getmode(unsigned char& mode, unsigned int timeout);
  int getstate(unsigned char& state, unsigned int timeout);
  int getinttime(unsigned int& inttime, unsigned int timeout);
  int getpacketlength(int& length, unsigned int timeout);
  int iscustomfirmware(unsigned int& value, unsigned int timeout);

  int xmosflashdata(unsigned short length, void* block, unsigned int timeout);
  int setgetxmosflash(unsigned char command, unsigned char argument, unsigned short parameter, QString& reply,
                      unsigned int timeout);
  int xmosflash_f0(unsigned int timeout);
  int xmosflash_f1(unsigned short parameter, unsigned int timeout);
  int xmosflash_f2(unsigned short& value, unsigned int timeout);
  int xmosflash_f2_lastbyte(unsigned char lastbyte, unsigned short& value, unsigned int timeout);

  // Result code of second-processor error number n: -(10150 + n) in 32-bit
  // wrap-around arithmetic, defined for every n a device may send.
  static int cpu2error(int n);

 private:
  // Runs a flash command and parses its reply up to the reply number. True
  // for a flash reply, whose number is then in `number`; false when the
  // command ended with `result`: a transfer's code, an unparsable reply, or
  // the code of an error reply, which is 0 for error number -10150.
  bool flashcommand(unsigned char command, unsigned char argument, unsigned short parameter, int& number,
                    QString& reply, int& result, unsigned int timeout);
  static int flashvalue(const QString& reply, int& value);
  static int flashchecksum(const QString& reply, unsigned short& value);

  // Reads a register and hands out its value cut to the width of `out`;
  // `out` is overwritten also on failure (with 0).
  template <typename T>
  int getnarrow(unsigned char reg, T& out, unsigned int timeout) {
    unsigned int value = 0;
    int r = getxmos(reg, value, timeout);
    out = static_cast<T>(value);
    return r;
  }

  cx_libusb_io* libusb_io;
  cx_serial_io* serial_io;
};

#endif
