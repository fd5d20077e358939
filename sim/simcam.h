// SPDX-License-Identifier: MIT
/*
 * Control interface of the simulated camera bus.
 *
 * The simulator is a stand-in libusb-1.0.so.0: programs that load it instead
 * of the real libusb see a bus with the cameras and other devices added here.
 * Every function is thread-safe. Device ids are small positive integers,
 * returned by simcam_add_camera / simcam_add_device and never reused until
 * simcam_reset().
 *
 * Without any call of simcam_reset() the bus holds one default camera, set up
 * from the environment: SIMCAM_CAMERAS (number of cameras, default 1),
 * SIMCAM_RATE (stream bytes per second, default 40000000, 0 = unlimited),
 * SIMCAM_SENSOR (sensor type code, default 0x1000), SIMCAM_LINE_WIDTH
 * (pixels per line of the drawn pattern, default 2048).
 * SIMCAM_OPEN_ERROR and SIMCAM_CLAIM_ERROR (a negative libusb code, unset by
 * default) make opening or claiming every default camera fail with that code.
 * SIMCAM_UNPLUG_FILE names a file: while it exists the default cameras are
 * unplugged, and once it is removed they are plugged in again (new ids, same
 * identity); the simulator looks at most every 20 ms, from its libusb calls.
 */
#ifndef SIMCAM_H
#define SIMCAM_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SIMCAM_API __attribute__((visibility("default")))

/* Identity of the simulated camera. */
#define SIMCAM_CAMERA_VID 0x1209
#define SIMCAM_CAMERA_PID 0x0001
#define SIMCAM_CAMERA_BCD 0x0102
#define SIMCAM_MANUFACTURER "Vantor Imaging"
#define SIMCAM_PRODUCT "LS-2048 line camera"

/* ---- Bus ---- */

/** Removes every device, clears logs, scripts and failures; the bus is then empty. */
SIMCAM_API void simcam_reset(void);
/** Adds a camera with the default identity and the given serial (NULL: no serial string). Returns its id. */
SIMCAM_API int simcam_add_camera(const char* serial);
/** Adds any device; a NULL string has no descriptor (index 0). Returns its id. */
SIMCAM_API int simcam_add_device(uint16_t vid, uint16_t pid, uint16_t bcd, const char* manufacturer,
                                 const char* product, const char* serial);
/** Unplugs a device: it leaves the bus, and every call on its handles fails with LIBUSB_ERROR_NO_DEVICE (-4)
    from then on, including a bulk transfer in progress. */
SIMCAM_API void simcam_unplug(int dev);
/** Makes libusb_open of the device fail with err (e.g. -3), 0 to allow again. */
SIMCAM_API void simcam_set_open_error(int dev, int err);
/** Makes claiming interface 0 fail with err (e.g. -6), 0 to allow again. */
SIMCAM_API void simcam_set_claim_error(int dev, int err);
/** Makes libusb_release_interface fail with err, 0 to allow again. */
SIMCAM_API void simcam_set_release_error(int dev, int err);
/** Makes libusb_get_device_descriptor of the device fail with err, 0 to allow again. */
SIMCAM_API void simcam_set_descriptor_error(int dev, int err);
/** Makes reading string descriptor index 1 (manufacturer), 2 (product) or 3 (serial) fail with err. */
SIMCAM_API void simcam_set_string_error(int dev, int which, int err);
/** Makes libusb_get_device_list return err (negative), 0 for normal behaviour. */
SIMCAM_API void simcam_set_device_list_error(int err);
/** Makes libusb_init return err for the next contexts created, 0 for normal behaviour. */
SIMCAM_API void simcam_set_init_error(int err);
/** Replaces a device's string descriptors and descriptor fields seen at enumeration (NULL string = absent).
 */
SIMCAM_API void simcam_set_identity(int dev, uint16_t vid, uint16_t pid, uint16_t bcd,
                                    const char* manufacturer, const char* product, const char* serial);

/** Sets string descriptor index 1 (manufacturer), 2 (product) or 3 (serial) to len bytes, each sent as one
    UTF-16 code unit; the bytes may contain NULs, which a real descriptor padded with U+0000 carries. */
SIMCAM_API void simcam_set_string_bytes(int dev, int which, const void* bytes, int len);

/* ---- Counters (whole bus) ---- */

/** Device references held by clients (libusb_get_device_list, libusb_ref_device, open handles). */
SIMCAM_API int simcam_live_device_refs(void);
/** Handles opened and not yet closed. */
SIMCAM_API int simcam_open_handles(void);
/** Interfaces claimed and not yet released. */
SIMCAM_API int simcam_claimed_interfaces(void);
/** libusb contexts created and not yet ended. */
SIMCAM_API int simcam_live_contexts(void);
/** Device-list arrays handed out and not yet freed. */
SIMCAM_API int simcam_live_device_lists(void);

/* ---- Control transfer log ---- */

#define SIMCAM_LOG_DATA_MAX 256
typedef struct simcam_ctrl_record {
  int dev;               /* device id */
  uint8_t bmRequestType; /* 0x40 OUT, 0xC0 IN, 0x80 standard IN ... */
  uint8_t bRequest;
  uint16_t wValue;
  uint16_t wIndex;
  uint16_t wLength;
  int data_null;        /* the caller passed a NULL data pointer */
  unsigned int timeout; /* as passed by the caller, in ms */
  int result;           /* what libusb_control_transfer returned */
  uint16_t datalen;     /* OUT: bytes the caller offered (wLength); IN: bytes returned */
  uint8_t data[SIMCAM_LOG_DATA_MAX];
} simcam_ctrl_record;

/** The log keeps at most this many records; when full, the older half is dropped. */
#define SIMCAM_LOG_MAX 65536
/** Number of control transfers logged since the last clear (string descriptor reads included). */
SIMCAM_API size_t simcam_log_count(void);
/** Copies record i (0 = oldest); returns 0, or -1 if i is out of range. */
SIMCAM_API int simcam_log_get(size_t i, simcam_ctrl_record* out);
/** Clears the control log. */
SIMCAM_API void simcam_log_clear(void);
/* With SIMCAM_LOG_FILE set to a path, the simulator appends every logged control transfer to that file
   as one text line as the transfer is logged: "dev=1 type=0x40 request=0x20 value=0x0000 index=0x0000
   length=8 timeout=2000 result=8 data="s3:1500\x0d"" (the data sent or received, bytes outside printable
   ASCII as \xNN). Tests of a program in another process read its control traffic there. Opening and
   closing a handle add "dev=1 event=open" and "dev=1 event=close". */

/* ---- Scripted replies (one-shot, in order, per device, direction and request) ----
   dir is SIMCAM_IN (0xC0 requests) or SIMCAM_OUT (0x40 requests). A script replaces the board's
   own answer for the next matching request only. */
#define SIMCAM_IN 1
#define SIMCAM_OUT 0
/** Next IN request bRequest returns these bytes (cut to wLength); len 0 gives a 0-byte reply. */
SIMCAM_API void simcam_script_reply(int dev, uint8_t bRequest, const void* data, int len);
/** Next request bRequest in direction dir fails with the libusb error err (e.g. -9 stall, -7 time-out). */
SIMCAM_API void simcam_script_error(int dev, int dir, uint8_t bRequest, int err);
/** Next OUT request bRequest is acknowledged with only `taken` bytes (and not acted on). */
SIMCAM_API void simcam_script_out_taken(int dev, uint8_t bRequest, int taken);
/** Drops all pending scripts of a device. */
SIMCAM_API void simcam_script_clear(int dev);

/* ---- First processor ---- */

/** State byte last written by request 0x30 (code protect), 0x31 (power) or 0x32 (data protect); -1 if never.
 */
SIMCAM_API int simcam_switch_state(int dev, uint8_t bRequest);
/** Sets the power-pin byte (request 0x33) and the endpoint-6 status byte (request 0x51). */
SIMCAM_API void simcam_set_power_pins(int dev, uint8_t pins);
SIMCAM_API void simcam_set_ep6_status(int dev, uint8_t status);
/** Number of board FIFO resets (request 0x50). */
SIMCAM_API int simcam_fifo_resets(int dev);
/** Sets the 7-byte sensor record: presence code, marker, type, second word. */
SIMCAM_API void simcam_set_sensor(int dev, uint8_t presence, uint16_t marker, uint16_t type, uint16_t second);
/** ADC register N (0..7) value and saved copy. */
SIMCAM_API int simcam_adc_reg(int dev, int reg);
SIMCAM_API int simcam_adc_saved(int dev, int reg);
SIMCAM_API void simcam_set_adc_reg(int dev, int reg, uint16_t value);
/** The simulated I2C EEPROM (8-bit address 0xA0, 256 bytes; first written byte sets the address). */
SIMCAM_API int simcam_eeprom_byte(int dev, int addr);
/** The simulated I2C flash behind request 0xF0 (8-bit address 0xA0, 4096 bytes; two address bytes,
    high first). */
SIMCAM_API int simcam_i2cflash_byte(int dev, int addr);
/** Current I2C bus frequency selector (0 or 1). */
SIMCAM_API int simcam_i2c_freq(int dev);

/* ---- Second processor ---- */

/** Register value of the second processor (0, 1, 2, 3, 252, 253, 254, 255). */
SIMCAM_API uint32_t simcam_cpu2_reg(int dev, int reg);
SIMCAM_API void simcam_set_cpu2_reg(int dev, int reg, uint32_t value);
/** Delay in ms before the second processor answers a serial read. The first processor waits at most
    the read's wait byte x 100 ms and then answers with 0 bytes; a transfer whose USB time-out ends
    before the board answers fails with LIBUSB_ERROR_TIMEOUT. */
SIMCAM_API void simcam_set_cpu2_delay(int dev, unsigned int ms);
/** Text of the last serial OUT request received (NUL-terminated, at most 64 bytes). */
SIMCAM_API int simcam_cpu2_last_command(int dev, char* buf, int buflen);
/** Flash image of the current or last programming run. Returns its length and copies up to buflen bytes. */
SIMCAM_API int simcam_flash_image(int dev, uint8_t* buf, int buflen);
/** The value f2 reports for an image: the 16-bit sum of its bytes. */
SIMCAM_API uint16_t simcam_flash_checksum(const uint8_t* image, int len);
/** Makes the next f2 / f2-with-last-byte fail with error 12 (flash write). */
SIMCAM_API void simcam_set_flash_write_failure(int dev, int fail);

/* ---- Bulk stream on endpoint 0x86 ---- */

#define SIMCAM_STREAM_ON 0    /* whole packets of the requested length */
#define SIMCAM_STREAM_OFF 1   /* no data: each transfer waits its time-out, then -7 */
#define SIMCAM_STREAM_SHORT 2 /* packets of short_len bytes (see simcam_set_short_length) */
SIMCAM_API void simcam_set_stream_mode(int dev, int mode);
SIMCAM_API void simcam_set_short_length(int dev, int len);
/** Limits the stream to bytes_per_second (0 = unlimited), paced on a monotonic clock. */
SIMCAM_API void simcam_set_stream_rate(int dev, uint64_t bytes_per_second);
/** Scripts the results of the next bulk transfers: errs[0..n-1] in turn; with repeat_last the last one
    stays in force until simcam_set_bulk_errors(dev, NULL, 0, 0). */
SIMCAM_API void simcam_set_bulk_errors(int dev, const int* errs, int n, int repeat_last);
/** Bulk transfers attempted on the device since it was added. */
SIMCAM_API uint64_t simcam_bulk_calls(int dev);
/** Packets delivered whole since the device was added. */
SIMCAM_API uint64_t simcam_packets_sent(int dev);
/** Fills buf with the content of stream packet seq (sequence numbers restart at 0 at every open):
    8 bytes little-endian seq, then the pattern. Tests use it to check what they read. */
SIMCAM_API void simcam_fill_packet(uint64_t seq, uint8_t* buf, int len);

#ifdef __cplusplus
}
#endif

#endif /* SIMCAM_H */
