// SPDX-License-Identifier: MIT
// What the system itself says about the camera, read from files only: sysfs,
// /dev, the account databases. Every path is taken below the root that the
// environment variable LSCAM_SYSROOT names (default "/"), so that tests can
// point lscam at a tree they built; paths shown to the user are the system's
// own, without that root.
#ifndef LSCAM_SYSFILES_H
#define LSCAM_SYSFILES_H

#include <sys/types.h>

#include <QList>
#include <QString>
#include <QStringList>

// The camera's USB IDs that the library was built with.
unsigned int cameravid();
unsigned int camerapid();
// "1209:0001", as lsusb and udev write them.
QString cameraids();

// path ("/sys/...") below LSCAM_SYSROOT.
QString sysroot(const QString& path);

// A file below LSCAM_SYSROOT read whole, if it is a regular file of at most
// limit bytes. Nothing else is opened (a FIFO or a device could block or
// never end); error says why it was not read.
struct FileText {
  bool ok = false;
  QByteArray bytes;
  QString error;
};
FileText readregular(const QString& path, qint64 limit);
// The first line of a small text file below LSCAM_SYSROOT, trimmed; empty if
// unreadable, and *readable then false.
QString readline(const QString& path, bool* readable = nullptr);
bool sysexists(const QString& path);

// A camera with our IDs as sysfs shows it in /sys/bus/usb/devices.
struct UsbCamera {
  QString name;    // the sysfs entry, e.g. "1-1.2"
  QString serial;  // empty if the camera has none
  QString speed;   // Mbit/s as the kernel writes it: "1.5", "12", "480", "5000"
  int bus = 0;     // 0: sysfs gave no usable number
  int device = 0;
  QString bustext, devicetext;  // what sysfs holds for them
  QString node() const;         // /dev/bus/usb/BBB/DDD
  QString label() const;        // the serial, or the sysfs name without one
};
// Whether sysfs has a USB bus at all.
bool sysfshasusb();
// Every camera with our IDs, in the order of their sysfs names.
QList<UsbCamera> sysfscameras();
// The cameras in sysfs whose serial is not among the listed ones.
QList<UsbCamera> unlistedcameras(const QStringList& listedserials);

// Another device in sysfs whose class, or the class of one of its
// interfaces, is vendor-specific (0xff): what a camera with other IDs than
// ours looks like.
struct UsbDevice {
  QString name;  // the sysfs entry
  unsigned int vid = 0;
  unsigned int pid = 0;
  QString manufacturer, product;
};
QList<UsbDevice> vendorspecificdevices();

struct Account {
  QString name;
  uid_t uid = 0;
  gid_t gid = 0;
};
struct Group {
  QString name;
  gid_t gid = 0;
  QStringList members;
};
// /etc/passwd and /etc/group below LSCAM_SYSROOT; error is empty when the
// file was read.
struct Accounts {
  QList<Account> entries;
  QString error;
};
struct Groups {
  QList<Group> entries;
  QString error;
};
Accounts readaccounts();
Groups readgroups();

#endif
