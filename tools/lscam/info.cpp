// SPDX-License-Identifier: MIT
// lscam list and lscam info.
#include <QJsonArray>
#include <QJsonObject>
#include <QVector>
#include <algorithm>
#include <cstdio>

#include "lscam.h"
#include "vantorpi.h"

int runlist(const Context& ctx) {
  int count = ls_enumdevices();
  if (count < 0) return reportfailure("enumerate", count);
  if (ctx.json) {
    QJsonArray cameras;
    for (int i = 0; i < count; ++i)
      cameras.append(
          QJsonObject{{"index", i},
                      {"serial", ls_getserialnumber(i)},
                      {"manufacturer", ls_getvendorname(i)},
                      {"product", ls_getproductname(i)},
                      {"mcu1_version", versiontext(static_cast<unsigned int>(ls_getmcu1version(i)))}});
    printjson(QJsonObject{{"cameras", cameras}});
  }
  if (count == 0) {
    std::fprintf(stderr, "no cameras found\n");
    nocamerashint();
    return kExitFailure;
  }
  QVector<QStringList> rows{{"index", "serial", "manufacturer", "product", "mcu1"}};
  QStringList serials;
  for (int i = 0; i < count; ++i) {
    serials << ls_getserialnumber(i);
    rows.append({QString::number(i), terminalsafe(serials.last()), terminalsafe(ls_getvendorname(i)),
                 terminalsafe(ls_getproductname(i)),
                 versiontext(static_cast<unsigned int>(ls_getmcu1version(i)))});
  }
  unlistedhint(serials);
  if (ctx.json) return kExitOk;
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

// A value as info prints it and as its JSON output holds it.
struct Field {
  QString text;
  QJsonValue json;
};

Field textfield(const QString& text) { return {text, text}; }
Field numberfield(qint64 n) { return {QString::number(n), n}; }
Field hexfield(unsigned int n, int digits) { return {hex(n, digits), static_cast<qint64>(n)}; }
Field versionfield(unsigned int v) { return textfield(versiontext(v)); }

// Prints the "key: value" lines of info, or collects them into one JSON object
// whose keys are those of the text with '_' for ' '. A failed read shows its
// error in place of the value (null in JSON, and in "errors") and on stderr,
// and makes the exit status 1.
class InfoBlock {
 public:
  explicit InfoBlock(bool json) : json(json) {}
  void value(const char* key, const Field& field) {
    if (json)
      object.insert(jsonkey(key), field.json);
    else
      printline(QString("%1 %2").arg(QString(key) + ":", -20).arg(terminalsafe(field.text)));
  }
  // A read with its result code; field() formats the value read, and is only
  // called after the read and only when it succeeded.
  template <typename Format>
  void read(const char* key, int result, Format field) {
    if (result == CX_SUCCESS) {
      value(key, field());
      return;
    }
    dependent(key, result);
    reportfailure(QString("read %1").arg(key), result);
    failed = true;
  }
  // A value that depends on a read that already failed and was reported.
  void dependent(const char* key, int result) {
    value(key, Field{errorfield(result), QJsonValue::Null});
    errors.insert(jsonkey(key), QJsonObject{{"code", result}, {"text", ls_geterrorstring(result)}});
  }
  int finish() {
    if (json) {
      if (!errors.isEmpty()) object.insert("errors", errors);
      printjson(object);
    }
    return failed ? kExitFailure : kExitOk;
  }

 private:
  static QString jsonkey(const char* key) { return QString(key).replace(' ', '_'); }
  bool json;
  bool failed = false;
  QJsonObject object, errors;
};

}  // namespace

int runinfo(const Context& ctx) {
  Camera camera;
  if (!camera.open(ctx)) return kExitFailure;
  const unsigned int t = ctx.timeout;
  InfoBlock info(ctx.json);

  const int index = ls_currentdeviceindex();
  info.value("library version", versionfield(static_cast<unsigned int>(ls_libversion())));
  info.value("index", numberfield(index));
  info.value("serial", textfield(ls_getserialnumber(index)));
  info.value("manufacturer", textfield(ls_getvendorname(index)));
  info.value("product", textfield(ls_getproductname(index)));
  info.value("mcu1 version", versionfield(static_cast<unsigned int>(ls_getmcu1version(index))));

  unsigned short mcu2 = 0;
  info.read("mcu2 version", ls_getmcu2version(&mcu2, t), [&] { return versionfield(mcu2); });

  unsigned short type = 0, second = 0;
  int typeresult = ls_getsensortype(&type, &second, t);
  info.read("sensor type", typeresult, [&] { return hexfield(type, 4); });
  if (typeresult == CX_SUCCESS) {
    info.value("sensor second word", hexfield(second, 4));
    info.value("sensor name", textfield(ls_getsensorname(type)));
    unsigned int mintime = 0, maxtime = 0;
    int limits = ls_getminmaxtime(type, &mintime, &maxtime);
    info.read("inttime min", limits, [&] { return numberfield(mintime); });
    if (limits == CX_SUCCESS)
      info.value("inttime max", numberfield(maxtime));
    else
      info.dependent("inttime max", limits);
  } else {
    for (const char* key : {"sensor second word", "sensor name", "inttime min", "inttime max"})
      info.dependent(key, typeresult);
  }

  unsigned short mcu2type = 0;
  info.read("mcu2 sensor type", ls_getmcu2sensortype(&mcu2type, t), [&] { return hexfield(mcu2type, 4); });

  auto setting = [&](const char* name) {
    const Setting* s = findsetting(name);
    unsigned int v = 0;
    info.read(name, s->get(v, t), [&] { return Field{settingtext(*s, v), static_cast<qint64>(v)}; });
  };
  setting("mode");
  setting("state");
  setting("inttime");

  int packetlength = 0;
  info.read("packet length", ls_getpacketlength(&packetlength, t), [&] { return numberfield(packetlength); });
  unsigned int custom = 0;
  info.read("custom firmware", ls_customfirmware(&custom, t), [&] { return numberfield(custom); });

  for (const char* name : {"adcconfig", "adcmux", "pga1", "pga2", "pga3", "offset1", "offset2", "offset3"})
    setting(name);

  unsigned char pins = 0, ep6 = 0, freq = 0;
  info.read("power pins", ls_getpowerpins(&pins, t), [&] { return hexfield(pins, 2); });
  info.read("ep6 status", ls_ep6stat(&ep6, t), [&] { return hexfield(ep6, 2); });
  info.read("i2c frequency", ls_geti2cfreq(&freq, t), [&] { return numberfield(freq); });
  return info.finish();
}
