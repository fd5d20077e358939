// SPDX-License-Identifier: MIT
// The names of the library's own result codes, keyed by the constants of the
// public header: each name is its constant's own spelling, so the text that
// ls_geterrorstring returns cannot drift from the header. Every code of the
// header from -10001 down has exactly one entry here; -10150, the code of a
// second-processor error number 0, is named "SUCCESS".
#ifndef CX_RESULTCODES_H
#define CX_RESULTCODES_H

#include "vantorpi.h"

struct cx_resultcode {
  int code;
  const char* name;
};

#define CX_NAMED(constant) \
  { constant, #constant }

inline constexpr cx_resultcode cx_resultcodes[] = {
    CX_NAMED(CX_ERR_NO_DEVICES_ATTACHED),    CX_NAMED(CX_ERR_DEVICE_INDEX_OUT_OF_RANGE),
    CX_NAMED(CX_ERR_SERIAL_NUM_NOT_FOUND),   CX_NAMED(CX_ERR_USB_INVALID_HANDLE),
    CX_NAMED(CX_ERR_DEVICE_ACTIVE),          CX_NAMED(CX_ERR_CONTROL_TRANSFER),
    CX_NAMED(CX_ERR_I2C_INVALID_SIZE),       CX_NAMED(CX_ERR_I2C_TRANSFER),
    CX_NAMED(CX_ERR_SER_INVALID_SIZE),       CX_NAMED(CX_ERR_SER_READ_ZERO_LENGTH),
    CX_NAMED(CX_ERR_LENGTH_FLASH_FILE),      CX_NAMED(CX_ERR_OPEN_FLASH_FILE),
    CX_NAMED(CX_ERR_GET_INVALID_FORMAT),     CX_NAMED(CX_ERR_CPU2_REGISTER),
    {CX_ERR_CPU2_BASE, "SUCCESS"},           CX_NAMED(CX_ERR_CPU2_UNKNOWN_CMD),
    CX_NAMED(CX_ERR_CPU2_UNKNOWN_SET_CMD),   CX_NAMED(CX_ERR_CPU2_UNKNOWN_GET_CMD),
    CX_NAMED(CX_ERR_CPU2_SET_CMD_PARAM),     CX_NAMED(CX_ERR_CPU2_GET_CMD_PARAM),
    CX_NAMED(CX_ERR_CPU2_SET_CMD_VALUE),     CX_NAMED(CX_ERR_CPU2_FLASH_F0_CMD),
    CX_NAMED(CX_ERR_CPU2_FLASH_F1_CMD),      CX_NAMED(CX_ERR_CPU2_FLASH_F1_PARAM),
    CX_NAMED(CX_ERR_CPU2_FLASH_SIZE),        CX_NAMED(CX_ERR_CPU2_FLASH_F2_CMD),
    CX_NAMED(CX_ERR_CPU2_FLASH_WRITE),       CX_NAMED(CX_ERROR_SENSOR_TYPE),
    CX_NAMED(CX_ERROR_SENSOR_NOT_CONNECTED), CX_NAMED(CX_ERROR_SENSOR_EEP_INVALID),
    CX_NAMED(CX_ERR_POWER_SECURITY),
};

#undef CX_NAMED

// The dense range that the table covers; every other code there is unnamed.
constexpr int cx_firstnamedcode = CX_ERR_POWER_SECURITY;      // -10251
constexpr int cx_lastnamedcode = CX_ERR_NO_DEVICES_ATTACHED;  // -10001
constexpr char cx_unknowncodename[] = "CX_ERR_UNKNOWN";

#endif
