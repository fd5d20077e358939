// lscam serve: the camera live in a browser. One thread reads the stream
// (feed.h); control requests from the page go through CameraControl, which
// makes every control call under one mutex; the page, its script and style
// are compiled in as Qt resources.
#include <httplib.h>
#include <sys/random.h>
#include <unistd.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QUrlQuery>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "feed.h"
#include "image.h"
#include "lscam.h"
#include "vantorpi.h"

namespace {

// Room for a few tenths of a second of a full-speed stream.
constexpr int kStreamFifo = 1 << 24;
constexpr size_t kMaxWatchers = 16;
constexpr size_t kServerThreads = 32;
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
// time while the reader thread reads the stream.
class CameraControl {
 public:
  explicit CameraControl(unsigned int timeout) : timeout(timeout) {}

  // Reads identity, catalogue limits and the settings; false after reporting a failure.
  bool readcamera(QJsonObject& identity) {
    std::lock_guard<std::mutex> lock(mutex);
    auto failed = [](const QString& what, int result) {
      reportfailure(what, result);
      return false;
    };
    const int index = ls_currentdeviceindex();
    identity["serial"] = ls_getserialnumber(index);
    identity["manufacturer"] = ls_getvendorname(index);
    identity["product"] = ls_getproductname(index);
    identity["mcu1Version"] = versiontext(static_cast<unsigned int>(ls_getmcu1version(index)));
    unsigned short mcu2 = 0;
    int result = ls_getmcu2version(&mcu2, timeout);
    if (result != CX_SUCCESS) return failed("read mcu2 version", result);
    identity["mcu2Version"] = versiontext(mcu2);
    unsigned short type = 0, second = 0;
    result = ls_getsensortype(&type, &second, timeout);
    if (result != CX_SUCCESS) return failed("read sensor type", result);
    sensortype = type;
    identity["sensorType"] = hex(type, 4);
    identity["sensorName"] = ls_getsensorname(type);
    limitsknown = ls_getminmaxtime(type, &mintime, &maxtime) == CX_SUCCESS;
    if (limitsknown) {
      identity["inttimeMin"] = static_cast<double>(mintime);
      identity["inttimeMax"] = static_cast<double>(maxtime);
    }
    for (const char* name : kPageSettings) {
      const Setting* s = findsetting(name);
      unsigned int value = 0;
      result = s->get(value, timeout);
      if (result != CX_SUCCESS) return failed(QString("read %1").arg(name), result);
      current[name] = static_cast<double>(value);
    }
    return true;
  }

  // Checks every name=value pair of a form body; nothing is written yet.
  bool validate(const std::string& body, QList<Write>& writes, QString& error) const {
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

 private:
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

void sendtext(httplib::Response& res, int status, const QString& message) {
  res.status = status;
  res.set_content((message + "\n").toStdString(), "text/plain; charset=utf-8");
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

class LiveServer {
 public:
  LiveServer(const ServeOptions& options, const std::string& token, CameraControl& control, Feed& feed,
             const QJsonObject& identity)
      : options(options), token(token), control(control), feed(feed), identity(identity) {
    server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
    // SO_REUSEADDR only: the library's default SO_REUSEPORT would let a second
    // server share a port that is in use instead of failing.
    server.set_socket_options([](socket_t sock) {
      const int yes = 1;
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    });
    server.set_keep_alive_timeout(2);
    server.set_write_timeout(5);
    server.set_payload_max_length(1 << 16);
    server.set_default_headers({{"Cache-Control", "no-store"},
                                {"X-Content-Type-Options", "nosniff"},
                                {"Referrer-Policy", "no-referrer"}});
    routes();
  }

  // The port bound, or -1.
  int bind() {
    if (options.port == 0) return server.bind_to_any_port(options.host);
    return server.bind_to_port(options.host, options.port) ? options.port : -1;
  }
  void run() { server.listen_after_bind(); }
  void stop() { server.stop(); }

 private:
  bool authorised(const httplib::Request& req) const {
    return sametoken(req.get_header_value(kTokenHeader), token);
  }

  void routes() {
    const std::string page = resource(":/page/index.html");
    const std::string script = resource(":/page/page.js");
    const std::string style = resource(":/page/page.css");
    server.Get("/", [page](const httplib::Request&, httplib::Response& res) {
      res.set_header("Content-Security-Policy",
                     "default-src 'self'; img-src 'self' blob: data:; frame-ancestors 'none'");
      res.set_content(page, "text/html; charset=utf-8");
    });
    server.Get("/page.js", [script](const httplib::Request&, httplib::Response& res) {
      res.set_content(script, "text/javascript; charset=utf-8");
    });
    server.Get("/page.css", [style](const httplib::Request&, httplib::Response& res) {
      res.set_content(style, "text/css; charset=utf-8");
    });
    server.Get("/api/info", [this](const httplib::Request& req, httplib::Response& res) {
      QJsonObject info = identity;
      info["control"] = authorised(req);
      res.set_content(compact(info), "application/json");
    });
    server.Get("/api/settings", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(control.settings(), "application/json");
    });
    server.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
      res.set_content(feed.currentstatus(), "application/json");
    });
    server.Post("/api/settings",
                [this](const httplib::Request& req, httplib::Response& res) { changesettings(req, res); });
    server.Get("/api/stream",
               [this](const httplib::Request& req, httplib::Response& res) { stream(req, res); });
    server.Get("/api/waterfall.png", [this](const httplib::Request&, httplib::Response& res) {
      std::string png;
      QString error;
      const std::vector<FramePtr> lines = feed.history();
      if (lines.empty()) return sendtext(res, 503, "no lines received yet");
      if (!waterfallpng(lines, options.format, png, error)) return sendtext(res, 500, "PNG: " + error);
      res.set_header("Content-Disposition", "attachment; filename=\"waterfall.png\"");
      res.set_content(png, "image/png");
    });
    server.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
      if (res.status == 404)
        sendtext(res, 404, QString("no page %1").arg(QString::fromStdString(req.path).left(80)));
    });
  }

  void changesettings(const httplib::Request& req, httplib::Response& res) {
    if (!authorised(req))
      return sendtext(res, 403,
                      "changing settings needs the token that lscam serve printed in its URL at start");
    if (req.get_header_value("Content-Type").rfind("application/x-www-form-urlencoded", 0) != 0)
      return sendtext(res, 400, "send the settings as application/x-www-form-urlencoded name=value pairs");
    QList<Write> writes;
    QString error;
    if (!control.validate(req.body, writes, error)) return sendtext(res, 400, error);
    const bool ok = control.apply(writes, error);
    feed.setsettings(control.settings());
    if (!ok) return sendtext(res, 502, error);
    res.set_content(control.settings(), "application/json");
  }

  // Server-sent events: the settings, the status once a second, and frames
  // as they come, until the browser goes away or the server stops.
  void stream(const httplib::Request& req, httplib::Response& res) {
    unsigned long long bins = static_cast<unsigned long long>(options.format.shown());
    if (req.has_param("bins") &&
        (!parsenumber(QString::fromStdString(req.get_param_value("bins")), 1 << 20, bins) || bins == 0))
      return sendtext(res, 400, "bins needs a number from 1 to 1048576");
    const int id = feed.attach();
    if (id == 0) return sendtext(res, 503, QString("already %1 watchers; try again later").arg(kMaxWatchers));
    Feed& f = feed;
    res.set_chunked_content_provider(
        "text/event-stream",
        [&f, id, bins, started = false](size_t, httplib::DataSink& sink) mutable {
          if (!started) {
            started = true;
            static const char retry[] = "retry: 2000\n\n";
            return sink.write(retry, sizeof retry - 1);
          }
          const FeedEvent e = f.next(id, std::chrono::milliseconds(1000));
          std::string text;
          switch (e.kind) {
            case FeedEvent::Kind::Closed:
              sink.done();
              return true;
            case FeedEvent::Kind::None:
              text = ": idle\n\n";
              break;
            case FeedEvent::Kind::Settings:
              text = "event: settings\ndata: " + e.text + "\n\n";
              break;
            case FeedEvent::Kind::Status:
              text = "event: status\ndata: " + e.text + "\n\n";
              break;
            case FeedEvent::Kind::Frame:
              text = frameevent(*e.frame, bins, e.dropped);
              break;
          }
          return sink.write(text.data(), text.size());
        },
        [&f, id](bool) { f.detach(id); });
  }

  const ServeOptions options;
  const std::string token;
  CameraControl& control;
  Feed& feed;
  const QJsonObject identity;
  httplib::Server server;
};

// How a browser reaches the host the server listens on.
std::string urlhost(const std::string& host) {
  if (host == "0.0.0.0" || host == "::") {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) return name;
  }
  return host.find(':') != std::string::npos ? "[" + host + "]" : host;
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
  CameraControl control(ctx.timeout);
  QJsonObject identity;
  if (!control.readcamera(identity)) return kExitFailure;
  identity["width"] = options.format.width;
  identity["skip"] = options.format.skip;
  identity["pixels"] = options.format.shown();
  identity["depth"] = options.format.depth;
  identity["fullScale"] = static_cast<double>(options.format.fullscale);
  identity["history"] = options.history;

  Feed feed(static_cast<size_t>(options.history), kMaxWatchers);
  feed.setsettings(control.settings());
  LiveServer server(options, token, control, feed, identity);
  const int port = server.bind();
  if (port < 0)
    return reportproblem(
        QString("listen %1:%2").arg(QString::fromStdString(options.host)).arg(options.port),
        "cannot listen there (the port is taken, or the address is not one of this machine's)");

  const QString base = QString("http://%1:%2/").arg(QString::fromStdString(urlhost(options.host))).arg(port);
  printline(QString("lscam serve: camera %1 (%2, %3), %4 pixels per line")
                .arg(identity["serial"].toString(), identity["product"].toString(),
                     identity["sensorName"].toString())
                .arg(options.format.width));
  printline("Watch and change settings (the token lets anyone holding this URL change settings):");
  printline("  " + base + "?token=" + QString::fromStdString(token));
  printline("Watch only:");
  printline("  " + base);
  printline("Ctrl-C stops the server and closes the camera.");
  std::fflush(stdout);

  StreamReader reader(feed, options.format, options.framerate);
  reader.start();
  std::thread http([&server] { server.run(); });
  while (!stoprequested) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  feed.close();
  server.stop();
  http.join();
  reader.stop();
  camera.close();
  printline("lscam serve: stopped, camera closed");
  return kExitOk;
}
