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
// The first line of a small text file below LSCAM_SYSROOT, trimmed; empty if unreadable.
QString readline(const QString& path);
bool sysexists(const QString& path);

// A camera with our IDs as sysfs shows it in /sys/bus/usb/devices.
struct UsbCamera {
  QString name;    // the sysfs entry, e.g. "1-1.2"
  QString serial;  // empty if the camera has none
  QString speed;   // Mbit/s as the kernel writes it: "1.5", "12", "480", "5000"
  int bus = 0;
  int device = 0;
  QString node() const;   // /dev/bus/usb/BBB/DDD
  QString label() const;  // the serial, or the sysfs name without one
};
// Whether sysfs has a USB bus at all.
bool sysfshasusb();
// Every camera with our IDs, in the order of their sysfs names.
QList<UsbCamera> sysfscameras();
// The cameras in sysfs whose serial is not among the listed ones.
QList<UsbCamera> unlistedcameras(const QStringList& listedserials);

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
// /etc/passwd and /etc/group below LSCAM_SYSROOT.
QList<Account> readaccounts();
QList<Group> readgroups();

#endif
