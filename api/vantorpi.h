/*
 * vantorpi: driver library for the USB line-scan camera.
 *
 * Plain C interface. Every function returns promptly with a result code
 * (0 success, >0 an operating-system error number, -1..-9999 a libusb error
 * code, -10001 and below a code of this library) unless it returns a count,
 * a value or a string. Strings returned belong to the library.
 *
 * Threads: make control calls from one thread at a time. One other thread may
 * read the stream (ls_waitforpipe, ls_getpipe, ls_getfps) meanwhile, as long
 * as no camera is opened or closed and no enumeration runs.
 *
 * Out-parameters must not be NULL; a NULL out-parameter gives LS_EINVAL.
 */
#ifndef VANTORPI_H
#define VANTORPI_H

#ifdef __cplusplus
extern "C" {
#endif

#if defined(VANTORPI_BUILDING)
#define VANTORPI_API __attribute__((visibility("default")))
#else
#define VANTORPI_API
#endif

/* Result codes of the library. */
#define CX_SUCCESS 0
#define LS_ENOMEM 12 /* allocation failed inside the library */
#define LS_EINVAL 22 /* a NULL out-parameter */
#define CX_ERR_NO_DEVICES_ATTACHED (-10001)
#define CX_ERR_DEVICE_INDEX_OUT_OF_RANGE (-10002)
#define CX_ERR_SERIAL_NUM_NOT_FOUND (-10003)
#define CX_ERR_USB_INVALID_HANDLE (-10004)
#define CX_ERR_DEVICE_ACTIVE (-10005)
#define CX_ERR_CONTROL_TRANSFER (-10006)
#define CX_ERR_I2C_INVALID_SIZE (-10051)
#define CX_ERR_I2C_TRANSFER (-10052)
#define CX_ERR_SER_INVALID_SIZE (-10053)
#define CX_ERR_SER_READ_ZERO_LENGTH (-10054)
#define CX_ERR_LENGTH_FLASH_FILE (-10055)
#define CX_ERR_OPEN_FLASH_FILE (-10056)
#define CX_ERR_GET_INVALID_FORMAT (-10057)
#define CX_ERR_CPU2_REGISTER (-10058)
#define CX_ERR_CPU2_BASE (-10150) /* second-processor error n gives CX_ERR_CPU2_BASE - n */
#define CX_ERR_CPU2_UNKNOWN_CMD (-10151)
#define CX_ERR_CPU2_UNKNOWN_SET_CMD (-10152)
#define CX_ERR_CPU2_UNKNOWN_GET_CMD (-10153)
#define CX_ERR_CPU2_SET_CMD_PARAM (-10154)
#define CX_ERR_CPU2_GET_CMD_PARAM (-10155)
#define CX_ERR_CPU2_SET_CMD_VALUE (-10156)
#define CX_ERR_CPU2_FLASH_F0_CMD (-10157)
#define CX_ERR_CPU2_FLASH_F1_CMD (-10158)
#define CX_ERR_CPU2_FLASH_F1_PARAM (-10159)
#define CX_ERR_CPU2_FLASH_SIZE (-10160)
#define CX_ERR_CPU2_FLASH_F2_CMD (-10161)
#define CX_ERR_CPU2_FLASH_WRITE (-10162)
#define CX_ERROR_SENSOR_TYPE (-10201)
#define CX_ERROR_SENSOR_NOT_CONNECTED (-10202)
#define CX_ERROR_SENSOR_EEP_INVALID (-10203)
#define CX_ERR_POWER_SECURITY (-10251)

/* The code that ls_cwp, ls_dwp and ls_psy require as proof of intent. */
#define LS_POWER_SECURITY_CODE 0x5A3CC3A5u

/* I2C status byte values (ls_geti2cstat, the status outputs of I2C transfers). */
#define LS_I2C_OK 8
#define LS_I2C_NACK 7

/* ---- Library and devices ---- */

/** Library version, 0x0102: high byte major, low byte minor. */
VANTORPI_API int ls_libversion(void);
/** Sets FIFO size (at least 1048576) and bulk packet length for the next open. */
VANTORPI_API void ls_initialize(int fifosize, int packetlength);
/** Closes any open camera, lists the attached cameras and returns their number. */
VANTORPI_API int ls_enumdevices(void);
/** Number of cameras found by the latest enumeration. */
VANTORPI_API int ls_devicecount(void);
/** Index of the open camera, -1 when none is open. */
VANTORPI_API int ls_currentdeviceindex(void);
/** First processor's version (USB bcdDevice) of listed camera index; 0 for a bad index. */
VANTORPI_API int ls_getmcu1version(int index);
/** Manufacturer string of listed camera index; "" for a bad index. Valid until the next call. */
VANTORPI_API const char* ls_getvendorname(int index);
/** Product string of listed camera index; "" for a bad index. Valid until the next call. */
VANTORPI_API const char* ls_getproductname(int index);
/** Serial-number string of listed camera index; "" for a bad index. Valid until the next call. */
VANTORPI_API const char* ls_getserialnumber(int index);
/** Opens listed camera index (closing any open one) and starts its stream. */
VANTORPI_API int ls_opendevicebyindex(int index);
/** Opens the first listed camera whose serial number equals serial exactly (NULL = ""). */
VANTORPI_API int ls_opendevicebyserial(const char* serial);
/** Stops the stream and closes the open camera; 0 when none was open. */
VANTORPI_API int ls_closedevice(void);
/** Name of a result code; never NULL. */
VANTORPI_API const char* ls_geterrorstring(int code);

/* ---- Stream ---- */

/** Takes up to length bytes of the stream into buffer; with length < 1 returns the bytes waiting. Never
 * blocks. */
VANTORPI_API int ls_getpipe(void* buffer, int length);
/** Waits up to timeout ms for stream data when none is waiting. */
VANTORPI_API void ls_waitforpipe(unsigned int timeout);
/** Sets the bulk packet length for the next open; CX_ERR_DEVICE_ACTIVE while a camera is open. */
VANTORPI_API int ls_setpacketlength(int length);
/** Stream rate of the open camera in bytes per second, 0 if unknown. */
VANTORPI_API int ls_getfps(void);

/* ---- Board control (first processor) ---- */

/** Reads the board's endpoint-6 FIFO status byte. */
VANTORPI_API int ls_ep6stat(unsigned char* status, unsigned int timeout);
/** Resets the board's endpoint-6 FIFO. */
VANTORPI_API int ls_resetfifo(unsigned int timeout);
/** Sets data write protection; code must be LS_POWER_SECURITY_CODE. */
VANTORPI_API int ls_dwp(unsigned char state, unsigned int code, unsigned int timeout);
/** Sets code write protection; code must be LS_POWER_SECURITY_CODE. */
VANTORPI_API int ls_cwp(unsigned char state, unsigned int code, unsigned int timeout);
/** Switches the sensor power supply; code must be LS_POWER_SECURITY_CODE. */
VANTORPI_API int ls_psy(unsigned char state, unsigned int code, unsigned int timeout);
/** Reads the power-pin state byte. */
VANTORPI_API int ls_getpowerpins(unsigned char* pins, unsigned int timeout);
/** Reads the fitted sensor's type code and second identification word. */
VANTORPI_API int ls_getsensortype(unsigned short* type, unsigned short* second, unsigned int timeout);

/* ---- Sensor catalogue (no camera needed) ---- */

/** ADC configuration mask and fixed bits of a sensor type. */
VANTORPI_API int ls_getsensorconfigmask(unsigned short type, unsigned short* mask, unsigned short* fixed);
/** ADC multiplexer mask and fixed bits of a sensor type. */
VANTORPI_API int ls_getsensormuxmask(unsigned short type, unsigned short* mask, unsigned short* fixed);
/** The eight default parameters of a sensor type. */
VANTORPI_API int ls_getsensordefaultparameter(unsigned short type, unsigned short* p1, unsigned short* p2,
                                              unsigned short* p3, unsigned short* p4, unsigned short* p5,
                                              unsigned short* p6, unsigned short* p7, unsigned short* p8);
/** Part number of a sensor type, "-?-" when not catalogued. */
VANTORPI_API const char* ls_getsensorname(unsigned short type);
/** Smallest and largest integration time of a sensor type. */
VANTORPI_API int ls_getminmaxtime(unsigned short type, unsigned int* mintime, unsigned int* maxtime);

/* ---- I2C bus ---- */

/** Reads *length (1..64) bytes from the I2C device at 8-bit address; *length receives the count. */
VANTORPI_API int ls_readi2c(unsigned char address, void* data, unsigned short* length, unsigned char* status,
                            unsigned int timeout);
/** Writes length (1..64) bytes to the I2C device at 8-bit address. */
VANTORPI_API int ls_writei2c(unsigned char address, void* data, unsigned short length, unsigned char* status,
                             unsigned int timeout);
/** Selects the I2C bus frequency (bit 0 of frequency). */
VANTORPI_API int ls_seti2cfreq(unsigned char frequency, unsigned int timeout);
/** Reads the I2C bus frequency selector. */
VANTORPI_API int ls_geti2cfreq(unsigned char* frequency, unsigned int timeout);
/** Reads the I2C status byte of the last transfer. */
VANTORPI_API int ls_geti2cstat(unsigned char* status, unsigned int timeout);
/** Name of an I2C status byte. */
VANTORPI_API const char* ls_geti2cstring(unsigned char status);
/** Writes length (1..64) bytes to the I2C flash at 8-bit address. */
VANTORPI_API int ls_writei2cflash(unsigned char address, void* data, unsigned short length,
                                  unsigned char* status, unsigned int timeout);
/** Reads *length (1..64) bytes from the I2C flash at 8-bit address. */
VANTORPI_API int ls_readi2cflash(unsigned char address, void* data, unsigned short* length,
                                 unsigned char* status, unsigned int timeout);

/* ---- ADC (channels 1, 2, 3 are red, green, blue) ---- */

/** Saves the ADC settings on the board. */
VANTORPI_API int ls_savesettings(unsigned int timeout);
/** Resets the ADC settings on the board. */
VANTORPI_API int ls_resetsettings(unsigned int timeout);
/** Reads the ADC configuration register. */
VANTORPI_API int ls_getadcconfig(unsigned short* value, unsigned int timeout);
/** Reads the ADC multiplexer register. */
VANTORPI_API int ls_getadcmux(unsigned short* value, unsigned int timeout);
/** Reads the gain of channel 1. */
VANTORPI_API int ls_getadcpga1(unsigned short* value, unsigned int timeout);
/** Reads the gain of channel 2. */
VANTORPI_API int ls_getadcpga2(unsigned short* value, unsigned int timeout);
/** Reads the gain of channel 3. */
VANTORPI_API int ls_getadcpga3(unsigned short* value, unsigned int timeout);
/** Reads the offset of channel 1. */
VANTORPI_API int ls_getadcoffset1(unsigned short* value, unsigned int timeout);
/** Reads the offset of channel 2. */
VANTORPI_API int ls_getadcoffset2(unsigned short* value, unsigned int timeout);
/** Reads the offset of channel 3. */
VANTORPI_API int ls_getadcoffset3(unsigned short* value, unsigned int timeout);
/** Writes the ADC configuration register through the fitted sensor's mask. */
VANTORPI_API int ls_setadcconfig(unsigned short value, unsigned int timeout);
/** Writes the ADC multiplexer register through the fitted sensor's mask. */
VANTORPI_API int ls_setadcmux(unsigned short value, unsigned int timeout);
/** Writes the three gains in one request. */
VANTORPI_API int ls_setadcpga(unsigned short gain1, unsigned short gain2, unsigned short gain3,
                              unsigned int timeout);
/** Writes one gain to all three channels in one request. */
VANTORPI_API int ls_setadc3xpga(unsigned short gain, unsigned int timeout);
/** Writes the gain of channel 1 (9 bits). */
VANTORPI_API int ls_setadcpga1(unsigned short gain, unsigned int timeout);
/** Writes the gain of channel 2 (9 bits). */
VANTORPI_API int ls_setadcpga2(unsigned short gain, unsigned int timeout);
/** Writes the gain of channel 3 (9 bits). */
VANTORPI_API int ls_setadcpga3(unsigned short gain, unsigned int timeout);
/** Writes the three offsets in one request. */
VANTORPI_API int ls_setadcoffset(unsigned short offset1, unsigned short offset2, unsigned short offset3,
                                 unsigned int timeout);
/** Writes one offset to all three channels in one request. */
VANTORPI_API int ls_setadc3xoffset(unsigned short offset, unsigned int timeout);
/** Writes the offset of channel 1 (9 bits). */
VANTORPI_API int ls_setadcoffset1(unsigned short offset, unsigned int timeout);
/** Writes the offset of channel 2 (9 bits). */
VANTORPI_API int ls_setadcoffset2(unsigned short offset, unsigned int timeout);
/** Writes the offset of channel 3 (9 bits). */
VANTORPI_API int ls_setadcoffset3(unsigned short offset, unsigned int timeout);

/* ---- Second processor ---- */

/** Sets the operating mode (0..3; higher bits are masked off). */
VANTORPI_API int ls_setmode(unsigned char mode, unsigned int timeout);
/** Sets the state (0 or 1; higher bits are masked off). */
VANTORPI_API int ls_setstate(unsigned char state, unsigned int timeout);
/** Sets the integration time. */
VANTORPI_API int ls_setinttime(unsigned int inttime, unsigned int timeout);
/** Reads the second processor's firmware version. */
VANTORPI_API int ls_getmcu2version(unsigned short* version, unsigned int timeout);
/** Reads the sensor type that the second processor reports. */
VANTORPI_API int ls_getmcu2sensortype(unsigned short* type, unsigned int timeout);
/** Reads the operating mode. */
VANTORPI_API int ls_getmode(unsigned char* mode, unsigned int timeout);
/** Reads the state. */
VANTORPI_API int ls_getstate(unsigned char* state, unsigned int timeout);
/** Reads the integration time. */
VANTORPI_API int ls_getinttime(unsigned int* inttime, unsigned int timeout);
/** Reads the second processor's packet length. */
VANTORPI_API int ls_getpacketlength(int* length, unsigned int timeout);
/** Reads the custom-firmware value. */
VANTORPI_API int ls_customfirmware(unsigned int* value, unsigned int timeout);

/* ---- Second-processor flash programming: f0, f1, data blocks, f2 ---- */

/** Sends one image block; the device must take it whole. */
VANTORPI_API int ls_cpu2flashdata(unsigned short length, void* block, unsigned int timeout);
/** Opens a programming run. */
VANTORPI_API int ls_cpu2flash_f0(unsigned int timeout);
/** Sends the run's parameter, which the device echoes. */
VANTORPI_API int ls_cpu2flash_f1(unsigned short parameter, unsigned int timeout);
/** Ends the run; *value receives the device's 16-bit result. */
VANTORPI_API int ls_cpu2flash_f2(unsigned short* value, unsigned int timeout);
/** Ends the run with one last byte; *value receives the result (0xFFFF for reply 3). */
VANTORPI_API int ls_cpu2flash_f2_lastbyte(unsigned char lastbyte, unsigned short* value,
                                          unsigned int timeout);

#ifdef __cplusplus
}
#endif

#endif /* VANTORPI_H */
