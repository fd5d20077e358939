// SPDX-License-Identifier: MIT
// lscam doctor: why a camera cannot be used, and the command that fixes it.
//
// Everything comes from files (sysfs, /dev, /etc/passwd, /etc/group, udev's
// rules folders, module parameters, the firmware's throttle flags), read
// below LSCAM_SYSROOT; nothing on the system is changed. The library is asked
// only what it lists, and for the busy check a listed camera is opened and
// closed again at once.
#include <dlfcn.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <vector>

#include "lscam.h"
#include "sysfiles.h"
#include "vantorpi.h"

#ifndef LSCAM_UDEV_GROUP
#define LSCAM_UDEV_GROUP "plugdev"
#endif

namespace {

constexpr int kBusy = -6;

enum class Verdict { Ok, Warn, Fail };

struct Check {
  QString name;    // library, rules, group, bus, access, speed, listed, busy, usbfs, power
  QString camera;  // the camera of a per-camera check
  Verdict verdict;
  QString message;
  QString fix;  // what to run, for WARN and FAIL
};

const char* verdictname(Verdict v) { return v == Verdict::Ok ? "ok" : v == Verdict::Warn ? "warn" : "fail"; }

// ---- the user whose access is checked ----

struct User {
  QString name;
  uid_t uid = 0;
  QSet<gid_t> configured;  // primary group and /etc/group memberships
  QSet<gid_t> session;     // the groups this process runs with (the current user only)
  bool current = false;
  bool root() const { return uid == 0; }
  // The groups that count now: this login's for the current user.
  const QSet<gid_t>& groups() const { return current ? session : configured; }
};

QSet<gid_t> configuredgroups(const QString& name, gid_t primary, const QList<Group>& groups) {
  QSet<gid_t> gids{primary};
  for (const Group& g : groups)
    if (g.members.contains(name)) gids.insert(g.gid);
  return gids;
}

bool finduser(const QString& name, const QList<Account>& accounts, const QList<Group>& groups, User& user) {
  for (const Account& a : accounts) {
    if (name.isEmpty() ? a.uid != getuid() : a.name != name) continue;
    user.name = a.name;
    user.uid = a.uid;
    user.configured = configuredgroups(a.name, a.gid, groups);
    break;
  }
  if (!name.isEmpty()) return !user.name.isEmpty();
  // The current user, also when the account database does not know it.
  user.current = true;
  user.uid = getuid();
  if (user.name.isEmpty()) {
    user.name = QString("uid %1").arg(user.uid);
    user.configured = {getgid()};
  }
  std::vector<gid_t> gids(static_cast<size_t>(std::max(getgroups(0, nullptr), 0)) + 1);
  const int n = getgroups(static_cast<int>(gids.size()), gids.data());
  user.session = {getgid()};
  for (int i = 0; i < n; ++i) user.session.insert(gids[static_cast<size_t>(i)]);
  return true;
}

QString groupname(gid_t gid, const QList<Group>& groups) {
  for (const Group& g : groups)
    if (g.gid == gid) return g.name;
  return QString::number(gid);
}

QString accountname(uid_t uid, const QList<Account>& accounts) {
  for (const Account& a : accounts)
    if (a.uid == uid) return a.name;
  return QString::number(uid);
}

const Group* findgroup(const QString& name, const QList<Group>& groups) {
  for (const Group& g : groups)
    if (g.name == name) return &g;
  return nullptr;
}

// ---- access to a device node: mode bits and POSIX ACL ----

struct AclEntry {
  unsigned tag, perm, id;
};
enum AclTag : unsigned { kUser = 0x02, kGroupObj = 0x04, kGroup = 0x08, kMask = 0x10 };

// The access ACL in the kernel's xattr format: a 4-byte version 2, then
// 8-byte entries (16-bit tag, 16-bit permissions, 32-bit id), little-endian.
std::vector<AclEntry> readacl(const QString& path) {
  std::vector<AclEntry> acl;
  unsigned char buf[1024];
  const QByteArray p = QFile::encodeName(path);
  const ssize_t n = getxattr(p.constData(), "system.posix_acl_access", buf, sizeof buf);
  auto le = [&](ssize_t at, int bytes) {
    unsigned v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | buf[at + i];
    return v;
  };
  if (n < 4 || le(0, 4) != 2) return acl;
  for (ssize_t at = 4; at + 8 <= n; at += 8) acl.push_back({le(at, 2), le(at + 2, 2), le(at + 4, 4)});
  return acl;
}

// How a user may read and write the node, as the kernel decides it.
struct Access {
  bool allowed = false;
  QString how;  // "owner", "group plugdev", "ACL", "root"
};

Access nodeaccess(const struct stat& st, const std::vector<AclEntry>& acl, uid_t uid, const QSet<gid_t>& gids,
                  const QList<Group>& groups) {
  constexpr unsigned rw = 6;
  if (uid == 0) return {true, "root"};
  if (st.st_uid == uid) return {((st.st_mode >> 6) & rw) == rw, "owner"};
  // With an ACL the mode's group bits are its mask; the owning group's rights are an entry.
  unsigned mask = 7, groupobj = (st.st_mode >> 3) & 7;
  for (const AclEntry& e : acl)
    if (e.tag == kMask) mask = e.perm;
  for (const AclEntry& e : acl) {
    if (e.tag == kUser && e.id == uid) return {(e.perm & mask & rw) == rw, "ACL"};
    if (e.tag == kGroupObj) groupobj = e.perm & mask;
  }
  // Among the matching group entries one that grants access is enough.
  bool groupmatched = false;
  if (gids.contains(st.st_gid)) {
    groupmatched = true;
    if ((groupobj & rw) == rw) return {true, "group " + groupname(st.st_gid, groups)};
  }
  for (const AclEntry& e : acl) {
    if (e.tag != kGroup || !gids.contains(e.id)) continue;
    groupmatched = true;
    if ((e.perm & mask & rw) == rw) return {true, "ACL of group " + groupname(e.id, groups)};
  }
  if (groupmatched) return {false, QString()};
  return {(st.st_mode & rw) == rw, "everyone"};
}

QString modetext(mode_t mode) { return QString("0%1").arg(mode & 0777, 3, 8, QChar('0')); }

// ---- udev rules ----

// udev's folders, in the order in which a file of the same name overrides another.
const char* const kRulesDirs[] = {"/etc/udev/rules.d", "/run/udev/rules.d", "/usr/lib/udev/rules.d",
                                  "/lib/udev/rules.d"};

struct RuleLine {
  QString path;
  QString text;
};

// A rules file is a few kilobytes; udev itself reads none larger than this.
constexpr qint64 kRulesLimit = 1 << 20;

std::vector<RuleLine> rulelines() {
  QMap<QString, QString> files;  // file name -> the path that udev reads
  for (const char* dir : kRulesDirs)
    for (const QString& name : QDir(sysroot(dir)).entryList({"*.rules"}, QDir::Files))
      if (!files.contains(name)) files.insert(name, QString(dir) + "/" + name);
  std::vector<RuleLine> lines;
  for (const QString& path : files) {
    const FileText text = readregular(path, kRulesLimit);
    if (!text.ok) continue;
    QString line;
    for (const QString& raw : QString::fromLocal8Bit(text.bytes).split('\n')) {
      const QString part = raw.endsWith('\r') ? raw.chopped(1) : raw;
      if (part.endsWith('\\')) {
        line += part.chopped(1);
        continue;
      }
      line += part;
      if (!line.trimmed().startsWith('#') && !line.trimmed().isEmpty()) lines.push_back({path, line});
      line.clear();
    }
  }
  return lines;
}

QString matchvalue(const QString& line, const QString& key) {
  QRegularExpression re("\\bATTRS?\\{" + key + "\\}==\"([^\"]*)\"");
  return re.match(line).captured(1);
}

bool idmatches(const QString& pattern, unsigned int id) {
  const QByteArray text = QString("%1").arg(id, 4, 16, QChar('0')).toLatin1();
  return fnmatch(pattern.toLatin1().constData(), text.constData(), FNM_CASEFOLD) == 0;
}

// What the installed rules do for a camera with our IDs.
struct Rules {
  QStringList files;     // files with a rule for our IDs
  QStringList wrongids;  // "path (vvvv:pppp)": our rules, written for other IDs
  QString group;
  bool uaccess = false;
  bool grants() const { return !group.isEmpty() || uaccess; }
};

Rules readrules() {
  Rules rules;
  const std::vector<RuleLine> lines = rulelines();
  QSet<QString> markers;  // ENV{KEY}=="value" tests that the camera's rules satisfy
  const QRegularExpression setenv("\\bENV\\{(\\w+)\\}:?=\"([^\"]*)\"");
  const QRegularExpression testenv("\\bENV\\{(\\w+)\\}==\"([^\"]*)\"");
  const QRegularExpression group("\\bGROUP:?=\"([^\"]*)\"");
  auto apply = [&](const QString& line) {
    const QString g = group.match(line).captured(1);
    if (!g.isEmpty()) rules.group = g;
    if (line.contains(QRegularExpression("\\bTAG\\+=\"uaccess\""))) rules.uaccess = true;
  };
  for (const RuleLine& l : lines) {
    const QString vid = matchvalue(l.text, "idVendor"), pid = matchvalue(l.text, "idProduct");
    if (vid.isEmpty() || pid.isEmpty()) continue;
    if (idmatches(vid, cameravid()) && idmatches(pid, camerapid())) {
      if (!rules.files.contains(l.path)) rules.files << l.path;
      for (auto it = setenv.globalMatch(l.text); it.hasNext();) {
        auto m = it.next();
        markers.insert(m.captured(1) + "=" + m.captured(2));
      }
      apply(l.text);
    } else if (l.path.contains("vantorpi") || l.text.contains("ID_VANTORPI")) {
      rules.wrongids << QString("%1 (%2:%3)").arg(l.path, vid.toLower(), pid.toLower());
    }
  }
  // Rules that act on what the camera's own rules set, such as ENV{ID_VANTORPI}=="1".
  for (const RuleLine& l : lines)
    for (auto it = testenv.globalMatch(l.text); it.hasNext();) {
      auto m = it.next();
      if (markers.contains(m.captured(1) + "=" + m.captured(2))) apply(l.text);
    }
  return rules;
}

// ---- the commands that fix things ----

QString vidtext() { return cameraids().section(':', 0, 0); }
QString pidtext() { return cameraids().section(':', 1, 1); }

QString applyrulesfix() {
  return QString(
             "sudo udevadm control --reload-rules && sudo udevadm trigger --subsystem-match=usb "
             "--attr-match=idVendor=%1 --attr-match=idProduct=%2")
      .arg(vidtext(), pidtext());
}

// Values from files and devices go into these commands shell-quoted, so that
// pasting a command runs what it shows and nothing else.
QString installrulesfix(const QString& group) {
  const QString rule = QString(
                           "SUBSYSTEM==\"usb\", ATTR{idVendor}==\"%1\", ATTR{idProduct}==\"%2\", "
                           "MODE=\"0660\", GROUP=\"%3\", TAG+=\"uaccess\"")
                           .arg(vidtext(), pidtext(), group);
  return "echo " + shellquote(rule) + " | sudo tee /etc/udev/rules.d/60-vantorpi.rules && " + applyrulesfix();
}

QString addtogroupfix(const QString& group, const QString& user) {
  return QString(
             "sudo usermod -aG %1 %2 (then log out and in again: a new group membership takes effect "
             "at the next login)")
      .arg(shellquote(group), shellquote(user));
}

QString reloginfix(const QString& group) {
  return "log out and in again, or start a shell in the group with: newgrp " + shellquote(group);
}

// ---- the checks ----

class Doctor {
 public:
  Doctor(const User& u, int packetlength, const Accounts& a, const Groups& g)
      : user(u),
        packetlength(packetlength),
        accounts(a.entries),
        groups(g.entries),
        passwderror(a.error),
        grouperror(g.error) {}

  void run() {
    library();
    rules = readrules();
    group = rules.group.isEmpty() ? QString(LSCAM_UDEV_GROUP) : rules.group;
    checkrules();
    cameras = sysfscameras();
    accesses.clear();
    for (const UsbCamera& c : cameras) accesses.append(cameraaccess(c));
    checkgroup();
    checkbus();
    for (int i = 0; i < cameras.size(); ++i) {
      const UsbCamera& c = cameras[i];
      report(accesses[i]);
      checkspeed(c);
      const int index = listed.indexOf(c.serial);
      checklisted(c, index, accesses[i]);
      if (index >= 0) checkbusy(c);
    }
    checkusbfs();
    checkpower();
  }

  QList<Check> checks;

 private:
  void add(const QString& name, Verdict v, const QString& message, const QString& fix = QString(),
           const QString& camera = QString()) {
    checks.append({name, camera, v, message, v == Verdict::Ok ? QString() : fix});
  }
  void report(const Check& c) { checks.append(c); }

  void library() {
    QString path = "unknown";
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ls_libversion), &info) && info.dli_fname)
      path = QFileInfo(QFile::decodeName(info.dli_fname)).absoluteFilePath();
    add("library", Verdict::Ok,
        QString("vantorpi %1 loaded from %2, built for camera %3")
            .arg(versiontext(static_cast<unsigned int>(ls_libversion())), path, cameraids()));
    ls_initialize(0, packetlength);
    const int count = ls_enumdevices();
    for (int i = 0; i < count; ++i) listed << QString::fromLocal8Bit(ls_getserialnumber(i));
  }

  void checkrules() {
    const QString where = "/etc/udev/rules.d or /usr/lib/udev/rules.d";
    if (rules.files.isEmpty() && !rules.wrongids.isEmpty())
      add("rules", Verdict::Fail,
          QString("the vantorpi rules are written for other IDs than %1, the camera this library is built "
                  "for: %2")
              .arg(cameraids(), rules.wrongids.join(", ")),
          installrulesfix(group));
    else if (rules.files.isEmpty())
      add("rules", Verdict::Fail, QString("no udev rules for %1 in %2").arg(cameraids(), where),
          installrulesfix(group));
    else if (!rules.grants())
      add("rules", Verdict::Fail,
          QString("udev rules for %1 (%2) set neither GROUP nor TAG+=\"uaccess\"")
              .arg(cameraids(), rules.files.join(", ")),
          installrulesfix(group));
    else
      add("rules", Verdict::Ok,
          QString("udev rules for %1: %2 (%3)")
              .arg(cameraids(), rules.files.join(", "),
                   QStringList{rules.group.isEmpty() ? QString() : "group " + rules.group,
                               rules.uaccess ? "uaccess" : QString()}
                       .filter(QRegularExpression("."))
                       .join(", ")));
  }

  void checkgroup() {
    const Group* g = findgroup(group, groups);
    // Broken account files matter to services even when root runs this.
    if (!grouperror.isEmpty()) {
      add("group", user.root() ? Verdict::Warn : Verdict::Fail,
          QString("cannot read /etc/group (%1): whether the group %2 exists and %3 is in it is unknown")
              .arg(grouperror, group, user.name),
          "restore /etc/group as a regular file readable by everyone (see: ls -l /etc/group)");
    } else if (!passwderror.isEmpty()) {
      add("group", Verdict::Warn,
          QString("cannot read /etc/passwd (%1): the groups of %2 are unknown").arg(passwderror, user.name),
          "restore /etc/passwd as a regular file readable by everyone (see: ls -l /etc/passwd)");
    } else if (user.root()) {
      add("group", Verdict::Ok, QString("%1 may open every device").arg(user.name));
    } else if (!g) {
      add("group", Verdict::Fail, QString("the group %1 of the udev rules does not exist").arg(group),
          "sudo groupadd --system " + shellquote(group) + " && " + addtogroupfix(group, user.name));
    } else if (user.configured.contains(g->gid) && !user.groups().contains(g->gid)) {
      add("group", Verdict::Warn,
          QString("%1 is in the group %2, but not in this login session").arg(user.name, group),
          reloginfix(group));
    } else if (user.configured.contains(g->gid)) {
      add("group", Verdict::Ok, QString("%1 is in the group %2").arg(user.name, group));
    } else {
      // A desktop session's ACL may give access without the group; services and remote logins need it.
      bool allopen = !cameras.isEmpty();
      for (const Check& a : accesses) allopen = allopen && a.verdict == Verdict::Ok;
      add("group", allopen ? Verdict::Warn : Verdict::Fail,
          QString("%1 is not in the group %2%3")
              .arg(user.name, group,
                   allopen ? ": the camera is open to this session only, not to services or remote logins"
                           : QString()),
          addtogroupfix(group, user.name));
    }
  }

  void checkbus() {
    if (!cameras.isEmpty()) {
      QStringList found;
      for (const UsbCamera& c : cameras)
        found << QString("%1 (bus %2 device %3)").arg(c.label(), c.bustext, c.devicetext);
      add("bus", Verdict::Ok, QString("%1 on the USB bus: %2").arg(cameraids(), found.join(", ")));
      return;
    }
    QString plug =
        QString("connect the camera to the board with a short cable and check it with: lsusb -d %1")
            .arg(cameraids());
    // A camera whose board reports other IDs than this build's shows up as a vendor-specific device.
    QStringList candidates, options;
    for (const UsbDevice& d : vendorspecificdevices()) {
      const QString ids = QString("%1:%2").arg(d.vid, 4, 16, QChar('0')).arg(d.pid, 4, 16, QChar('0'));
      const QString name = QStringList{d.manufacturer, d.product}.filter(QRegularExpression(".")).join(" ");
      candidates << QString("%1%2 (%3)").arg(ids, name.isEmpty() ? QString() : " " + name, d.name);
      options << QString("-DVANTORPI_USB_VID=0x%1 -DVANTORPI_USB_PID=0x%2")
                     .arg(d.vid, 4, 16, QChar('0'))
                     .arg(d.pid, 4, 16, QChar('0'));
    }
    const QString wanted =
        QString("no camera %1 (the USB IDs this library is built for) on the USB bus").arg(cameraids());
    QString message = sysfshasusb() ? wanted : QString("no USB bus in sysfs (/sys/bus/usb/devices)");
    if (!candidates.isEmpty()) {
      message += "; vendor-specific devices attached: " + candidates.join(", ");
      plug +=
          "; if one of them is the camera, build the library and lscam for its IDs with the CMake options " +
          options.join(" or ");
    }
    if (!listed.isEmpty())
      add("bus", Verdict::Warn,
          QString("no camera %1 in sysfs, yet the library lists %2 (a simulated bus?)")
              .arg(cameraids(), listed.join(", ")),
          plug);
    else
      add("bus", Verdict::Fail, message, plug);
  }

  Check cameraaccess(const UsbCamera& c) {
    const QString node = c.node();
    Check check{"access", c.label(), Verdict::Ok, QString(), QString()};
    if (c.bus == 0 || c.device == 0) {
      check.verdict = Verdict::Warn;
      check.message = QString("its device node is unknown: sysfs gives bus '%1' and device '%2'")
                          .arg(c.bustext, c.devicetext);
      check.fix = "unplug the camera and plug it in again";
      return check;
    }
    struct stat st {};
    if (::stat(QFile::encodeName(sysroot(node)).constData(), &st) != 0) {
      check.verdict = Verdict::Fail;
      check.message = QString("%1 does not exist").arg(node);
      check.fix = applyrulesfix();
      return check;
    }
    const std::vector<AclEntry> acl = readacl(sysroot(node));
    const QString owner = QString("%1 is %2:%3 %4%5")
                              .arg(node, accountname(st.st_uid, accounts), groupname(st.st_gid, groups),
                                   modetext(st.st_mode), acl.empty() ? "" : " with an ACL");
    const Access now = nodeaccess(st, acl, user.uid, user.groups(), groups);
    if (now.allowed) {
      check.message = QString("%1; %2 may open it (%3)").arg(owner, user.name, now.how);
      return check;
    }
    check.verdict = Verdict::Fail;
    check.message = QString("%1; %2 may not open it").arg(owner, user.name);
    const Group* g = findgroup(group, groups);
    const bool nodeingroup = g && st.st_gid == g->gid;
    if (!rules.grants() || rules.files.isEmpty()) {
      check.message += ": no udev rules give access to the camera";
      check.fix = installrulesfix(group);
    } else if (!nodeingroup) {
      check.message +=
          QString(": the udev rules were not applied to the camera (not in the group %1)").arg(group);
      check.fix = applyrulesfix();
    } else if (!user.configured.contains(g->gid)) {
      check.message += QString(": %1 is not in the group %2").arg(user.name, group);
      check.fix = addtogroupfix(group, user.name);
    } else if (nodeaccess(st, acl, user.uid, user.configured, groups).allowed) {
      check.message += QString(": %1 joined the group %2 after this login").arg(user.name, group);
      check.fix = reloginfix(group);
    } else {
      check.fix = applyrulesfix();
    }
    return check;
  }

  void checkspeed(const UsbCamera& c) {
    bool ok = false;
    const double mbit = c.speed.toDouble(&ok);
    // The kernel writes 1.5 to 80000 (USB4); anything else is not a link speed.
    if (c.speed.isEmpty())
      add("speed", Verdict::Warn, "the link speed is unknown (no speed in sysfs)",
          "unplug the camera and plug it in again", c.label());
    else if (!ok || !std::isfinite(mbit) || mbit < 1 || mbit > 1e6)
      add("speed", Verdict::Warn, QString("the link speed is unknown: sysfs gives '%1'").arg(c.speed),
          "unplug the camera and plug it in again", c.label());
    else if (mbit < 480)
      add("speed", Verdict::Fail,
          QString("%1-speed link (%2 Mbit/s), the camera needs high speed (480 Mbit/s): likely a USB 1.1 hub "
                  "or extension, or a long or poor cable")
              .arg(mbit < 12 ? "low" : "full", c.speed),
          "connect the camera straight to a USB port of the board (or a USB 2.0 hub) with a short cable",
          c.label());
    else
      add("speed", Verdict::Ok, QString("high-speed link (%1 Mbit/s)").arg(c.speed), QString(), c.label());
  }

  void checklisted(const UsbCamera& c, int index, const Check& access) {
    if (index >= 0)
      add("listed", Verdict::Ok, QString("the library lists it as index %1").arg(index), QString(),
          c.label());
    else if (access.verdict != Verdict::Ok)
      add("listed", Verdict::Fail, "the library does not list it: it lists only cameras this user may open",
          access.fix, c.label());
    else
      add("listed", Verdict::Fail,
          c.serial.isEmpty()
              ? QString("it has no serial number, so the library cannot be matched to it")
              : QString("the library does not list it although %1 is open to %2").arg(c.node(), user.name),
          "unplug the camera and plug it in again", c.label());
  }

  void checkbusy(const UsbCamera& c) {
    ls_initialize(0, packetlength);
    const int result = ls_opendevicebyserial(c.serial.toLocal8Bit().constData());
    if (result == CX_SUCCESS) {
      ls_closedevice();
      add("busy", Verdict::Ok, "no other program holds it (opened and closed)", QString(), c.label());
    } else if (result == kBusy) {
      add("busy", Verdict::Fail,
          QString("another program holds the camera: open returned %1 %2")
              .arg(result)
              .arg(ls_geterrorstring(result)),
          QString("end the program that 'sudo fuser -v %1' names (or: sudo fuser -k %1)")
              .arg(shellquote(c.node())),
          c.label());
    } else {
      add("busy", Verdict::Fail, QString("open returned %1 %2").arg(result).arg(ls_geterrorstring(result)),
          "unplug the camera and plug it in again, then: lscam --serial " + shellquote(c.serial) + " info",
          c.label());
    }
  }

  void checkusbfs() {
    const QString path = "/sys/module/usbcore/parameters/usbfs_memory_mb";
    bool readable = false, ok = false;
    const QString text = readline(path, &readable);
    const unsigned long long mb = text.toULongLong(&ok, 10);
    if (!readable) {
      add("usbfs", Verdict::Warn, QString("cannot read %1: is the USB core loaded?").arg(path),
          "sudo modprobe usbcore");
      return;
    }
    // The kernel keeps the limit in an unsigned 32-bit parameter.
    if (!ok || mb > 0xFFFFFFFFull) {
      add("usbfs", Verdict::Warn, QString("the usbfs memory limit is unknown: %1 holds '%2'").arg(path, text),
          QString("cat %1 (a number of MiB; 0 means unlimited)").arg(path));
      return;
    }
    const unsigned long long needed = static_cast<unsigned long long>(packetlength);
    const unsigned long long neededmb = (needed + (1 << 20) - 1) >> 20;
    if (mb == 0) {
      add("usbfs", Verdict::Ok, QString("usbfs memory unlimited (%1 is 0)").arg(path));
    } else if (mb < neededmb) {
      const unsigned long long want = std::max(16ull, 2 * neededmb);
      add("usbfs", Verdict::Fail,
          QString("usbfs memory is limited to %1 MiB, less than a bulk transfer of %2 bytes needs")
              .arg(mb)
              .arg(needed),
          QString("echo %1 | sudo tee %2 (lasting: usbcore.usbfs_memory_mb=%1 on the kernel command line)")
              .arg(want)
              .arg(path));
    } else {
      add("usbfs", Verdict::Ok,
          QString("usbfs memory %1 MiB, enough for bulk transfers of %2 bytes").arg(mb).arg(needed));
    }
  }

  // The firmware's throttle flags on Raspberry Pi class boards: bits 0..3 what
  // holds now (under-voltage, frequency capped, throttled, soft temperature
  // limit), bits 16..19 what happened since boot.
  void checkpower() {
    QString path;
    const QString platform = "/sys/devices/platform";
    for (const QString& soc : QDir(sysroot(platform)).entryList({"soc*"}, QDir::Dirs))
      for (const QString& fw : QDir(sysroot(platform + "/" + soc)).entryList({"*firmware"}, QDir::Dirs))
        if (sysexists(platform + "/" + soc + "/" + fw + "/get_throttled"))
          path = platform + "/" + soc + "/" + fw + "/get_throttled";
    if (path.isEmpty()) return;
    bool readable = false, ok = false;
    const QString text = readline(path, &readable);
    const unsigned flags = text.toUInt(&ok, 16);
    const QString supply =
        "use a power supply that keeps 5.1 V under load (the board maker's own) and power the camera through "
        "a powered USB hub";
    if (!readable || !ok) {
      add("power", Verdict::Warn,
          readable ? QString("the throttle flags are unknown: %1 holds '%2'").arg(path, text)
                   : QString("cannot read %1").arg(path),
          "vcgencmd get_throttled");
      return;
    }
    const QString flagtext = QString("throttle flags 0x%1").arg(flags, 0, 16);
    QStringList now, since;
    const char* names[] = {"under-voltage", "frequency capped", "throttled", "temperature limit"};
    for (int bit = 0; bit < 4; ++bit) {
      if (flags & (1u << bit)) now << names[bit];
      if (flags & (1u << (bit + 16))) since << names[bit];
    }
    if (flags & 1u)
      add("power", Verdict::Fail,
          QString("under-voltage now (%1): the camera may drop off the bus").arg(flagtext), supply);
    else if (!now.isEmpty() || !since.isEmpty())
      add("power", Verdict::Warn,
          QString("%1%2%3 (%4)")
              .arg(now.isEmpty() ? QString() : "now: " + now.join(", "),
                   now.isEmpty() || since.isEmpty() ? "" : "; ",
                   since.isEmpty() ? QString() : "since boot: " + since.join(", "), flagtext),
          (flags & 0x10001u) ? supply : QString("cool the board (heat sink or fan)"));
    else
      add("power", Verdict::Ok, QString("no under-voltage or throttling since boot (%1)").arg(flagtext));
  }

  User user;
  int packetlength;
  QList<Account> accounts;
  QList<Group> groups;
  QString passwderror, grouperror;  // why a file was not read; empty when it was
  Rules rules;
  QString group;
  QStringList listed;
  QList<UsbCamera> cameras;
  QList<Check> accesses;
};

Verdict worst(const QList<Check>& checks) {
  Verdict v = Verdict::Ok;
  for (const Check& c : checks) v = std::max(v, c.verdict);
  return v;
}

void printtext(const QList<Check>& checks) {
  const char* words[] = {"OK", "WARN", "FAIL"};
  int counts[3] = {0, 0, 0};
  for (const Check& c : checks) {
    const int v = static_cast<int>(c.verdict);
    ++counts[v];
    const QString label = c.camera.isEmpty() ? c.name : c.name + " " + c.camera;
    printline(terminalsafe(QString("%1 %2: %3").arg(words[v], -4).arg(label, c.message)));
    if (!c.fix.isEmpty()) printline(terminalsafe("     fix: " + c.fix));
  }
  printline(QString("result: %1 (%2 OK, %3 WARN, %4 FAIL)")
                .arg(words[static_cast<int>(worst(checks))])
                .arg(counts[0])
                .arg(counts[1])
                .arg(counts[2]));
}

void printchecksjson(const QList<Check>& checks) {
  QJsonArray array;
  for (const Check& c : checks) {
    QJsonObject o{{"check", c.name}, {"verdict", verdictname(c.verdict)}, {"message", c.message}};
    if (!c.camera.isEmpty()) o.insert("camera", c.camera);
    if (!c.fix.isEmpty()) o.insert("fix", c.fix);
    array.append(o);
  }
  printjson(QJsonObject{{"verdict", verdictname(worst(checks))}, {"checks", array}});
}

}  // namespace

int rundoctor(const Context& ctx) {
  unsigned long long length = 0;
  if (!parsenumber(ctx.parser->value("packet-length"), 0x7FFFFFFF, length) || length < 2048)
    return usageerror("--packet-length needs a number of at least 2048", "doctor");
  User user;
  const QString name = ctx.parser->value("user");
  const Accounts accounts = readaccounts();
  const Groups groups = readgroups();
  if (!name.isEmpty() && !accounts.error.isEmpty())
    return reportproblem(
        "doctor", QString("cannot read /etc/passwd (%1) to find the user %2").arg(accounts.error, name));
  if (!finduser(name, accounts.entries, groups.entries, user))
    return usageerror("no user '" + name + "' in /etc/passwd", "doctor");
  Doctor doctor(user, static_cast<int>(length), accounts, groups);
  doctor.run();
  if (ctx.json)
    printchecksjson(doctor.checks);
  else
    printtext(doctor.checks);
  return worst(doctor.checks) == Verdict::Fail ? kExitFailure : kExitOk;
}
