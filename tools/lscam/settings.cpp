// SPDX-License-Identifier: MIT
// lscam get / lscam set: the settings reachable by name.
#include "lscam.h"
#include "vantorpi.h"

namespace {

template <typename T, int (*F)(T*, unsigned int)>
int getas(unsigned int& value, unsigned int timeout) {
  T v = 0;
  int result = F(&v, timeout);
  value = v;
  return result;
}

template <typename T, int (*F)(T, unsigned int)>
int setas(unsigned int value, unsigned int timeout) {
  return F(static_cast<T>(value), timeout);
}

using uchar = unsigned char;
using ushort = unsigned short;
using uint = unsigned int;

// The ranges are those the camera keeps: wider values would be cut silently
// by the library, so the tool refuses them instead.
const Setting settings[] = {
    {"mode", "operating mode of the second processor", 3, false, getas<uchar, ls_getmode>,
     setas<uchar, ls_setmode>},
    {"state", "state of the second processor", 1, false, getas<uchar, ls_getstate>,
     setas<uchar, ls_setstate>},
    {"inttime", "integration time", 0xFFFFFFFFu, false, getas<uint, ls_getinttime>,
     setas<uint, ls_setinttime>},
    {"adcconfig", "ADC configuration register (written through the sensor's mask)", 0x1FF, true,
     getas<ushort, ls_getadcconfig>, setas<ushort, ls_setadcconfig>},
    {"adcmux", "ADC multiplexer register (written through the sensor's mask)", 0x1FF, true,
     getas<ushort, ls_getadcmux>, setas<ushort, ls_setadcmux>},
    {"pga1", "ADC gain of channel 1", 0x1FF, true, getas<ushort, ls_getadcpga1>,
     setas<ushort, ls_setadcpga1>},
    {"pga2", "ADC gain of channel 2", 0x1FF, true, getas<ushort, ls_getadcpga2>,
     setas<ushort, ls_setadcpga2>},
    {"pga3", "ADC gain of channel 3", 0x1FF, true, getas<ushort, ls_getadcpga3>,
     setas<ushort, ls_setadcpga3>},
    {"offset1", "ADC offset of channel 1", 0x1FF, true, getas<ushort, ls_getadcoffset1>,
     setas<ushort, ls_setadcoffset1>},
    {"offset2", "ADC offset of channel 2", 0x1FF, true, getas<ushort, ls_getadcoffset2>,
     setas<ushort, ls_setadcoffset2>},
    {"offset3", "ADC offset of channel 3", 0x1FF, true, getas<ushort, ls_getadcoffset3>,
     setas<ushort, ls_setadcoffset3>},
};

}  // namespace

const Setting* findsetting(const QString& name) {
  for (const Setting& s : settings)
    if (name == QLatin1String(s.name)) return &s;
  return nullptr;
}

QString settingtext(const Setting& setting, unsigned int value) {
  return setting.hexformat ? hex(value, 4) : QString::number(value);
}

QString settingshelp() {
  QString text = "Settings (values decimal or 0x-hex):\n";
  for (const Setting& s : settings) {
    QString range = s.hexformat ? QString("0..%1").arg(hex(s.max, 3)) : QString("0..%1").arg(s.max);
    text += QString("  %1  %2, %3\n").arg(QString(s.name), -9).arg(s.meaning, range);
  }
  return text;
}

int runget(const Context& ctx) {
  QList<const Setting*> wanted;
  for (const QString& name : ctx.args) {
    const Setting* s = findsetting(name);
    if (!s) return usageerror("no setting '" + name + "'", "get");
    wanted.append(s);
  }
  Camera camera;
  if (!camera.open(ctx)) return kExitFailure;
  int status = kExitOk;
  QJsonObject object, errors;
  for (const Setting* s : wanted) {
    unsigned int value = 0;
    int result = s->get(value, ctx.timeout);
    if (result != CX_SUCCESS) {
      status = reportfailure(QString("get %1").arg(s->name), result);
      object.insert(s->name, QJsonValue::Null);
      errors.insert(s->name, QJsonObject{{"code", result}, {"text", ls_geterrorstring(result)}});
      continue;
    }
    if (ctx.json)
      object.insert(s->name, static_cast<qint64>(value));
    else
      printline(wanted.size() > 1 ? QString("%1: %2").arg(s->name, settingtext(*s, value))
                                  : settingtext(*s, value));
  }
  if (ctx.json) {
    if (!errors.isEmpty()) object.insert("errors", errors);
    printjson(object);
  }
  return status;
}

namespace {

// The fitted sensor's catalogue limits of the integration time, as the
// library gives them (it does not enforce them itself). False, and the
// failure reported, when the sensor cannot be read; limits known only for a
// catalogued sensor (both 0 otherwise).
bool inttimelimits(unsigned int timeout, unsigned short& type, unsigned int& low, unsigned int& high) {
  unsigned short second = 0;
  const int result = ls_getsensortype(&type, &second, timeout);
  if (result != CX_SUCCESS) {
    reportfailure("read sensor type for the inttime limits", result, "--force writes inttime unchecked");
    return false;
  }
  low = high = 0;
  return ls_getminmaxtime(type, &low, &high) == CX_SUCCESS && high != 0;
}

}  // namespace

int runset(const Context& ctx) {
  if (ctx.args.size() % 2 != 0) return usageerror("every setting needs a value: set NAME VALUE...", "set");
  QList<QPair<const Setting*, unsigned int>> writes;
  for (int i = 0; i < ctx.args.size(); i += 2) {
    const Setting* s = findsetting(ctx.args[i]);
    if (!s) return usageerror("no setting '" + ctx.args[i] + "'", "set");
    unsigned long long value = 0;
    if (!parsenumber(ctx.args[i + 1], s->max, value))
      return usageerror(
          QString("%1 takes a number from 0 to %2, not '%3'")
              .arg(s->name, s->hexformat ? hex(s->max, 3) : QString::number(s->max), ctx.args[i + 1]),
          "set");
    writes.append({s, static_cast<unsigned int>(value)});
  }
  Camera camera;
  if (!camera.open(ctx)) return kExitFailure;
  const Setting* inttime = findsetting("inttime");
  if (!ctx.parser->isSet("force")) {
    bool checked = false;
    unsigned short type = 0;
    unsigned int low = 0, high = 0;
    for (const auto& w : writes) {
      if (w.first != inttime) continue;
      if (!checked && !inttimelimits(ctx.timeout, type, low, high)) return kExitFailure;
      checked = true;
      if (high != 0 && (w.second < low || w.second > high))
        return usageerror(
            QString("inttime of the sensor %1 (%2) takes %3 to %4, not %5; --force writes it anyway")
                .arg(hex(type, 4), terminalsafe(ls_getsensorname(type)))
                .arg(low)
                .arg(high)
                .arg(w.second),
            "set");
    }
  }
  const bool readback = ctx.parser->isSet("readback");
  for (const auto& w : writes) {
    int result = w.first->set(w.second, ctx.timeout);
    if (result != CX_SUCCESS) return reportfailure(QString("set %1").arg(w.first->name), result);
    if (!readback) continue;
    unsigned int value = 0;
    result = w.first->get(value, ctx.timeout);
    if (result != CX_SUCCESS) return reportfailure(QString("get %1").arg(w.first->name), result);
    printline(QString("%1: %2").arg(w.first->name, settingtext(*w.first, value)));
  }
  return kExitOk;
}
