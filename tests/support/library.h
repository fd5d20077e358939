// SPDX-License-Identifier: MIT
// The library loaded with dlopen instead of linked, for the programs that must
// act before its instance (and with it its libusb context) exists or must
// unload it: every export is resolved by the names of exports.h.
#ifndef VANTORPI_TESTS_SUPPORT_LIBRARY_H
#define VANTORPI_TESTS_SUPPORT_LIBRARY_H

#include <dlfcn.h>

#include <string>

#include "tests/support/exports.h"

namespace vtest {

struct LoadedLibrary : Exports {
  void* handle = nullptr;

  // Loads the library and resolves every export; false with the reason.
  bool load(const char* path, std::string& error, int flags = RTLD_NOW | RTLD_LOCAL) {
    handle = dlopen(path, flags);
    if (!handle) {
      error = dlerror();
      return false;
    }
#define VTEST_EXPORT_RESOLVE(name)                               \
  name = reinterpret_cast<decltype(name)>(dlsym(handle, #name)); \
  if (!name) {                                                   \
    error = std::string(path) + " does not export " #name;       \
    return false;                                                \
  }
    VANTORPI_EXPORTS(VTEST_EXPORT_RESOLVE)
#undef VTEST_EXPORT_RESOLVE
    return true;
  }

  // Unloads the library; the members are void from then on. 0, or dlclose's failure.
  int unload() {
    int r = dlclose(handle);
    static_cast<Exports&>(*this) = Exports();
    handle = nullptr;
    return r;
  }
};

}  // namespace vtest

#endif
