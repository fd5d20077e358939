// SPDX-License-Identifier: MIT
#ifndef CX_ADC_IO_H
#define CX_ADC_IO_H

class cx_libusb_io;
class cx_sensortypes;

// The board's three-channel ADC: eight 9-bit registers addressed as
// N x 0x1000 in wValue. Nothing is cached; every getter asks the board.
class cx_adc_io {
 public:
  cx_adc_io(cx_libusb_io* libusb_io, cx_sensortypes* sensortypes);

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
  int setadcrpga(unsigned short value, unsigned int timeout);
  int setadcgpga(unsigned short value, unsigned int timeout);
  int setadcbpga(unsigned short value, unsigned int timeout);
  int setadcroffset(unsigned short value, unsigned int timeout);
  int setadcgoffset(unsigned short value, unsigned int timeout);
  int setadcboffset(unsigned short value, unsigned int timeout);

  int setadcpga(unsigned short r, unsigned short g, unsigned short b, unsigned int timeout);
  int setadc3xpga(unsigned short value, unsigned int timeout);
  int setadcoffset(unsigned short r, unsigned short g, unsigned short b, unsigned int timeout);
  int setadc3xoffset(unsigned short value, unsigned int timeout);

 private:
  int filteredwrite(unsigned short address, bool mux, unsigned short value, unsigned int timeout);
  int threechannel(unsigned char request, unsigned short r, unsigned short g, unsigned short b,
                   unsigned int timeout);
  int simplerequest(unsigned char request, unsigned int timeout);

  cx_libusb_io* libusb_io;
  cx_sensortypes* sensortypes;
};

#endif
