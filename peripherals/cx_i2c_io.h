// SPDX-License-Identifier: MIT
#ifndef CX_I2C_IO_H
#define CX_I2C_IO_H

class cx_libusb_io;

// Transfers on the board's I2C bus and to its I2C flash. Every data transfer
// is two requests: the data stage, then the one-byte bus status (8 = OK).
class cx_i2c_io {
 public:
  explicit cx_i2c_io(cx_libusb_io* libusb_io);

  int readi2c(unsigned char address, void* data, unsigned short& length, unsigned char& status,
              unsigned int timeout);
  int writei2c(unsigned char address, void* data, unsigned short length, unsigned char& status,
               unsigned int timeout);
  int readi2cflash(unsigned char address, void* data, unsigned short& length, unsigned char& status,
                   unsigned int timeout);
  int writei2cflash(unsigned char address, void* data, unsigned short length, unsigned char& status,
                    unsigned int timeout);
  int seti2cfreq(unsigned char frequency, unsigned int timeout);
  int geti2cfreq(unsigned char& frequency, unsigned int timeout);
  int geti2cstat(unsigned char& status, unsigned int timeout);
  const char* geti2cstring(unsigned char status);

 private:
  int readtransfer(unsigned char request, unsigned char address, void* data, unsigned short& length,
                   unsigned char& status, unsigned int timeout);
  int writetransfer(unsigned char request, unsigned char address, void* data, unsigned short length,
                    unsigned char& status, unsigned int timeout);

  cx_libusb_io* libusb_io;
};

#endif
