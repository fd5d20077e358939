// SPDX-License-Identifier: MIT
#include "api/cx_linecamera.h"

#include "cpu2/cx_serial_io.h"
#include "cpu2/cx_xmos_io.h"
#include "peripherals/cx_adc_io.h"
#include "peripherals/cx_i2c_io.h"
#include "peripherals/cx_sensortypes.h"
#include "usb/cx_libusb_io.h"

cx_linecamera::cx_linecamera()
    : libusb_io(new cx_libusb_io()),
      sensortypes(new cx_sensortypes()),
      i2c_io(new cx_i2c_io(libusb_io.get())),
      adc_io(new cx_adc_io(libusb_io.get(), sensortypes.get())),
      serial_io(new cx_serial_io(libusb_io.get())),
      xmos_io(new cx_xmos_io(libusb_io.get(), serial_io.get())) {}

cx_linecamera::~cx_linecamera() = default;

// Device session.
void cx_linecamera::initialize(int f, int p) { libusb_io->initialize(f, p); }
int cx_linecamera::enumdevices() { return libusb_io->enumdevices(); }
int cx_linecamera::getproductversion(int i) { return libusb_io->getproductversion(i); }
const char* cx_linecamera::getvendorname(int i) { return libusb_io->getvendorname(i); }
const char* cx_linecamera::getproductname(int i) { return libusb_io->getproductname(i); }
const char* cx_linecamera::getserialnumber(int i) { return libusb_io->getserialnumber(i); }
int cx_linecamera::getdevicecount() { return libusb_io->getdevicecount(); }
int cx_linecamera::getcurrentdeviceindex() { return libusb_io->getcurrentdeviceindex(); }
int cx_linecamera::closedevice() { return libusb_io->closedevice(); }
int cx_linecamera::opendevicebyindex(int i) { return libusb_io->opendevicebyindex(i); }
int cx_linecamera::opendevicebyserial(QString s) { return libusb_io->opendevicebyserial(s); }
int cx_linecamera::getpipe(void* b, int n) { return libusb_io->getpipe(b, n); }
void cx_linecamera::waitforpipe(unsigned int t) { libusb_io->waitforpipe(t); }
int cx_linecamera::setpacketlength(int n) { return libusb_io->setpacketlength(n); }
int cx_linecamera::getfps() { return libusb_io->getfps(); }
int cx_linecamera::ep6stat(unsigned char& s, unsigned int t) { return libusb_io->ep6stat(s, t); }
int cx_linecamera::resetfifo(unsigned int t) { return libusb_io->resetfifo(t); }
int cx_linecamera::datawriteprotect(unsigned char s, unsigned int c, unsigned int t) {
  return libusb_io->datawriteprotect(s, c, t);
}
int cx_linecamera::codewriteprotect(unsigned char s, unsigned int c, unsigned int t) {
  return libusb_io->codewriteprotect(s, c, t);
}
int cx_linecamera::powersupply(unsigned char s, unsigned int c, unsigned int t) {
  return libusb_io->powersupply(s, c, t);
}
int cx_linecamera::getpowerpins(unsigned char& p, unsigned int t) { return libusb_io->getpowerpins(p, t); }
int cx_linecamera::getsensortype(unsigned short& ty, unsigned short& s, unsigned int t) {
  return libusb_io->getsensortype(ty, s, t);
}
const char* cx_linecamera::geterrorstring(int c) { return libusb_io->geterrorstring(c); }

// Sensor catalogue.
int cx_linecamera::get_sensor_configmask(unsigned short ty, unsigned short& m, unsigned short& f) {
  return sensortypes->get_sensor_configmask(ty, m, f);
}
int cx_linecamera::get_sensor_muxmask(unsigned short ty, unsigned short& m, unsigned short& f) {
  return sensortypes->get_sensor_muxmask(ty, m, f);
}
int cx_linecamera::get_sensor_default_parameter(unsigned short ty, unsigned short& p1, unsigned short& p2,
                                                unsigned short& p3, unsigned short& p4, unsigned short& p5,
                                                unsigned short& p6, unsigned short& p7, unsigned short& p8) {
  return sensortypes->get_sensor_default_parameter(ty, p1, p2, p3, p4, p5, p6, p7, p8);
}
const char* cx_linecamera::get_sensor_name(unsigned short ty) { return sensortypes->get_sensor_name(ty); }
int cx_linecamera::get_minmax_time(unsigned short ty, unsigned int& mn, unsigned int& mx) {
  return sensortypes->get_minmax_time(ty, mn, mx);
}

// I2C bridge.
int cx_linecamera::readi2c(unsigned char a, void* d, unsigned short& n, unsigned char& s, unsigned int t) {
  return i2c_io->readi2c(a, d, n, s, t);
}
int cx_linecamera::writei2c(unsigned char a, void* d, unsigned short n, unsigned char& s, unsigned int t) {
  return i2c_io->writei2c(a, d, n, s, t);
}
int cx_linecamera::seti2cfreq(unsigned char f, unsigned int t) { return i2c_io->seti2cfreq(f, t); }
int cx_linecamera::geti2cfreq(unsigned char& f, unsigned int t) { return i2c_io->geti2cfreq(f, t); }
int cx_linecamera::geti2cstat(unsigned char& s, unsigned int t) { return i2c_io->geti2cstat(s, t); }
const char* cx_linecamera::geti2cstring(unsigned char s) { return i2c_io->geti2cstring(s); }
int cx_linecamera::writei2cflash(unsigned char a, void* d, unsigned short n, unsigned char& s,
                                 unsigned int t) {
  return i2c_io->writei2cflash(a, d, n, s, t);
}
int cx_linecamera::readi2cflash(unsigned char a, void* d, unsigned short& n, unsigned char& s,
                                unsigned int t) {
  return i2c_io->readi2cflash(a, d, n, s, t);
}

// ADC.
int cx_linecamera::writeadc(unsigned short a, unsigned short v, unsigned int t) {
  return adc_io->writeadc(a, v, t);
}
int cx_linecamera::readadc(unsigned short a, unsigned short& v, unsigned int t) {
  return adc_io->readadc(a, v, t);
}
int cx_linecamera::savesettings(unsigned int t) { return adc_io->savesettings(t); }
int cx_linecamera::resetsettings(unsigned int t) { return adc_io->resetsettings(t); }
int cx_linecamera::getadcconfig(unsigned short& v, unsigned int t) { return adc_io->getadcconfig(v, t); }
int cx_linecamera::getadcmux(unsigned short& v, unsigned int t) { return adc_io->getadcmux(v, t); }
int cx_linecamera::getadcrpga(unsigned short& v, unsigned int t) { return adc_io->getadcrpga(v, t); }
int cx_linecamera::getadcgpga(unsigned short& v, unsigned int t) { return adc_io->getadcgpga(v, t); }
int cx_linecamera::getadcbpga(unsigned short& v, unsigned int t) { return adc_io->getadcbpga(v, t); }
int cx_linecamera::getadcroffset(unsigned short& v, unsigned int t) { return adc_io->getadcroffset(v, t); }
int cx_linecamera::getadcgoffset(unsigned short& v, unsigned int t) { return adc_io->getadcgoffset(v, t); }
int cx_linecamera::getadcboffset(unsigned short& v, unsigned int t) { return adc_io->getadcboffset(v, t); }
int cx_linecamera::setadcconfig(unsigned short v, unsigned int t) { return adc_io->setadcconfig(v, t); }
int cx_linecamera::setadcmux(unsigned short v, unsigned int t) { return adc_io->setadcmux(v, t); }
int cx_linecamera::setadcpga(unsigned short r, unsigned short g, unsigned short b, unsigned int t) {
  return adc_io->setadcpga(r, g, b, t);
}
int cx_linecamera::setadc3xpga(unsigned short v, unsigned int t) { return adc_io->setadc3xpga(v, t); }
int cx_linecamera::setadcrpga(unsigned short v, unsigned int t) { return adc_io->setadcrpga(v, t); }
int cx_linecamera::setadcgpga(unsigned short v, unsigned int t) { return adc_io->setadcgpga(v, t); }
int cx_linecamera::setadcbpga(unsigned short v, unsigned int t) { return adc_io->setadcbpga(v, t); }
int cx_linecamera::setadcoffset(unsigned short r, unsigned short g, unsigned short b, unsigned int t) {
  return adc_io->setadcoffset(r, g, b, t);
}
int cx_linecamera::setadc3xoffset(unsigned short v, unsigned int t) { return adc_io->setadc3xoffset(v, t); }
int cx_linecamera::setadcroffset(unsigned short v, unsigned int t) { return adc_io->setadcroffset(v, t); }
int cx_linecamera::setadcgoffset(unsigned short v, unsigned int t) { return adc_io->setadcgoffset(v, t); }
int cx_linecamera::setadcboffset(unsigned short v, unsigned int t) { return adc_io->setadcboffset(v, t); }

// Serial channel.
int cx_linecamera::readserial(unsigned char s, void* d, unsigned short& n, unsigned int t) {
  return serial_io->readserial(s, d, n, t);
}
int cx_linecamera::readserialstr(unsigned char s, QString& text, unsigned int t) {
  return serial_io->readserialstr(s, text, t);
}
int cx_linecamera::writeserial(void* d, unsigned short n, unsigned int t) {
  return serial_io->writeserial(d, n, t);
}
int cx_linecamera::writeserialstr(QString text, unsigned int t) { return serial_io->writeserialstr(text, t); }

// Second processor.
int cx_linecamera::getxmos(unsigned char r, unsigned int& v, unsigned int t) {
  return xmos_io->getxmos(r, v, t);
}
int cx_linecamera::setxmos(unsigned char r, unsigned int v, unsigned int t) {
  return xmos_io->setxmos(r, v, t);
}
int cx_linecamera::setmode(unsigned char m, unsigned int t) { return xmos_io->setmode(m, t); }
int cx_linecamera::setstate(unsigned char s, unsigned int t) { return xmos_io->setstate(s, t); }
int cx_linecamera::setinttime(unsigned int v, unsigned int t) { return xmos_io->setinttime(v, t); }
int cx_linecamera::getxmosversion(unsigned short& v, unsigned int t) { return xmos_io->getxmosversion(v, t); }
int cx_linecamera::getxmossensortype(unsigned short& v, unsigned int t) {
  return xmos_io->getxmossensortype(v, t);
}
int cx_linecamera::getmode(unsigned char& m, unsigned int t) { return xmos_io->getmode(m, t); }
int cx_linecamera::getstate(unsigned char& s, unsigned int t) { return xmos_io->getstate(s, t); }
int cx_linecamera::getinttime(unsigned int& v, unsigned int t) { return xmos_io->getinttime(v, t); }
int cx_linecamera::getpacketlength(int& n, unsigned int t) { return xmos_io->getpacketlength(n, t); }
int cx_linecamera::iscustomfirmware(unsigned int& v, unsigned int t) {
  return xmos_io->iscustomfirmware(v, t);
}
int cx_linecamera::xmosflashdata(unsigned short n, void* b, unsigned int t) {
  return xmos_io->xmosflashdata(n, b, t);
}
int cx_linecamera::setgetxmosflash(unsigned char c, unsigned char a, unsigned short p, QString& reply,
                                   unsigned int t) {
  return xmos_io->setgetxmosflash(c, a, p, reply, t);
}
int cx_linecamera::xmosflash_f0(unsigned int t) { return xmos_io->xmosflash_f0(t); }
int cx_linecamera::xmosflash_f1(unsigned short p, unsigned int t) { return xmos_io->xmosflash_f1(p, t); }
int cx_linecamera::xmosflash_f2(unsigned short& v, unsigned int t) { return xmos_io->xmosflash_f2(v, t); }
int cx_linecamera::xmosflash_f2_lastbyte(unsigned char b, unsigned short& v, unsigned int t) {
  return xmos_io->xmosflash_f2_lastbyte(b, v, t);
}
