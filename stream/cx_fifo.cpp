// SPDX-License-Identifier: MIT
#include "stream/cx_fifo.h"

#include <cstring>

#include "stream/cx_locker.h"

cx_fifo::cx_fifo(int s)
    : size(s > 1048576 ? (s > maxsize ? maxsize : s) : 1048576), FIPOS(1), FOPOS(0), buflen(size + 1) {
  buffer = new unsigned char[static_cast<size_t>(buflen)];
}

cx_fifo::~cx_fifo() {
  delete[] buffer;
  buffer = nullptr;
}

int cx_fifo::countof(int fipos, int fopos) const {
  return fipos > fopos ? fipos - fopos - 1 : fipos - fopos + size;
}

int cx_fifo::roomof(int fipos, int fopos) const {
  return fopos < fipos ? fopos - fipos + size + 1 : fopos - fipos;
}

int cx_fifo::getFIPOS() {
  cx_locker lock(&fipos_mutex);
  return FIPOS;
}

int cx_fifo::getFOPOS() {
  cx_locker lock(&fopos_mutex);
  return FOPOS;
}

void cx_fifo::setFIPOS(int pos) {
  cx_locker lock(&fipos_mutex);
  FIPOS = pos;
}

void cx_fifo::setFOPOS(int pos) {
  cx_locker lock(&fopos_mutex);
  FOPOS = pos;
}

int cx_fifo::getcount() {
  int fipos = getFIPOS();
  return countof(fipos, getFOPOS());
}

int cx_fifo::getcapacity() {
  int fipos = getFIPOS();
  return roomof(fipos, getFOPOS());
}

int cx_fifo::writebuf(void* data, unsigned int n) {
  int fipos = getFIPOS();
  int room = roomof(fipos, getFOPOS());
  if (room == 0) return 0;
  int k = n < static_cast<unsigned int>(room) ? static_cast<int>(n) : room;
  const unsigned char* src = static_cast<const unsigned char*>(data);

  // The bytes are in place before the new FIPOS is published, so the reader
  // never sees a slot that is still being written.
  int c = k < buflen - fipos ? k : buflen - fipos;
  if (c > 0) memcpy(buffer + fipos, src, static_cast<size_t>(c));
  int p = fipos + c;
  if (p == buflen) p = 0;
  if (k > c) {
    memcpy(buffer, src + c, static_cast<size_t>(k - c));
    p = k - c;
  }
  setFIPOS(p);

  // FIPOS is published before the waiter count is read under wait_mutex: a
  // reader counted after this section finds the new data in its emptiness
  // test under the same lock, and one counted before it is woken here. The
  // wake follows the unlock so that the woken reader does not block on
  // wait_mutex, and is skipped when nobody waits.
  bool wake;
  {
    std::lock_guard<std::mutex> lock(wait_mutex);
    wake = waiters > 0;
    if (wake) ++wakes;
  }
  if (wake) data_ready.notify_all();
  return k;
}

int cx_fifo::readbuf(void* data, unsigned int n) {
  int fipos = getFIPOS();
  int fopos = getFOPOS();
  int count = countof(fipos, fopos);
  if (count == 0) return 0;
  int k = n < static_cast<unsigned int>(count) ? static_cast<int>(n) : count;
  if (k == 0) return 0;
  unsigned char* dst = static_cast<unsigned char*>(data);

  int start = fopos + 1 == buflen ? 0 : fopos + 1;
  int c = k < buflen - start ? k : buflen - start;
  memcpy(dst, buffer + start, static_cast<size_t>(c));
  int e = start + c;
  if (k > c) {
    memcpy(dst + c, buffer, static_cast<size_t>(k - c));
    e = k - c;
  }
  // Published only after the copy: the writer never reuses a slot being read.
  // The same lock tells whether the writer waits for the room just freed.
  bool wake;
  {
    cx_locker lock(&fopos_mutex);
    FOPOS = e - 1;
    wake = roomwanted;
  }
  if (wake) {
    // Taking room_mutex waits until the writer has begun its wait; the wake
    // follows the unlock, so that the woken writer does not block on it.
    { std::lock_guard<std::mutex> lock(room_mutex); }
    room_ready.notify_all();
  }
  return k;
}

void cx_fifo::waitforroom(int needed, unsigned int timeout) {
  int fipos = getFIPOS();
  // room_mutex is held from before the writer announces itself until the
  // wait has begun, so a reader that sees the announcement wakes it; one
  // that does not published its FOPOS before the writer reads it. A stop
  // is tested under the same lock and so cannot slip in unheard either.
  std::unique_lock<std::mutex> lock(room_mutex);
  if (writerstopped) return;
  int fopos;
  {
    cx_locker positions(&fopos_mutex);
    roomwanted = true;
    fopos = FOPOS;
  }
  if (roomof(fipos, fopos) < needed) {
    room_ready.wait_for(lock, std::chrono::milliseconds(timeout));
  }
  cx_locker positions(&fopos_mutex);
  roomwanted = false;
}

void cx_fifo::stopwriter() {
  {
    std::lock_guard<std::mutex> lock(room_mutex);
    writerstopped = true;
  }
  room_ready.notify_all();
}

int cx_fifo::writebyte(unsigned char b) {
  int fipos = getFIPOS();
  if (fipos == getFOPOS()) return 0;
  buffer[fipos] = b;
  setFIPOS(fipos + 1 == buflen ? 0 : fipos + 1);
  return 1;
}

int cx_fifo::readbyte(unsigned char& b) {
  int fipos = getFIPOS();
  int fopos = getFOPOS();
  int next = fopos + 1 == buflen ? 0 : fopos + 1;
  if (fipos == next) return 0;
  b = buffer[next];
  setFOPOS(next);
  return 1;
}

void cx_fifo::waitforcondition(unsigned int timeout) {
  if (getcount() != 0 || timeout == 0) return;
  // Counted as a waiter and tested for emptiness again under wait_mutex:
  // a writer publishes FIPOS before it reads the count under that lock, so
  // a block written after this test sees the count and wakes the wait,
  // which has begun before wait_mutex is released. Only a wake or the
  // time-out end the wait, no spurious return of the condition variable.
  std::unique_lock<std::mutex> lock(wait_mutex);
  if (getcount() != 0) return;
  ++waiters;
  const unsigned long long seen = wakes;
  data_ready.wait_for(lock, std::chrono::milliseconds(timeout), [&] { return wakes != seen; });
  --waiters;
}
