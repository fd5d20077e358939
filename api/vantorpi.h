// SPDX-License-Identifier: MIT
/*
 * vantorpi: driver library for the USB line-scan camera.
 *
 * Plain C interface, usable from C and C++. One camera object per process; at
 * most one camera is open at a time.
 *
 * Result codes. A function that can fail returns an int result code:
 *   0                 success (CX_SUCCESS)
 *   1 and above       an operating-system error number: LS_ENOMEM when an
 *                     allocation failed inside the library, LS_EINVAL for a NULL
 *                     out-parameter (refused before anything is sent)
 *   -1 to -9999       a libusb error code, passed through unchanged (e.g. -3
 *                     access denied, -4 camera unplugged, -6 busy, -7 time-out,
 *                     -9 the device stalled the request)
 *   -10001 and below  a code of this library, named below
 * ls_geterrorstring() names every code. Functions that return a count, a value
 * or a string say so.
 *
 * Time-outs. Every function that talks to the camera takes a time-out in
 * milliseconds as its last argument and hands it to each USB control transfer
 * it makes; 0 means no limit. Functions that make two transfers give each the
 * full time-out.
 *
 * Common results of every function that talks to the camera (not repeated
 * below): CX_ERR_USB_INVALID_HANDLE when no camera is open (nothing is sent),
 * a negative libusb code when a transfer fails (e.g. -4 unplugged, -7
 * time-out, -9 stall), and CX_ERR_CONTROL_TRANSFER when a request that needs a
 * fixed number of bytes moved another number. A read that fails writes 0 into
 * its outputs unless its comment says otherwise.
 *
 * Threads. Make the control calls (all but ls_waitforpipe, ls_getpipe and
 * ls_getfps) from one thread at a time. One other thread may read the stream
 * meanwhile, as long as no camera is opened or closed and no enumeration runs.
 * The sensor catalogue functions and ls_geterrorstring may be called from any
 * thread at any time. The library takes no global lock.
 *
 * Strings returned by the library belong to it and are never freed by the
 * caller.
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

/* ---- Result codes ---- */

#define CX_SUCCESS 0
#define LS_ENOMEM 12 /* an allocation failed inside the library */
#define LS_EINVAL 22 /* a NULL out-parameter; nothing was sent or changed */

/* Devices */
#define CX_ERR_NO_DEVICES_ATTACHED (-10001)       /* open with an empty device list */
#define CX_ERR_DEVICE_INDEX_OUT_OF_RANGE (-10002) /* open with an index outside the list */
#define CX_ERR_SERIAL_NUM_NOT_FOUND (-10003)      /* open by a serial number no listed camera carries */
#define CX_ERR_USB_INVALID_HANDLE (-10004)        /* a request with no camera open; nothing was sent */
#define CX_ERR_DEVICE_ACTIVE (-10005)             /* packet length changed while a camera is open */
#define CX_ERR_CONTROL_TRANSFER (-10006)          /* a request moved another number of bytes than needed */
/* I2C bus and serial channel */
#define CX_ERR_I2C_INVALID_SIZE (-10051)     /* I2C length 0 or above 64; nothing was sent */
#define CX_ERR_I2C_TRANSFER (-10052)         /* the bus status after a transfer was not LS_I2C_OK */
#define CX_ERR_SER_INVALID_SIZE (-10053)     /* serial length out of range; nothing was sent */
#define CX_ERR_SER_READ_ZERO_LENGTH (-10054) /* named only; no function returns it */
/* Flash image files: for applications that read them; the library never returns these */
#define CX_ERR_LENGTH_FLASH_FILE (-10055)
#define CX_ERR_OPEN_FLASH_FILE (-10056)
/* Second-processor replies */
#define CX_ERR_GET_INVALID_FORMAT (-10057) /* a reply that cannot be parsed */
#define CX_ERR_CPU2_REGISTER (-10058)      /* a reply for another register or flash command */
/* An error number n reported by the second processor becomes CX_ERR_CPU2_BASE - n. CX_ERR_CPU2_BASE itself
   (error number 0) is a failure although its name is "SUCCESS". */
#define CX_ERR_CPU2_BASE (-10150)
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
/* Sensor */
#define CX_ERROR_SENSOR_TYPE (-10201)          /* a sensor type code not in the catalogue */
#define CX_ERROR_SENSOR_NOT_CONNECTED (-10202) /* the board reports no sensor board */
#define CX_ERROR_SENSOR_EEP_INVALID (-10203)   /* the sensor board's record lacks its validity marker */
/* Power and write protection */
#define CX_ERR_POWER_SECURITY (-10251) /* ls_cwp, ls_dwp or ls_psy without LS_POWER_SECURITY_CODE */

/* The code that ls_cwp, ls_dwp and ls_psy require as proof of intent. */
#define LS_POWER_SECURITY_CODE 0x5A3CC3A5u

/* I2C status byte values (ls_geti2cstat, the status outputs of I2C transfers). */
#define LS_I2C_OK 8
#define LS_I2C_NACK 7

/* ---- Library and devices ---- */

/** Version of the library, 0x0102 (1.02): major in the high byte, minor in the low byte. No camera needed. */
VANTORPI_API int ls_libversion(void);

/** Sets the FIFO size in bytes (at least 1048576; smaller values give 1048576) and the bulk packet length in
 * bytes (at least 2048 is used) for the next opening. Sends nothing; an open camera keeps its sizes. */
VANTORPI_API void ls_initialize(int fifosize, int packetlength);

/** Closes any open camera, then lists the attached cameras that this user may open (reading each one's
 * descriptor and strings) and returns their number, 0 or more. A camera without access rights is not listed.
 * An allocation failure lists nothing and returns 0. */
VANTORPI_API int ls_enumdevices(void);

/** Number of cameras listed by the latest enumeration. Sends nothing. */
VANTORPI_API int ls_devicecount(void);

/** Index of the open camera in the list, -1 when none is open. Sends nothing. */
VANTORPI_API int ls_currentdeviceindex(void);

/** First processor's version (the USB release number, bcdDevice) of listed camera index, 0 to 65535; 0 for
 * an index outside the list. Sends nothing. */
VANTORPI_API int ls_getmcu1version(int index);

/** Manufacturer string of listed camera index, as read at enumeration; "" for an index outside the list or a
 * string that could not be read. Sends nothing. The text stays valid until the next call of this function. */
VANTORPI_API const char* ls_getvendorname(int index);

/** Product string of listed camera index; otherwise as ls_getvendorname. */
VANTORPI_API const char* ls_getproductname(int index);

/** Serial-number string of listed camera index; otherwise as ls_getvendorname. */
VANTORPI_API const char* ls_getserialnumber(int index);

/** Closes any open camera, then opens listed camera index, claims its interface 0 and starts its stream
 * into a new FIFO. Returns 0, CX_ERR_NO_DEVICES_ATTACHED (empty list), CX_ERR_DEVICE_INDEX_OUT_OF_RANGE,
 * a libusb code of the open or claim (-3 no access, -4 unplugged since the enumeration, -6 busy: another
 * program holds it) or LS_ENOMEM (FIFO or stream buffer could not be had). On failure no camera is open. */
VANTORPI_API int ls_opendevicebyindex(int index);

/** Closes any open camera, then opens the first listed camera whose serial number equals serial exactly
 * (case and spaces count; NULL means ""). Returns ls_opendevicebyindex's codes, CX_ERR_SERIAL_NUM_NOT_FOUND
 * when no listed camera carries it, or LS_ENOMEM; on failure no camera is open. */
VANTORPI_API int ls_opendevicebyserial(const char* serial);

/** Stops and joins the stream thread (up to about one second, the bulk transfer in progress), discards the
 * FIFO, releases and closes the open camera. Returns 0 (also when none was open) or the libusb code of the
 * interface release; the camera is closed either way. */
VANTORPI_API int ls_closedevice(void);

/** Name of a result code, never NULL, never to be freed: "SUCCESS" for 0, strerror's text for positive
 * codes, libusb's text for -1 to -9999, the constant's name for the library's codes (e.g.
 * "CX_ERR_CONTROL_TRANSFER") and "CX_ERR_UNKNOWN" for an unnamed code. Any thread, any time. */
VANTORPI_API const char* ls_geterrorstring(int code);

/* ---- Stream ----
 * While a camera is open, a thread of the library reads its bulk IN endpoint packet by packet and writes
 * every whole packet into the FIFO; short packets are dropped whole. When the FIFO has no room for a packet
 * the thread stops reading the camera until the application makes room: nothing that reached the FIFO is
 * ever overwritten. The stream ends when the camera stalls the endpoint or is unplugged; what is in the FIFO
 * can still be read. */

/** Takes up to length bytes of the stream into buffer and returns how many it took (0 at once when none are
 * waiting). With length < 1 it takes nothing and returns the number of bytes waiting. Returns 0 with no
 * camera open or a NULL buffer. Never blocks; sends nothing. */
VANTORPI_API int ls_getpipe(void* buffer, int length);

/** Waits up to timeout milliseconds while no stream data is waiting; returns at once when data waits or no
 * camera is open. Reports nothing: call ls_getpipe afterwards. 0 returns at once. */
VANTORPI_API void ls_waitforpipe(unsigned int timeout);

/** Sets the bulk packet length in bytes for the next opening (below 2048 gives 2048). Returns 0, or
 * CX_ERR_DEVICE_ACTIVE while a camera is open (the length is not changed). Sends nothing. */
VANTORPI_API int ls_setpacketlength(int length);

/** Measured stream rate of the open camera in bytes per second, over windows of at least one second; 0 before
 * the first window has closed or with no camera open. Sends nothing. */
VANTORPI_API int ls_getfps(void);

/* ---- Board control (first processor) ---- */

/** Reads the board's endpoint-6 FIFO status byte (one request, 1 byte) into *status. */
VANTORPI_API int ls_ep6stat(unsigned char* status, unsigned int timeout);

/** Resets the board's endpoint-6 FIFO (one request, no data). The library's own FIFO is not touched. */
VANTORPI_API int ls_resetfifo(unsigned int timeout);

/** Sets the data write protection to state (one request, state sent unchanged). code must be
 * LS_POWER_SECURITY_CODE, else CX_ERR_POWER_SECURITY and nothing is sent (checked before anything else). */
VANTORPI_API int ls_dwp(unsigned char state, unsigned int code, unsigned int timeout);

/** Sets the code write protection to state (one request); code as for ls_dwp. */
VANTORPI_API int ls_cwp(unsigned char state, unsigned int code, unsigned int timeout);

/** Switches the sensor power supply to state (one request); code as for ls_dwp. */
VANTORPI_API int ls_psy(unsigned char state, unsigned int code, unsigned int timeout);

/** Reads the power-pin state byte (one request, 1 byte) into *pins. */
VANTORPI_API int ls_getpowerpins(unsigned char* pins, unsigned int timeout);

/** Reads the fitted sensor board's record (one request, 7 bytes): *type receives its sensor type code
 * (0x1000 to 0x100B are catalogued), *second its second identification word. Returns 0,
 * CX_ERROR_SENSOR_NOT_CONNECTED or CX_ERROR_SENSOR_EEP_INVALID; with these two the outputs still hold the
 * record's words. */
VANTORPI_API int ls_getsensortype(unsigned short* type, unsigned short* second, unsigned int timeout);

/* ---- Sensor catalogue: built-in table of the twelve sensor types 0x1000 to 0x100B. No camera needed, sends
 * nothing, any thread, any time. An uncatalogued type gives CX_ERROR_SENSOR_TYPE. ---- */

/** ADC configuration-register mask and fixed bits of a sensor type; outputs untouched for an unknown type. */
VANTORPI_API int ls_getsensorconfigmask(unsigned short type, unsigned short* mask, unsigned short* fixed);

/** ADC multiplexer-register mask and fixed bits of a sensor type; outputs untouched for an unknown type. */
VANTORPI_API int ls_getsensormuxmask(unsigned short type, unsigned short* mask, unsigned short* fixed);

/** The eight default parameters of a sensor type; all eight are 0 for an unknown type. */
VANTORPI_API int ls_getsensordefaultparameter(unsigned short type, unsigned short* p1, unsigned short* p2,
                                              unsigned short* p3, unsigned short* p4, unsigned short* p5,
                                              unsigned short* p6, unsigned short* p7, unsigned short* p8);

/** Part number of a sensor type (e.g. "ILX554B" for 0x1000), "-?-" for an unknown type; static text. */
VANTORPI_API const char* ls_getsensorname(unsigned short type);

/** Smallest and largest integration time of a sensor type, in the unit of ls_setinttime (up to 4260000000:
 * use unsigned 32-bit variables); both 0 for an unknown type. The library does not enforce them. */
VANTORPI_API int ls_getminmaxtime(unsigned short type, unsigned int* mintime, unsigned int* maxtime);

/* ---- I2C bus (first processor) ----
 * address is the 8-bit form of the device address: bits 7..1 are sent, bit 0 is ignored. Every data transfer
 * is two requests: the data, then the bus status, which goes to *status (0xFF when the status read itself
 * failed). A status other than LS_I2C_OK gives CX_ERR_I2C_TRANSFER. A length of 0 or above 64 gives
 * CX_ERR_I2C_INVALID_SIZE and sends nothing. */

/** Reads *length (1..64) bytes from the I2C device (one request) into data; *length receives the count
 * received, 0 when the data stage failed or the status is not LS_I2C_OK. */
VANTORPI_API int ls_readi2c(unsigned char address, void* data, unsigned short* length, unsigned char* status,
                            unsigned int timeout);

/** Writes length (1..64) bytes from data to the I2C device (one request); a data stage that the board
 * takes only in part gives CX_ERR_CONTROL_TRANSFER. */
VANTORPI_API int ls_writei2c(unsigned char address, void* data, unsigned short length, unsigned char* status,
                             unsigned int timeout);

/** Selects one of the two I2C bus frequencies: bit 0 of frequency is sent. */
VANTORPI_API int ls_seti2cfreq(unsigned char frequency, unsigned int timeout);

/** Reads the I2C bus frequency selector, 0 or 1. */
VANTORPI_API int ls_geti2cfreq(unsigned char* frequency, unsigned int timeout);

/** Reads the bus status byte of the last I2C transfer into *status; 0xFF when the read fails. */
VANTORPI_API int ls_geti2cstat(unsigned char* status, unsigned int timeout);

/** Name of an I2C status byte: "I2C_IDLE" (0) to "I2C_WAITSTOP" (9), "I2C_OK" for 8, "I2C_UNKNOWN" for 4 and
 * for values above 9. Sends nothing; static text. */
VANTORPI_API const char* ls_geti2cstring(unsigned char status);

/** Writes length (1..64) bytes to the I2C flash (one request); otherwise as ls_writei2c. */
VANTORPI_API int ls_writei2cflash(unsigned char address, void* data, unsigned short length,
                                  unsigned char* status, unsigned int timeout);

/** Reads *length (1..64) bytes from the I2C flash (one request); otherwise as ls_readi2c. */
VANTORPI_API int ls_readi2cflash(unsigned char address, void* data, unsigned short* length,
                                 unsigned char* status, unsigned int timeout);

/* ---- ADC (first processor). Channels 1, 2, 3 are red, green, blue. Registers hold 9 bits. ---- */

/** Asks the board to save its ADC settings (one request, no data). */
VANTORPI_API int ls_savesettings(unsigned int timeout);

/** Asks the board to reset its ADC settings (one request, no data). */
VANTORPI_API int ls_resetsettings(unsigned int timeout);

/** Reads the ADC configuration register (one request, 2 bytes) into *value, unmasked. */
VANTORPI_API int ls_getadcconfig(unsigned short* value, unsigned int timeout);

/** Reads the ADC multiplexer register into *value; as ls_getadcconfig. */
VANTORPI_API int ls_getadcmux(unsigned short* value, unsigned int timeout);

/** Reads the gain of channel 1 into *value; as ls_getadcconfig. */
VANTORPI_API int ls_getadcpga1(unsigned short* value, unsigned int timeout);

/** Reads the gain of channel 2 into *value; as ls_getadcconfig. */
VANTORPI_API int ls_getadcpga2(unsigned short* value, unsigned int timeout);

/** Reads the gain of channel 3 into *value; as ls_getadcconfig. */
VANTORPI_API int ls_getadcpga3(unsigned short* value, unsigned int timeout);

/** Reads the offset of channel 1 into *value; as ls_getadcconfig. */
VANTORPI_API int ls_getadcoffset1(unsigned short* value, unsigned int timeout);

/** Reads the offset of channel 2 into *value; as ls_getadcconfig. */
VANTORPI_API int ls_getadcoffset2(unsigned short* value, unsigned int timeout);

/** Reads the offset of channel 3 into *value; as ls_getadcconfig. */
VANTORPI_API int ls_getadcoffset3(unsigned short* value, unsigned int timeout);

/** Writes the ADC configuration register through the fitted sensor's catalogue mask: reads the sensor record
 * first (as ls_getsensortype), then writes ((value & mask) | fixed) & 0x1FF in a second request. Returns the
 * sensor read's failure (e.g. CX_ERROR_SENSOR_NOT_CONNECTED) or CX_ERROR_SENSOR_TYPE without writing. */
VANTORPI_API int ls_setadcconfig(unsigned short value, unsigned int timeout);

/** Writes the ADC multiplexer register through the fitted sensor's mask; as ls_setadcconfig. */
VANTORPI_API int ls_setadcmux(unsigned short value, unsigned int timeout);

/** Writes the three gains in one request (6 bytes, each value sent whole as 16 bits). */
VANTORPI_API int ls_setadcpga(unsigned short gain1, unsigned short gain2, unsigned short gain3,
                              unsigned int timeout);

/** Writes one gain to all three channels in one request; as ls_setadcpga. */
VANTORPI_API int ls_setadc3xpga(unsigned short gain, unsigned int timeout);

/** Writes the gain of channel 1 (one request; bits above the low 9 are dropped). */
VANTORPI_API int ls_setadcpga1(unsigned short gain, unsigned int timeout);

/** Writes the gain of channel 2; as ls_setadcpga1. */
VANTORPI_API int ls_setadcpga2(unsigned short gain, unsigned int timeout);

/** Writes the gain of channel 3; as ls_setadcpga1. */
VANTORPI_API int ls_setadcpga3(unsigned short gain, unsigned int timeout);

/** Writes the three offsets in one request (6 bytes, each value sent whole as 16 bits). */
VANTORPI_API int ls_setadcoffset(unsigned short offset1, unsigned short offset2, unsigned short offset3,
                                 unsigned int timeout);

/** Writes one offset to all three channels in one request; as ls_setadcoffset. */
VANTORPI_API int ls_setadc3xoffset(unsigned short offset, unsigned int timeout);

/** Writes the offset of channel 1 (one request; bits above the low 9 are dropped). */
VANTORPI_API int ls_setadcoffset1(unsigned short offset, unsigned int timeout);

/** Writes the offset of channel 2; as ls_setadcoffset1. */
VANTORPI_API int ls_setadcoffset2(unsigned short offset, unsigned int timeout);

/** Writes the offset of channel 3; as ls_setadcoffset1. */
VANTORPI_API int ls_setadcoffset3(unsigned short offset, unsigned int timeout);

/* ---- Second processor: registers read and written through the first processor's serial channel. A set
 * sends "s<register>:<value>" and a carriage return, then reads the status register; a get reads one
 * register. Each read's USB time-out is the caller's clamped to 1000..25500 ms. Besides the
 * common results: CX_ERR_GET_INVALID_FORMAT (unparsable reply), CX_ERR_CPU2_REGISTER (reply for another
 * register), CX_ERR_CPU2_BASE - n for an error number n (e.g. CX_ERR_CPU2_SET_CMD_VALUE),
 * CX_ERR_SER_INVALID_SIZE. Every get writes its output, 0 on failure. ---- */

/** Sets the operating mode; mode & 3 is sent (0..3, higher bits dropped without notice). */
VANTORPI_API int ls_setmode(unsigned char mode, unsigned int timeout);

/** Sets the state; state & 1 is sent (0 or 1). */
VANTORPI_API int ls_setstate(unsigned char state, unsigned int timeout);

/** Sets the integration time, sent unchanged in the second processor's unit; the sensor catalogue's limits
 * (ls_getminmaxtime) are not applied. */
VANTORPI_API int ls_setinttime(unsigned int inttime, unsigned int timeout);

/** Reads the second processor's firmware version (low 16 bits of register 0). */
VANTORPI_API int ls_getmcu2version(unsigned short* version, unsigned int timeout);

/** Reads the sensor type that the second processor reports (low 16 bits of register 254). */
VANTORPI_API int ls_getmcu2sensortype(unsigned short* type, unsigned int timeout);

/** Reads the operating mode (low 8 bits of register 1). */
VANTORPI_API int ls_getmode(unsigned char* mode, unsigned int timeout);

/** Reads the state (low 8 bits of register 2). */
VANTORPI_API int ls_getstate(unsigned char* state, unsigned int timeout);

/** Reads the integration time (register 3, 32 bits). */
VANTORPI_API int ls_getinttime(unsigned int* inttime, unsigned int timeout);

/** Reads the second processor's packet length in bytes (register 253). The stream's own packet length is the
 * one set by ls_initialize or ls_setpacketlength. */
VANTORPI_API int ls_getpacketlength(int* length, unsigned int timeout);

/** Reads the custom-firmware value (register 252). */
VANTORPI_API int ls_customfirmware(unsigned int* value, unsigned int timeout);

/* ---- Second-processor flash programming. A run is: ls_cpu2flash_f0, ls_cpu2flash_f1, the
 * image block by block with ls_cpu2flashdata, then ls_cpu2flash_f2 or ls_cpu2flash_f2_lastbyte. The library
 * keeps no state of a run; the second processor reports a misordered or failed step as an error number,
 * returned as CX_ERR_CPU2_FLASH_F0_CMD .. CX_ERR_CPU2_FLASH_WRITE. Replies are checked:
 * CX_ERR_GET_INVALID_FORMAT for an unparsable reply, CX_ERR_CPU2_REGISTER for the reply of another command.
 * Nothing is retried. ---- */

/** Sends one image block of length bytes (one OUT request); a block not taken whole gives
 * CX_ERR_CONTROL_TRANSFER. */
VANTORPI_API int ls_cpu2flashdata(unsigned short length, void* block, unsigned int timeout);

/** Opens a programming run (command f0). */
VANTORPI_API int ls_cpu2flash_f0(unsigned int timeout);

/** Sends the run's 16-bit parameter (command f1, parameter in wIndex), which the device must echo. */
VANTORPI_API int ls_cpu2flash_f1(unsigned short parameter, unsigned int timeout);

/** Ends the run (command f2); *value receives the device's 16-bit result, written only when a reply of the
 * run's end carries it. */
VANTORPI_API int ls_cpu2flash_f2(unsigned short* value, unsigned int timeout);

/** Ends the run with one last byte (the byte goes in the command's argument byte); *value receives the
 * device's 16-bit result, or 0xFFFF when the device answers that the run ended without one; written only
 * when such a reply came. */
VANTORPI_API int ls_cpu2flash_f2_lastbyte(unsigned char lastbyte, unsigned short* value,
                                          unsigned int timeout);

#ifdef __cplusplus
}
#endif

#endif /* VANTORPI_H */
