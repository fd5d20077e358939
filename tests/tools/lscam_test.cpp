// SPDX-License-Identifier: MIT
// lscam, run as a subprocess against the simulated camera. Each run is a new
// process with a new simulated bus set up from SIMCAM_* variables.
#include <gtest/gtest.h>
#include <png.h>
#include <signal.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "lscam_run.h"
#include "simcam.h"
#include "tests/support/stream.h"
#include "vantorpi.h"

namespace {

using namespace lscamtest;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) result.push_back(line);
  return result;
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(' '), e = s.find_last_not_of(' ');
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// "key: value" lines in order of appearance.
std::vector<std::pair<std::string, std::string>> keyvalues(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> result;
  for (const std::string& line : lines(text)) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    result.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
  }
  return result;
}

std::map<std::string, std::string> keymap(const std::string& text) {
  std::map<std::string, std::string> m;
  for (const auto& kv : keyvalues(text)) m[kv.first] = kv.second;
  return m;
}

std::string hex(unsigned int value, int digits) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*x", digits, value);
  return buf;
}

std::string version(unsigned int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%x.%02x", (v >> 8) & 0xFF, v & 0xFF);
  return buf;
}

std::string failure(int code) { return std::to_string(code) + " " + ls_geterrorstring(code); }

std::vector<uint8_t> readfile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writefile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

struct Png {
  bool ok = false;
  std::string error;
  uint32_t width = 0, height = 0;
  int depth = 0, colortype = -1;
  std::vector<std::vector<uint8_t>> rows;  // as stored: 16-bit samples big-endian

  // Sample c of pixel x in row y.
  unsigned sample(uint32_t y, uint32_t x, int c = 0) const {
    const int channels = colortype == PNG_COLOR_TYPE_RGB ? 3 : 1;
    const size_t i = static_cast<size_t>(x) * channels + static_cast<size_t>(c);
    return depth == 16 ? (rows[y][2 * i] << 8 | rows[y][2 * i + 1]) : rows[y][i];
  }
};

struct PngJump {
  std::jmp_buf jump;
  std::string message;
};

void onerror(png_structp png, png_const_charp message) {
  auto* j = static_cast<PngJump*>(png_get_error_ptr(png));
  j->message = message;
  std::longjmp(j->jump, 1);
}

void onwarning(png_structp, png_const_charp) {}

Png decodepng(const std::string& path) {
  Png img;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    img.error = "cannot open " + path;
    return img;
  }
  PngJump jump;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &jump, onerror, onwarning);
  png_infop info = png_create_info_struct(png);
  if (setjmp(jump.jump)) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    img.error = jump.message;
    img.rows.clear();
    return img;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  img.width = png_get_image_width(png, info);
  img.height = png_get_image_height(png, info);
  img.depth = png_get_bit_depth(png, info);
  img.colortype = png_get_color_type(png, info);
  const size_t rowbytes = png_get_rowbytes(png, info);
  img.rows.assign(img.height, std::vector<uint8_t>(rowbytes));
  for (auto& row : img.rows) png_read_row(png, row.data(), nullptr);
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  img.ok = true;
  return img;
}

class LscamTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  std::string file(const std::string& name) const {
    return dir.filePath(QString::fromStdString(name)).toStdString();
  }
  QTemporaryDir dir;
};

// ---- list ----

TEST_F(LscamTest, ListShowsEveryCameraWithItsIdentity) {
  for (int cameras : {1, 3}) {
    SCOPED_TRACE(cameras);
    Result r = lscam({"list"}, {{"SIMCAM_CAMERAS", std::to_string(cameras)}});
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    std::vector<std::string> rows = lines(r.out);
    ASSERT_EQ(rows.size(), static_cast<size_t>(cameras) + 1) << r.out;  // a heading, then one row per camera
    for (int i = 0; i < cameras; ++i) {
      const std::string& row = rows[static_cast<size_t>(i) + 1];
      char serial[16];
      std::snprintf(serial, sizeof serial, "SIM%04d", i + 1);
      std::istringstream fields(row);
      std::string index, sn;
      fields >> index >> sn;
      EXPECT_EQ(index, std::to_string(i)) << row;
      EXPECT_EQ(sn, serial) << row;
      EXPECT_TRUE(contains(row, SIMCAM_MANUFACTURER)) << row;
      EXPECT_TRUE(contains(row, SIMCAM_PRODUCT)) << row;
      EXPECT_EQ(trim(row.substr(row.rfind(' '))), version(SIMCAM_CAMERA_BCD)) << row;
    }
  }
}

TEST_F(LscamTest, ListWithoutCamerasSaysSoAndFails) {
  Result r = lscam({"list"}, {{"SIMCAM_CAMERAS", "0"}});
  EXPECT_EQ(r.exitcode, 1) << describe(r);
  EXPECT_TRUE(contains(r.err, "no cameras found")) << describe(r);
  EXPECT_EQ(r.out, "");
}

TEST_F(LscamTest, ListAsJson) {
  for (int cameras : {0, 2}) {
    SCOPED_TRACE(cameras);
    Result r = lscam({"list", "--json"}, {{"SIMCAM_CAMERAS", std::to_string(cameras)}});
    EXPECT_EQ(r.exitcode, cameras ? 0 : 1) << describe(r);
    const QJsonArray list = jsonobject(r.out)["cameras"].toArray();
    ASSERT_EQ(list.size(), cameras) << r.out;
    for (int i = 0; i < cameras; ++i) {
      const QJsonObject c = list[i].toObject();
      char serial[16];
      std::snprintf(serial, sizeof serial, "SIM%04d", i + 1);
      EXPECT_EQ(c.keys(), (QStringList{"index", "manufacturer", "mcu1_version", "product", "serial"}));
      EXPECT_EQ(c["index"].toInt(-1), i);
      EXPECT_EQ(c["serial"].toString(), serial);
      EXPECT_EQ(c["manufacturer"].toString(), SIMCAM_MANUFACTURER);
      EXPECT_EQ(c["product"].toString(), SIMCAM_PRODUCT);
      EXPECT_EQ(c["mcu1_version"].toString().toStdString(), version(SIMCAM_CAMERA_BCD));
    }
  }
}

// A serial number that would retitle and clear a terminal, and run a command in a shell.
const std::string kHostileSerial = "x$(touch /tmp/p)\x1b]0;T\x07\x1b[2J";
const std::string kHostileShown = "x$(touch /tmp/p)\\x1b]0;T\\x07\\x1b[2J";

// The camera with kHostileSerial, set up in lscam's process by the preloaded simscript.
Env hostilecamera() { return {{"LD_PRELOAD", simscriptpreload()}, {"SIMSCRIPT_SERIAL", kHostileSerial}}; }

bool hascontrols(const std::string& text) {
  return std::any_of(text.begin(), text.end(),
                     [](unsigned char c) { return c != '\n' && (c < 0x20 || c == 0x7F); });
}

TEST_F(LscamTest, DeviceStringsReachTheTerminalEscapedAndJsonExact) {
  for (const char* command : {"list", "info"}) {
    SCOPED_TRACE(command);
    const Result r = lscam({command}, hostilecamera());
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    EXPECT_FALSE(hascontrols(r.out + r.err)) << describe(r);
    EXPECT_TRUE(contains(r.out, kHostileShown)) << r.out;
    const Result j = lscam({command, "--json"}, hostilecamera());
    ASSERT_EQ(j.exitcode, 0) << describe(j);
    const QJsonObject o = jsonobject(j.out);
    const QJsonValue serial =
        std::string(command) == "list" ? o["cameras"].toArray()[0].toObject()["serial"] : o["serial"];
    EXPECT_EQ(serial.toString().toStdString(), kHostileSerial);
  }
  // What the user typed comes back escaped as well.
  const Result r = lscam({"--serial", kHostileSerial + "y", "info"}, hostilecamera());
  EXPECT_EQ(r.exitcode, 1) << describe(r);
  EXPECT_FALSE(hascontrols(r.err)) << r.err;
  EXPECT_TRUE(contains(r.err, kHostileShown + "y")) << r.err;
}

// ---- info ----

const char* const kInfoKeys[] = {
    "library version",
    "index",
    "serial",
    "manufacturer",
    "product",
    "mcu1 version",
    "mcu2 version",
    "sensor type",
    "sensor second word",
    "sensor name",
    "inttime min",
    "inttime max",
    "mcu2 sensor type",
    "mode",
    "state",
    "inttime",
    "packet length",
    "custom firmware",
    "adcconfig",
    "adcmux",
    "pga1",
    "pga2",
    "pga3",
    "offset1",
    "offset2",
    "offset3",
    "power pins",
    "ep6 status",
    "i2c frequency",
};

TEST_F(LscamTest, InfoShowsEveryKeyInAStableOrder) {
  Result r = lscam({"info"});
  ASSERT_EQ(r.exitcode, 0) << describe(r);
  EXPECT_EQ(r.err, "");
  auto kv = keyvalues(r.out);
  ASSERT_EQ(kv.size(), std::size(kInfoKeys)) << r.out;
  for (size_t i = 0; i < kv.size(); ++i) {
    EXPECT_EQ(kv[i].first, kInfoKeys[i]);
    EXPECT_FALSE(kv[i].second.empty()) << kv[i].first;
    EXPECT_FALSE(contains(kv[i].second, "error")) << kv[i].first << ": " << kv[i].second;
  }
  auto m = keymap(r.out);
  EXPECT_EQ(m["library version"], version(static_cast<unsigned>(ls_libversion())));
  EXPECT_EQ(m["index"], "0");
  EXPECT_EQ(m["serial"], "SIM0001");
  EXPECT_EQ(m["manufacturer"], SIMCAM_MANUFACTURER);
  EXPECT_EQ(m["product"], SIMCAM_PRODUCT);
  EXPECT_EQ(m["mcu1 version"], version(SIMCAM_CAMERA_BCD));
}

TEST_F(LscamTest, InfoShowsTheFittedSensorWithItsCatalogueEntry) {
  for (unsigned type : {0x1000u, 0x1004u, 0x100Bu}) {
    SCOPED_TRACE(hex(type, 4));
    Result r = lscam({"info"}, {{"SIMCAM_SENSOR", std::to_string(type)}});
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    auto m = keymap(r.out);
    unsigned int mintime = 0, maxtime = 0;
    ASSERT_EQ(ls_getminmaxtime(static_cast<unsigned short>(type), &mintime, &maxtime), CX_SUCCESS);
    EXPECT_EQ(m["sensor type"], hex(type, 4));
    EXPECT_EQ(m["mcu2 sensor type"], hex(type, 4));
    EXPECT_EQ(m["sensor name"], ls_getsensorname(static_cast<unsigned short>(type)));
    EXPECT_EQ(m["inttime min"], std::to_string(mintime));
    EXPECT_EQ(m["inttime max"], std::to_string(maxtime));
  }
}

TEST_F(LscamTest, InfoShowsAFailedFieldAndCarriesOn) {
  // A sensor outside the catalogue has no integration-time limits.
  Result r = lscam({"info"}, {{"SIMCAM_SENSOR", "0x2000"}});
  EXPECT_EQ(r.exitcode, 1) << describe(r);
  auto m = keymap(r.out);
  EXPECT_EQ(m["sensor type"], "0x2000");
  EXPECT_EQ(m["sensor name"], ls_getsensorname(0x2000));
  EXPECT_EQ(m["inttime min"], "error " + failure(CX_ERROR_SENSOR_TYPE));
  EXPECT_EQ(m["inttime max"], "error " + failure(CX_ERROR_SENSOR_TYPE));
  EXPECT_EQ(keyvalues(r.out).size(), std::size(kInfoKeys)) << "every key is still shown";
  EXPECT_TRUE(contains(r.err, failure(CX_ERROR_SENSOR_TYPE))) << r.err;
}

TEST_F(LscamTest, CameraIsChosenByIndexOrSerial) {
  const Env two = {{"SIMCAM_CAMERAS", "2"}};
  struct Case {
    std::vector<std::string> args;
    std::string index, serial;
  } cases[] = {
      {{"info"}, "0", "SIM0001"},
      {{"--index", "1", "info"}, "1", "SIM0002"},
      {{"info", "--serial", "SIM0002"}, "1", "SIM0002"},
      {{"--serial", "SIM0001", "info"}, "0", "SIM0001"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : c.args[0]);
    Result r = lscam(c.args, two);
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    auto m = keymap(r.out);
    EXPECT_EQ(m["index"], c.index);
    EXPECT_EQ(m["serial"], c.serial);
  }
}

TEST_F(LscamTest, AMissingCameraFailsWithTheLibrarysCodeAndText) {
  struct Case {
    std::vector<std::string> args;
    Env env;
    int code;
  } cases[] = {
      {{"info", "--serial", "NOPE"}, {}, CX_ERR_SERIAL_NUM_NOT_FOUND},
      {{"get", "mode", "--serial", "SIM00011"}, {}, CX_ERR_SERIAL_NUM_NOT_FOUND},
      {{"--index", "2", "info"}, {{"SIMCAM_CAMERAS", "2"}}, CX_ERR_DEVICE_INDEX_OUT_OF_RANGE},
      {{"info"}, {{"SIMCAM_CAMERAS", "0"}}, CX_ERR_NO_DEVICES_ATTACHED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.code);
    Result r = lscam(c.args, c.env);
    EXPECT_EQ(r.exitcode, 1) << describe(r);
    EXPECT_TRUE(contains(r.err, ": " + failure(c.code))) << describe(r);
    EXPECT_EQ(r.out, "");
  }
}

// info --json holds what the text shows: the same keys with '_', numbers as numbers.
TEST_F(LscamTest, InfoAsJsonMatchesTheText) {
  for (const char* sensor : {"0x1000", "0x2000"}) {  // 0x2000: two fields fail
    SCOPED_TRACE(sensor);
    const Env env = {{"SIMCAM_SENSOR", sensor}};
    Result text = lscam({"info"}, env), json = lscam({"info", "--json"}, env);
    EXPECT_EQ(json.exitcode, text.exitcode) << describe(json);
    QJsonObject o = jsonobject(json.out);
    const QJsonObject errors = o.take("errors").toObject();
    std::vector<std::string> keys;
    for (const QString& k : o.keys()) keys.push_back(k.toStdString());
    std::vector<std::string> expected;
    for (std::string k : kInfoKeys) {
      std::replace(k.begin(), k.end(), ' ', '_');
      expected.push_back(k);
    }
    std::sort(expected.begin(), expected.end());
    ASSERT_EQ(keys, expected) << json.out;
    for (const auto& kv : keyvalues(text.out)) {
      std::string key = kv.first;
      std::replace(key.begin(), key.end(), ' ', '_');
      const QJsonValue v = o[QString::fromStdString(key)];
      std::string shown;
      if (v.isNull()) {
        const QJsonObject e = errors[QString::fromStdString(key)].toObject();
        shown = "error " + std::to_string(e["code"].toInt()) + " " + e["text"].toString().toStdString();
      } else if (v.isDouble()) {
        const bool ishex = kv.second.rfind("0x", 0) == 0;
        shown = ishex ? hex(static_cast<unsigned>(v.toDouble()), static_cast<int>(kv.second.size()) - 2)
                      : std::to_string(static_cast<long long>(v.toDouble()));
      } else {
        shown = v.toString().toStdString();
      }
      EXPECT_EQ(shown, kv.second) << key;
    }
    EXPECT_EQ(errors.size(), std::string(sensor) == "0x2000" ? 2 : 0) << json.out;
  }
}

// ---- get / set ----

TEST_F(LscamTest, GetShowsWhatInfoShows) {
  const std::vector<std::string> names = {"mode", "state", "inttime", "adcconfig", "adcmux", "pga1",
                                          "pga2", "pga3",  "offset1", "offset2",   "offset3"};
  Result info = lscam({"info"});
  ASSERT_EQ(info.exitcode, 0) << describe(info);
  std::vector<std::string> args = {"get"};
  args.insert(args.end(), names.begin(), names.end());
  Result get = lscam(args);
  ASSERT_EQ(get.exitcode, 0) << describe(get);
  auto fromget = keymap(get.out), frominfo = keymap(info.out);
  for (const std::string& name : names) EXPECT_EQ(fromget[name], frominfo[name]) << name;

  Result one = lscam({"get", "inttime"});
  ASSERT_EQ(one.exitcode, 0) << describe(one);
  EXPECT_EQ(one.out, frominfo["inttime"] + "\n") << "a single name prints the bare value";
}

TEST_F(LscamTest, GetAsJson) {
  Result text = lscam({"get", "mode", "inttime", "pga1"});
  ASSERT_EQ(text.exitcode, 0) << describe(text);
  for (const std::vector<std::string>& names :
       {std::vector<std::string>{"inttime"}, {"mode", "inttime", "pga1"}}) {
    std::vector<std::string> args = {"get", "--json"};
    args.insert(args.end(), names.begin(), names.end());
    Result r = lscam(args);
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    const QJsonObject o = jsonobject(r.out);
    EXPECT_EQ(static_cast<size_t>(o.size()), names.size()) << r.out;
    auto values = keymap(text.out);
    for (const std::string& n : names) {
      const QJsonValue v = o[QString::fromStdString(n)];
      ASSERT_TRUE(v.isDouble()) << n << ": " << r.out;
      EXPECT_EQ(static_cast<unsigned long>(v.toDouble()), std::stoul(values[n], nullptr, 0)) << n;
    }
  }
}

TEST_F(LscamTest, SetThenReadBackRoundTrips) {
  Result before = lscam({"get", "mode", "state", "inttime", "pga1", "offset3"});
  ASSERT_EQ(before.exitcode, 0) << describe(before);
  auto old = keymap(before.out);
  // New values that differ from the current ones.
  const unsigned mode = (std::stoul(old["mode"]) + 1) % 4;
  const unsigned state = (std::stoul(old["state"]) + 1) % 2;
  const unsigned inttime = static_cast<unsigned>(std::stoul(old["inttime"]) + 12345);
  const unsigned pga1 = (static_cast<unsigned>(std::stoul(old["pga1"], nullptr, 16)) ^ 0x1ABu) & 0x1FFu;
  const unsigned offset3 = (static_cast<unsigned>(std::stoul(old["offset3"], nullptr, 16)) ^ 0x0F0u) & 0x1FFu;
  Result r = lscam({"set", "mode", std::to_string(mode), "state", std::to_string(state), "inttime",
                    std::to_string(inttime), "pga1", hex(pga1, 3), "offset3", std::to_string(offset3),
                    "--readback"});
  ASSERT_EQ(r.exitcode, 0) << describe(r);
  EXPECT_EQ(r.out, "mode: " + std::to_string(mode) + "\nstate: " + std::to_string(state) +
                       "\ninttime: " + std::to_string(inttime) + "\npga1: " + hex(pga1, 4) +
                       "\noffset3: " + hex(offset3, 4) + "\n");
}

TEST_F(LscamTest, SetInttimeKeepsToTheSensorsLimitsUnlessForced) {
  const Env sensor = {{"SIMCAM_SENSOR", std::to_string(0x1004)}};
  unsigned int low = 0, high = 0;
  ASSERT_EQ(ls_getminmaxtime(0x1004, &low, &high), CX_SUCCESS);
  ASSERT_GT(low, 0u);
  const std::string limits = std::to_string(low) + " to " + std::to_string(high);
  for (unsigned long long v : {0ull, static_cast<unsigned long long>(low) - 1, high + 1ull, 4294967295ull}) {
    SCOPED_TRACE(v);
    const Result r = lscam({"set", "inttime", std::to_string(v), "--readback"}, sensor);
    EXPECT_EQ(r.exitcode, 2) << describe(r);
    EXPECT_TRUE(contains(r.err, limits)) << r.err;
    EXPECT_TRUE(contains(r.err, "--force")) << r.err;
    EXPECT_EQ(r.out, "") << "nothing written";
  }
  for (unsigned int v : {low, high}) {
    const Result r = lscam({"set", "inttime", std::to_string(v), "--readback"}, sensor);
    EXPECT_EQ(r.exitcode, 0) << describe(r);
    EXPECT_EQ(r.out, "inttime: " + std::to_string(v) + "\n");
  }
  const Result forced = lscam({"set", "inttime", "0", "--readback", "--force"}, sensor);
  EXPECT_EQ(forced.exitcode, 0) << describe(forced);
  EXPECT_EQ(forced.out, "inttime: 0\n");
}

TEST_F(LscamTest, SetPrintsNothingOnSuccess) {
  Result r = lscam({"set", "inttime", "1500", "pga2", "0x20"});
  EXPECT_EQ(r.exitcode, 0) << describe(r);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

// ---- stream ----

TEST_F(LscamTest, StreamWritesWholePacketsInStreamOrder) {
  for (int packetlength : {4096, 8192}) {
    SCOPED_TRACE(packetlength);
    const std::string out = file("stream.raw");
    Result r =
        lscam({"stream", "--seconds", "1", "--out", out, "--packet-length", std::to_string(packetlength)},
              {{"SIMCAM_RATE", "2000000"}});
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    std::vector<uint8_t> bytes = readfile(out);
    ASSERT_GT(bytes.size(), 0u);
    vtest::StreamCheck check(packetlength, simcam_fill_packet);
    EXPECT_EQ(check.feed(bytes), "") << "the file holds packets 0, 1, 2... unchanged";
    EXPECT_TRUE(check.atboundary()) << bytes.size();
    EXPECT_TRUE(contains(r.err, std::to_string(bytes.size()) + " bytes"))
        << "the summary counts them: " << r.err;
  }
}

TEST_F(LscamTest, StreamToStandardOutput) {
  Result r = lscam({"stream", "--seconds", "1", "--out", "-"}, {{"SIMCAM_RATE", "1000000"}});
  ASSERT_EQ(r.exitcode, 0) << r.err;
  ASSERT_GT(r.out.size(), 0u);
  vtest::StreamCheck check(4096, simcam_fill_packet);
  EXPECT_EQ(check.feed(r.out), "");
  EXPECT_TRUE(check.atboundary()) << r.out.size();
  EXPECT_TRUE(contains(r.err, "MB/s")) << r.err;
}

TEST_F(LscamTest, StreamAsJsonLines) {
  const std::string out = file("stream.raw");
  Result r = lscam({"stream", "--seconds", "2.5", "--out", out, "--json"}, {{"SIMCAM_RATE", "2000000"}});
  ASSERT_EQ(r.exitcode, 0) << describe(r);
  EXPECT_EQ(r.err, "") << "no status lines beside the JSON";
  std::vector<QJsonObject> objects;
  for (const std::string& line : lines(r.out)) objects.push_back(jsonobject(line));
  ASSERT_GE(objects.size(), 3u) << "two status lines and the summary:\n" << r.out;
  qint64 previous = 0;
  for (size_t i = 0; i + 1 < objects.size(); ++i) {
    const QJsonObject& s = objects[i];
    EXPECT_EQ(s["type"].toString(), "status");
    EXPECT_GE(s["bytes"].toDouble(), static_cast<double>(previous));
    previous = static_cast<qint64>(s["bytes"].toDouble());
    EXPECT_GT(s["seconds"].toDouble(), 0.9);
    EXPECT_TRUE(s["bytes_per_second"].isDouble());
    EXPECT_TRUE(s.contains("camera_bytes_per_second"));
  }
  const QJsonObject& summary = objects.back();
  EXPECT_EQ(summary["type"].toString(), "summary");
  EXPECT_EQ(summary["result"].toString(), "done");
  const auto bytes = static_cast<qint64>(summary["bytes"].toDouble());
  EXPECT_EQ(bytes, static_cast<qint64>(readfile(out).size()));
  EXPECT_EQ(summary["packet_length"].toInt(), 4096);
  EXPECT_EQ(static_cast<qint64>(summary["packets"].toDouble()) * 4096, bytes);
  EXPECT_GE(summary["seconds"].toDouble(), 2.5);
  EXPECT_GT(summary["camera_bytes_per_second"].toDouble(), 0.0);
  EXPECT_EQ(summary["out"].toString().toStdString(), out);
}

TEST_F(LscamTest, StreamEndsCleanlyOnSignal) {
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    QProcess p;
    p.setProcessEnvironment(environment({{"SIMCAM_RATE", "4000000"}}));
    p.setReadChannel(QProcess::StandardError);
    p.start(LSCAM_PATH, QStringList{"stream"});
    ASSERT_TRUE(p.waitForStarted(30000));
    // The first status line shows that the stream runs.
    QByteArray err;
    QDeadlineTimer deadline(60000);
    while (!err.contains("received") && !deadline.hasExpired() && p.state() == QProcess::Running) {
      p.waitForReadyRead(static_cast<int>(std::max<qint64>(1, deadline.remainingTime())));
      err += p.readAllStandardError();
    }
    ASSERT_TRUE(err.contains("received")) << err.toStdString();
    ASSERT_EQ(::kill(static_cast<pid_t>(p.processId()), sig), 0);
    ASSERT_TRUE(p.waitForFinished(30000));
    err += p.readAllStandardError();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0) << err.toStdString();
    EXPECT_TRUE(err.contains("interrupted:")) << err.toStdString();
  }
}

constexpr int kNoDevice = -4;  // libusb's code for a device that is gone

// Runs lscam with a camera that is unplugged after 100 packets; the time from
// the unplug to lscam's end, or a test failure.
Result runtillunplugged(const std::vector<std::string>& args, qint64& ms) {
  QProcess p;
  p.setProcessEnvironment(environment(
      {{"SIMCAM_RATE", "4000000"}, {"LD_PRELOAD", simscriptpreload()}, {"SIMSCRIPT_UNPLUG", "100"}}));
  p.start(LSCAM_PATH, qargs(args));
  Result r;
  if (!p.waitForStarted(30000)) {
    ADD_FAILURE() << "lscam did not start";
    return r;
  }
  QByteArray err;
  QDeadlineTimer deadline(30000);
  while (!err.contains("simscript: unplugged") && !deadline.hasExpired() && p.state() == QProcess::Running) {
    p.waitForReadyRead(50);
    err += p.readAllStandardError();
  }
  QElapsedTimer since;
  since.start();
  if (!p.waitForFinished(30000)) {
    p.kill();
    p.waitForFinished(10000);
    ADD_FAILURE() << "lscam did not end after the unplug";
  }
  ms = since.elapsed();
  r.crashed = p.exitStatus() != QProcess::NormalExit;
  r.exitcode = p.exitCode();
  r.out = p.readAllStandardOutput().toStdString();
  r.err = (err + p.readAllStandardError()).toStdString();
  EXPECT_TRUE(contains(r.err, "simscript: unplugged")) << r.err;
  return r;
}

TEST_F(LscamTest, StreamAndCaptureEndPromptlyWhenTheCameraIsUnplugged) {
  const std::string image = file("unplugged.png");
  for (const std::vector<std::string>& args : {std::vector<std::string>{"stream"},
                                               {"stream", "--seconds", "60", "--json"},
                                               {"capture", "--out", image}}) {
    SCOPED_TRACE(args.back());
    qint64 ms = 0;
    const Result r = runtillunplugged(args, ms);
    EXPECT_EQ(r.exitcode, 1) << describe(r);
    EXPECT_TRUE(contains(r.err, failure(kNoDevice))) << r.err;
    // Half a second is the aim; the bound leaves room for a loaded machine.
    EXPECT_LT(ms, 2000) << "from the unplug to the exit";
    std::printf("%s ended %lld ms after the unplug\n", args.front().c_str(), static_cast<long long>(ms));
    if (contains(args.back(), "--json")) {
      const QJsonObject summary = jsonobject(lines(r.out).back());
      EXPECT_EQ(summary["result"].toString(), "failed");
      EXPECT_EQ(summary["error"].toObject()["code"].toInt(), kNoDevice);
    }
  }
  EXPECT_FALSE(QFile::exists(QString::fromStdString(image))) << "no partial image";
}

// ---- capture ----

TEST_F(LscamTest, CaptureWritesTheStreamsPixels) {
  struct Case {
    int depth, width, lines, skip;
  } cases[] = {{16, 2048, 64, 0}, {16, 1000, 37, 0}, {8, 3000, 11, 0},
               {8, 4096, 3, 0},   {16, 2048, 5, 4},  {8, 100, 7, 99}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.depth) + "-bit " + std::to_string(c.width) + "x" + std::to_string(c.lines) +
                 " skip " + std::to_string(c.skip));
    const std::string out = file("raw.png");
    Result r =
        lscam({"capture", "--lines", std::to_string(c.lines), "--width", std::to_string(c.width), "--depth",
               std::to_string(c.depth), "--skip", std::to_string(c.skip), "--out", out, "--no-autoscale"});
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    Png png = decodepng(out);
    ASSERT_TRUE(png.ok) << png.error;
    EXPECT_EQ(png.width, static_cast<uint32_t>(c.width - c.skip));
    EXPECT_EQ(png.height, static_cast<uint32_t>(c.lines));
    EXPECT_EQ(png.depth, c.depth);
    EXPECT_EQ(png.colortype, PNG_COLOR_TYPE_GRAY);
    const size_t bpp = static_cast<size_t>(c.depth / 8);
    std::vector<uint8_t> stream =
        vtest::streambytes(static_cast<size_t>(c.width) * c.lines * bpp, 4096, simcam_fill_packet);
    size_t mismatches = 0;
    for (uint32_t y = 0; y < png.height; ++y)
      for (uint32_t x = 0; x < png.width; ++x) {
        const size_t at = (static_cast<size_t>(y) * c.width + c.skip + x) * bpp;
        const unsigned expected = bpp == 2 ? (stream[at] | stream[at + 1] << 8) : stream[at];
        mismatches += png.sample(y, x) != expected;
      }
    EXPECT_EQ(mismatches, 0u)
        << "pixel values are the stream's little-endian samples, line after line, without the first --skip";
  }
}

TEST_F(LscamTest, CaptureWithAutoscaleAndProfile) {
  const std::string image = file("linescan.png"), profile = file("profile.png");
  Result r = lscam({"capture", "--lines", "512", "--width", "2048", "--out", image, "--profile", profile});
  ASSERT_EQ(r.exitcode, 0) << describe(r);
  EXPECT_TRUE(contains(r.out, image)) << r.out;
  EXPECT_TRUE(contains(r.out, profile)) << r.out;

  Png png = decodepng(image);
  ASSERT_TRUE(png.ok) << png.error;
  EXPECT_EQ(png.width, 2048u);
  EXPECT_EQ(png.height, 512u);
  EXPECT_EQ(png.depth, 16);
  unsigned lo = 0xFFFF, hi = 0;
  for (uint32_t y = 0; y < png.height; ++y)
    for (uint32_t x = 0; x < png.width; ++x) {
      lo = std::min(lo, png.sample(y, x));
      hi = std::max(hi, png.sample(y, x));
    }
  EXPECT_EQ(lo, 0u) << "stretched to the full range";
  EXPECT_EQ(hi, 0xFFFFu) << "stretched to the full range";

  Png plot = decodepng(profile);
  ASSERT_TRUE(plot.ok) << plot.error;
  EXPECT_EQ(plot.width, 800u);
  EXPECT_EQ(plot.height, 300u);
  size_t white = 0, drawn = 0;
  for (uint32_t y = 0; y < plot.height; ++y)
    for (uint32_t x = 0; x < plot.width; ++x) {
      const bool iswhite =
          plot.sample(y, x, 0) == 255 && plot.sample(y, x, 1) == 255 && plot.sample(y, x, 2) == 255;
      (iswhite ? white : drawn)++;
    }
  EXPECT_GT(white, drawn) << "a plot on a white background";
  EXPECT_GT(drawn, 800u) << "with axes and a curve across its width";
  // The axis titles: upright along the left edge, across under the pixel labels.
  auto ink = [&](uint32_t x0, uint32_t x1, uint32_t y0, uint32_t y1) {
    size_t n = 0;
    for (uint32_t y = y0; y < y1; ++y)
      for (uint32_t x = x0; x < x1; ++x) n += plot.sample(y, x, 0) == 0 && plot.sample(y, x, 2) == 0;
    return n;
  };
  EXPECT_GT(ink(0, 16, 60, 240), 20u) << "\"counts\" beside the value axis";
  EXPECT_GT(ink(300, 500, 282, 300), 20u) << "\"pixel\" under the pixel axis";
}

TEST_F(LscamTest, AFailedCaptureLeavesNoFiles) {
  const std::string image = file("linescan.png"), profile = file("profile.png");
  Result r = lscam({"capture", "--out", image, "--profile", profile}, {{"SIMCAM_CAMERAS", "0"}});
  EXPECT_EQ(r.exitcode, 1) << describe(r);
  EXPECT_TRUE(contains(r.err, failure(CX_ERR_NO_DEVICES_ATTACHED))) << r.err;
  EXPECT_FALSE(QFile::exists(QString::fromStdString(image)));
  EXPECT_FALSE(QFile::exists(QString::fromStdString(profile)));
}

// ---- flash ----

std::vector<uint8_t> randombytes(size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  std::vector<uint8_t> bytes(n);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen());
  return bytes;
}

unsigned bytesum(const std::vector<uint8_t>& bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes) sum += b;
  return sum & 0xFFFF;
}

TEST_F(LscamTest, FlashRunEndsWithTheDevicesValueForTheImage) {
  struct Case {
    size_t size;
    int block;
    bool lastbyte;
  } cases[] = {
      {3000, 512, false}, {3000, 1000, true}, {4096, 4096, false},
      {1, 512, false},    {2, 512, true},     {1 << 20, 4096, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.size) + " bytes, blocks of " + std::to_string(c.block) +
                 (c.lastbyte ? ", last byte" : ""));
    const std::vector<uint8_t> image = randombytes(c.size, static_cast<unsigned>(c.size));
    const std::string path = file("image.bin");
    writefile(path, image);
    std::vector<std::string> args = {"flash", path, "--block", std::to_string(c.block)};
    if (c.lastbyte) args.push_back("--lastbyte");
    Result r = lscam(args);
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    EXPECT_EQ(r.out, "flash value: " + hex(bytesum(image), 4) + "\n");
  }
}

TEST_F(LscamTest, FlashRefusesAnUnusableFile) {
  writefile(file("empty.bin"), {});
  writefile(file("large.bin"), std::vector<uint8_t>((1 << 20) + 1, 0x5A));
  writefile(file("one.bin"), {0x42});
  struct Case {
    std::string path;
    bool lastbyte;
    int code;
  } cases[] = {
      {file("missing.bin"), false, CX_ERR_OPEN_FLASH_FILE},
      {dir.path().toStdString(), false, CX_ERR_OPEN_FLASH_FILE},
      {file("empty.bin"), false, CX_ERR_LENGTH_FLASH_FILE},
      {file("large.bin"), false, CX_ERR_LENGTH_FLASH_FILE},
      {file("one.bin"), true, CX_ERR_LENGTH_FLASH_FILE},  // no data block before the last byte
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    std::vector<std::string> args = {"flash", c.path};
    if (c.lastbyte) args.push_back("--lastbyte");
    Result r = lscam(args);
    EXPECT_EQ(r.exitcode, 1) << describe(r);
    EXPECT_TRUE(contains(r.err, c.path + ": " + failure(c.code))) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

// ---- usage and help ----

TEST_F(LscamTest, BadUsageExitsWithTwo) {
  const std::string out = file("x.png");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"bogus"},
      {"list", "extra"},
      {"list", "--seconds", "2"},
      {"get"},
      {"get", "nosuch"},
      {"set", "mode"},
      {"set", "mode", "two"},
      {"set", "mode", "4"},
      {"set", "state", "2"},
      {"set", "pga1", "0x200"},
      {"set", "inttime", "0x100000000"},
      {"set", "inttime", "1", "mode"},
      {"stream", "--seconds", "abc"},
      {"stream", "--packet-length", "100"},
      {"capture"},
      {"capture", "--out", out, "--depth", "12"},
      {"capture", "--out", out, "--lines", "0"},
      {"capture", "--out", out, "--lines", "1000001", "--width", "256"},
      {"capture", "--out", out, "--lines", "1", "--width", "1048576"},
      {"capture", "--out", out, "--width", "100", "--skip", "100"},
      {"set", "inttime", "0x100000000", "--force"},
      {"capture", "--out", "-"},
      {"flash"},
      {"flash", "a.bin", "b.bin"},
      {"flash", "a.bin", "--block", "0"},
      {"flash", "a.bin", "--block", "65536"},
      {"--index", "0", "--serial", "SIM0001", "info"},
      {"--index", "first", "info"},
      {"--timeout", "soon", "info"},
      {"help", "bogus"},
      {"set", "mode", "1", "--json"},
      {"stream", "--json", "--out", "-"},
      {"doctor", "extra"},
      {"doctor", "--packet-length", "100"},
  };
  for (const auto& args : cases) {
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    SCOPED_TRACE(joined);
    Result r = lscam(args);
    EXPECT_FALSE(r.crashed);
    EXPECT_EQ(r.exitcode, 2) << describe(r);
    EXPECT_TRUE(contains(r.err, "lscam: ")) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

TEST_F(LscamTest, HelpListsTheCommandsAndEachCommandsOptions) {
  const char* commands[] = {"list", "info", "get", "set", "stream", "capture", "flash", "doctor", "help"};
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--help"}, {"help"}, {"-h"}}) {
    Result r = lscam(args);
    ASSERT_EQ(r.exitcode, 0) << describe(r);
    for (const char* c : commands)
      EXPECT_TRUE(contains(r.out, std::string("\n  ") + c + " ")) << c << "\n" << r.out;
    for (const char* option : {"--index", "--serial", "--timeout"})
      EXPECT_TRUE(contains(r.out, option)) << option;
  }
  struct Case {
    const char* command;
    std::vector<std::string> mentions;
  } cases[] = {
      {"list", {"lscam [global options] list", "--json", "mcu1_version"}},
      {"info", {"key: value", "--json", "i2c_frequency", "\"errors\""}},
      {"get", {"mode", "inttime", "pga1", "offset3", "adcconfig", "adcmux", "--json"}},
      {"set", {"--readback", "--force", "0..3", "0x1ff"}},
      {"stream", {"--seconds", "--out", "Ctrl-C", "--json", "bytes_per_second", "\"summary\""}},
      {"capture",
       {"--lines", "--width", "--depth", "--skip", "--out", "--profile", "--no-autoscale", "1000000"}},
      {"flash", {"--block", "--lastbyte", "FILE"}},
      {"doctor", {"--user", "--packet-length", "--json", "LSCAM_SYSROOT", "usbfs", "\"verdict\""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    for (const auto& args : {std::vector<std::string>{"help", c.command}, {c.command, "--help"}}) {
      Result r = lscam(args);
      ASSERT_EQ(r.exitcode, 0) << describe(r);
      for (const std::string& m : c.mentions) EXPECT_TRUE(contains(r.out, m)) << m << "\n" << r.out;
    }
  }
}

}  // namespace
