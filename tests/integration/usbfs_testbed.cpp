// SPDX-License-Identifier: MIT
#include "usbfs_testbed.h"

UsbfsTestbed::UsbfsTestbed() {
  testbed_ = umockdev_testbed_new();
  gchar* root = umockdev_testbed_get_root_dir(testbed_);
  root_ = root;
  g_free(root);
}

UsbfsTestbed::~UsbfsTestbed() { g_object_unref(testbed_); }

bool UsbfsTestbed::add(EmulatedBoard& board, std::string& error) {
  GError* failure = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed_, board.devnode().c_str(), board.handler(), &failure)) {
    error = board.devnode() + ": " + failure->message;
    g_error_free(failure);
    return false;
  }
  return readd(board, error);
}

bool UsbfsTestbed::readd(EmulatedBoard& board, std::string& error) {
  GError* failure = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, board.record().c_str(), &failure)) {
    error = board.devnode() + ": " + failure->message;
    g_error_free(failure);
    return false;
  }
  return true;
}

void UsbfsTestbed::remove(EmulatedBoard& board) {
  umockdev_testbed_remove_device(testbed_, ("/sys" + board.devpath()).c_str());
}

std::string UsbfsTestbed::nodepath(const EmulatedBoard& board) const { return root_ + board.devnode(); }
