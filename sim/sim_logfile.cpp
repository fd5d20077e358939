// SPDX-License-Identifier: MIT
// SIMCAM_LOG_FILE: the control log written to a text file as it grows, so
// that a test can watch the control transfers of a program that runs in
// another process (a browser driving lscam serve, for instance).
//
// Each transfer is appended as one line when it is logged, with the bus
// locked, so the lines follow the log's order and none is lost to a clear.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "sim_bus.h"

namespace {

// One line: every field of the record, the data as text with everything
// outside printable ASCII (and the quote and backslash) as \xNN.
std::string format(const simcam_ctrl_record& r) {
  char head[160];
  std::snprintf(head, sizeof head,
                "dev=%d type=0x%02x request=0x%02x value=0x%04x index=0x%04x length=%u timeout=%u result=%d "
                "data=\"",
                r.dev, r.bmRequestType, r.bRequest, r.wValue, r.wIndex, r.wLength, r.timeout, r.result);
  std::string line = head;
  const unsigned n = r.data_null ? 0u : std::min<unsigned>(r.datalen, SIMCAM_LOG_DATA_MAX);
  for (unsigned i = 0; i < n; ++i) {
    const unsigned char c = r.data[i];
    if (std::isprint(c) && c != '"' && c != '\\') {
      line.push_back(static_cast<char>(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      line += esc;
    }
  }
  return line + "\"\n";
}

// The file named by SIMCAM_LOG_FILE, opened at the first transfer.
std::FILE* logfile() {
  static std::FILE* file = [] {
    const char* path = std::getenv("SIMCAM_LOG_FILE");
    return path && *path ? std::fopen(path, "a") : nullptr;
  }();
  return file;
}

}  // namespace

namespace sim {

void appendtologfile(const simcam_ctrl_record& r) {
  if (std::FILE* file = logfile()) {
    std::fputs(format(r).c_str(), file);
    std::fflush(file);
  }
}

void appendeventtologfile(int dev, const char* event) {
  if (std::FILE* file = logfile()) {
    std::fprintf(file, "dev=%d event=%s\n", dev, event);
    std::fflush(file);
  }
}

}  // namespace sim
