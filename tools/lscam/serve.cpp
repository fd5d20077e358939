// SPDX-License-Identifier: MIT
// lscam serve: the camera live in a browser. One thread reads the stream
// (feed.h); control requests from the page go through CameraControl, which
// makes every control call under one mutex; the page, its script and style
// are compiled in as Qt resources.
//
// HTTP is served by libmicrohttpd from one internal thread over epoll, with
// every resource a client can hold bounded: connections in all and per
// address, memory per connection (request line and headers included), time
// without progress, and a deadline for each whole request. Server-sent events
// come from a callback: a watcher with nothing to send is suspended, never
// waited for, so a browser that stops reading holds only its own buffers.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUrlQuery>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>

#include "feed.h"
#include "image.h"
#include "lscam.h"
#include "vantorpi.h"

namespace {

using Clock = std::chrono::steady_clock;

// Room for a few tenths of a second of a full-speed stream.
constexpr int kStreamFifo = 1 << 24;
constexpr size_t kMaxWatchers = 16;
constexpr size_t kWatchersPerClient = 8;  // one address never takes every place
// The bounds on what clients hold (README, "lscam serve").
constexpr unsigned int kMaxConnections = 256;
constexpr unsigned int kConnectionsPerClient = 32;
constexpr size_t kConnectionMemory = 32 * 1024;             // request line, headers and send buffer
constexpr unsigned int kIdleSeconds = 5;                    // no byte moved on a connection
constexpr auto kRequestDeadline = std::chrono::seconds(5);  // a whole request, from its first byte on
constexpr size_t kMaxBody = 16 * 1024;
constexpr unsigned int kProbeTimeout = 250;  // ms, the status request asking whether the camera is there
const char* const kTokenHeader = "X-Token";

struct ServeOptions {
  std::string host = "127.0.0.1";
  int port = 8080;
  LineFormat format;
  int history = 300;
  int framerate = 25;
  int packetlength = 4096;
};

// "ADDR:PORT", "[IPV6]:PORT"; port 0 lets the system choose.
bool parselisten(const QString& text, std::string& host, int& port) {
  const int colon = text.lastIndexOf(':');
  if (colon <= 0) return false;
  QString addr = text.left(colon);
  if (addr.startsWith('[') && addr.endsWith(']')) addr = addr.mid(1, addr.size() - 2);
  unsigned long long p = 0;
  if (addr.isEmpty() || !parsenumber(text.mid(colon + 1), 65535, p)) return false;
  host = addr.toStdString();
  port = static_cast<int>(p);
  return true;
}

int parseoptions(const Context& ctx, ServeOptions& o) {
  const QCommandLineParser& p = *ctx.parser;
  if (!parselisten(p.value("listen"), o.host, o.port))
    return usageerror(
        "--listen needs ADDR:PORT, e.g. 127.0.0.1:8080 or 0.0.0.0:8080, not '" + p.value("listen") + "'",
        "serve");
  unsigned long long v = 0;
  if (!parsenumber(p.value("width"), 1 << 20, v) || v == 0)
    return usageerror("--width needs a number of pixels from 1 to 1048576", "serve");
  o.format.width = static_cast<int>(v);
  if (!parsenumber(p.value("depth"), 16, v) || (v != 8 && v != 16))
    return usageerror("--depth is 16 or 8", "serve");
  o.format.depth = static_cast<int>(v);
  if (!parsenumber(p.value("skip"), static_cast<unsigned long long>(o.format.width - 1), v))
    return usageerror("--skip needs a number of pixels below --width", "serve");
  o.format.skip = static_cast<int>(v);
  const unsigned int top = (1u << o.format.depth) - 1;
  o.format.fullscale = top;
  if (p.isSet("full-scale")) {
    if (!parsenumber(p.value("full-scale"), top, v) || v == 0)
      return usageerror(QString("--full-scale needs a count from 1 to %1").arg(top), "serve");
    o.format.fullscale = static_cast<unsigned int>(v);
  }
  if (!parsenumber(p.value("history"), 4096, v) || v == 0)
    return usageerror("--history needs a number of lines from 1 to 4096", "serve");
  o.history = static_cast<int>(v);
  if (!parsenumber(p.value("frame-rate"), 60, v) || v < 1)
    return usageerror("--frame-rate needs a number of lines per second from 1 to 60", "serve");
  o.framerate = static_cast<int>(v);
  if (!parsenumber(p.value("packet-length"), 0x7FFFFFFF, v) || v < 2048)
    return usageerror("--packet-length needs a number of at least 2048", "serve");
  o.packetlength = static_cast<int>(v);
  return kExitOk;
}

// 128 random bits as 32 hex digits.
bool maketoken(std::string& token) {
  unsigned char bytes[16];
  size_t got = 0;
  while (got < sizeof bytes) {
    const ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno != EINTR) return false;
    if (n > 0) got += static_cast<size_t>(n);
  }
  static const char digits[] = "0123456789abcdef";
  token.clear();
  for (unsigned char b : bytes) {
    token.push_back(digits[b >> 4]);
    token.push_back(digits[b & 15]);
  }
  return true;
}

// Compares in time independent of where the strings differ.
bool sametoken(const std::string& given, const std::string& token) {
  if (given.size() != token.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < token.size(); ++i) diff |= static_cast<unsigned char>(given[i] ^ token[i]);
  return diff == 0;
}

std::string compact(const QJsonObject& object) {
  return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

std::string lowercase(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); });
  return text;
}

// The settings the page may change. Everything else the camera offers (flash
// programming, power and protection switches, raw registers) has no route.
const char* const kPageSettings[] = {"inttime", "mode",    "state",   "pga1",   "pga2",
                                     "pga3",    "offset1", "offset2", "offset3"};

struct Write {
  const Setting* setting;
  unsigned int value;
};

// The camera's control side. Every control call of the server is made here
// under one mutex, since the library takes control calls from one thread at a
// time while the reader thread reads the stream. It also closes the camera
// that the reader found gone and opens it again, under the same mutex.
class CameraControl : public CameraLink {
 public:
  CameraControl(const Context& ctx, const ServeOptions& options)
      : timeout(ctx.timeout),
        byserial(ctx.byserial),
        serial(ctx.serial),
        index(ctx.index),
        options(options) {}

  // Reads identity, catalogue limits and the settings; false after reporting a failure.
  bool readcamera() {
    std::lock_guard<std::mutex> lock(mutex);
    return readlocked(true);
  }

  QJsonObject info() {
    std::lock_guard<std::mutex> lock(mutex);
    return identity;
  }

  // Checks every name=value pair of a form body; nothing is written yet.
  bool validate(const std::string& body, QList<Write>& writes, QString& error) {
    std::lock_guard<std::mutex> lock(mutex);
    const QList<QPair<QString, QString>> items =
        QUrlQuery(QString::fromUtf8(body.data(), static_cast<int>(body.size())))
            .queryItems(QUrl::FullyDecoded);
    if (items.isEmpty()) {
      error = "no settings given: send name=value pairs, e.g. inttime=20000";
      return false;
    }
    QSet<QString> seen;
    for (const auto& item : items) {
      const Setting* s = pagesetting(item.first);
      if (!s) {
        error = QString("'%1' is not a setting that can be changed here; these can: %2")
                    .arg(item.first.left(40), settingnames());
        return false;
      }
      if (seen.contains(item.first)) {
        error = QString("%1 is given twice").arg(item.first);
        return false;
      }
      seen.insert(item.first);
      unsigned long long lo = 0, hi = s->max;
      if (item.first == "inttime") {
        if (!limitsknown) {
          error =
              QString("the integration time cannot be changed here: sensor type %1 has no catalogued limits")
                  .arg(hex(sensortype, 4));
          return false;
        }
        lo = mintime;
        hi = maxtime;
      }
      unsigned long long value = 0;
      if (!parsenumber(item.second, hi, value) || value < lo) {
        error = QString("%1 takes a whole number from %2 to %3, not '%4'")
                    .arg(item.first)
                    .arg(lo)
                    .arg(hi)
                    .arg(item.second.left(40));
        return false;
      }
      writes.append({s, static_cast<unsigned int>(value)});
    }
    return true;
  }

  // Writes in order and reads each setting back; false with the camera's
  // error at the first failure.
  bool apply(const QList<Write>& writes, QString& error) {
    std::lock_guard<std::mutex> lock(mutex);
    for (const Write& w : writes) {
      int result = w.setting->set(w.value, timeout);
      unsigned int value = 0;
      if (result == CX_SUCCESS) result = w.setting->get(value, timeout);
      if (result != CX_SUCCESS) {
        error = QString("set %1: %2 %3").arg(w.setting->name).arg(result).arg(ls_geterrorstring(result));
        return false;
      }
      current[w.setting->name] = static_cast<double>(value);
    }
    return true;
  }

  std::string settings() {
    std::lock_guard<std::mutex> lock(mutex);
    return compact(current);
  }

  int probe() override {
    std::lock_guard<std::mutex> lock(mutex);
    unsigned char status = 0;
    return ls_ep6stat(&status, kProbeTimeout);
  }

  void lost(int code) override {
    std::lock_guard<std::mutex> lock(mutex);
    ls_closedevice();
    const QString name = terminalsafe(identity["serial"].toString());
    if (code == kNoDevice)
      printerr(QString("lscam serve: camera %1 unplugged; waiting for it to come back").arg(name));
    else
      printerr(QString("lscam serve: camera %1 stopped answering (%2 %3), closed; waiting for it")
                   .arg(name)
                   .arg(code)
                   .arg(ls_geterrorstring(code)));
  }

  bool reopen() override {
    std::lock_guard<std::mutex> lock(mutex);
    ls_initialize(kStreamFifo, options.packetlength);
    if (ls_enumdevices() <= 0) return false;
    const int result =
        byserial ? ls_opendevicebyserial(serial.toLocal8Bit().constData()) : ls_opendevicebyindex(index);
    if (result != CX_SUCCESS) return false;
    if (!readlocked(false)) {
      ls_closedevice();
      return false;
    }
    printerr(QString("lscam serve: camera %1 is back, streaming again")
                 .arg(terminalsafe(identity["serial"].toString())));
    return true;
  }

  void close() {
    std::lock_guard<std::mutex> lock(mutex);
    ls_closedevice();
  }

 private:
  static constexpr int kNoDevice = -4;

  static void printerr(const QString& line) {
    const QByteArray bytes = (line + "\n").toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stderr);
    std::fflush(stderr);
  }

  bool readlocked(bool report) {
    auto failed = [report](const QString& what, int result) {
      if (report) reportfailure(what, result);
      return false;
    };
    QJsonObject id;
    const int at = ls_currentdeviceindex();
    id["serial"] = ls_getserialnumber(at);
    id["manufacturer"] = ls_getvendorname(at);
    id["product"] = ls_getproductname(at);
    id["mcu1Version"] = versiontext(static_cast<unsigned int>(ls_getmcu1version(at)));
    unsigned short mcu2 = 0;
    int result = ls_getmcu2version(&mcu2, timeout);
    if (result != CX_SUCCESS) return failed("read mcu2 version", result);
    id["mcu2Version"] = versiontext(mcu2);
    unsigned short type = 0, second = 0;
    result = ls_getsensortype(&type, &second, timeout);
    if (result != CX_SUCCESS) return failed("read sensor type", result);
    sensortype = type;
    id["sensorType"] = hex(type, 4);
    id["sensorName"] = ls_getsensorname(type);
    limitsknown = ls_getminmaxtime(type, &mintime, &maxtime) == CX_SUCCESS;
    if (limitsknown) {
      id["inttimeMin"] = static_cast<double>(mintime);
      id["inttimeMax"] = static_cast<double>(maxtime);
    }
    for (const char* name : kPageSettings) {
      const Setting* s = findsetting(name);
      unsigned int value = 0;
      result = s->get(value, timeout);
      if (result != CX_SUCCESS) return failed(QString("read %1").arg(name), result);
      current[name] = static_cast<double>(value);
    }
    id["width"] = options.format.width;
    id["skip"] = options.format.skip;
    id["pixels"] = options.format.shown();
    id["depth"] = options.format.depth;
    id["fullScale"] = static_cast<double>(options.format.fullscale);
    id["history"] = options.history;
    identity = id;
    return true;
  }

  static const Setting* pagesetting(const QString& name) {
    for (const char* n : kPageSettings)
      if (name == QLatin1String(n)) return findsetting(name);
    return nullptr;
  }
  static QString settingnames() {
    QStringList names;
    for (const char* n : kPageSettings) names << n;
    return names.join(", ");
  }

  std::mutex mutex;
  const unsigned int timeout;
  const bool byserial;
  const QString serial;
  const int index;
  const ServeOptions options;
  QJsonObject identity;
  unsigned short sensortype = 0;
  bool limitsknown = false;
  unsigned int mintime = 0, maxtime = 0;
  QJsonObject current;
};

// A frame as one server-sent event: its statistics and the line cut into
// `bins` runs of neighbouring pixels, each sent as its mean.
std::string frameevent(const Frame& frame, size_t bins, uint64_t dropped) {
  const size_t n = frame.pixels.size();
  bins = std::min(bins, n);
  char head[256];
  std::snprintf(head, sizeof head,
                "event: frame\ndata: {\"line\":%llu,\"dropped\":%llu,\"min\":%u,\"max\":%u,\"mean\":%.2f,"
                "\"saturated\":%zu,\"pixels\":%zu,\"bins\":[",
                static_cast<unsigned long long>(frame.number), static_cast<unsigned long long>(dropped),
                frame.min, frame.max, frame.mean, frame.saturated, n);
  std::string text = head;
  text.reserve(text.size() + bins * 6 + 8);
  for (size_t b = 0; b < bins; ++b) {
    const size_t from = b * n / bins, to = (b + 1) * n / bins;
    uint64_t sum = 0;
    for (size_t x = from; x < to; ++x) sum += frame.pixels[x];
    const size_t count = to - from;
    if (b > 0) text.push_back(',');
    text += std::to_string((sum + count / 2) / count);
  }
  text += "]}\n\n";
  return text;
}

std::string resource(const char* path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return std::string();
  return file.readAll().toStdString();
}

// The whole waterfall, newest line first, at the stream's depth.
bool waterfallpng(const std::vector<FramePtr>& lines, const LineFormat& format, std::string& png,
                  QString& error) {
  GrayImage image;
  image.width = format.shown();
  image.height = static_cast<int>(lines.size());
  image.depth = format.depth;
  image.pixels.reserve(static_cast<size_t>(image.width) * lines.size());
  for (const FramePtr& f : lines) image.pixels.insert(image.pixels.end(), f->pixels.begin(), f->pixels.end());
  char* data = nullptr;
  size_t size = 0;
  std::FILE* memory = open_memstream(&data, &size);
  if (!memory) {
    error = std::strerror(errno);
    return false;
  }
  const bool ok = writepng(memory, image, error);
  std::fclose(memory);
  if (ok) png.assign(data, size);
  std::free(data);
  return ok;
}

// ---- where the server listens, and which names reach it ----

struct Listener {
  int fd = -1;
  int port = 0;
  bool everywhere = false;  // bound to all interfaces
  bool loopback = false;    // bound to a loopback address only
  std::string address;      // the bound address as a URL writes it: 127.0.0.1, [::1]
};

std::string addresstext(const sockaddr* sa) {
  char text[INET6_ADDRSTRLEN] = {};
  if (sa->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, text, sizeof text);
    return text;
  }
  inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, text, sizeof text);
  return std::string("[") + text + "]";
}

// Binds and listens on the first address that host gives; every form of
// "all interfaces" (0.0.0.0, 0, ::, [::]) ends up as the unspecified address.
bool openlistener(const std::string& host, int port, Listener& l, QString& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) {
    error = QString("'%1' is not an address of this machine (%2)")
                .arg(QString::fromStdString(host), gai_strerror(rc));
    return false;
  }
  const addrinfo* a = found;
  l.fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
  bool ok = l.fd >= 0;
  const int yes = 1, no = 0;
  // SO_REUSEADDR only: a port in use must fail rather than be shared.
  if (ok) setsockopt(l.fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  if (ok && a->ai_family == AF_INET6) {
    const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
    l.everywhere = IN6_IS_ADDR_UNSPECIFIED(&in6);
    l.loopback = IN6_IS_ADDR_LOOPBACK(&in6) || (IN6_IS_ADDR_V4MAPPED(&in6) && in6.s6_addr[12] == 127);
    // [::] takes IPv4 clients too.
    if (l.everywhere) setsockopt(l.fd, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof no);
  } else if (ok) {
    const uint32_t in4 = ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
    l.everywhere = in4 == INADDR_ANY;
    l.loopback = (in4 >> 24) == 127;
  }
  ok = ok && bind(l.fd, a->ai_addr, a->ai_addrlen) == 0 && listen(l.fd, 128) == 0;
  sockaddr_storage bound{};
  socklen_t length = sizeof bound;
  ok = ok && getsockname(l.fd, reinterpret_cast<sockaddr*>(&bound), &length) == 0;
  if (!ok) {
    error =
        QString("cannot listen there (%1: the port is taken, or the address is not one of this machine's)")
            .arg(std::strerror(errno));
    if (l.fd >= 0) ::close(l.fd);
    l.fd = -1;
  } else {
    l.address = addresstext(reinterpret_cast<sockaddr*>(&bound));
    l.port = ntohs(bound.ss_family == AF_INET ? reinterpret_cast<sockaddr_in*>(&bound)->sin_port
                                              : reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port);
  }
  freeaddrinfo(found);
  return ok;
}

// This machine's addresses other than loopback, as URLs write them; IPv6
// link-local ones are left out (a URL would need the interface).
std::vector<std::string> machineaddresses() {
  std::vector<std::string> list;
  ifaddrs* all = nullptr;
  if (getifaddrs(&all) != 0) return list;
  for (const ifaddrs* i = all; i; i = i->ifa_next) {
    const sockaddr* sa = i->ifa_addr;
    if (!sa || (sa->sa_family != AF_INET && sa->sa_family != AF_INET6)) continue;
    if (sa->sa_family == AF_INET &&
        (ntohl(reinterpret_cast<const sockaddr_in*>(sa)->sin_addr.s_addr) >> 24) == 127)
      continue;
    if (sa->sa_family == AF_INET6) {
      const in6_addr& in6 = reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr;
      if (IN6_IS_ADDR_LOOPBACK(&in6) || IN6_IS_ADDR_LINKLOCAL(&in6)) continue;
    }
    const std::string text = addresstext(sa);
    if (std::find(list.begin(), list.end(), text) == list.end()) list.push_back(text);
  }
  freeifaddrs(all);
  return list;
}

std::string machinename() {
  char name[256] = {};
  return gethostname(name, sizeof name - 1) == 0 ? name : "";
}

// The Host values a request may carry: the bound address and the loopback
// names with the port, and, when bound to all interfaces, the machine's name
// and addresses. Anything else is a page of another site that resolved its
// name to this machine (DNS rebinding) or a request meant for another server.
std::set<std::string> allowedhosts(const Listener& l, const std::string& given) {
  std::vector<std::string> names = {"localhost", "127.0.0.1", "[::1]", l.address};
  // A name given to --listen (not 0 or :: for all interfaces) is how the user reaches it.
  if (!l.everywhere) names.push_back(lowercase(given));
  if (l.everywhere) {
    const std::vector<std::string> addresses = machineaddresses();
    names.insert(names.end(), addresses.begin(), addresses.end());
    const std::string name = machinename();
    if (!name.empty()) names.push_back(lowercase(name));
  }
  std::set<std::string> hosts;
  const std::string port = ":" + std::to_string(l.port);
  for (const std::string& n : names) {
    if (n.empty()) continue;
    const bool v6 = n.find(':') != std::string::npos && n.front() != '[';
    const std::string host = v6 ? "[" + n + "]" : n;
    hosts.insert(host + port);
    if (l.port == 80) hosts.insert(host);
  }
  return hosts;
}

// ---- the HTTP server ----

// What the server keeps of a connection: when the request it waits for began,
// for the deadline of a whole request.
struct Client {
  int fd;
  Clock::time_point since;
  bool busy = false;  // a request is being answered: no deadline
  bool cut = false;   // shut down for missing its deadline
};

// A request while MHD calls the handler for it again: the body of a POST, or
// the waterfall being encoded on the worker thread.
struct Pending {
  enum class Kind { Body, Waterfall };
  explicit Pending(Kind kind) : kind(kind) {}
  const Kind kind;
  std::string body;
  bool toolarge = false;
  bool done = false;  // Waterfall: the worker finished
  std::string png;
  QString error;
};

class LiveServer;

// One watcher's event stream: the part of the current event that MHD has not
// taken yet, and the connection to suspend when there is nothing to send.
struct EventStream {
  EventStream(LiveServer* server, MHD_Connection* connection, int id, size_t bins)
      : server(server), connection(connection), id(id), bins(bins) {}
  LiveServer* server;
  MHD_Connection* connection;
  int id;
  size_t bins;
  bool started = false;
  std::string pending;
  size_t offset = 0;
};

class LiveServer {
 public:
  LiveServer(const ServeOptions& options, const std::string& token, CameraControl& control, Feed& feed,
             std::set<std::string> hosts)
      : options(options), token(token), control(control), feed(feed), hosts(std::move(hosts)) {
    page = resource(":/page/index.html");
    script = resource(":/page/page.js");
    style = resource(":/page/page.css");
  }
  ~LiveServer() { stop(); }

  bool start(int listenfd) {
    worker = std::thread([this] { encodewaterfalls(); });
    daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, &LiveServer::onrequest,
        this, MHD_OPTION_LISTEN_SOCKET, listenfd, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerClient, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemory, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_NOTIFY_CONNECTION,
        &LiveServer::onconnection, this, MHD_OPTION_NOTIFY_COMPLETED, &LiveServer::oncompleted, this,
        MHD_OPTION_END);
    return daemon != nullptr;
  }

  // Shuts down the connections whose request is not complete within the
  // deadline; MHD then sees them end and frees them.
  void sweep() {
    const Clock::time_point now = Clock::now();
    std::lock_guard<std::mutex> lock(mutex);
    for (Client* c : clients) {
      if (c->busy || c->cut || now - c->since < kRequestDeadline) continue;
      shutdown(c->fd, SHUT_RDWR);
      c->cut = true;
    }
  }

  // The feed is closed already: every watcher is awake and ends its stream.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      stopping = true;
      // A waterfall being encoded keeps its connection suspended: wake it so
      // that MHD can close it.
      if (job) MHD_resume_connection(jobconnection);
      job = nullptr;
    }
    jobready.notify_all();
    if (daemon) MHD_stop_daemon(daemon);
    daemon = nullptr;
    if (worker.joinable()) worker.join();
  }

 private:
  // ---- connections ----

  static void onconnection(void* cls, MHD_Connection* connection, void** context,
                           MHD_ConnectionNotificationCode code) {
    auto* self = static_cast<LiveServer*>(cls);
    std::lock_guard<std::mutex> lock(self->mutex);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      auto* c = new Client{fd ? fd->connect_fd : -1, Clock::now()};
      self->clients.insert(c);
      *context = c;
    } else if (auto* c = static_cast<Client*>(*context)) {
      // Before MHD closes the socket, so that sweep() never shuts down a
      // descriptor that already belongs to another connection.
      self->clients.erase(c);
      delete c;
      *context = nullptr;
    }
  }

  static Client* clientof(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<Client*>(info->socket_context) : nullptr;
  }

  void setbusy(MHD_Connection* connection, bool busy) {
    std::lock_guard<std::mutex> lock(mutex);
    if (Client* c = clientof(connection)) {
      c->busy = busy;
      c->since = Clock::now();
    }
  }

  static void oncompleted(void* cls, MHD_Connection* connection, void** context, MHD_RequestTerminationCode) {
    auto* self = static_cast<LiveServer*>(cls);
    delete static_cast<Pending*>(*context);
    *context = nullptr;
    // The next request on this connection has a deadline of its own.
    self->setbusy(connection, false);
  }

  // ---- responses ----

  static MHD_Result respond(MHD_Connection* connection, unsigned int status, const std::string& body,
                            const char* type,
                            std::initializer_list<std::pair<const char*, const char*>> extra = {}) {
    MHD_Response* response =
        MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()), MHD_RESPMEM_MUST_COPY);
    if (!response) return MHD_NO;
    addheaders(response, type);
    for (const auto& h : extra) MHD_add_response_header(response, h.first, h.second);
    const MHD_Result result = MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return result;
  }

  static void addheaders(MHD_Response* response, const char* type) {
    MHD_add_response_header(response, "Content-Type", type);
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, "Referrer-Policy", "no-referrer");
  }

  static MHD_Result text(MHD_Connection* connection, unsigned int status, const QString& message) {
    return respond(connection, status, (message + "\n").toStdString(), "text/plain; charset=utf-8");
  }

  static MHD_Result json(MHD_Connection* connection, const std::string& body) {
    return respond(connection, 200, body, "application/json");
  }

  static const char* header(MHD_Connection* connection, const char* name) {
    return MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
  }

  // ---- requests ----

  static MHD_Result onrequest(void* cls, MHD_Connection* connection, const char* url, const char* method,
                              const char*, const char* upload, size_t* uploadsize, void** context) {
    auto* self = static_cast<LiveServer*>(cls);
    auto* pending = static_cast<Pending*>(*context);
    const std::string path = url;
    const std::string verb = method;
    // The deadline covers the whole request, the body of a POST included.
    if (verb != "POST" || (pending && *uploadsize == 0)) self->setbusy(connection, true);
    if (pending && pending->kind == Pending::Kind::Waterfall)
      return self->sendwaterfall(connection, *pending);
    if (pending) {
      // The body of a POST arrives in pieces; the last call has none.
      if (*uploadsize > 0) {
        if (pending->body.size() + *uploadsize > kMaxBody)
          pending->toolarge = true;
        else
          pending->body.append(upload, *uploadsize);
        *uploadsize = 0;
        return MHD_YES;
      }
      if (pending->toolarge)
        return text(connection, 413, QString("a settings request has at most %1 bytes").arg(kMaxBody));
      return self->changesettings(connection, pending->body);
    }

    if (!self->hostallowed(connection))
      return text(
          connection, 421,
          QString("this server answers only requests for %1 (through an SSH tunnel, forward the same "
                  "port on both ends), not for '%2'")
              .arg(self->hostlist(),
                   QString::fromUtf8(header(connection, "Host") ? header(connection, "Host") : "").left(80)));
    const bool get = verb == "GET" || verb == "HEAD";
    if (path == "/api/settings" && verb == "POST") {
      QString refusal;
      if (!self->postallowed(connection, refusal)) return text(connection, 403, refusal);
      *context = new Pending(Pending::Kind::Body);
      return MHD_YES;
    }
    if (!get) {
      if (self->isroute(path)) return text(connection, 405, QString("%1 does not take %2").arg(url, method));
      return text(connection, 404, QString("no page %1").arg(QString::fromUtf8(url).left(80)));
    }
    if (path == "/")
      return respond(connection, 200, self->page, "text/html; charset=utf-8",
                     {{"Content-Security-Policy",
                       "default-src 'self'; img-src 'self' blob: data:; frame-ancestors 'none'"}});
    if (path == "/page.js") return respond(connection, 200, self->script, "text/javascript; charset=utf-8");
    if (path == "/page.css") return respond(connection, 200, self->style, "text/css; charset=utf-8");
    if (path == "/api/info") {
      QJsonObject info = self->control.info();
      info["control"] = self->authorised(connection);
      return json(connection, compact(info));
    }
    if (path == "/api/settings") return json(connection, self->control.settings());
    if (path == "/api/status") return json(connection, self->feed.currentstatus());
    if (path == "/api/stream") return self->stream(connection);
    if (path == "/api/waterfall.png") return self->startwaterfall(connection, context);
    return text(connection, 404, QString("no page %1").arg(QString::fromUtf8(url).left(80)));
  }

  bool isroute(const std::string& path) const {
    static const char* const routes[] = {"/",           "/page.js",          "/page.css",
                                         "/api/info",   "/api/settings",     "/api/status",
                                         "/api/stream", "/api/waterfall.png"};
    return std::any_of(std::begin(routes), std::end(routes), [&](const char* r) { return path == r; });
  }

  bool hostallowed(MHD_Connection* connection) const {
    const char* host = header(connection, "Host");
    return host && hosts.count(lowercase(host)) > 0;
  }

  QString hostlist() const {
    QStringList list;
    for (const std::string& h : hosts) list << QString::fromStdString(h);
    return list.join(", ");
  }

  bool authorised(MHD_Connection* connection) const {
    const char* given = header(connection, kTokenHeader);
    return given && sametoken(given, token);
  }

  // A POST from another site's page carries that page's Origin; the token is
  // needed besides.
  bool postallowed(MHD_Connection* connection, QString& refusal) const {
    const char* origin = header(connection, "Origin");
    const char* host = header(connection, "Host");
    if (origin && lowercase(origin) != "http://" + lowercase(host ? host : "")) {
      refusal = "changing settings is refused from a page of another origin";
      return false;
    }
    if (!authorised(connection)) {
      refusal = "changing settings needs the token that lscam serve printed in its URL at start";
      return false;
    }
    return true;
  }

  MHD_Result changesettings(MHD_Connection* connection, const std::string& body) {
    const char* type = header(connection, "Content-Type");
    if (!type || std::strncmp(type, "application/x-www-form-urlencoded", 33) != 0)
      return text(connection, 400, "send the settings as application/x-www-form-urlencoded name=value pairs");
    QList<Write> writes;
    QString error;
    if (!control.validate(body, writes, error)) return text(connection, 400, error);
    const bool ok = control.apply(writes, error);
    feed.setsettings(control.settings());
    if (!ok) return text(connection, 502, error);
    return json(connection, control.settings());
  }

  // ---- server-sent events ----

  MHD_Result stream(MHD_Connection* connection) {
    unsigned long long bins = static_cast<unsigned long long>(options.format.shown());
    if (const char* given = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "bins"))
      if (!parsenumber(QString::fromUtf8(given), 1 << 20, bins) || bins == 0)
        return text(connection, 400, "bins needs a number from 1 to 1048576");
    const int id =
        feed.attach(clientaddress(connection), [connection] { MHD_resume_connection(connection); });
    if (id == 0)
      return text(connection, 503,
                  QString("already %1 watchers (at most %2 from one address); try again later")
                      .arg(feed.watchers())
                      .arg(kWatchersPerClient));
    auto* s = new EventStream(this, connection, id, static_cast<size_t>(bins));
    MHD_Response* response = MHD_create_response_from_callback(
        MHD_SIZE_UNKNOWN, 16 * 1024, &LiveServer::readevents, s, &LiveServer::endevents);
    if (!response) {
      endevents(s);
      return MHD_NO;
    }
    addheaders(response, "text/event-stream");
    const MHD_Result result = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return result;
  }

  static std::string clientaddress(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    return info && info->client_addr ? addresstext(info->client_addr) : std::string();
  }

  // MHD asks for the next bytes of a watcher's stream when it has room for
  // them. Nothing to send: the connection is suspended until the feed wakes it.
  static ssize_t readevents(void* cls, uint64_t, char* buffer, size_t max) {
    auto* s = static_cast<EventStream*>(cls);
    if (s->offset == s->pending.size()) {
      s->pending.clear();
      s->offset = 0;
      if (!s->started) {
        s->started = true;
        s->pending = "retry: 2000\n\n";
      } else {
        MHD_Connection* connection = s->connection;
        const FeedEvent e = s->server->feed.poll(s->id, [connection] { MHD_suspend_connection(connection); });
        switch (e.kind) {
          case FeedEvent::Kind::Closed:
            return MHD_CONTENT_READER_END_OF_STREAM;
          case FeedEvent::Kind::None:
            return 0;
          case FeedEvent::Kind::Settings:
            s->pending = "event: settings\ndata: " + e.text + "\n\n";
            break;
          case FeedEvent::Kind::Status:
            s->pending = "event: status\ndata: " + e.text + "\n\n";
            break;
          case FeedEvent::Kind::Frame:
            s->pending = frameevent(*e.frame, s->bins, e.dropped);
            break;
        }
      }
    }
    const size_t n = std::min(max, s->pending.size() - s->offset);
    std::memcpy(buffer, s->pending.data() + s->offset, n);
    s->offset += n;
    return static_cast<ssize_t>(n);
  }

  static void endevents(void* cls) {
    auto* s = static_cast<EventStream*>(cls);
    s->server->feed.detach(s->id);
    delete s;
  }

  // ---- the waterfall, encoded off the server's thread ----

  MHD_Result startwaterfall(MHD_Connection* connection, void** context) {
    std::lock_guard<std::mutex> lock(mutex);
    if (job) return text(connection, 503, "a waterfall is being made for another request; try again");
    if (feed.history().empty()) return text(connection, 503, "no lines received yet");
    auto* p = new Pending(Pending::Kind::Waterfall);
    *context = p;
    job = p;
    jobconnection = connection;
    MHD_suspend_connection(connection);
    jobready.notify_all();
    return MHD_YES;
  }

  MHD_Result sendwaterfall(MHD_Connection* connection, const Pending& p) {
    if (!p.done) return text(connection, 503, "lscam serve is stopping");
    if (!p.error.isEmpty()) return text(connection, 500, "PNG: " + p.error);
    return respond(connection, 200, p.png, "image/png",
                   {{"Content-Disposition", "attachment; filename=\"waterfall.png\""}});
  }

  void encodewaterfalls() {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      jobready.wait(lock, [this] { return stopping || (job && !job->done); });
      if (stopping) return;
      Pending* p = job;
      lock.unlock();
      std::string png;
      QString error;
      waterfallpng(feed.history(), options.format, png, error);
      lock.lock();
      if (job != p) continue;  // the server stopped and freed it
      p->png = std::move(png);
      p->error = error;
      p->done = true;
      job = nullptr;
      MHD_resume_connection(jobconnection);
    }
  }

  const ServeOptions options;
  const std::string token;
  CameraControl& control;
  Feed& feed;
  const std::set<std::string> hosts;
  std::string page, script, style;
  MHD_Daemon* daemon = nullptr;

  std::mutex mutex;  // clients, the waterfall job, stopping
  std::set<Client*> clients;
  std::condition_variable jobready;
  Pending* job = nullptr;
  MHD_Connection* jobconnection = nullptr;
  bool stopping = false;
  std::thread worker;
};

void printurls(const Listener& l, const std::string& token) {
  std::vector<std::string> hosts;
  if (l.everywhere) {
    hosts.push_back("127.0.0.1");
    const std::vector<std::string> addresses = machineaddresses();
    hosts.insert(hosts.end(), addresses.begin(), addresses.end());
  } else {
    hosts.push_back(l.address);
  }
  auto url = [&](const std::string& host) {
    return QString("  http://%1:%2/").arg(QString::fromStdString(host)).arg(l.port);
  };
  printline("Watch and change settings (the token lets anyone holding this URL change settings):");
  for (const std::string& h : hosts) printline(url(h) + "?token=" + QString::fromStdString(token));
  printline("Watch only:");
  for (const std::string& h : hosts) printline(url(h));
}

void warnbeyondloopback(const Listener& l) {
  const QString where =
      l.everywhere ? QString("on all interfaces") : QString("on %1").arg(QString::fromStdString(l.address));
  std::fprintf(
      stderr,
      "lscam serve: warning: listening %s, beyond this machine: anyone who can reach port %d can "
      "watch the camera, and the control token travels in clear over plain http.\n"
      "  To watch from another machine, prefer listening on 127.0.0.1 and an SSH tunnel from there:\n"
      "  ssh -L %d:127.0.0.1:%d THIS-MACHINE, then open http://localhost:%d/ on that machine.\n",
      where.toLocal8Bit().constData(), l.port, l.port, l.port, l.port);
  std::fflush(stderr);
}

}  // namespace

int runserve(const Context& ctx) {
  ServeOptions options;
  int status = parseoptions(ctx, options);
  if (status != kExitOk) return status;
  std::string token;
  if (!maketoken(token)) return reportfailure("random token", errno);

  installstophandlers();
  std::signal(SIGPIPE, SIG_IGN);
  Camera camera;
  if (!camera.open(ctx, kStreamFifo, options.packetlength)) return kExitFailure;
  CameraControl control(ctx, options);
  if (!control.readcamera()) return kExitFailure;

  Listener listener;
  QString error;
  if (!openlistener(options.host, options.port, listener, error))
    return reportproblem(QString("listen %1:%2").arg(QString::fromStdString(options.host)).arg(options.port),
                         error);
  Feed feed(static_cast<size_t>(options.history), kMaxWatchers, kWatchersPerClient);
  feed.setsettings(control.settings());
  LiveServer server(options, token, control, feed, allowedhosts(listener, options.host));
  if (!server.start(listener.fd)) {
    ::close(listener.fd);
    return reportproblem("lscam serve", "the HTTP server could not start");
  }

  const QJsonObject identity = control.info();
  printline(QString("lscam serve: camera %1 (%2, %3), %4 pixels per line")
                .arg(terminalsafe(identity["serial"].toString()),
                     terminalsafe(identity["product"].toString()),
                     terminalsafe(identity["sensorName"].toString()))
                .arg(options.format.width));
  printurls(listener, token);
  printline("Ctrl-C stops the server and closes the camera.");
  std::fflush(stdout);
  if (!listener.loopback) warnbeyondloopback(listener);

  StreamReader reader(feed, control, options.format, options.framerate);
  reader.start();
  while (!stoprequested) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.sweep();
  }
  // The camera first, then the clients: none of them can delay the closing.
  reader.stop();
  control.close();
  camera.close();
  feed.close();
  server.stop();
  printline("lscam serve: stopped, camera closed");
  return kExitOk;
}
