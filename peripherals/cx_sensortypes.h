// SPDX-License-Identifier: MIT
#ifndef CX_SENSORTYPES_H
#define CX_SENSORTYPES_H

// The built-in catalogue of the twelve line sensors, keyed by type code
// 0x1000 to 0x100B. Constant data: every operation may run on any thread.
class cx_sensortypes {
 public:
  struct row {
    const char* name;
    unsigned short configmask;
    unsigned short configfixed;
    unsigned short muxmask;
    unsigned short muxfixed;
    unsigned short parameter[8];
    unsigned int mintime;
    unsigned int maxtime;
  };
  static const int rowcount = 12;
  static const unsigned short firstcode = 0x1000;

  int get_sensor_configmask(unsigned short type, unsigned short& mask, unsigned short& fixed);
  int get_sensor_muxmask(unsigned short type, unsigned short& mask, unsigned short& fixed);
  int get_sensor_default_parameter(unsigned short type, unsigned short& p1, unsigned short& p2,
                                   unsigned short& p3, unsigned short& p4, unsigned short& p5,
                                   unsigned short& p6, unsigned short& p7, unsigned short& p8);
  const char* get_sensor_name(unsigned short type);
  int get_minmax_time(unsigned short type, unsigned int& mintime, unsigned int& maxtime);

 private:
  static const row* lookup(unsigned short type);
};

#endif
