// SPDX-License-Identifier: MIT
// lscam doctor against fake system trees (LSCAM_SYSROOT): sysfs, /dev,
// accounts, udev rules, module parameters and firmware flags, each case a
// healthy board with one thing broken. The camera behind the library is the
// simulator's, configured through SIMCAM_* as the case needs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lscam_run.h"
#include "simcam.h"

namespace {

using namespace lscamtest;

constexpr gid_t kPlugdev = 46;
constexpr uid_t kPi = 1000;

std::string idtext(unsigned id) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04x", id);
  return buf;
}

const std::string kVid = idtext(SIMCAM_CAMERA_VID), kPid = idtext(SIMCAM_CAMERA_PID);

// A board with one camera (SIM0001, bus 1 device 2, high speed) that the user
// pi may open as a member of plugdev through the installed udev rules.
class FakeSystem {
 public:
  explicit FakeSystem(const QString& root) : root(root.toStdString()) {
    const std::string cam = "/sys/bus/usb/devices/1-1";
    write(cam + "/idVendor", kVid);
    write(cam + "/idProduct", kPid);
    write(cam + "/serial", "SIM0001");
    write(cam + "/speed", "480");
    write(cam + "/busnum", "1");
    write(cam + "/devnum", "2");
    write("/sys/bus/usb/devices/1-1:1.0/bInterfaceClass", "ff");  // an interface: no IDs
    write("/sys/bus/usb/devices/1-2/idVendor", "046d");           // another device
    write("/sys/bus/usb/devices/1-2/idProduct", kPid);
    node(0, kPlugdev, 0660);
    for (const QString& rules : QDir(UDEV_RULES_DIR).entryList({"*.rules"}, QDir::Files)) {
      QFile in(QString(UDEV_RULES_DIR) + "/" + rules);
      EXPECT_TRUE(in.open(QIODevice::ReadOnly)) << rules.toStdString();
      write("/usr/lib/udev/rules.d/" + rules.toStdString(), in.readAll().toStdString());
    }
    write("/etc/passwd", "root:x:0:0:root:/root:/bin/bash\npi:x:1000:1000:,,,:/home/pi:/bin/bash\n");
    write("/etc/group", "root:x:0:\nplugdev:x:46:pi\npi:x:1000:\n");
    write("/sys/module/usbcore/parameters/usbfs_memory_mb", "16");
    write("/sys/devices/platform/soc/soc:firmware/get_throttled", "0");
  }

  std::string path(const std::string& p) const { return root + p; }

  void write(const std::string& p, const std::string& text) {
    QDir().mkpath(QString::fromStdString(path(p.substr(0, p.rfind('/')))));
    QFile f(QString::fromStdString(path(p)));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << p;
    f.write(QByteArray::fromStdString(text + (text.empty() || text.back() == '\n' ? "" : "\n")));
  }

  void remove(const std::string& p) { ASSERT_TRUE(QFile::remove(QString::fromStdString(path(p)))) << p; }

  // The camera's device node; a regular file serves, doctor only looks at its metadata.
  void node(uid_t uid, gid_t gid, mode_t mode) {
    const std::string n = "/dev/bus/usb/001/002";
    if (!QFile::exists(QString::fromStdString(path(n)))) write(n, "");
    ASSERT_EQ(::chown(path(n).c_str(), uid, gid), 0);
    ASSERT_EQ(::chmod(path(n).c_str(), mode), 0);
  }

  std::string read(const std::string& p) const {
    QFile f(QString::fromStdString(path(p)));
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << p;
    return f.readAll().toStdString();
  }

  const std::string root;
};

struct Doctor {
  Result result;
  QJsonObject json;
  // The checks by name, with the camera's serial after a space for per-camera checks.
  std::map<std::string, QJsonObject> checks;
};

Doctor rundoctor(const FakeSystem& sys, Env env, std::vector<std::string> args) {
  env["LSCAM_SYSROOT"] = sys.root;
  args.insert(args.begin(), {"doctor", "--json"});
  Doctor d;
  d.result = lscam(args, env);
  d.json = jsonobject(d.result.out);
  for (const QJsonValue& v : d.json["checks"].toArray()) {
    const QJsonObject c = v.toObject();
    std::string key = c["check"].toString().toStdString();
    if (c.contains("camera")) key += " " + c["camera"].toString().toStdString();
    EXPECT_EQ(d.checks.count(key), 0u) << "one result per check: " << key;
    d.checks[key] = c;
  }
  return d;
}

class DoctorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "the fake device nodes need other owners: chown needs root";
    ASSERT_TRUE(dir.isValid());
  }
  QTemporaryDir dir;
};

const char* const kAllChecks[] = {"library",        "rules",         "group",          "bus",
                                  "access SIM0001", "speed SIM0001", "listed SIM0001", "busy SIM0001",
                                  "usbfs",          "power"};

TEST_F(DoctorTest, EachFaultGetsItsVerdictAndFix) {
  const std::string trigger = "sudo udevadm trigger --subsystem-match=usb --attr-match=idVendor=" + kVid +
                              " --attr-match=idProduct=" + kPid;
  const std::string installrules = "| sudo tee /etc/udev/rules.d/60-vantorpi.rules";
  const std::string usermod = "sudo usermod -aG plugdev pi";
  const Env accessdenied = {{"SIMCAM_OPEN_ERROR", "-3"}};
  struct Case {
    const char* name;
    std::function<void(FakeSystem&)> breakit;
    Env env;
    std::vector<std::string> args;
    // Every check not named here must be "ok"; "-" means it must not be there.
    std::map<std::string, std::string> verdicts;
    std::map<std::string, std::string> fixes;  // check -> part of its fix
  } cases[] = {
      {"healthy", [](FakeSystem&) {}, {}, {}, {}, {}},
      {"rules not applied to the plugged camera",
       [](FakeSystem& s) { s.node(0, 0, 0664); },
       accessdenied,
       {},
       {{"access SIM0001", "fail"}, {"listed SIM0001", "fail"}, {"busy SIM0001", "-"}},
       {{"access SIM0001", trigger}, {"listed SIM0001", trigger}}},
      {"rules missing",
       [](FakeSystem& s) {
         for (const char* f : {"60-vantorpi.rules", "61-vantorpi-group.rules", "70-vantorpi-uaccess.rules"})
           s.remove(std::string("/usr/lib/udev/rules.d/") + f);
         s.node(0, 0, 0664);
       },
       accessdenied,
       {},
       {{"rules", "fail"}, {"access SIM0001", "fail"}, {"listed SIM0001", "fail"}, {"busy SIM0001", "-"}},
       {{"rules", installrules}, {"access SIM0001", installrules}}},
      {"rules for other IDs override the packaged ones",
       [&](FakeSystem& s) {
         std::string rules = s.read("/usr/lib/udev/rules.d/60-vantorpi.rules");
         const size_t at = rules.find("ATTR{idProduct}==\"" + kPid + "\"");
         ASSERT_NE(at, std::string::npos) << rules;
         s.write("/etc/udev/rules.d/60-vantorpi.rules", rules.replace(at, 22, "ATTR{idProduct}==\"beef\""));
         s.node(0, 0, 0664);
       },
       accessdenied,
       {},
       {{"rules", "fail"}, {"access SIM0001", "fail"}, {"listed SIM0001", "fail"}, {"busy SIM0001", "-"}},
       {{"rules", installrules}, {"access SIM0001", installrules}}},
      {"user not in the group",
       [](FakeSystem& s) { s.write("/etc/group", "root:x:0:\nplugdev:x:46:\npi:x:1000:\n"); },
       accessdenied,
       {},
       {{"group", "fail"}, {"access SIM0001", "fail"}, {"listed SIM0001", "fail"}, {"busy SIM0001", "-"}},
       {{"group", usermod}, {"access SIM0001", usermod}}},
      {"full-speed link",
       [](FakeSystem& s) { s.write("/sys/bus/usb/devices/1-1/speed", "12"); },
       {},
       {},
       {{"speed SIM0001", "fail"}},
       {{"speed SIM0001", "short cable"}}},
      {"busy",
       [](FakeSystem&) {},
       {{"SIMCAM_CLAIM_ERROR", "-6"}},
       {},
       {{"busy SIM0001", "fail"}},
       {{"busy SIM0001", "sudo fuser -v /dev/bus/usb/001/002"}}},
      {"usbfs memory too small for the packets",
       [](FakeSystem& s) { s.write("/sys/module/usbcore/parameters/usbfs_memory_mb", "1"); },
       {},
       {"--packet-length", "2097152"},
       {{"usbfs", "fail"}},
       {{"usbfs", "echo 16 | sudo tee /sys/module/usbcore/parameters/usbfs_memory_mb"}}},
      {"link speed not a number",
       [](FakeSystem& s) { s.write("/sys/bus/usb/devices/1-1/speed", "nan"); },
       {},
       {},
       {{"speed SIM0001", "warn"}},
       {{"speed SIM0001", "plug it in again"}}},
      {"absurd usbfs memory limit",
       [](FakeSystem& s) { s.write("/sys/module/usbcore/parameters/usbfs_memory_mb", "17592186044416"); },
       {},
       {},
       {{"usbfs", "warn"}},
       {{"usbfs", "cat /sys/module/usbcore/parameters/usbfs_memory_mb"}}},
      {"under-voltage now",
       [](FakeSystem& s) { s.write("/sys/devices/platform/soc/soc:firmware/get_throttled", "50005"); },
       {},
       {},
       {{"power", "fail"}},
       {{"power", "power supply"}}},
      {"throttled since boot",
       [](FakeSystem& s) { s.write("/sys/devices/platform/soc/soc:firmware/get_throttled", "50000"); },
       {},
       {},
       {{"power", "warn"}},
       {{"power", "power supply"}}},
      {"no camera on the bus",
       [](FakeSystem& s) {
         for (const char* f : {"idVendor", "idProduct", "serial", "speed", "busnum", "devnum"})
           s.remove(std::string("/sys/bus/usb/devices/1-1/") + f);
       },
       {{"SIMCAM_CAMERAS", "0"}},
       {},
       {{"bus", "fail"},
        {"access SIM0001", "-"},
        {"speed SIM0001", "-"},
        {"listed SIM0001", "-"},
        {"busy SIM0001", "-"}},
       {{"bus", "lsusb -d " + kVid + ":" + kPid}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeSystem sys(dir.filePath(QString::number(n++)));
    c.breakit(sys);
    std::vector<std::string> args = {"--user", "pi"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const Doctor d = rundoctor(sys, c.env, args);
    std::string worst = "ok";
    for (const char* check : kAllChecks) {
      auto expected = c.verdicts.count(check) ? c.verdicts.at(check) : std::string("ok");
      const bool present = d.checks.count(check) > 0;
      if (expected == "-") {
        EXPECT_FALSE(present) << check;
        continue;
      }
      ASSERT_TRUE(present) << check << "\n" << describe(d.result);
      const QJsonObject& o = d.checks.at(check);
      EXPECT_EQ(o["verdict"].toString().toStdString(), expected)
          << check << ": " << o["message"].toString().toStdString();
      EXPECT_EQ(o.contains("fix"), expected != "ok") << check << ": a fix exactly for warn and fail";
      if (expected == "fail" || (expected == "warn" && worst == "ok")) worst = expected;
    }
    EXPECT_EQ(d.checks.size(),
              std::count_if(std::begin(kAllChecks), std::end(kAllChecks),
                            [&](const char* k) { return !c.verdicts.count(k) || c.verdicts.at(k) != "-"; }))
        << d.result.out;
    for (const auto& fix : c.fixes) {
      const std::string text =
          d.checks.count(fix.first) ? d.checks.at(fix.first)["fix"].toString().toStdString() : "";
      EXPECT_TRUE(contains(text, fix.second))
          << fix.first << " fix: " << text << "\nexpected: " << fix.second;
    }
    EXPECT_EQ(d.result.exitcode, worst == "fail" ? 1 : 0) << describe(d.result);
    EXPECT_EQ(d.json["verdict"].toString().toStdString(), worst);
  }
}

TEST_F(DoctorTest, ADesktopSessionsAclOpensTheCameraWithoutTheGroup) {
  FakeSystem sys(dir.path());
  sys.write("/etc/passwd",
            "root:x:0:0::/root:/bin/sh\npi:x:1000:1000::/home/pi:/bin/sh\nsvc:x:1001:1001::/:/bin/sh\n");
  sys.write("/etc/group", "root:x:0:\nplugdev:x:46:\npi:x:1000:\n");
  sys.node(0, 0, 0660);
  auto entry = [](uint16_t tag, uint16_t perm, uint32_t id) {
    std::string e(8, '\0');
    for (int i = 0; i < 2; ++i) e[i] = static_cast<char>(tag >> (8 * i));
    for (int i = 0; i < 2; ++i) e[2 + i] = static_cast<char>(perm >> (8 * i));
    for (int i = 0; i < 4; ++i) e[4 + i] = static_cast<char>(id >> (8 * i));
    return e;
  };
  // What systemd-logind gives the user at the seat (uaccess): user:pi:rw, under the mask.
  struct Case {
    const char* user;
    uint16_t mask;
    const char* access;
  } cases[] = {{"pi", 6, "ok"}, {"pi", 4, "fail"}, {"svc", 6, "fail"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.user) + " mask " + std::to_string(c.mask));
    const std::string acl = std::string("\x02\0\0\0", 4) + entry(0x01, 6, ~0u) + entry(0x02, 6, kPi) +
                            entry(0x04, 6, ~0u) + entry(0x10, c.mask, ~0u) + entry(0x20, 0, ~0u);
    const std::string node = sys.path("/dev/bus/usb/001/002");
    if (setxattr(node.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
      GTEST_SKIP() << "the file system of " << node << " takes no ACL: " << std::strerror(errno);
    const bool open = std::string(c.access) == "ok";
    Doctor d = rundoctor(sys, open ? Env{} : Env{{"SIMCAM_OPEN_ERROR", "-3"}}, {"--user", c.user});
    EXPECT_EQ(d.result.exitcode, open ? 0 : 1) << describe(d.result);
    EXPECT_EQ(d.checks["access SIM0001"]["verdict"].toString().toStdString(), c.access)
        << d.checks["access SIM0001"]["message"].toString().toStdString();
    if (!open) continue;
    EXPECT_TRUE(d.checks["access SIM0001"]["message"].toString().contains("(ACL)"));
    EXPECT_EQ(d.checks["group"]["verdict"].toString(), "warn")
        << "services and remote logins still need the group";
    EXPECT_TRUE(d.checks["group"]["fix"].toString().contains("sudo usermod -aG plugdev pi"));
  }
}

TEST_F(DoctorTest, TextShowsTheSameChecksOneLineEachWithTheFix) {
  FakeSystem sys(dir.path());
  sys.write("/etc/group", "root:x:0:\nplugdev:x:46:\npi:x:1000:\n");
  const Env env = {{"LSCAM_SYSROOT", sys.root}, {"SIMCAM_OPEN_ERROR", "-3"}};
  const Doctor d = rundoctor(sys, env, {"--user", "pi"});
  const Result text = lscam({"doctor", "--user", "pi"}, env);
  EXPECT_EQ(text.exitcode, d.result.exitcode);
  std::string expected;
  int counts[3] = {0, 0, 0};
  for (const QJsonValue& v : d.json["checks"].toArray()) {
    const QJsonObject c = v.toObject();
    const std::string verdict = c["verdict"].toString().toUpper().toStdString();
    counts[verdict == "OK" ? 0 : verdict == "WARN" ? 1 : 2]++;
    char word[8];
    std::snprintf(word, sizeof word, "%-4s ", verdict.c_str());
    expected += word + c["check"].toString().toStdString() +
                (c.contains("camera") ? " " + c["camera"].toString().toStdString() : "") + ": " +
                c["message"].toString().toStdString() + "\n";
    if (c.contains("fix")) expected += "     fix: " + c["fix"].toString().toStdString() + "\n";
  }
  expected += "result: FAIL (" + std::to_string(counts[0]) + " OK, " + std::to_string(counts[1]) + " WARN, " +
              std::to_string(counts[2]) + " FAIL)\n";
  EXPECT_EQ(text.out, expected);
  EXPECT_GE(counts[2], 2) << "group and access fail";
}

TEST_F(DoctorTest, UnusableSysfsNumbersAreUnknownWithTheirText) {
  for (const char* speed : {"inf", "-480", "1e300"}) {
    SCOPED_TRACE(speed);
    FakeSystem sys(dir.filePath(speed));
    sys.write("/sys/bus/usb/devices/1-1/speed", speed);
    const Doctor d = rundoctor(sys, {}, {"--user", "pi"});
    EXPECT_EQ(d.checks.at("speed SIM0001")["verdict"].toString(), "warn");
    EXPECT_TRUE(d.checks.at("speed SIM0001")["message"].toString().contains(QString("'%1'").arg(speed)));
  }
}

TEST_F(DoctorTest, UnreadableAccountFilesAreNamedAndNothingHangs) {
  FakeSystem sys(dir.path());
  sys.remove("/etc/passwd");
  ASSERT_EQ(::mkfifo(sys.path("/etc/passwd").c_str(), 0644), 0);  // opened blocking, it waits for a writer
  QElapsedTimer took;
  took.start();
  const Doctor d = rundoctor(sys, {}, {});
  EXPECT_EQ(d.checks.at("group")["verdict"].toString(), "warn");
  EXPECT_TRUE(
      d.checks.at("group")["message"].toString().startsWith("cannot read /etc/passwd (not a regular file)"))
      << d.checks.at("group")["message"].toString().toStdString();
  const Result named = lscam({"doctor", "--user", "pi"}, {{"LSCAM_SYSROOT", sys.root}});
  EXPECT_EQ(named.exitcode, 1) << describe(named);
  EXPECT_TRUE(contains(named.err, "cannot read /etc/passwd (not a regular file)")) << named.err;
  EXPECT_LT(took.elapsed(), 20000);

  FakeSystem nogroup(dir.filePath("nogroup"));
  nogroup.remove("/etc/group");
  const Doctor g = rundoctor(nogroup, {}, {"--user", "pi"});
  const QJsonObject group = g.checks.at("group");
  EXPECT_EQ(group["verdict"].toString(), "fail");
  EXPECT_TRUE(group["message"].toString().startsWith("cannot read /etc/group (No such file or directory)"))
      << group["message"].toString().toStdString();
  EXPECT_FALSE(group["fix"].toString().contains("groupadd")) << "the group may well exist";
}

TEST_F(DoctorTest, FileAndDeviceTextIsEscapedAndQuotedInTheFixes) {
  const std::string serial = "x$(touch /tmp/p)\x1b]0;T\x07\x1b[2J";
  const std::string group = "cam$(touch /tmp/q)";
  FakeSystem sys(dir.path());
  sys.write("/sys/bus/usb/devices/1-1/serial", serial);
  // The group rule edited to name a group that does not exist: doctor suggests creating it.
  sys.write("/usr/lib/udev/rules.d/61-vantorpi-group.rules",
            "ENV{ID_VANTORPI}==\"1\", MODE=\"0660\", GROUP=\"" + group + "\"");
  // The camera is listed, but opening it fails: doctor suggests retrying it by serial.
  const Env env = {
      {"LD_PRELOAD", simscriptpreload()}, {"SIMSCRIPT_SERIAL", serial}, {"SIMCAM_CLAIM_ERROR", "-1"}};
  const std::string label = "x$(touch /tmp/p)\\x1b]0;T\\x07\\x1b[2J";

  const Doctor d = rundoctor(sys, env, {"--user", "pi"});
  const std::string busy = "busy " + serial;
  ASSERT_TRUE(d.checks.count(busy)) << describe(d.result);
  EXPECT_TRUE(
      contains(d.checks.at(busy)["fix"].toString().toStdString(), "lscam --serial '" + serial + "' info"))
      << "JSON holds the command exactly";
  EXPECT_TRUE(contains(d.checks.at("group")["fix"].toString().toStdString(),
                       "sudo groupadd --system '" + group + "' && sudo usermod -aG '" + group + "' pi"))
      << d.checks.at("group")["fix"].toString().toStdString();

  Env textenv = env;
  textenv["LSCAM_SYSROOT"] = sys.root;
  const Result text = lscam({"doctor", "--user", "pi"}, textenv);
  EXPECT_EQ(text.exitcode, 1) << describe(text);
  const std::string all = text.out + text.err;
  EXPECT_TRUE(std::none_of(all.begin(), all.end(), [](unsigned char c) {
    return c != '\n' && (c < 0x20 || c == 0x7F);
  })) << describe(text);
  EXPECT_TRUE(contains(text.out, "lscam --serial '" + label + "' info")) << text.out;
  EXPECT_TRUE(contains(text.out, "busy " + label + ": ")) << text.out;
}

TEST_F(DoctorTest, WithoutTheCameraItNamesItsIdsAndVendorSpecificCandidates) {
  FakeSystem sys(dir.path());
  for (const char* f : {"idVendor", "idProduct", "serial", "speed", "busnum", "devnum"})
    sys.remove(std::string("/sys/bus/usb/devices/1-1/") + f);
  // A vendor-specific device by its interface, one by its device class, and 1-2, which is neither.
  for (auto kv : std::map<std::string, std::string>{{"1-3/idVendor", "04b4"},
                                                    {"1-3/idProduct", "1004"},
                                                    {"1-3/bDeviceClass", "00"},
                                                    {"1-3/manufacturer", "Maker"},
                                                    {"1-3/product", "Line Cam"},
                                                    {"1-3:1.0/bInterfaceClass", "ff"},
                                                    {"2-1/idVendor", "abcd"},
                                                    {"2-1/idProduct", "00ef"},
                                                    {"2-1/bDeviceClass", "ff"}})
    sys.write("/sys/bus/usb/devices/" + kv.first, kv.second);
  const Doctor d = rundoctor(sys, {{"SIMCAM_CAMERAS", "0"}}, {"--user", "pi"});
  const QJsonObject bus = d.checks.at("bus");
  const std::string message = bus["message"].toString().toStdString(),
                    fix = bus["fix"].toString().toStdString();
  EXPECT_EQ(bus["verdict"].toString(), "fail");
  EXPECT_TRUE(contains(message, "no camera " + kVid + ":" + kPid)) << message;
  EXPECT_TRUE(contains(message, "04b4:1004 Maker Line Cam (1-3), abcd:00ef (2-1)")) << message;
  EXPECT_FALSE(contains(message, "046d")) << "not vendor-specific: " << message;
  EXPECT_TRUE(contains(fix, "-DVANTORPI_USB_VID=0x04b4 -DVANTORPI_USB_PID=0x1004")) << fix;
  EXPECT_TRUE(contains(fix, "-DVANTORPI_USB_VID=0xabcd -DVANTORPI_USB_PID=0x00ef")) << fix;
}

TEST_F(DoctorTest, ListPointsAtDoctorForCamerasTheLibraryDoesNotList) {
  FakeSystem sys(dir.path());
  // A second camera in sysfs, SIM0003, that the simulated bus does not have.
  const std::string cam = "/sys/bus/usb/devices/1-3";
  for (auto kv : std::map<std::string, std::string>{
           {"idVendor", kVid}, {"idProduct", kPid}, {"serial", "SIM0003"}, {"busnum", "1"}, {"devnum", "3"}})
    sys.write(cam + "/" + kv.first, kv.second);
  struct Case {
    std::vector<std::string> args;
    Env env;
    int exitcode;
    std::string unlisted;  // the hint's list, empty: no hint
  } cases[] = {
      {{"list"}, {{"SIMCAM_CAMERAS", "1"}}, 0, "SIM0003"},
      {{"list"}, {{"SIMCAM_OPEN_ERROR", "-3"}}, 1, "SIM0001, SIM0003"},
      {{"info"}, {{"SIMCAM_CAMERAS", "0"}}, 1, "SIM0001, SIM0003"},
      {{"list"}, {{"SIMCAM_CAMERAS", "3"}}, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + c.unlisted);
    Env env = c.env;
    env["LSCAM_SYSROOT"] = sys.root;
    const Result r = lscam(c.args, env);
    EXPECT_EQ(r.exitcode, c.exitcode) << describe(r);
    EXPECT_EQ(contains(r.err, "lscam doctor"), !c.unlisted.empty()) << r.err;
    if (!c.unlisted.empty()) {
      EXPECT_TRUE(contains(r.err, "(" + c.unlisted + ")")) << r.err;
    }
  }
}

}  // namespace
