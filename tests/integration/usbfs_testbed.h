// SPDX-License-Identifier: MIT
#ifndef USBFS_TESTBED_H
#define USBFS_TESTBED_H

// The emulated USB bus of the process: a umockdev testbed whose sysfs holds
// the boards' device records and whose usbdevfs nodes answer through the
// boards' ioctl handlers.
//
// libusb sees only the devices that exist when its context is created (the
// library's, at load), and each node's handler must be attached before its
// device is added. One testbed serves the whole process.

#include <string>

#include "emulated_board.h"

class UsbfsTestbed {
 public:
  UsbfsTestbed();
  ~UsbfsTestbed();
  UsbfsTestbed(const UsbfsTestbed&) = delete;
  UsbfsTestbed& operator=(const UsbfsTestbed&) = delete;

  // Attaches the board's handler to its node, then adds its device record.
  bool add(EmulatedBoard& board, std::string& error);
  // Adds the device record again after remove(); the handler stays attached.
  bool readd(EmulatedBoard& board, std::string& error);
  // Removes the device record and its node, as the kernel does on an unplug.
  void remove(EmulatedBoard& board);
  // Where the board's node lies in the real file system.
  std::string nodepath(const EmulatedBoard& board) const;

 private:
  UMockdevTestbed* testbed_ = nullptr;
  std::string root_;
};

#endif
