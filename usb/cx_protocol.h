// SPDX-License-Identifier: MIT
// The camera board's wire protocol: every request code, wValue/wIndex field
// and reply layout that the host and the board exchange. The library, the
// simulator, the emulated board of the integration tests, the tests and the
// fuzzers all take their numbers from here, so that a number is written once.
// Internal: not installed, no dependencies.
#ifndef CX_PROTOCOL_H
#define CX_PROTOCOL_H

namespace cx_protocol {

// ---- USB identity and endpoints ----
constexpr int interfacenumber = 0;
constexpr unsigned char bulkendpoint = 0x86;  // endpoint 6 IN: the sensor stream
constexpr unsigned int bulktimeoutms = 1000;  // one bulk transfer of the pipe thread

// bmRequestType of every vendor request: vendor type, device recipient.
constexpr unsigned char vendorout = 0x40;  // host to device
constexpr unsigned char vendorin = 0xC0;   // device to host

// ---- Vendor requests (bRequest) ----
enum request : unsigned char {
  i2cdata = 0x10,        // OUT write / IN read on an I2C device, wValue = 7-bit address
  i2cstatus = 0x11,      // IN, 1 byte: bus status of the last transfer
  i2csetfreq = 0x12,     // OUT, wValue = frequency selector (bit 0)
  i2cgetfreq = 0x13,     // IN, 1 byte: frequency selector
  serial = 0x20,         // OUT bytes to / IN bytes from the second processor
  codewriteprot = 0x30,  // OUT, wValue = state byte
  powersupply = 0x31,    // OUT, wValue = state byte
  datawriteprot = 0x32,  // OUT, wValue = state byte
  powerpins = 0x33,      // IN, 1 byte
  adcregister = 0x40,    // OUT wValue = address | 9-bit value / IN 2 bytes, wValue = address
  adcsave = 0x41,        // OUT, no data
  adcreset = 0x42,       // OUT, no data
  sensorrecord = 0x44,   // IN, 7 bytes: the sensor record below
  adcpga = 0x45,         // OUT, 6 bytes: three 16-bit little-endian gains
  adcoffset = 0x46,      // OUT, 6 bytes: three 16-bit little-endian offsets
  resetfifo = 0x50,      // OUT, no data
  ep6status = 0x51,      // IN, 1 byte
  i2cflash = 0xF0,       // OUT write / IN read on the I2C flash, wValue = 7-bit address
  cpu2flash = 0xF1,      // OUT data block / IN flash command with its reply text
};

// ---- Sensor record (reply of sensorrecord, little-endian words) ----
constexpr int sensorrecordlength = 7;
constexpr int sensorpresenceoffset = 0;  // 1 byte
constexpr int sensormarkeroffset = 1;    // 2 bytes
constexpr int sensortypeoffset = 3;      // 2 bytes
constexpr int sensorsecondoffset = 5;    // 2 bytes
constexpr unsigned char sensorpresent = 8;
constexpr unsigned short sensormarker = 0xA5A5;

// ---- ADC registers: register N is addressed as N x 0x1000 in wValue ----
enum adcreg : unsigned short {
  adcconfig = 0x0000,
  adcmux = 0x1000,
  adcrpga = 0x2000,
  adcgpga = 0x3000,
  adcbpga = 0x4000,
  adcroffset = 0x5000,
  adcgoffset = 0x6000,
  adcboffset = 0x7000,
};
constexpr int adcregistercount = 8;
constexpr int adcregistershift = 12;
constexpr unsigned short adcaddressmask = 0x7000;
constexpr unsigned short adcdatamask = 0x01FF;
constexpr int adcreadlength = 2;
constexpr int adcthreelength = 6;

// ---- I2C bus ----
constexpr unsigned short i2cmaxtransfer = 64;
enum i2cstate : unsigned char {  // values of the status byte (request i2cstatus)
  i2cidle = 0,
  i2csending = 1,
  i2creceiving = 2,
  i2cprime = 3,
  i2cunknown = 4,
  i2cstop = 5,
  i2cbuserror = 6,
  i2cnack = 7,
  i2cok = 8,
  i2cwaitstop = 9,
};

// ---- Serial channel to the second processor (request serial) ----
// IN: wValue = wait byte << 8 | register selector. The wait byte is how long
// the first processor waits for the answer, in 100 ms units.
constexpr unsigned short serialmaxtransfer = 64;
constexpr int serialwaitshift = 8;
constexpr unsigned int serialwaitunitms = 100;
constexpr unsigned int serialminreadms = 1000;   // host time-out of a read, at least
constexpr unsigned int serialmaxreadms = 25500;  // and at most
constexpr unsigned int serialwaitmarginms = 200;

// Second-processor registers.
enum cpu2reg : unsigned char {
  cpu2version = 0,
  cpu2mode = 1,
  cpu2state = 2,
  cpu2inttime = 3,
  cpu2custom = 252,
  cpu2packetlength = 253,
  cpu2sensortype = 254,
  cpu2status = 255,  // status of the last set command
};
// Texts: a set command "s<reg>:<value>\r"; a value reply "g<reg>:<value>;";
// an error reply "?<text>:<n>;". Error number n becomes result code
// cpu2errorbase - n.
constexpr char setprefix = 's';
constexpr char getprefix = 'g';
constexpr char errorprefix = '?';
constexpr char fieldopen = ':';
constexpr char fieldclose = ';';
constexpr char commandend = '\r';
constexpr int cpu2errorbase = -10150;

// Error numbers the second processor reports.
enum cpu2error : int {
  cpu2unknowncmd = 1,
  cpu2unknownset = 2,
  cpu2unknownget = 3,
  cpu2setparam = 4,
  cpu2getparam = 5,
  cpu2setvalue = 6,
  cpu2flashf0 = 7,
  cpu2flashf1 = 8,
  cpu2flashf1param = 9,
  cpu2flashsize = 10,
  cpu2flashf2 = 11,
  cpu2flashwrite = 12,
};

// ---- Second-processor flash (request cpu2flash) ----
// OUT: wValue 0, wIndex 0, the data block. IN: wValue = command byte |
// argument byte << 8, wIndex = parameter, up to flashreplymax bytes of reply
// text "f<n>:<value>;" or an error reply.
enum flashcommand : unsigned char {
  flashf0 = 0x00,          // opens a run; reply f0
  flashf1 = 0x01,          // wIndex = parameter; reply f1 echoes it
  flashf2 = 0x02,          // ends the run; reply f2 with a 16-bit value
  flashf2lastbyte = 0xAA,  // argument = last byte; reply f2 with a value, or f3
};
constexpr unsigned short flashreplymax = 64;
constexpr char flashprefix = 'f';
constexpr int flashreplyf0 = 0;
constexpr int flashreplyf1 = 1;
constexpr int flashreplyf2 = 2;
constexpr int flashreplyf3 = 3;  // last-byte run ended without a value
constexpr unsigned short flashnovalue = 0xFFFF;

constexpr unsigned short requestvalue(unsigned char low, unsigned char high) {
  return static_cast<unsigned short>(low | high << 8);
}

}  // namespace cx_protocol

#endif
