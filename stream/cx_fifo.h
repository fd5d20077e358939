// SPDX-License-Identifier: MIT
#ifndef CX_FIFO_H
#define CX_FIFO_H

#include <QMutex>
#include <condition_variable>
#include <mutex>

// Single-producer, single-consumer byte ring buffer between the pipe thread
// (writer) and the application's reading thread. One slot always stays free
// so that full (FIPOS == FOPOS) and empty (FIPOS == FOPOS + 1) differ.
// Position locks are held only for one load or store, never during a copy.
class cx_fifo {
 public:
  // Largest capacity: buflen = size + 1 must stay within int.
  static const int maxsize = 0x7FFFFFFE;

  explicit cx_fifo(int size);
  ~cx_fifo();
  cx_fifo(const cx_fifo&) = delete;
  cx_fifo& operator=(const cx_fifo&) = delete;

  int writebuf(void* data, unsigned int n);
  int readbuf(void* data, unsigned int n);
  int writebyte(unsigned char b);
  int readbyte(unsigned char& b);
  int getcount();
  int getcapacity();
  int getFIPOS();
  int getFOPOS();
  void setFIPOS(int pos);
  void setFOPOS(int pos);
  void waitforcondition(unsigned int timeout);
  // Writer side: waits up to timeout ms until at least `needed` bytes are
  // free. A read that frees room ends the wait at once, and so does
  // stopwriter().
  void waitforroom(int needed, unsigned int timeout);
  // Ends a waitforroom() in progress at once and makes every later one
  // return without waiting, so that a writer asked to stop is not held up.
  void stopwriter();
  int getsize() const { return size; }

 private:
  int countof(int fipos, int fopos) const;
  int roomof(int fipos, int fopos) const;

  unsigned char* buffer = nullptr;
  int size;
  int FIPOS;
  int FOPOS;
  int buflen;
  QMutex fipos_mutex;
  QMutex fopos_mutex;
  // The two waits use the standard condition variable because it can be
  // woken with no lock held: QWaitCondition wakes under an internal lock that
  // the woken thread must take next, so a woken thread that runs at once
  // blocks a second time on it.
  std::mutex wait_mutex;
  std::condition_variable data_ready;
  int waiters = 0;               // readers inside waitforcondition; guarded by wait_mutex
  unsigned long long wakes = 0;  // wakes of data_ready; guarded by wait_mutex
  std::mutex room_mutex;
  std::condition_variable room_ready;
  bool roomwanted = false;     // the writer waits for room; guarded by fopos_mutex
  bool writerstopped = false;  // guarded by room_mutex
};

#endif
