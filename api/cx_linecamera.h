// SPDX-License-Identifier: MIT
#ifndef CX_LINECAMERA_H
#define CX_LINECAMERA_H

#include <QString>
#include <memory>

class cx_libusb_io;
class cx_sensortypes;
class cx_i2c_io;
class cx_adc_io;
class cx_serial_io;
class cx_xmos_io;

// The facade: owns the six components. They are members in construction
// order, so they are released in the reverse order by construction, and every
// non-owning pointer a component holds outlives it. Each method forwards its
// arguments unchanged to one component method.
class cx_linecamera {
 public:
  cx_linecamera();
  ~cx_linecamera();
  cx_linecamera(const cx_linecamera&) = delete;
  cx_linecamera& operator=(const cx_linecamera&) = delete;

  // Device session.
  void initialize(int fifosize, int packetlength);
  int enumdevices();
  int getproductversion(int index);
  const char* getvendorname(int index);
  const char* getproductname(int index);
  const char* getserialnumber(int index);
  int getdevicecount();
  int getcurrentdeviceindex();
  int closedevice();
  int opendevicebyindex(int index);
  int opendevicebyserial(QString serial);
  int getpipe(void* buffer, int length);
  void waitforpipe(unsigned int timeout);
  int setpacketlength(int length);
  int getfps();
  int ep6stat(unsigned char& status, unsigned int timeout);
  int resetfifo(unsigned int timeout);
  int datawriteprotect(unsigned char state, unsigned int code, unsigned int timeout);
  int codewriteprotect(unsigned char state, unsigned int code, unsigned int timeout);
  int powersupply(unsigned char state, unsigned int code, unsigned int timeout);
  int getpowerpins(unsigned char& pins, unsigned int timeout);
  int getsensortype(unsigned short& type, unsigned short& second, unsigned int timeout);
  const char* geterrorstring(int code);

  // Sensor catalogue.
  int get_sensor_configmask(unsigned short type, unsigned short& mask, unsigned short& fixed);
  int get_sensor_muxmask(unsigned short type, unsigned short& mask, unsigned short& fixed);
  int get_sensor_default_parameter(unsigned short type, unsigned short& p1, unsigned short& p2,
                                   unsigned short& p3, unsigned short& p4, unsigned short& p5,
                                   unsigned short& p6, unsigned short& p7, unsigned short& p8);
  const char* get_sensor_name(unsigned short type);
  int get_minmax_time(unsigned short type, unsigned int& mintime, unsigned int& maxtime);

  // I2C bridge.
  int readi2c(unsigned char address, void* data, unsigned short& length, unsigned char& status,
              unsigned int timeout);
  int writei2c(unsigned char address, void* data, unsigned short length, unsigned char& status,
               unsigned int timeout);
  int seti2cfreq(unsigned char frequency, unsigned int timeout);
  int geti2cfreq(unsigned char& frequency, unsigned int timeout);
  int geti2cstat(unsigned char& status, unsigned int timeout);
  const char* geti2cstring(unsigned char status);
  int writei2cflash(unsigned char address, void* data, unsigned short length, unsigned char& status,
                    unsigned int timeout);
  int readi2cflash(unsigned char address, void* data, unsigned short& length, unsigned char& status,
                   unsigned int timeout);

  // ADC.
  int writeadc(unsigned short address, unsigned short value, unsigned int timeout);
  int readadc(unsigned short address, unsigned short& value, unsigned int timeout);
  int savesettings(unsigned int timeout);
  int resetsettings(unsigned int timeout);
  int getadcconfig(unsigned short& value, unsigned int timeout);
  int getadcmux(unsigned short& value, unsigned int timeout);
  int getadcrpga(unsigned short& value, unsigned int timeout);
  int getadcgpga(unsigned short& value, unsigned int timeout);
  int getadcbpga(unsigned short& value, unsigned int timeout);
  int getadcroffset(unsigned short& value, unsigned int timeout);
  int getadcgoffset(unsigned short& value, unsigned int timeout);
  int getadcboffset(unsigned short& value, unsigned int timeout);
  int setadcconfig(unsigned short value, unsigned int timeout);
  int setadcmux(unsigned short value, unsigned int timeout);
  int setadcpga(unsigned short r, unsigned short g, unsigned short b, unsigned int timeout);
  int setadc3xpga(unsigned short value, unsigned int timeout);
  int setadcrpga(unsigned short value, unsigned int timeout);
  int setadcgpga(unsigned short value, unsigned int timeout);
  int setadcbpga(unsigned short value, unsigned int timeout);
  int setadcoffset(unsigned short r, unsigned short g, unsigned short b, unsigned int timeout);
  int setadc3xoffset(unsigned short value, unsigned int timeout);
  int setadcroffset(unsigned short value, unsigned int timeout);
  int setadcgoffset(unsigned short value, unsigned int timeout);
  int setadcboffset(unsigned short value, unsigned int timeout);

  // Serial channel.
  int readserial(unsigned char selector, void* data, unsigned short& length, unsigned int timeout);
  int readserialstr(unsigned char selector, QString& text, unsigned int timeout);
  int writeserial(void* data, unsigned short length, unsigned int timeout);
  int writeserialstr(QString text, unsigned int timeout);

  // Second processor.
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

 private:
  std::unique_ptr<cx_libusb_io> libusb_io;
  std::unique_ptr<cx_sensortypes> sensortypes;
  std::unique_ptr<cx_i2c_io> i2c_io;
  std::unique_ptr<cx_adc_io> adc_io;
  std::unique_ptr<cx_serial_io> serial_io;
  std::unique_ptr<cx_xmos_io> xmos_io;
};

#endif
