// SPDX-License-Identifier: MIT
#include "peripherals/cx_sensortypes.h"

#include "vantorpi.h"

namespace {

const cx_sensortypes::row catalogue[cx_sensortypes::rowcount] = {
    {"ILX554B",
     0x00D8,
     0x0058,
     0x00C0,
     0x00C0,
     {0x00D8, 0x00C0, 0x001F, 0x0172, 0, 0, 0, 0},
     1053,
     2100000000u},
    {"ILX553B", 0x00D8, 0x0058, 0x00C0, 0x00C0, {0x00D8, 0x00C0, 0x0012, 0, 0, 0, 0, 0}, 1312, 1020000000u},
    {"ILX751B", 0x00D8, 0x0058, 0x00C0, 0x00C0, {0x00D8, 0x00C0, 0, 0, 0, 0, 0, 0}, 3, 2100000000u},
    {"TSL201R", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 33, 100000u},
    {"TCD1304", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 10, 4260000000u},
    {"TSL1402R", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 140, 100000u},
    {"S12443", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 20, 4260000000u},
    {"S11108", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 27, 4260000000u},
    {"S11639-01", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 27, 4260000000u},
    {"S11638", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 27, 4260000000u},
    {"S12706", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 27, 4260000000u},
    {"S13496", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0}, 27, 4260000000u},
};

const char unknownname[] = "-?-";

}  // namespace

const cx_sensortypes::row* cx_sensortypes::lookup(unsigned short type) {
  // 16-bit arithmetic: codes below the first wrap to large indices.
  unsigned short index = static_cast<unsigned short>(type - firstcode);
  return index < rowcount ? &catalogue[index] : nullptr;
}

int cx_sensortypes::get_sensor_configmask(unsigned short type, unsigned short& mask, unsigned short& fixed) {
  const row* r = lookup(type);
  if (!r) return CX_ERROR_SENSOR_TYPE;
  mask = r->configmask;
  fixed = r->configfixed;
  return 0;
}

int cx_sensortypes::get_sensor_muxmask(unsigned short type, unsigned short& mask, unsigned short& fixed) {
  const row* r = lookup(type);
  if (!r) return CX_ERROR_SENSOR_TYPE;
  mask = r->muxmask;
  fixed = r->muxfixed;
  return 0;
}

int cx_sensortypes::get_sensor_default_parameter(unsigned short type, unsigned short& p1, unsigned short& p2,
                                                 unsigned short& p3, unsigned short& p4, unsigned short& p5,
                                                 unsigned short& p6, unsigned short& p7, unsigned short& p8) {
  unsigned short* out[8] = {&p1, &p2, &p3, &p4, &p5, &p6, &p7, &p8};
  for (unsigned short* p : out) *p = 0;
  const row* r = lookup(type);
  if (!r) return CX_ERROR_SENSOR_TYPE;
  // Only parameters 1 to 4 carry values; 5 to 8 stay 0.
  for (int i = 0; i < 4; ++i) *out[i] = r->parameter[i];
  return 0;
}

const char* cx_sensortypes::get_sensor_name(unsigned short type) {
  const row* r = lookup(type);
  return r ? r->name : unknownname;
}

int cx_sensortypes::get_minmax_time(unsigned short type, unsigned int& mintime, unsigned int& maxtime) {
  const row* r = lookup(type);
  if (!r) {
    mintime = 0;
    maxtime = 0;
    return CX_ERROR_SENSOR_TYPE;
  }
  mintime = r->mintime;
  maxtime = r->maxtime;
  return 0;
}
