// SPDX-License-Identifier: MIT
#ifndef CX_PIPETHREAD_H
#define CX_PIPETHREAD_H

#include <libusb.h>

#include <QMutex>
#include <QThread>
#include <memory>

class cx_fifo;

// Reads the camera's bulk IN endpoint packet by packet into the FIFO while
// a device is open. Only whole packets reach the FIFO; when it lacks room
// for one, reading pauses (back-pressure), so no byte is ever overwritten.
class cx_pipethread : public QThread {
  Q_OBJECT

 public:
  // Allocates the transfer buffer, so that a packet length that cannot be
  // had fails here with std::bad_alloc instead of inside the thread.
  cx_pipethread(cx_fifo* fifo, libusb_device_handle* handle, int packetlength, int waitms);
  ~cx_pipethread() override;

  // Asks the thread to end; a wait for room in the FIFO ends at once.
  void stopthread();
  bool shouldstop();
  int getfps();
  void setfps(int value);
  int getpacketlength() const { return packetlength; }

  // Bytes per second for `bytes` counted over `elapsedms`, saturating at INT_MAX.
  static int ratefor(unsigned long long bytes, long long elapsedms);
  // The capacity of a FIFO fed by a thread created with `length`: the
  // requested size, raised to two whole packets when it holds fewer, so that
  // a packet can arrive while the reader takes the one before. Throws
  // std::bad_alloc when two packets exceed the largest FIFO.
  static int fifosizefor(int fifosize, int length);

 protected:
  void run() override;

 private:
  // The packet length a thread created with `length` transfers.
  static int packetlengthfor(int length);
  bool waitforroom(int needed);

  QMutex stop_mutex;
  QMutex fps_mutex;
  bool stopflag = false;
  bool pipeerror = false;
  int fps = 0;
  int packetlength;
  int waitms;
  libusb_device_handle* handle;
  cx_fifo* fifo;
  std::unique_ptr<unsigned char[]> buffer;  // one packet; used by run() alone
};

#endif
