// SPDX-License-Identifier: MIT
#include "peripherals/cx_adc_io.h"

#include "peripherals/cx_sensortypes.h"
#include "usb/cx_libusb_io.h"
#include "usb/cx_protocol.h"
#include "vantorpi.h"

namespace {
using namespace cx_protocol;
}  // namespace

cx_adc_io::cx_adc_io(cx_libusb_io* io, cx_sensortypes* types) : libusb_io(io), sensortypes(types) {}

int cx_adc_io::writeadc(unsigned short address, unsigned short value, unsigned int timeout) {
  unsigned short length = 0;
  unsigned short wvalue = static_cast<unsigned short>((address & adcaddressmask) | (value & adcdatamask));
  return libusb_io->vendorwrite(adcregister, wvalue, 0, length, nullptr, timeout);
}

int cx_adc_io::readadc(unsigned short address, unsigned short& value, unsigned int timeout) {
  unsigned char reply[adcreadlength] = {0, 0};
  int r = libusb_io->vendorexact(vendorin, adcregister, address, 0, adcreadlength, reply, timeout);
  value = r == 0 ? static_cast<unsigned short>(reply[0] | reply[1] << 8) : 0;
  return r;
}

int cx_adc_io::simplerequest(unsigned char request, unsigned int timeout) {
  unsigned short length = 0;
  return libusb_io->vendorwrite(request, 0, 0, length, nullptr, timeout);
}

int cx_adc_io::savesettings(unsigned int timeout) { return simplerequest(adcsave, timeout); }
int cx_adc_io::resetsettings(unsigned int timeout) { return simplerequest(adcreset, timeout); }

int cx_adc_io::getadcconfig(unsigned short& v, unsigned int t) { return readadc(adcconfig, v, t); }
int cx_adc_io::getadcmux(unsigned short& v, unsigned int t) { return readadc(adcmux, v, t); }
int cx_adc_io::getadcrpga(unsigned short& v, unsigned int t) { return readadc(adcrpga, v, t); }
int cx_adc_io::getadcgpga(unsigned short& v, unsigned int t) { return readadc(adcgpga, v, t); }
int cx_adc_io::getadcbpga(unsigned short& v, unsigned int t) { return readadc(adcbpga, v, t); }
int cx_adc_io::getadcroffset(unsigned short& v, unsigned int t) { return readadc(adcroffset, v, t); }
int cx_adc_io::getadcgoffset(unsigned short& v, unsigned int t) { return readadc(adcgoffset, v, t); }
int cx_adc_io::getadcboffset(unsigned short& v, unsigned int t) { return readadc(adcboffset, v, t); }

int cx_adc_io::setadcrpga(unsigned short v, unsigned int t) { return writeadc(adcrpga, v, t); }
int cx_adc_io::setadcgpga(unsigned short v, unsigned int t) { return writeadc(adcgpga, v, t); }
int cx_adc_io::setadcbpga(unsigned short v, unsigned int t) { return writeadc(adcbpga, v, t); }
int cx_adc_io::setadcroffset(unsigned short v, unsigned int t) { return writeadc(adcroffset, v, t); }
int cx_adc_io::setadcgoffset(unsigned short v, unsigned int t) { return writeadc(adcgoffset, v, t); }
int cx_adc_io::setadcboffset(unsigned short v, unsigned int t) { return writeadc(adcboffset, v, t); }

int cx_adc_io::filteredwrite(unsigned short address, bool mux, unsigned short value, unsigned int timeout) {
  // The fitted sensor decides which bits of these two registers may change.
  unsigned short type = 0;
  unsigned short second = 0;
  int r = libusb_io->getsensortype(type, second, timeout);
  if (r != 0) return r;
  unsigned short mask = 0;
  unsigned short fixed = 0;
  r = mux ? sensortypes->get_sensor_muxmask(type, mask, fixed)
          : sensortypes->get_sensor_configmask(type, mask, fixed);
  if (r != 0) return r;
  return writeadc(address, static_cast<unsigned short>(((value & mask) | fixed) & adcdatamask), timeout);
}

int cx_adc_io::setadcconfig(unsigned short v, unsigned int t) {
  return filteredwrite(adcconfig, false, v, t);
}
int cx_adc_io::setadcmux(unsigned short v, unsigned int t) { return filteredwrite(adcmux, true, v, t); }

int cx_adc_io::threechannel(unsigned char request, unsigned short r, unsigned short g, unsigned short b,
                            unsigned int timeout) {
  // Little-endian 16-bit values, sent whole: the board writes the registers.
  unsigned char data[adcthreelength] = {
      static_cast<unsigned char>(r & 0xFF), static_cast<unsigned char>(r >> 8),
      static_cast<unsigned char>(g & 0xFF), static_cast<unsigned char>(g >> 8),
      static_cast<unsigned char>(b & 0xFF), static_cast<unsigned char>(b >> 8),
  };
  return libusb_io->vendorexact(vendorout, request, 0, 0, sizeof data, data, timeout);
}

int cx_adc_io::setadcpga(unsigned short r, unsigned short g, unsigned short b, unsigned int t) {
  return threechannel(adcpga, r, g, b, t);
}
int cx_adc_io::setadc3xpga(unsigned short v, unsigned int t) { return threechannel(adcpga, v, v, v, t); }
int cx_adc_io::setadcoffset(unsigned short r, unsigned short g, unsigned short b, unsigned int t) {
  return threechannel(adcoffset, r, g, b, t);
}
int cx_adc_io::setadc3xoffset(unsigned short v, unsigned int t) {
  return threechannel(adcoffset, v, v, v, t);
}
