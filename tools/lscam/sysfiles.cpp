// SPDX-License-Identifier: MIT
#include "sysfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifndef LSCAM_USB_VID
#define LSCAM_USB_VID 0x1209
#endif
#ifndef LSCAM_USB_PID
#define LSCAM_USB_PID 0x0001
#endif

namespace {

QString hexid(unsigned int id) { return QString("%1").arg(id, 4, 16, QChar('0')); }

// A sysfs attribute is one short line; the kernel hands out at most a page.
constexpr qint64 kAttributeLimit = 4096;
// Account databases beyond this size are not a local system's files.
constexpr qint64 kAccountsLimit = 16 << 20;

// A USB ID attribute: four hex digits.
bool readid(const QString& entry, const char* attribute, unsigned int& id) {
  bool ok = false;
  const QString text = readline(entry + "/" + attribute);
  id = text.toUInt(&ok, 16);
  return ok && text.size() == 4;
}

bool matchesid(const QString& entry, const char* attribute, unsigned int id) {
  unsigned int value = 0;
  return readid(entry, attribute, value) && value == id;
}

// busnum and devnum: the kernel numbers buses from 1 and devices 1 to 127.
int devicenumber(const QString& text, int max) {
  bool ok = false;
  const int n = text.toInt(&ok, 10);
  return ok && n >= 1 && n <= max ? n : 0;
}

}  // namespace

unsigned int cameravid() { return LSCAM_USB_VID; }
unsigned int camerapid() { return LSCAM_USB_PID; }
QString cameraids() { return hexid(cameravid()) + ":" + hexid(camerapid()); }

QString sysroot(const QString& path) {
  static const QString root = [] {
    QString r = QString::fromLocal8Bit(std::getenv("LSCAM_SYSROOT"));
    while (r.endsWith('/')) r.chop(1);
    return r;
  }();
  return root + path;
}

FileText readregular(const QString& path, qint64 limit) {
  FileText text;
  const int fd =
      ::open(QFile::encodeName(sysroot(path)).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    text.error = QString::fromLocal8Bit(std::strerror(errno));
    return text;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    text.error = "not a regular file";
    ::close(fd);
    return text;
  }
  // sysfs gives every attribute a size of a page, so the size is not trusted: reading stops past the limit.
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      text.error = QString::fromLocal8Bit(std::strerror(errno));
      break;
    }
    if (n == 0) {
      text.ok = true;
      break;
    }
    text.bytes.append(buffer, static_cast<int>(n));
    if (text.bytes.size() > limit) {
      text.error = QString("larger than %1 bytes").arg(limit);
      break;
    }
  }
  ::close(fd);
  if (!text.ok) text.bytes.clear();
  return text;
}

QString readline(const QString& path, bool* readable) {
  const FileText text = readregular(path, kAttributeLimit);
  if (readable) *readable = text.ok;
  const int end = text.bytes.indexOf('\n');
  return QString::fromLocal8Bit(end < 0 ? text.bytes : text.bytes.left(end)).trimmed();
}

bool sysexists(const QString& path) { return QFileInfo::exists(sysroot(path)); }

QString UsbCamera::node() const {
  return QString("/dev/bus/usb/%1/%2").arg(bus, 3, 10, QChar('0')).arg(device, 3, 10, QChar('0'));
}

QString UsbCamera::label() const { return serial.isEmpty() ? name : serial; }

bool sysfshasusb() { return sysexists("/sys/bus/usb/devices"); }

QList<UsbCamera> sysfscameras() {
  const QString devices = "/sys/bus/usb/devices";
  QStringList names = QDir(sysroot(devices)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  std::sort(names.begin(), names.end());
  QList<UsbCamera> cameras;
  for (const QString& name : names) {
    const QString entry = devices + "/" + name;
    // Interfaces ("1-1:1.0") and other devices have no matching idVendor.
    if (!matchesid(entry, "idVendor", cameravid()) || !matchesid(entry, "idProduct", camerapid())) continue;
    UsbCamera c;
    c.name = name;
    c.serial = readline(entry + "/serial");
    c.speed = readline(entry + "/speed");
    c.bustext = readline(entry + "/busnum");
    c.devicetext = readline(entry + "/devnum");
    c.bus = devicenumber(c.bustext, 65535);
    c.device = devicenumber(c.devicetext, 127);
    cameras.append(c);
  }
  return cameras;
}

QList<UsbDevice> vendorspecificdevices() {
  const QString devices = "/sys/bus/usb/devices";
  QStringList names = QDir(sysroot(devices)).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
  std::sort(names.begin(), names.end());
  QList<UsbDevice> found;
  for (const QString& name : names) {
    UsbDevice d;
    const QString entry = devices + "/" + name;
    if (name.contains(':') || !readid(entry, "idVendor", d.vid) || !readid(entry, "idProduct", d.pid))
      continue;
    if (d.vid == cameravid() && d.pid == camerapid()) continue;
    bool vendor = readline(entry + "/bDeviceClass").compare("ff", Qt::CaseInsensitive) == 0;
    for (const QString& interface : names)
      if (interface.startsWith(name + ":"))
        vendor =
            vendor ||
            readline(devices + "/" + interface + "/bInterfaceClass").compare("ff", Qt::CaseInsensitive) == 0;
    if (!vendor) continue;
    d.name = name;
    d.manufacturer = readline(entry + "/manufacturer");
    d.product = readline(entry + "/product");
    found.append(d);
  }
  return found;
}

QList<UsbCamera> unlistedcameras(const QStringList& listedserials) {
  QList<UsbCamera> unlisted;
  for (const UsbCamera& c : sysfscameras())
    if (c.serial.isEmpty() || !listedserials.contains(c.serial)) unlisted.append(c);
  return unlisted;
}

namespace {

// The entries of a colon-separated account file (/etc/passwd, /etc/group):
// the fields of every line with a name and at least four fields.
QList<QStringList> colonrecords(const QString& path, QString& error) {
  QList<QStringList> records;
  const FileText text = readregular(path, kAccountsLimit);
  error = text.error;
  for (const QByteArray& line : text.bytes.split('\n')) {
    const QStringList f = QString::fromLocal8Bit(line).split(':');
    if (f.size() >= 4 && !f[0].isEmpty() && !f[0].startsWith('#')) records.append(f);
  }
  return records;
}

}  // namespace

Accounts readaccounts() {
  Accounts accounts;
  for (const QStringList& f : colonrecords("/etc/passwd", accounts.error)) {
    Account a;
    a.name = f[0];
    a.uid = f[2].toUInt();
    a.gid = f[3].toUInt();
    accounts.entries.append(a);
  }
  return accounts;
}

Groups readgroups() {
  Groups groups;
  for (const QStringList& f : colonrecords("/etc/group", groups.error)) {
    Group g;
    g.name = f[0];
    g.gid = f[2].toUInt();
    g.members = f[3].split(',', Qt::SkipEmptyParts);
    groups.entries.append(g);
  }
  return groups;
}
