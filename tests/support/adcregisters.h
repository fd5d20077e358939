// SPDX-License-Identifier: MIT
// The ADC's eight registers with the exports that read and write them, in
// register order, for every tier: the linked library's exports
// (adcregisters(linkedexports())) or a loaded library's (adcregisters(lib)).
#ifndef VANTORPI_TESTS_SUPPORT_ADCREGISTERS_H
#define VANTORPI_TESTS_SUPPORT_ADCREGISTERS_H

#include <array>
#include <cstdint>

#include "usb/cx_protocol.h"

// X(name, address, filtered): ls_getadc<name> and ls_setadc<name> carry the
// register at `address`; a filtered write passes the fitted sensor's masks.
// clang-format off
#define VTEST_ADC_REGISTERS(X)                   \
  X(config, cx_protocol::adcconfig, true)        \
  X(mux, cx_protocol::adcmux, true)              \
  X(pga1, cx_protocol::adcrpga, false)           \
  X(pga2, cx_protocol::adcgpga, false)           \
  X(pga3, cx_protocol::adcbpga, false)           \
  X(offset1, cx_protocol::adcroffset, false)     \
  X(offset2, cx_protocol::adcgoffset, false)     \
  X(offset3, cx_protocol::adcboffset, false)
// clang-format on

namespace vtest {

struct AdcRegister {
  const char* name;
  uint16_t address;  // the register's wValue bits
  int number;        // 0..7
  int (*get)(unsigned short* value, unsigned int timeout);
  int (*set)(unsigned short value, unsigned int timeout);
  bool filtered;
};

template <class Exports>
std::array<AdcRegister, cx_protocol::adcregistercount> adcregisters(const Exports& e) {
#define VTEST_ADC_ROW(name, address, filtered)                                                            \
  AdcRegister{                                                                                            \
      #name,   address, (address) >> cx_protocol::adcregistershift, e.ls_getadc##name, e.ls_setadc##name, \
      filtered},
  return {{VTEST_ADC_REGISTERS(VTEST_ADC_ROW)}};
#undef VTEST_ADC_ROW
}

}  // namespace vtest

#endif
