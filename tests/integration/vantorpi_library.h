#ifndef VANTORPI_LIBRARY_H
#define VANTORPI_LIBRARY_H

// The library under test, loaded with dlopen. Its instance, and with it its
// libusb context, is created when it loads, so the emulated bus must exist
// before load() is called. The members carry the exported names and types.

#include <dlfcn.h>

#include <string>

#include "vantorpi.h"

// clang-format off
#define VANTORPI_LIBRARY_FUNCTIONS(X) \
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
  X(ls_readi2c) \
  X(ls_writei2c) \
  X(ls_seti2cfreq) \
  X(ls_geti2cfreq) \
  X(ls_geti2cstat) \
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

struct VantorpiLibrary {
#define VANTORPI_DECLARE(name) decltype(&::name) name = nullptr;
  VANTORPI_LIBRARY_FUNCTIONS(VANTORPI_DECLARE)
#undef VANTORPI_DECLARE

  void* handle = nullptr;

  // Loads the library and resolves every member; false with a reason.
  bool load(const char* path, std::string& error) {
    handle = dlopen(path, RTLD_NOW | RTLD_GLOBAL);
    if (!handle) {
      error = dlerror();
      return false;
    }
#define VANTORPI_RESOLVE(name)                                   \
  name = reinterpret_cast<decltype(name)>(dlsym(handle, #name)); \
  if (!name) {                                                   \
    error = std::string(path) + " does not export " #name;       \
    return false;                                                \
  }
    VANTORPI_LIBRARY_FUNCTIONS(VANTORPI_RESOLVE)
#undef VANTORPI_RESOLVE
    return true;
  }
};

#endif
