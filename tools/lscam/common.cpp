// SPDX-License-Identifier: MIT
#include <signal.h>

#include <QJsonDocument>
#include <QRegularExpression>
#include <cstdio>

#include "lscam.h"
#include "sysfiles.h"
#include "vantorpi.h"

#ifndef LSCAM_UDEV_GROUP
#define LSCAM_UDEV_GROUP "plugdev"
#endif

namespace {

// libusb's codes for a refused open and a claimed interface.
constexpr int kAccessDenied = -3;
constexpr int kBusy = -6;

void printerr(const QString& text) {
  QByteArray bytes = (text + "\n").toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
  std::fflush(stderr);
}

}  // namespace

volatile std::sig_atomic_t stoprequested = 0;

namespace {
void onstopsignal(int) { stoprequested = 1; }
}  // namespace

void installstophandlers() {
  struct sigaction sa {};
  sa.sa_handler = onstopsignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
}

void printline(const QString& line) {
  QByteArray bytes = (line + "\n").toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

void printjson(const QJsonObject& object, bool compact) {
  const QByteArray bytes =
      QJsonDocument(object).toJson(compact ? QJsonDocument::Compact : QJsonDocument::Indented);
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
  if (compact) std::fputc('\n', stdout);
  std::fflush(stdout);
}

namespace {
// Code points that reorder or hide text on a terminal without being controls.
bool isformatting(uint c) {
  return (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) ||
         c == 0xFEFF;
}
}  // namespace

QString terminalsafe(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (uint c : text.toUcs4()) {
    if (c == '\\')
      out += "\\\\";
    else if (c < 0x20 || c == 0x7F)
      out += QString("\\x%1").arg(c, 2, 16, QChar('0'));
    else if ((c >= 0x80 && c <= 0x9F) || isformatting(c))
      out += QString("\\u%1").arg(c, 4, 16, QChar('0'));
    else
      out += QString::fromUcs4(&c, 1);
  }
  return out;
}

QString shellquote(const QString& value) {
  static const QRegularExpression plain("^[A-Za-z0-9_@%+=:,./-]+$");
  if (plain.match(value).hasMatch()) return value;
  QString quoted = value;
  quoted.replace("'", "'\\''");
  return "'" + quoted + "'";
}

QString errorfield(int code) { return QString("error %1 %2").arg(code).arg(ls_geterrorstring(code)); }

// The library lists only cameras it can open, so a camera without access
// rights shows up as "no cameras found" rather than as an access error.
const char* const kUdevHint =
    "install the udev rules 60-vantorpi.rules with 70-vantorpi-uaccess.rules (desktop session) or "
    "61-vantorpi-group.rules (members of the group '" LSCAM_UDEV_GROUP
    "', for services) into /etc/udev/rules.d or /lib/udev/rules.d, run 'udevadm control --reload' and "
    "plug the camera in again.";

void nocamerashint() {
  printerr(QString("hint: a camera that this user may not open is not listed either; ") + kUdevHint);
  unlistedhint({});
}

void unlistedhint(const QStringList& listedserials) {
  QStringList unlisted;
  for (const UsbCamera& c : unlistedcameras(listedserials)) unlisted << terminalsafe(c.label());
  if (unlisted.isEmpty()) return;
  printerr(QString("hint: the USB bus has %1 camera %2 that the library does not list (%3); "
                   "'lscam doctor' tells why and what fixes it.")
               .arg(unlisted.size())
               .arg(cameraids(), unlisted.join(", ")));
}

int reportfailure(const QString& what, int code, const QString& detail) {
  QString line = QString("%1: %2 %3").arg(what).arg(code).arg(ls_geterrorstring(code));
  printerr(detail.isEmpty() ? line : line + " (" + detail + ")");
  if (code == kAccessDenied)
    printerr(QString("hint: no permission to open the camera; ") + kUdevHint);
  else if (code == kBusy)
    printerr("hint: another program holds the camera; end it (or its stream) and try again.");
  else if (code == CX_ERR_NO_DEVICES_ATTACHED)
    nocamerashint();
  return kExitFailure;
}

int reportproblem(const QString& what, const QString& message) {
  printerr(what + ": " + message);
  return kExitFailure;
}

int usageerror(const QString& message, const QString& command) {
  printerr("lscam: " + message);
  printerr(command.isEmpty() ? QString("Try 'lscam help'.") : QString("Try 'lscam help %1'.").arg(command));
  return kExitUsage;
}

Camera::~Camera() { close(); }

bool Camera::open(const Context& ctx, int fifosize, int packetlength) {
  close();
  ls_initialize(fifosize, packetlength);
  int count = ls_enumdevices();
  if (count < 0) {
    reportfailure("enumerate", count);
    return false;
  }
  int result = ctx.byserial ? ls_opendevicebyserial(ctx.serial.toLocal8Bit().constData())
                            : ls_opendevicebyindex(ctx.index);
  if (result != CX_SUCCESS) {
    reportfailure(
        ctx.byserial ? "open serial " + terminalsafe(ctx.serial) : QString("open index %1").arg(ctx.index),
        result);
    return false;
  }
  isopen = true;
  return true;
}

void Camera::close() {
  if (isopen) ls_closedevice();
  isopen = false;
}

bool parsenumber(const QString& text, unsigned long long max, unsigned long long& value) {
  QString t = text.trimmed();
  bool ok = false;
  if (t.startsWith("0x", Qt::CaseInsensitive))
    value = t.mid(2).toULongLong(&ok, 16);
  else if (!t.isEmpty() && t[0].isDigit())
    value = t.toULongLong(&ok, 10);
  return ok && value <= max;
}

QString versiontext(unsigned int version) {
  return QString("%1.%2").arg((version >> 8) & 0xFF, 0, 16).arg(version & 0xFF, 2, 16, QChar('0'));
}

QString hex(unsigned int value, int digits) { return QString("0x%1").arg(value, digits, 16, QChar('0')); }
