// SPDX-License-Identifier: MIT
// The built-in sensor catalogue, row by row, and its answers for codes it
// does not hold. No camera is needed for any of it.
#include <cstring>

#include "tests/support/fixtures.h"

using namespace vtest;

namespace {

struct Row {
  unsigned short code;
  const char* name;
  unsigned short configmask, configfixed, muxmask, muxfixed;
  unsigned short parameter[8];
  unsigned int mintime, maxtime;
};

// Every sensor the camera can carry, with the values the catalogue must hold:
// the published sensor table itself, which is what this test checks. It stands
// here and nowhere else; other tests ask the catalogue through the exports.
// clang-format off
const Row kCatalogue[] = {
    {0x1000, "ILX554B",   0x00D8, 0x0058, 0x00C0, 0x00C0, {0x00D8, 0x00C0, 0x001F, 0x0172, 0, 0, 0, 0}, 1053, 2100000000},
    {0x1001, "ILX553B",   0x00D8, 0x0058, 0x00C0, 0x00C0, {0x00D8, 0x00C0, 0x0012, 0, 0, 0, 0, 0},      1312, 1020000000},
    {0x1002, "ILX751B",   0x00D8, 0x0058, 0x00C0, 0x00C0, {0x00D8, 0x00C0, 0, 0, 0, 0, 0, 0},           3,    2100000000},
    {0x1003, "TSL201R",   0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           33,   100000},
    {0x1004, "TCD1304",   0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           10,   4260000000u},
    {0x1005, "TSL1402R",  0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           140,  100000},
    {0x1006, "S12443",    0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           20,   4260000000u},
    {0x1007, "S11108",    0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           27,   4260000000u},
    {0x1008, "S11639-01", 0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           27,   4260000000u},
    {0x1009, "S11638",    0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           27,   4260000000u},
    {0x100A, "S12706",    0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           27,   4260000000u},
    {0x100B, "S13496",    0x00C8, 0x0048, 0x00C0, 0x00C0, {0x00C8, 0x00C0, 0, 0, 0, 0, 0, 0},           27,   4260000000u},
};
// clang-format on

const unsigned short kUncatalogued[] = {0x0FFF, 0x100C, 0x0000, 0xFFFF, 0x2000, 0x0C00};

int defaults(unsigned short code, unsigned short (&p)[8]) {
  return ls_getsensordefaultparameter(code, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6], &p[7]);
}

// An empty bus and no camera open: the catalogue talks to no device.
class SensorCatalogue : public ::testing::Test {
 protected:
  void SetUp() override {
    simcam_reset();
    ASSERT_EQ(ls_enumdevices(), 0);
    simcam_log_clear();
  }
  void TearDown() override { EXPECT_TRUE(controllog().empty()); }
};

TEST_F(SensorCatalogue, EveryRowHoldsItsSensorsValues) {
  for (const Row& r : kCatalogue) {
    SCOPED_TRACE(r.name);
    EXPECT_STREQ(ls_getsensorname(r.code), r.name);
    unsigned short mask = 1, fixed = 1;
    EXPECT_EQ(ls_getsensorconfigmask(r.code, &mask, &fixed), 0);
    EXPECT_EQ(mask, r.configmask);
    EXPECT_EQ(fixed, r.configfixed);
    mask = fixed = 1;
    EXPECT_EQ(ls_getsensormuxmask(r.code, &mask, &fixed), 0);
    EXPECT_EQ(mask, r.muxmask);
    EXPECT_EQ(fixed, r.muxfixed);
    unsigned short p[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(defaults(r.code, p), 0);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], r.parameter[i]) << "parameter " << i + 1;
    unsigned int tmin = 1, tmax = 1;
    EXPECT_EQ(ls_getminmaxtime(r.code, &tmin, &tmax), 0);
    EXPECT_EQ(tmin, r.mintime);
    EXPECT_EQ(tmax, r.maxtime);
  }
}

TEST_F(SensorCatalogue, UncataloguedCodesFailByTheirOwnRules) {
  for (unsigned short code : kUncatalogued) {
    SCOPED_TRACE("code " + std::to_string(code));
    EXPECT_STREQ(ls_getsensorname(code), "-?-");
    unsigned short mask = 0x1234, fixed = 0x5678;
    EXPECT_EQ(ls_getsensorconfigmask(code, &mask, &fixed), CX_ERROR_SENSOR_TYPE);
    EXPECT_EQ(mask, 0x1234);
    EXPECT_EQ(fixed, 0x5678);
    EXPECT_EQ(ls_getsensormuxmask(code, &mask, &fixed), CX_ERROR_SENSOR_TYPE);
    EXPECT_EQ(mask, 0x1234);
    EXPECT_EQ(fixed, 0x5678);
    unsigned short p[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    EXPECT_EQ(defaults(code, p), CX_ERROR_SENSOR_TYPE);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], 0) << "parameter " << i + 1;
    unsigned int tmin = 9, tmax = 9;
    EXPECT_EQ(ls_getminmaxtime(code, &tmin, &tmax), CX_ERROR_SENSOR_TYPE);
    EXPECT_EQ(tmin, 0u);
    EXPECT_EQ(tmax, 0u);
  }
}

TEST_F(SensorCatalogue, NamePointersStayValid) {
  const char* names[12];
  for (int i = 0; i < 12; ++i) names[i] = ls_getsensorname(kCatalogue[i].code);
  const char* unknown = ls_getsensorname(0x0FFF);
  simcam_add_camera("VT0002");
  ASSERT_EQ(ls_enumdevices(), 1);
  ASSERT_EQ(ls_opendevicebyindex(0), 0);
  for (int i = 11; i >= 0; --i) EXPECT_EQ(ls_getsensorname(kCatalogue[i].code), names[i]);
  ASSERT_EQ(ls_closedevice(), 0);
  for (int i = 0; i < 12; ++i) EXPECT_STREQ(names[i], kCatalogue[i].name);
  EXPECT_STREQ(unknown, "-?-");
  simcam_log_clear();
}

// Every out-parameter is checked before anything is written.
TEST_F(SensorCatalogue, NullOutputIsRefusedAndNothingChanges) {
  for (unsigned short code : {static_cast<unsigned short>(0x1000), static_cast<unsigned short>(0x0FFF)}) {
    SCOPED_TRACE("code " + std::to_string(code));
    unsigned short a = 7;
    EXPECT_EQ(ls_getsensorconfigmask(code, nullptr, &a), LS_EINVAL);
    EXPECT_EQ(ls_getsensorconfigmask(code, &a, nullptr), LS_EINVAL);
    EXPECT_EQ(ls_getsensormuxmask(code, nullptr, &a), LS_EINVAL);
    EXPECT_EQ(ls_getsensormuxmask(code, &a, nullptr), LS_EINVAL);
    EXPECT_EQ(a, 7);
    for (int missing = 0; missing < 8; ++missing) {
      unsigned short p[8] = {7, 7, 7, 7, 7, 7, 7, 7};
      unsigned short* q[8];
      for (int i = 0; i < 8; ++i) q[i] = i == missing ? nullptr : &p[i];
      EXPECT_EQ(ls_getsensordefaultparameter(code, q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7]),
                LS_EINVAL);
      for (int i = 0; i < 8; ++i) EXPECT_EQ(p[i], 7) << "missing " << missing << " parameter " << i + 1;
    }
    unsigned int t = 7;
    EXPECT_EQ(ls_getminmaxtime(code, nullptr, &t), LS_EINVAL);
    EXPECT_EQ(ls_getminmaxtime(code, &t, nullptr), LS_EINVAL);
    EXPECT_EQ(t, 7u);
  }
}

}  // namespace
