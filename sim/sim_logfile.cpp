// SIMCAM_LOG_FILE: the control log written to a text file as it grows, so
// that a test can watch the control transfers of a program that runs in
// another process (a browser driving lscam serve, for instance).
//
// A thread of its own copies new records from the log into the file every few
// milliseconds and once more when the library is unloaded, so the transfers
// themselves are not slowed down by the file. Lines follow the log's order;
// records that the log drops when it is full before they were copied are
// announced by a "dropped" line.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

#include "simcam.h"

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

class LogFile {
 public:
  LogFile() {
    const char* path = std::getenv("SIMCAM_LOG_FILE");
    if (!path || !*path) return;
    file = std::fopen(path, "a");
    if (!file) return;
    copier = std::thread([this] { run(); });
  }

  ~LogFile() {
    if (!file) return;
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
    }
    wake.notify_all();
    copier.join();
    std::fclose(file);
  }

 private:
  void run() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      const bool last = wake.wait_for(lock, std::chrono::milliseconds(5), [this] { return stopping; });
      copy();
      if (last) return;
    }
  }

  // Appends the records logged since the last copy.
  void copy() {
    const size_t count = simcam_log_count();
    if (count < next) {
      // The log was cleared, or it dropped its older half when full.
      const size_t half = SIMCAM_LOG_MAX / 2;
      next = next >= half && next - half <= count ? next - half : 0;
      std::fputs("dropped: the log was cleared or trimmed\n", file);
    }
    simcam_ctrl_record r;
    for (; next < count && simcam_log_get(next, &r) == 0; ++next) std::fputs(format(r).c_str(), file);
    std::fflush(file);
  }

  std::FILE* file = nullptr;
  std::thread copier;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
  size_t next = 0;
};

const LogFile logfile;

}  // namespace
