// lscam list and lscam info.
#include <QVector>
#include <algorithm>
#include <cstdio>

#include "lscam.h"
#include "vantorpi.h"

int runlist(const Context&) {
  int count = ls_enumdevices();
  if (count < 0) return reportfailure("enumerate", count);
  if (count == 0) {
    std::fprintf(stderr, "no cameras found\n");
    nocamerashint();
    return kExitFailure;
  }
  QVector<QStringList> rows{{"index", "serial", "manufacturer", "product", "mcu1"}};
  for (int i = 0; i < count; ++i)
    rows.append({QString::number(i), ls_getserialnumber(i), ls_getvendorname(i), ls_getproductname(i),
                 versiontext(static_cast<unsigned int>(ls_getmcu1version(i)))});
  QVector<int> widths(rows[0].size(), 0);
  for (const QStringList& row : rows)
    for (int c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], static_cast<int>(row[c].size()));
  for (const QStringList& row : rows) {
    QString line;
    for (int c = 0; c < row.size(); ++c)
      line += c + 1 < row.size() ? QString("%1  ").arg(row[c], -widths[c]) : row[c];
    printline(line);
  }
  return kExitOk;
}

namespace {

// Prints the "key: value" lines of info. A failed read shows its error in
// place of the value and on stderr, and makes the exit status 1.
class InfoBlock {
 public:
  void value(const char* key, const QString& text) {
    printline(QString("%1 %2").arg(QString(key) + ":", -20).arg(text));
  }
  // A read with its result code; text() formats the value read, and is only
  // called after the read and only when it succeeded.
  template <typename Text>
  void read(const char* key, int result, Text text) {
    if (result == CX_SUCCESS) {
      value(key, text());
      return;
    }
    value(key, errorfield(result));
    reportfailure(QString("read %1").arg(key), result);
    failed = true;
  }
  // A value that depends on a read that already failed and was reported.
  void dependent(const char* key, int result) { value(key, errorfield(result)); }
  int status() const { return failed ? kExitFailure : kExitOk; }

 private:
  bool failed = false;
};

}  // namespace

int runinfo(const Context& ctx) {
  Camera camera;
  if (!camera.open(ctx)) return kExitFailure;
  const unsigned int t = ctx.timeout;
  InfoBlock info;

  const int index = ls_currentdeviceindex();
  info.value("library version", versiontext(static_cast<unsigned int>(ls_libversion())));
  info.value("index", QString::number(index));
  info.value("serial", ls_getserialnumber(index));
  info.value("manufacturer", ls_getvendorname(index));
  info.value("product", ls_getproductname(index));
  info.value("mcu1 version", versiontext(static_cast<unsigned int>(ls_getmcu1version(index))));

  unsigned short mcu2 = 0;
  info.read("mcu2 version", ls_getmcu2version(&mcu2, t), [&] { return versiontext(mcu2); });

  unsigned short type = 0, second = 0;
  int typeresult = ls_getsensortype(&type, &second, t);
  info.read("sensor type", typeresult, [&] { return hex(type, 4); });
  if (typeresult == CX_SUCCESS) {
    info.value("sensor second word", hex(second, 4));
    info.value("sensor name", ls_getsensorname(type));
    unsigned int mintime = 0, maxtime = 0;
    int limits = ls_getminmaxtime(type, &mintime, &maxtime);
    info.read("inttime min", limits, [&] { return QString::number(mintime); });
    if (limits == CX_SUCCESS)
      info.value("inttime max", QString::number(maxtime));
    else
      info.dependent("inttime max", limits);
  } else {
    for (const char* key : {"sensor second word", "sensor name", "inttime min", "inttime max"})
      info.dependent(key, typeresult);
  }

  unsigned short mcu2type = 0;
  info.read("mcu2 sensor type", ls_getmcu2sensortype(&mcu2type, t), [&] { return hex(mcu2type, 4); });

  auto setting = [&](const char* name) {
    const Setting* s = findsetting(name);
    unsigned int v = 0;
    info.read(name, s->get(v, t), [&] { return settingtext(*s, v); });
  };
  setting("mode");
  setting("state");
  setting("inttime");

  int packetlength = 0;
  info.read("packet length", ls_getpacketlength(&packetlength, t),
            [&] { return QString::number(packetlength); });
  unsigned int custom = 0;
  info.read("custom firmware", ls_customfirmware(&custom, t), [&] { return QString::number(custom); });

  for (const char* name : {"adcconfig", "adcmux", "pga1", "pga2", "pga3", "offset1", "offset2", "offset3"})
    setting(name);

  unsigned char pins = 0, ep6 = 0, freq = 0;
  info.read("power pins", ls_getpowerpins(&pins, t), [&] { return hex(pins, 2); });
  info.read("ep6 status", ls_ep6stat(&ep6, t), [&] { return hex(ep6, 2); });
  info.read("i2c frequency", ls_geti2cfreq(&freq, t), [&] { return QString::number(freq); });
  return info.status();
}
