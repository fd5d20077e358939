// SPDX-License-Identifier: MIT
// The exported C interface: each function hands its arguments to one method
// of the library instance. Two rules hold at this boundary for every export:
// a NULL out-parameter is refused with LS_EINVAL before anything is sent or
// changed, and no exception crosses it (an allocation failure becomes
// LS_ENOMEM, or "" for a function that returns text).
#include "vantorpi.h"

#include <QString>
#include <new>

#include "api/cx_linecamera.h"

namespace {

// Constructed when the library is loaded, destroyed when it is unloaded.
cx_linecamera linecamera;

const char emptytext[] = "";

template <typename F>
int guarded(F call) {
  try {
    return call();
  } catch (...) {
    // Allocation is the only thing inside the library that throws.
    return LS_ENOMEM;
  }
}

template <typename F>
const char* guardedtext(F call) {
  try {
    return call();
  } catch (...) {
    return emptytext;
  }
}

template <typename... P>
bool anynull(P*... pointers) {
  return ((pointers == nullptr) || ...);
}

// A get overwrites its output also when it fails; after an allocation
// failure the output holds 0 like after any other failure.
template <typename T, typename F>
int guardedget(T* out, F call) {
  if (anynull(out)) return LS_EINVAL;
  int r = guarded([&] { return call(*out); });
  if (r == LS_ENOMEM) *out = 0;
  return r;
}

}  // namespace

int ls_libversion(void) { return 0x0102; }

void ls_initialize(int fifosize, int packetlength) { linecamera.initialize(fifosize, packetlength); }

int ls_enumdevices(void) {
  // A count cannot carry an error code: an allocation failure finds nothing.
  try {
    return linecamera.enumdevices();
  } catch (...) {
    return 0;
  }
}

int ls_devicecount(void) { return linecamera.getdevicecount(); }
int ls_currentdeviceindex(void) { return linecamera.getcurrentdeviceindex(); }
int ls_getmcu1version(int index) { return linecamera.getproductversion(index); }

const char* ls_getvendorname(int index) {
  return guardedtext([&] { return linecamera.getvendorname(index); });
}
const char* ls_getproductname(int index) {
  return guardedtext([&] { return linecamera.getproductname(index); });
}
const char* ls_getserialnumber(int index) {
  return guardedtext([&] { return linecamera.getserialnumber(index); });
}

int ls_opendevicebyindex(int index) {
  return guarded([&] { return linecamera.opendevicebyindex(index); });
}

int ls_opendevicebyserial(const char* serial) {
  return guarded([&] {
    // An opening closes the open camera first, also when the argument's
    // conversion fails: no camera stays open behind a failed call.
    QString text;
    try {
      text = QString::fromLatin1(serial ? serial : "");
    } catch (...) {
      linecamera.closedevice();
      throw;
    }
    return linecamera.opendevicebyserial(text);
  });
}

int ls_closedevice(void) { return linecamera.closedevice(); }

const char* ls_geterrorstring(int code) { return linecamera.geterrorstring(code); }

// Stream.
int ls_getpipe(void* buffer, int length) { return linecamera.getpipe(buffer, length); }
void ls_waitforpipe(unsigned int timeout) { linecamera.waitforpipe(timeout); }
int ls_setpacketlength(int length) { return linecamera.setpacketlength(length); }
int ls_getfps(void) { return linecamera.getfps(); }

// Board control.
int ls_ep6stat(unsigned char* status, unsigned int timeout) {
  if (anynull(status)) return LS_EINVAL;
  return linecamera.ep6stat(*status, timeout);
}
int ls_resetfifo(unsigned int timeout) { return linecamera.resetfifo(timeout); }
int ls_dwp(unsigned char state, unsigned int code, unsigned int timeout) {
  return linecamera.datawriteprotect(state, code, timeout);
}
int ls_cwp(unsigned char state, unsigned int code, unsigned int timeout) {
  return linecamera.codewriteprotect(state, code, timeout);
}
int ls_psy(unsigned char state, unsigned int code, unsigned int timeout) {
  return linecamera.powersupply(state, code, timeout);
}
int ls_getpowerpins(unsigned char* pins, unsigned int timeout) {
  if (anynull(pins)) return LS_EINVAL;
  return linecamera.getpowerpins(*pins, timeout);
}
int ls_getsensortype(unsigned short* type, unsigned short* second, unsigned int timeout) {
  if (anynull(type, second)) return LS_EINVAL;
  return linecamera.getsensortype(*type, *second, timeout);
}

// Sensor catalogue.
int ls_getsensorconfigmask(unsigned short type, unsigned short* mask, unsigned short* fixed) {
  if (anynull(mask, fixed)) return LS_EINVAL;
  return linecamera.get_sensor_configmask(type, *mask, *fixed);
}
int ls_getsensormuxmask(unsigned short type, unsigned short* mask, unsigned short* fixed) {
  if (anynull(mask, fixed)) return LS_EINVAL;
  return linecamera.get_sensor_muxmask(type, *mask, *fixed);
}
int ls_getsensordefaultparameter(unsigned short type, unsigned short* p1, unsigned short* p2,
                                 unsigned short* p3, unsigned short* p4, unsigned short* p5,
                                 unsigned short* p6, unsigned short* p7, unsigned short* p8) {
  if (anynull(p1, p2, p3, p4, p5, p6, p7, p8)) return LS_EINVAL;
  return linecamera.get_sensor_default_parameter(type, *p1, *p2, *p3, *p4, *p5, *p6, *p7, *p8);
}
const char* ls_getsensorname(unsigned short type) { return linecamera.get_sensor_name(type); }
int ls_getminmaxtime(unsigned short type, unsigned int* mintime, unsigned int* maxtime) {
  if (anynull(mintime, maxtime)) return LS_EINVAL;
  return linecamera.get_minmax_time(type, *mintime, *maxtime);
}

// I2C.
int ls_readi2c(unsigned char address, void* data, unsigned short* length, unsigned char* status,
               unsigned int timeout) {
  if (anynull(length, status)) return LS_EINVAL;
  return linecamera.readi2c(address, data, *length, *status, timeout);
}
int ls_writei2c(unsigned char address, void* data, unsigned short length, unsigned char* status,
                unsigned int timeout) {
  if (anynull(status)) return LS_EINVAL;
  return linecamera.writei2c(address, data, length, *status, timeout);
}
int ls_seti2cfreq(unsigned char frequency, unsigned int timeout) {
  return linecamera.seti2cfreq(frequency, timeout);
}
int ls_geti2cfreq(unsigned char* frequency, unsigned int timeout) {
  if (anynull(frequency)) return LS_EINVAL;
  return linecamera.geti2cfreq(*frequency, timeout);
}
int ls_geti2cstat(unsigned char* status, unsigned int timeout) {
  if (anynull(status)) return LS_EINVAL;
  return linecamera.geti2cstat(*status, timeout);
}
const char* ls_geti2cstring(unsigned char status) { return linecamera.geti2cstring(status); }
int ls_writei2cflash(unsigned char address, void* data, unsigned short length, unsigned char* status,
                     unsigned int timeout) {
  if (anynull(status)) return LS_EINVAL;
  return linecamera.writei2cflash(address, data, length, *status, timeout);
}
int ls_readi2cflash(unsigned char address, void* data, unsigned short* length, unsigned char* status,
                    unsigned int timeout) {
  if (anynull(length, status)) return LS_EINVAL;
  return linecamera.readi2cflash(address, data, *length, *status, timeout);
}

// ADC.
int ls_savesettings(unsigned int timeout) { return linecamera.savesettings(timeout); }
int ls_resetsettings(unsigned int timeout) { return linecamera.resetsettings(timeout); }

#define LS_ADC_GETTER(exported, method)                       \
  int exported(unsigned short* value, unsigned int timeout) { \
    if (anynull(value)) return LS_EINVAL;                     \
    return linecamera.method(*value, timeout);                \
  }
LS_ADC_GETTER(ls_getadcconfig, getadcconfig)
LS_ADC_GETTER(ls_getadcmux, getadcmux)
LS_ADC_GETTER(ls_getadcpga1, getadcrpga)
LS_ADC_GETTER(ls_getadcpga2, getadcgpga)
LS_ADC_GETTER(ls_getadcpga3, getadcbpga)
LS_ADC_GETTER(ls_getadcoffset1, getadcroffset)
LS_ADC_GETTER(ls_getadcoffset2, getadcgoffset)
LS_ADC_GETTER(ls_getadcoffset3, getadcboffset)
#undef LS_ADC_GETTER

int ls_setadcconfig(unsigned short value, unsigned int timeout) {
  return linecamera.setadcconfig(value, timeout);
}
int ls_setadcmux(unsigned short value, unsigned int timeout) { return linecamera.setadcmux(value, timeout); }
int ls_setadcpga(unsigned short gain1, unsigned short gain2, unsigned short gain3, unsigned int timeout) {
  return linecamera.setadcpga(gain1, gain2, gain3, timeout);
}
int ls_setadc3xpga(unsigned short gain, unsigned int timeout) {
  return linecamera.setadc3xpga(gain, timeout);
}
int ls_setadcpga1(unsigned short gain, unsigned int timeout) { return linecamera.setadcrpga(gain, timeout); }
int ls_setadcpga2(unsigned short gain, unsigned int timeout) { return linecamera.setadcgpga(gain, timeout); }
int ls_setadcpga3(unsigned short gain, unsigned int timeout) { return linecamera.setadcbpga(gain, timeout); }
int ls_setadcoffset(unsigned short offset1, unsigned short offset2, unsigned short offset3,
                    unsigned int timeout) {
  return linecamera.setadcoffset(offset1, offset2, offset3, timeout);
}
int ls_setadc3xoffset(unsigned short offset, unsigned int timeout) {
  return linecamera.setadc3xoffset(offset, timeout);
}
int ls_setadcoffset1(unsigned short offset, unsigned int timeout) {
  return linecamera.setadcroffset(offset, timeout);
}
int ls_setadcoffset2(unsigned short offset, unsigned int timeout) {
  return linecamera.setadcgoffset(offset, timeout);
}
int ls_setadcoffset3(unsigned short offset, unsigned int timeout) {
  return linecamera.setadcboffset(offset, timeout);
}

// Second processor: texts are built and parsed here, so allocation can fail.
int ls_setmode(unsigned char mode, unsigned int timeout) {
  return guarded([&] { return linecamera.setmode(mode, timeout); });
}
int ls_setstate(unsigned char state, unsigned int timeout) {
  return guarded([&] { return linecamera.setstate(state, timeout); });
}
int ls_setinttime(unsigned int inttime, unsigned int timeout) {
  return guarded([&] { return linecamera.setinttime(inttime, timeout); });
}

int ls_getmcu2version(unsigned short* version, unsigned int timeout) {
  return guardedget(version, [&](unsigned short& v) { return linecamera.getxmosversion(v, timeout); });
}
int ls_getmcu2sensortype(unsigned short* type, unsigned int timeout) {
  return guardedget(type, [&](unsigned short& v) { return linecamera.getxmossensortype(v, timeout); });
}
int ls_getmode(unsigned char* mode, unsigned int timeout) {
  return guardedget(mode, [&](unsigned char& v) { return linecamera.getmode(v, timeout); });
}
int ls_getstate(unsigned char* state, unsigned int timeout) {
  return guardedget(state, [&](unsigned char& v) { return linecamera.getstate(v, timeout); });
}
int ls_getinttime(unsigned int* inttime, unsigned int timeout) {
  return guardedget(inttime, [&](unsigned int& v) { return linecamera.getinttime(v, timeout); });
}
int ls_getpacketlength(int* length, unsigned int timeout) {
  return guardedget(length, [&](int& v) { return linecamera.getpacketlength(v, timeout); });
}
int ls_customfirmware(unsigned int* value, unsigned int timeout) {
  return guardedget(value, [&](unsigned int& v) { return linecamera.iscustomfirmware(v, timeout); });
}

// Flash programming.
int ls_cpu2flashdata(unsigned short length, void* block, unsigned int timeout) {
  return linecamera.xmosflashdata(length, block, timeout);
}
int ls_cpu2flash_f0(unsigned int timeout) {
  return guarded([&] { return linecamera.xmosflash_f0(timeout); });
}
int ls_cpu2flash_f1(unsigned short parameter, unsigned int timeout) {
  return guarded([&] { return linecamera.xmosflash_f1(parameter, timeout); });
}
int ls_cpu2flash_f2(unsigned short* value, unsigned int timeout) {
  if (anynull(value)) return LS_EINVAL;
  return guarded([&] { return linecamera.xmosflash_f2(*value, timeout); });
}
int ls_cpu2flash_f2_lastbyte(unsigned char lastbyte, unsigned short* value, unsigned int timeout) {
  if (anynull(value)) return LS_EINVAL;
  return guarded([&] { return linecamera.xmosflash_f2_lastbyte(lastbyte, *value, timeout); });
}
