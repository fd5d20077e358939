// SPDX-License-Identifier: MIT
// lscam stream and lscam capture: reading the camera's stream.
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <QJsonObject>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

#include "image.h"
#include "lscam.h"
#include "vantorpi.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondssince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double megabytes(double bytes) { return bytes / 1e6; }

// Room for a few tenths of a second of a full-speed USB 2.0 stream, so that a
// slow write to the output does not hold up the camera.
constexpr int kStreamFifo = 1 << 24;

// The library's own rate measurement, once its first one-second window has closed.
QString camerarate(int fps) {
  return fps > 0 ? QString(" (camera %1 MB/s)").arg(megabytes(fps), 0, 'f', 2) : QString();
}

bool packetlengthoption(const Context& ctx, int& length) {
  unsigned long long v = 0;
  if (!parsenumber(ctx.parser->value("packet-length"), 0x7FFFFFFF, v) || v < 2048) return false;
  length = static_cast<int>(v);
  return true;
}

// An output file. A regular file that is not finished, because the command
// failed, is removed again on destruction, so that no empty or partial file
// is left; devices such as /dev/null are only closed.
class Output {
 public:
  ~Output() {
    if (!file || file == stdout) return;
    std::fclose(file);
    if (regular) std::remove(QFile::encodeName(path).constData());
  }
  // Opens path for writing ('-' is standard output); reports the failure.
  bool open(const QString& p) {
    path = p;
    name = path == "-" ? QString("standard output") : path;
    file = path == "-" ? stdout : std::fopen(QFile::encodeName(path).constData(), "wb");
    if (!file) {
      reportfailure("open " + path, errno);
      return false;
    }
    struct stat st {};
    regular = file != stdout && fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
    return true;
  }
  // Flushes and closes; reports a failure of the last writes.
  bool finish() {
    std::FILE* f = file;
    file = nullptr;
    if (!f) return true;
    errno = 0;
    bool ok = std::fflush(f) == 0 && !std::ferror(f);
    int err = errno;
    if (f != stdout && std::fclose(f) != 0 && ok) {
      ok = false;
      err = errno;
    }
    if (!ok) reportfailure("write " + name, err != 0 ? err : EIO);
    return ok;
  }
  std::FILE* file = nullptr;
  bool regular = false;
  QString path;
  QString name;
};

// Tells an unplugged camera from a quiet stream, as the library's stream
// itself does not report why it ended: after a short spell without data, one
// status request (the endpoint-6 status byte, one byte) asks whether the
// camera still answers. Anything but a time-out means it is gone. With a wait
// of at most 100 ms per round the loss is seen within half a second.
class UnplugWatch {
 public:
  explicit UnplugWatch(unsigned int timeout) : requesttimeout(timeout == 0 ? 250 : std::min(timeout, 250u)) {}
  // After each wait: whether it brought data. Returns 0, or the code of the failed status request.
  int check(bool data) {
    const Clock::time_point now = Clock::now();
    if (data || now - quietsince < kQuiet) {
      if (data) quietsince = now;
      return 0;
    }
    quietsince = now;
    unsigned char status = 0;
    const int result = ls_ep6stat(&status, requesttimeout);
    return result == CX_SUCCESS || result == kTimeout ? 0 : result;
  }

 private:
  static constexpr int kTimeout = -7;  // libusb's time-out: the camera is there, only slow
  static constexpr std::chrono::milliseconds kQuiet{200};
  unsigned int requesttimeout;
  Clock::time_point quietsince = Clock::now();
};

// The library's rate for JSON: null until it has measured one.
QJsonValue cameraratevalue(int fps) { return fps > 0 ? QJsonValue(fps) : QJsonValue(QJsonValue::Null); }

// The status line on stderr: rewritten in place on a terminal, one line per
// update otherwise.
void status(const QString& text, bool final) {
  static const bool terminal = isatty(fileno(stderr));
  QByteArray bytes = text.toLocal8Bit();
  if (terminal)
    std::fprintf(stderr, "\r%s\033[K%s", bytes.constData(), final ? "\n" : "");
  else
    std::fprintf(stderr, "%s\n", bytes.constData());
  std::fflush(stderr);
}

}  // namespace

int runstream(const Context& ctx) {
  bool ok = false;
  const double seconds = ctx.parser->value("seconds").toDouble(&ok);
  if (!ok || !std::isfinite(seconds) || seconds < 0)
    return usageerror("--seconds needs a number of seconds, not '" + ctx.parser->value("seconds") + "'",
                      "stream");
  int packetlength = 0;
  if (!packetlengthoption(ctx, packetlength))
    return usageerror("--packet-length needs a number of at least 2048", "stream");

  if (ctx.json && ctx.parser->value("out") == "-")
    return usageerror("--json and --out - both need standard output", "stream");

  Output out;
  if (ctx.parser->isSet("out") && !out.open(ctx.parser->value("out"))) return kExitFailure;
  installstophandlers();
  std::signal(SIGPIPE, SIG_IGN);

  Camera camera;
  if (!camera.open(ctx, kStreamFifo, packetlength)) return kExitFailure;

  // Whole packets only, so that a file holds the packets as the camera sent them.
  const int chunk = packetlength * std::max(1, (1 << 20) / packetlength);
  std::vector<char> buffer(static_cast<size_t>(chunk));
  unsigned long long total = 0, lastbytes = 0;
  const Clock::time_point start = Clock::now();
  Clock::time_point last = start;
  bool interrupted = false;
  UnplugWatch watch(ctx.timeout);
  int lost = 0;  // the code with which the camera stopped answering
  for (;;) {
    if (stoprequested) {
      interrupted = true;
      break;
    }
    if (seconds > 0 && secondssince(start) >= seconds) break;
    ls_waitforpipe(100);
    int waiting = ls_getpipe(nullptr, 0);
    if ((lost = watch.check(waiting > 0)) != 0) break;
    int take = std::min(waiting - waiting % packetlength, chunk);
    if (take > 0) {
      int n = ls_getpipe(buffer.data(), take);
      if (n > 0 && out.file &&
          std::fwrite(buffer.data(), 1, static_cast<size_t>(n), out.file) != static_cast<size_t>(n))
        return reportfailure("write " + out.name, errno);
      total += static_cast<unsigned long long>(std::max(n, 0));
    }
    const double interval = secondssince(last);
    if (interval >= 1.0 && ctx.json) {
      printjson(QJsonObject{{"type", "status"},
                            {"seconds", secondssince(start)},
                            {"bytes", static_cast<qint64>(total)},
                            {"bytes_per_second", static_cast<double>(total - lastbytes) / interval},
                            {"camera_bytes_per_second", cameraratevalue(ls_getfps())}},
                true);
      last = Clock::now();
      lastbytes = total;
    } else if (interval >= 1.0) {
      status(QString("received %1 bytes, %2 MB/s")
                     .arg(total)
                     .arg(megabytes(static_cast<double>(total - lastbytes)) / interval, 0, 'f', 2) +
                 camerarate(ls_getfps()),
             false);
      last = Clock::now();
      lastbytes = total;
    }
  }
  const double elapsed = secondssince(start);
  const int fps = ls_getfps();
  camera.close();
  if (!out.finish()) return kExitFailure;

  const QString result = lost ? "failed" : interrupted ? "interrupted" : "done";
  QString summary = QString("%1: %2 bytes (%3 packets of %4 bytes) in %5 s, %6 MB/s")
                        .arg(result)
                        .arg(total)
                        .arg(total / static_cast<unsigned long long>(packetlength))
                        .arg(packetlength)
                        .arg(elapsed, 0, 'f', 2)
                        .arg(megabytes(static_cast<double>(total)) / elapsed, 0, 'f', 2) +
                    camerarate(fps);
  if (out.file == nullptr && ctx.parser->isSet("out")) summary += ", written to " + terminalsafe(out.name);
  if (ctx.json) {
    QJsonObject o{{"type", "summary"},
                  {"result", result},
                  {"seconds", elapsed},
                  {"bytes", static_cast<qint64>(total)},
                  {"packets", static_cast<qint64>(total / static_cast<unsigned long long>(packetlength))},
                  {"packet_length", packetlength},
                  {"bytes_per_second", static_cast<double>(total) / elapsed},
                  {"camera_bytes_per_second", cameraratevalue(fps)}};
    if (ctx.parser->isSet("out")) o.insert("out", out.name);
    if (lost) o.insert("error", QJsonObject{{"code", lost}, {"text", ls_geterrorstring(lost)}});
    printjson(o, true);
  } else {
    status(summary, true);
  }
  if (lost) return reportfailure("stream", lost, "the camera stopped answering: unplugged?");
  if (total == 0 && !interrupted) return reportproblem("stream", "no data received");
  return kExitOk;
}

int runcapture(const Context& ctx) {
  // Sizes that the PNG writer refuses are refused here, before anything is captured.
  const unsigned long long maxlines = pngmaxheight(), maxwidth = pngmaxwidth();
  unsigned long long lines = 0, width = 0, depth = 0, skip = 0;
  if (!parsenumber(ctx.parser->value("lines"), maxlines, lines) || lines == 0)
    return usageerror(
        QString("--lines needs a number of lines from 1 to %1 (the tallest PNG image libpng writes)")
            .arg(maxlines),
        "capture");
  if (!parsenumber(ctx.parser->value("width"), 1 << 20, width) || width == 0)
    return usageerror("--width needs a number of pixels from 1 to 1048576", "capture");
  if (!parsenumber(ctx.parser->value("skip"), width - 1, skip))
    return usageerror("--skip needs a number of pixels below --width", "capture");
  if (width - skip > maxwidth)
    return usageerror(
        QString("--width minus --skip, the image's width, may be at most %1 (the widest PNG image "
                "libpng writes)")
            .arg(maxwidth),
        "capture");
  if (!parsenumber(ctx.parser->value("depth"), 16, depth) || (depth != 8 && depth != 16))
    return usageerror("--depth is 16 or 8", "capture");
  if (lines * width > (1ull << 28))
    return usageerror("--lines times --width may be at most 268435456", "capture");
  if (!ctx.parser->isSet("out")) return usageerror("capture needs --out FILE", "capture");
  int packetlength = 0;
  if (!packetlengthoption(ctx, packetlength))
    return usageerror("--packet-length needs a number of at least 2048", "capture");
  if (ctx.parser->value("out") == "-" || ctx.parser->value("profile") == "-")
    return usageerror("capture writes PNG files, not standard output", "capture");

  Output image, profile;
  if (!image.open(ctx.parser->value("out"))) return kExitFailure;
  if (ctx.parser->isSet("profile") && !profile.open(ctx.parser->value("profile"))) return kExitFailure;
  installstophandlers();

  Camera camera;
  if (!camera.open(ctx, kStreamFifo, packetlength)) return kExitFailure;
  const size_t bytesperpixel = depth / 8;
  const size_t linebytes = width * bytesperpixel;
  std::vector<unsigned char> raw(lines * linebytes);
  size_t got = 0;
  Clock::time_point progress = Clock::now();
  UnplugWatch watch(ctx.timeout);
  while (got < raw.size()) {
    if (stoprequested)
      return reportproblem("capture",
                           QString("interrupted after %1 of %2 lines").arg(got / linebytes).arg(lines));
    ls_waitforpipe(100);
    const size_t want = std::min<size_t>(raw.size() - got, 1 << 20);
    const int n = ls_getpipe(raw.data() + got, static_cast<int>(want));
    if (const int lost = watch.check(n > 0))
      return reportfailure("capture", lost,
                           QString("the camera stopped answering after %1 of %2 lines: unplugged?")
                               .arg(got / linebytes)
                               .arg(lines));
    if (n > 0) {
      got += static_cast<size_t>(n);
      progress = Clock::now();
    } else if (secondssince(progress) * 1000.0 >= std::max(ctx.timeout, 1000u)) {
      return reportproblem("capture", QString("no stream data for %1 ms after %2 of %3 lines")
                                          .arg(std::max(ctx.timeout, 1000u))
                                          .arg(got / linebytes)
                                          .arg(lines));
    }
  }
  camera.close();

  GrayImage gray;
  gray.width = static_cast<int>(width - skip);
  gray.height = static_cast<int>(lines);
  gray.depth = static_cast<int>(depth);
  gray.pixels.resize(lines * (width - skip));
  size_t at = 0;
  for (size_t y = 0; y < lines; ++y)
    for (size_t x = skip; x < width; ++x) {
      const size_t i = y * width + x;
      gray.pixels[at++] = depth == 16 ? static_cast<uint16_t>(raw[2 * i] | raw[2 * i + 1] << 8) : raw[i];
    }
  raw = {};

  const std::vector<double> means = columnmeans(gray);
  if (!ctx.parser->isSet("no-autoscale")) autoscale(gray);
  QString error;
  if (!writepng(image.file, gray, error)) return reportproblem("write " + image.name, error);
  if (!image.finish()) return kExitFailure;
  printline(QString("image: %1 (%2 x %3 pixels, %4-bit)")
                .arg(terminalsafe(image.name))
                .arg(width - skip)
                .arg(lines)
                .arg(depth));
  if (profile.file) {
    if (!writepng(profile.file, plotprofile(means, 800, 300, static_cast<int>(skip)), error))
      return reportproblem("write " + profile.name, error);
    const QString name = profile.name;
    if (!profile.finish()) return kExitFailure;
    printline(QString("profile: %1 (800 x 300 pixels)").arg(terminalsafe(name)));
  }
  return kExitOk;
}
