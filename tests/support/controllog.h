// SPDX-License-Identifier: MIT
// Readers of the simulator's control-transfer log, shared by the test tiers
// and the fuzz harnesses. Nothing here depends on GoogleTest.
#ifndef VANTORPI_TESTS_SUPPORT_CONTROLLOG_H
#define VANTORPI_TESTS_SUPPORT_CONTROLLOG_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "simcam.h"

namespace vtest {

// Every control transfer logged since the last simcam_log_clear, oldest first.
inline std::vector<simcam_ctrl_record> controllog() {
  std::vector<simcam_ctrl_record> records;
  simcam_ctrl_record r;
  for (size_t i = 0; simcam_log_get(i, &r) == 0; ++i) records.push_back(r);
  return records;
}

// The transfers of one request code in one direction (bmRequestType), in order.
inline std::vector<simcam_ctrl_record> requests(const std::vector<simcam_ctrl_record>& log, uint8_t type,
                                                uint8_t request) {
  std::vector<simcam_ctrl_record> found;
  for (const simcam_ctrl_record& r : log)
    if (r.bmRequestType == type && r.bRequest == request) found.push_back(r);
  return found;
}

inline std::vector<simcam_ctrl_record> requests(uint8_t type, uint8_t request) {
  return requests(controllog(), type, request);
}

// Setup fields and time-out of one control transfer as one line of text, so
// that a mismatch shows every field at once.
inline std::string wire(uint8_t type, uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                        unsigned int timeout) {
  char text[80];
  std::snprintf(text, sizeof text, "%02X %02X wValue=%04X wIndex=%04X wLength=%u timeout=%u", type, request,
                value, index, length, timeout);
  return text;
}

inline std::string wire(const simcam_ctrl_record& r) {
  return wire(r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength, r.timeout);
}

// Every logged transfer as wire() lines.
inline std::vector<std::string> wirelog() {
  std::vector<std::string> lines;
  for (const simcam_ctrl_record& r : controllog()) lines.push_back(wire(r));
  return lines;
}

// The data stage as logged: at most SIMCAM_LOG_DATA_MAX bytes of it.
inline std::vector<uint8_t> payload(const simcam_ctrl_record& r) {
  return std::vector<uint8_t>(r.data, r.data + std::min<int>(r.datalen, SIMCAM_LOG_DATA_MAX));
}

inline std::vector<uint8_t> bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace vtest

#endif
