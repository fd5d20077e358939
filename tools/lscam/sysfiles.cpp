#include "sysfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <algorithm>
#include <cstdlib>

#ifndef LSCAM_USB_VID
#define LSCAM_USB_VID 0x1209
#endif
#ifndef LSCAM_USB_PID
#define LSCAM_USB_PID 0x0001
#endif

namespace {

QString hexid(unsigned int id) { return QString("%1").arg(id, 4, 16, QChar('0')); }

QStringList textlines(const QString& path) {
  QFile file(sysroot(path));
  QStringList lines;
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) return lines;
  QTextStream in(&file);
  while (!in.atEnd()) lines << in.readLine();
  return lines;
}

bool matchesid(const QString& entry, const char* attribute, unsigned int id) {
  bool ok = false;
  unsigned int value = readline(entry + "/" + attribute).toUInt(&ok, 16);
  return ok && value == id;
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

QString readline(const QString& path) {
  QFile file(sysroot(path));
  if (!file.open(QIODevice::ReadOnly)) return QString();
  return QString::fromLocal8Bit(file.readLine(4096)).trimmed();
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
    c.bus = readline(entry + "/busnum").toInt();
    c.device = readline(entry + "/devnum").toInt();
    cameras.append(c);
  }
  return cameras;
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
QList<QStringList> colonrecords(const QString& path) {
  QList<QStringList> records;
  for (const QString& line : textlines(path)) {
    const QStringList f = line.split(':');
    if (f.size() >= 4 && !f[0].isEmpty() && !f[0].startsWith('#')) records.append(f);
  }
  return records;
}

}  // namespace

QList<Account> readaccounts() {
  QList<Account> accounts;
  for (const QStringList& f : colonrecords("/etc/passwd")) {
    Account a;
    a.name = f[0];
    a.uid = f[2].toUInt();
    a.gid = f[3].toUInt();
    accounts.append(a);
  }
  return accounts;
}

QList<Group> readgroups() {
  QList<Group> groups;
  for (const QStringList& f : colonrecords("/etc/group")) {
    Group g;
    g.name = f[0];
    g.gid = f[2].toUInt();
    g.members = f[3].split(',', Qt::SkipEmptyParts);
    groups.append(g);
  }
  return groups;
}
