// SPDX-License-Identifier: MIT
// The library's 74 exports, in the order of the public header: the one list
// that the export test checks the built library against and from which the
// dlopen loader takes its members. Adding an export means adding it here.
#ifndef VANTORPI_TESTS_SUPPORT_EXPORTS_H
#define VANTORPI_TESTS_SUPPORT_EXPORTS_H

#include "vantorpi.h"

// clang-format off
#define VANTORPI_EXPORTS(X) \
  X(ls_libversion) \
  X(ls_initialize) \
  X(ls_enumdevices) \
  X(ls_devicecount) \
  X(ls_currentdeviceindex) \
  X(ls_getmcu1version) \
  X(ls_getvendorname) \
  X(ls_getproductname) \
  X(ls_getserialnumber) \
  X(ls_opendevicebyindex) \
  X(ls_opendevicebyserial) \
  X(ls_closedevice) \
  X(ls_geterrorstring) \
  X(ls_getpipe) \
  X(ls_waitforpipe) \
  X(ls_setpacketlength) \
  X(ls_getfps) \
  X(ls_ep6stat) \
  X(ls_resetfifo) \
  X(ls_dwp) \
  X(ls_cwp) \
  X(ls_psy) \
  X(ls_getpowerpins) \
  X(ls_getsensortype) \
  X(ls_getsensorconfigmask) \
  X(ls_getsensormuxmask) \
  X(ls_getsensordefaultparameter) \
  X(ls_getsensorname) \
  X(ls_getminmaxtime) \
  X(ls_readi2c) \
  X(ls_writei2c) \
  X(ls_seti2cfreq) \
  X(ls_geti2cfreq) \
  X(ls_geti2cstat) \
  X(ls_geti2cstring) \
  X(ls_writei2cflash) \
  X(ls_readi2cflash) \
  X(ls_savesettings) \
  X(ls_resetsettings) \
  X(ls_getadcconfig) \
  X(ls_getadcmux) \
  X(ls_getadcpga1) \
  X(ls_getadcpga2) \
  X(ls_getadcpga3) \
  X(ls_getadcoffset1) \
  X(ls_getadcoffset2) \
  X(ls_getadcoffset3) \
  X(ls_setadcconfig) \
  X(ls_setadcmux) \
  X(ls_setadcpga) \
  X(ls_setadc3xpga) \
  X(ls_setadcpga1) \
  X(ls_setadcpga2) \
  X(ls_setadcpga3) \
  X(ls_setadcoffset) \
  X(ls_setadc3xoffset) \
  X(ls_setadcoffset1) \
  X(ls_setadcoffset2) \
  X(ls_setadcoffset3) \
  X(ls_setmode) \
  X(ls_setstate) \
  X(ls_setinttime) \
  X(ls_getmcu2version) \
  X(ls_getmcu2sensortype) \
  X(ls_getmode) \
  X(ls_getstate) \
  X(ls_getinttime) \
  X(ls_getpacketlength) \
  X(ls_customfirmware) \
  X(ls_cpu2flashdata) \
  X(ls_cpu2flash_f0) \
  X(ls_cpu2flash_f1) \
  X(ls_cpu2flash_f2) \
  X(ls_cpu2flash_f2_lastbyte)
// clang-format on

namespace vtest {

// A pointer to every export, each member named after its export and typed by
// its declaration in vantorpi.h.
struct Exports {
#define VTEST_EXPORT_MEMBER(name) decltype(&::name) name = nullptr;
  VANTORPI_EXPORTS(VTEST_EXPORT_MEMBER)
#undef VTEST_EXPORT_MEMBER
};

// The exports of the library this program links.
inline Exports linkedexports() {
  Exports e;
#define VTEST_EXPORT_LINKED(name) e.name = &::name;
  VANTORPI_EXPORTS(VTEST_EXPORT_LINKED)
#undef VTEST_EXPORT_LINKED
  return e;
}

}  // namespace vtest

#endif
