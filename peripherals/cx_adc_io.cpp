#include "peripherals/cx_adc_io.h"

#include "peripherals/cx_sensortypes.h"
#include "usb/cx_libusb_io.h"
#include "vantorpi.h"

namespace {

const unsigned char requestregister = 0x40;
const unsigned char requestsave = 0x41;
const unsigned char requestreset = 0x42;
const unsigned char requestpga = 0x45;
const unsigned char requestoffset = 0x46;

// Register N is addressed as N x 0x1000 in wValue; data is 9 bits.
enum : unsigned short {
  configaddress = 0x0000,
  muxaddress = 0x1000,
  rpgaaddress = 0x2000,
  gpgaaddress = 0x3000,
  bpgaaddress = 0x4000,
  roffsetaddress = 0x5000,
  goffsetaddress = 0x6000,
  boffsetaddress = 0x7000,
};
const unsigned short addressmask = 0x7000;
const unsigned short datamask = 0x01FF;

}  // namespace

cx_adc_io::cx_adc_io(cx_libusb_io* io, cx_sensortypes* types) : libusb_io(io), sensortypes(types) {}

int cx_adc_io::writeadc(unsigned short address, unsigned short value, unsigned int timeout) {
  unsigned short length = 0;
  unsigned short wvalue = static_cast<unsigned short>((address & addressmask) | (value & datamask));
  return libusb_io->vendorwrite(requestregister, wvalue, 0, length, nullptr, timeout);
}

int cx_adc_io::readadc(unsigned short address, unsigned short& value, unsigned int timeout) {
  unsigned char reply[2] = {0, 0};
  unsigned short length = 2;
  int r = libusb_io->vendorread(requestregister, address, 0, length, reply, timeout);
  if (r == 0 && length != 2) r = CX_ERR_CONTROL_TRANSFER;
  value = r == 0 ? static_cast<unsigned short>(reply[0] | reply[1] << 8) : 0;
  return r;
}

int cx_adc_io::simplerequest(unsigned char request, unsigned int timeout) {
  unsigned short length = 0;
  return libusb_io->vendorwrite(request, 0, 0, length, nullptr, timeout);
}

int cx_adc_io::savesettings(unsigned int timeout) { return simplerequest(requestsave, timeout); }
int cx_adc_io::resetsettings(unsigned int timeout) { return simplerequest(requestreset, timeout); }

int cx_adc_io::getadcconfig(unsigned short& v, unsigned int t) { return readadc(configaddress, v, t); }
int cx_adc_io::getadcmux(unsigned short& v, unsigned int t) { return readadc(muxaddress, v, t); }
int cx_adc_io::getadcrpga(unsigned short& v, unsigned int t) { return readadc(rpgaaddress, v, t); }
int cx_adc_io::getadcgpga(unsigned short& v, unsigned int t) { return readadc(gpgaaddress, v, t); }
int cx_adc_io::getadcbpga(unsigned short& v, unsigned int t) { return readadc(bpgaaddress, v, t); }
int cx_adc_io::getadcroffset(unsigned short& v, unsigned int t) { return readadc(roffsetaddress, v, t); }
int cx_adc_io::getadcgoffset(unsigned short& v, unsigned int t) { return readadc(goffsetaddress, v, t); }
int cx_adc_io::getadcboffset(unsigned short& v, unsigned int t) { return readadc(boffsetaddress, v, t); }

int cx_adc_io::setadcrpga(unsigned short v, unsigned int t) { return writeadc(rpgaaddress, v, t); }
int cx_adc_io::setadcgpga(unsigned short v, unsigned int t) { return writeadc(gpgaaddress, v, t); }
int cx_adc_io::setadcbpga(unsigned short v, unsigned int t) { return writeadc(bpgaaddress, v, t); }
int cx_adc_io::setadcroffset(unsigned short v, unsigned int t) { return writeadc(roffsetaddress, v, t); }
int cx_adc_io::setadcgoffset(unsigned short v, unsigned int t) { return writeadc(goffsetaddress, v, t); }
int cx_adc_io::setadcboffset(unsigned short v, unsigned int t) { return writeadc(boffsetaddress, v, t); }

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
  return writeadc(address, static_cast<unsigned short>(((value & mask) | fixed) & datamask), timeout);
}

int cx_adc_io::setadcconfig(unsigned short v, unsigned int t) {
  return filteredwrite(configaddress, false, v, t);
}
int cx_adc_io::setadcmux(unsigned short v, unsigned int t) { return filteredwrite(muxaddress, true, v, t); }

int cx_adc_io::threechannel(unsigned char request, unsigned short r, unsigned short g, unsigned short b,
                            unsigned int timeout) {
  // Little-endian 16-bit values, sent whole: the board writes the registers.
  unsigned char data[6] = {
      static_cast<unsigned char>(r & 0xFF), static_cast<unsigned char>(r >> 8),
      static_cast<unsigned char>(g & 0xFF), static_cast<unsigned char>(g >> 8),
      static_cast<unsigned char>(b & 0xFF), static_cast<unsigned char>(b >> 8),
  };
  unsigned short length = sizeof data;
  int result = libusb_io->vendorwrite(request, 0, 0, length, data, timeout);
  if (result == 0 && length != sizeof data) result = CX_ERR_CONTROL_TRANSFER;
  return result;
}

int cx_adc_io::setadcpga(unsigned short r, unsigned short g, unsigned short b, unsigned int t) {
  return threechannel(requestpga, r, g, b, t);
}
int cx_adc_io::setadc3xpga(unsigned short v, unsigned int t) { return threechannel(requestpga, v, v, v, t); }
int cx_adc_io::setadcoffset(unsigned short r, unsigned short g, unsigned short b, unsigned int t) {
  return threechannel(requestoffset, r, g, b, t);
}
int cx_adc_io::setadc3xoffset(unsigned short v, unsigned int t) {
  return threechannel(requestoffset, v, v, v, t);
}
