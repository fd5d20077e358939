// SPDX-License-Identifier: MIT
#include "cpu2/cx_xmos_io.h"

#include "cpu2/cx_serial_io.h"
#include "usb/cx_libusb_io.h"
#include "usb/cx_protocol.h"
#include "vantorpi.h"

namespace {

// A decimal field as the second processor writes it: optional sign, blanks
// around the digits allowed, within the signed 32-bit range.
bool tonumber(const QString& field, int& number) {
  bool ok = false;
  number = field.toInt(&ok, 10);
  return ok;
}

// An error reply "?<text>:<n>;" becomes the code of error number n.
int errorreply(const QString& reply) {
  int n = 0;
  if (!tonumber(cx_xmos_io::copy2char(reply, cx_protocol::fieldopen, cx_protocol::fieldclose), n))
    return CX_ERR_GET_INVALID_FORMAT;
  return cx_xmos_io::cpu2error(n);
}

bool iserrorreply(const QString& reply) {
  return !reply.isEmpty() && reply.at(0) == QLatin1Char(cx_protocol::errorprefix);
}

}  // namespace

cx_xmos_io::cx_xmos_io(cx_libusb_io* io, cx_serial_io* serial) : libusb_io(io), serial_io(serial) {}

int cx_xmos_io::cpu2error(int n) { return static_cast<int>(0u - (10150u + static_cast<unsigned int>(n))); }

QString cx_xmos_io::copy2char(QString text, char open, char close) {
  int start = text.indexOf(QChar(static_cast<uchar>(open)));
  if (start < 0) return QString();
  QString rest = text.mid(start + 1);
  int end = rest.indexOf(QChar(static_cast<uchar>(close)));
  return end < 0 ? rest : rest.left(end);
}

int cx_xmos_io::getxmos(unsigned char reg, unsigned int& value, unsigned int timeout) {
  value = 0;
  QString answer;
  int r = serial_io->readserialstr(reg, answer, timeout);
  if (r != 0) return r;
  if (iserrorreply(answer)) return errorreply(answer);
  int number = 0;
  if (!tonumber(copy2char(answer, cx_protocol::getprefix, cx_protocol::fieldopen), number))
    return CX_ERR_GET_INVALID_FORMAT;
  if (static_cast<unsigned int>(number) != reg) return CX_ERR_CPU2_REGISTER;
  if (!tonumber(copy2char(answer, cx_protocol::fieldopen, cx_protocol::fieldclose), number))
    return CX_ERR_GET_INVALID_FORMAT;
  value = static_cast<unsigned int>(number);
  return 0;
}

int cx_xmos_io::setxmos(unsigned char reg, unsigned int value, unsigned int timeout) {
  QString command = QLatin1Char(cx_protocol::setprefix) + QString::number(reg) +
                    QLatin1Char(cx_protocol::fieldopen) + QString::number(value) +
                    QLatin1Char(cx_protocol::commandend);
  int r = serial_io->writeserialstr(command, timeout);
  if (r != 0) return r;
  unsigned int status = 0;
  r = getxmos(cx_protocol::cpu2status, status, timeout);
  if (r != 0) return r;
  return status == 0 ? 0 : cpu2error(static_cast<int>(status));
}

int cx_xmos_io::setmode(unsigned char mode, unsigned int t) {
  return setxmos(cx_protocol::cpu2mode, mode & 3u, t);
}
int cx_xmos_io::setstate(unsigned char state, unsigned int t) {
  return setxmos(cx_protocol::cpu2state, state & 1u, t);
}
int cx_xmos_io::setinttime(unsigned int inttime, unsigned int t) {
  return setxmos(cx_protocol::cpu2inttime, inttime, t);
}

int cx_xmos_io::getxmosversion(unsigned short& version, unsigned int t) {
  return getnarrow(cx_protocol::cpu2version, version, t);
}
int cx_xmos_io::getxmossensortype(unsigned short& type, unsigned int t) {
  return getnarrow(cx_protocol::cpu2sensortype, type, t);
}
int cx_xmos_io::getmode(unsigned char& mode, unsigned int t) {
  return getnarrow(cx_protocol::cpu2mode, mode, t);
}
int cx_xmos_io::getstate(unsigned char& state, unsigned int t) {
  return getnarrow(cx_protocol::cpu2state, state, t);
}
int cx_xmos_io::getinttime(unsigned int& inttime, unsigned int t) {
  return getxmos(cx_protocol::cpu2inttime, inttime, t);
}
int cx_xmos_io::iscustomfirmware(unsigned int& value, unsigned int t) {
  return getxmos(cx_protocol::cpu2custom, value, t);
}
int cx_xmos_io::getpacketlength(int& length, unsigned int t) {
  return getnarrow(cx_protocol::cpu2packetlength, length, t);
}

int cx_xmos_io::xmosflashdata(unsigned short length, void* block, unsigned int timeout) {
  return libusb_io->vendorexact(cx_protocol::vendorout, cx_protocol::cpu2flash, 0, 0, length, block, timeout);
}

int cx_xmos_io::setgetxmosflash(unsigned char command, unsigned char argument, unsigned short parameter,
                                QString& reply, unsigned int timeout) {
  reply = QString();
  char buffer[cx_protocol::flashreplymax + 1];
  unsigned short length = cx_protocol::flashreplymax;
  int r = libusb_io->vendorread(cx_protocol::cpu2flash, cx_protocol::requestvalue(command, argument),
                                parameter, length, reinterpret_cast<unsigned char*>(buffer), timeout);
  if (r != 0) return r;
  buffer[length] = 0;
  reply = QString::fromUtf8(buffer);
  return 0;
}

bool cx_xmos_io::flashcommand(unsigned char command, unsigned char argument, unsigned short parameter,
                              int& number, QString& reply, int& result, unsigned int timeout) {
  result = setgetxmosflash(command, argument, parameter, reply, timeout);
  if (result != 0) return false;
  result = CX_ERR_GET_INVALID_FORMAT;
  if (reply.isEmpty()) return false;
  if (iserrorreply(reply)) {
    // May be 0: the code of error number -10150 is success by the reply rule.
    result = errorreply(reply);
    return false;
  }
  // A flash reply, unlike a register reply, must start with "f".
  if (reply.at(0) != QLatin1Char(cx_protocol::flashprefix)) return false;
  if (!tonumber(copy2char(reply, cx_protocol::flashprefix, cx_protocol::fieldopen), number)) return false;
  result = 0;
  return true;
}

int cx_xmos_io::flashvalue(const QString& reply, int& value) {
  return tonumber(copy2char(reply, cx_protocol::fieldopen, cx_protocol::fieldclose), value)
             ? 0
             : CX_ERR_GET_INVALID_FORMAT;
}

int cx_xmos_io::flashchecksum(const QString& reply, unsigned short& value) {
  // The caller's variable changes only on success.
  int result = 0;
  int r = flashvalue(reply, result);
  if (r == 0) value = static_cast<unsigned short>(result);
  return r;
}

int cx_xmos_io::xmosflash_f0(unsigned int timeout) {
  int number = 0;
  int result = 0;
  QString reply;
  if (!flashcommand(cx_protocol::flashf0, 0x00, 0, number, reply, result, timeout)) return result;
  return number == cx_protocol::flashreplyf0 ? 0 : CX_ERR_CPU2_REGISTER;
}

int cx_xmos_io::xmosflash_f1(unsigned short parameter, unsigned int timeout) {
  int number = 0;
  int result = 0;
  QString reply;
  if (!flashcommand(cx_protocol::flashf1, 0x00, parameter, number, reply, result, timeout)) return result;
  if (number != cx_protocol::flashreplyf1) return CX_ERR_CPU2_REGISTER;
  int echo = 0;
  if (flashvalue(reply, echo) != 0 || static_cast<unsigned short>(echo) != parameter)
    return CX_ERR_GET_INVALID_FORMAT;
  return 0;
}

int cx_xmos_io::xmosflash_f2(unsigned short& value, unsigned int timeout) {
  int number = 0;
  int result = 0;
  QString reply;
  if (!flashcommand(cx_protocol::flashf2, 0x00, 0, number, reply, result, timeout)) return result;
  return number == cx_protocol::flashreplyf2 ? flashchecksum(reply, value) : CX_ERR_CPU2_REGISTER;
}

int cx_xmos_io::xmosflash_f2_lastbyte(unsigned char lastbyte, unsigned short& value, unsigned int timeout) {
  int number = 0;
  int result = 0;
  QString reply;
  if (!flashcommand(cx_protocol::flashf2lastbyte, lastbyte, 0, number, reply, result, timeout)) return result;
  if (number == cx_protocol::flashreplyf3) {
    value = cx_protocol::flashnovalue;
    return 0;
  }
  return number == cx_protocol::flashreplyf2 ? flashchecksum(reply, value) : CX_ERR_CPU2_REGISTER;
}
