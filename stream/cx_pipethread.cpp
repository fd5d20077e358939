// SPDX-License-Identifier: MIT
#include "stream/cx_pipethread.h"

#include <QElapsedTimer>
#include <climits>
#include <new>

#include "stream/cx_fifo.h"
#include "stream/cx_locker.h"
#include "usb/cx_protocol.h"

namespace {
// Consecutive unexpected transfer errors tolerated at full speed; beyond
// that the thread backs off so a persistent fault cannot spin a core.
const int errorsbeforebackoff = 2;
}  // namespace

cx_pipethread::cx_pipethread(cx_fifo* f, libusb_device_handle* h, int length, int backoffms)
    : QThread(nullptr),
      packetlength(packetlengthfor(length)),
      waitms(backoffms > 50 ? backoffms : 50),
      handle(h),
      fifo(f),
      buffer(new unsigned char[static_cast<size_t>(packetlength)]) {}

cx_pipethread::~cx_pipethread() = default;

int cx_pipethread::packetlengthfor(int length) { return length > 2048 ? length : 2048; }

int cx_pipethread::fifosizefor(int fifosize, int length) {
  long long twopackets = 2LL * packetlengthfor(length);
  if (twopackets > cx_fifo::maxsize) throw std::bad_alloc();
  return fifosize < twopackets ? static_cast<int>(twopackets) : fifosize;
}

void cx_pipethread::stopthread() {
  {
    cx_locker lock(&stop_mutex);
    stopflag = true;
  }
  // After the flag: a wait for room that begins later returns at once.
  if (fifo) fifo->stopwriter();
}

bool cx_pipethread::shouldstop() {
  cx_locker lock(&stop_mutex);
  return stopflag;
}

int cx_pipethread::getfps() {
  cx_locker lock(&fps_mutex);
  return fps;
}

void cx_pipethread::setfps(int value) {
  cx_locker lock(&fps_mutex);
  fps = value;
}

int cx_pipethread::ratefor(unsigned long long bytes, long long elapsedms) {
  if (elapsedms <= 0) return 0;
  unsigned long long ms = static_cast<unsigned long long>(elapsedms);
  // bytes * 1000 overflows only beyond 18 PB; saturate instead of wrapping.
  if (bytes > ULLONG_MAX / 1000) return INT_MAX;
  unsigned long long rate = bytes * 1000 / ms;
  return rate > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<int>(rate);
}

bool cx_pipethread::waitforroom(int needed) {
  // The reader's next read ends the wait, so the stream resumes as soon as
  // there is room; stopthread() ends it too.
  while (fifo->getcapacity() < needed) {
    if (shouldstop()) return false;
    fifo->waitforroom(needed, static_cast<unsigned int>(waitms));
  }
  return !shouldstop();
}

void cx_pipethread::run() {
  // A monotonic clock: the wall clock of a board without a real-time clock
  // jumps when it is set after boot.
  QElapsedTimer window;
  window.start();
  unsigned long long bytes = 0;
  int failures = 0;

  while (!shouldstop()) {
    if (failures >= errorsbeforebackoff) msleep(static_cast<unsigned long>(waitms));
    int transferred = 0;
    int r = libusb_bulk_transfer(handle, cx_protocol::bulkendpoint, buffer.get(), packetlength, &transferred,
                                 cx_protocol::bulktimeoutms);
    if (r == LIBUSB_SUCCESS) {
      failures = 0;
      // Short packets are dropped whole: the FIFO holds only whole packets.
      if (transferred == packetlength && waitforroom(transferred)) {
        fifo->writebuf(buffer.get(), static_cast<unsigned int>(transferred));
        bytes += static_cast<unsigned long long>(transferred);
      }
      qint64 elapsed = window.elapsed();
      if (elapsed >= 1000) {
        setfps(ratefor(bytes, elapsed));
        window.restart();
        bytes = 0;
      }
    } else if (r == LIBUSB_ERROR_TIMEOUT) {
      failures = 0;
      msleep(static_cast<unsigned long>(waitms));
    } else if (r == LIBUSB_ERROR_PIPE || r == LIBUSB_ERROR_NO_DEVICE) {
      pipeerror = true;
    } else {
      ++failures;
    }
    if (pipeerror) break;
  }
  // Pairs with the acquire after the owner's join.
  cx_syncrelease(this);
}
