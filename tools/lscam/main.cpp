// SPDX-License-Identifier: MIT
// lscam: command-line tool for the line-scan camera, built on the library's
// public C interface only.
#include <QCoreApplication>
#include <cstdio>

#include "lscam.h"
#include "vantorpi.h"

namespace {

struct Command {
  const char* name;
  const char* summary;
  const char* syntax;  // what follows "lscam [global options]" in the usage line
  const char* description;
  int minargs;
  int maxargs;  // -1: any number
  QList<QCommandLineOption> (*options)();
  int (*run)(const Context&);
};

QCommandLineOption jsonoption() {
  return QCommandLineOption("json", "Print JSON on standard output instead of text (keys: see above).");
}

QList<QCommandLineOption> jsonoptions() { return {jsonoption()}; }

QCommandLineOption packetoption() {
  return QCommandLineOption("packet-length",
                            "Bytes per bulk transfer of the stream, at least 2048 (default 4096).", "BYTES",
                            "4096");
}

QList<QCommandLineOption> setoptions() {
  return {
      QCommandLineOption("readback", "Read every setting back after writing it and print it as get does."),
      QCommandLineOption("force",
                         "Write inttime even outside the fitted sensor's catalogue limits (by default such "
                         "a value is refused).")};
}

QList<QCommandLineOption> streamoptions() {
  return {QCommandLineOption("seconds", "Stop after S seconds (default: run until Ctrl-C).", "S", "0"),
          QCommandLineOption(
              "out", "Write the raw stream to FILE; '-' is standard output (default: discard).", "FILE"),
          packetoption(), jsonoption()};
}

QList<QCommandLineOption> doctoroptions() {
  return {
      QCommandLineOption("user", "Check for this user instead of the current one, e.g. a service's.", "NAME"),
      QCommandLineOption("packet-length",
                         "Bytes per bulk transfer that the usbfs memory must allow (default 4096).", "BYTES",
                         "4096"),
      jsonoption()};
}

QList<QCommandLineOption> captureoptions() {
  return {
      QCommandLineOption("lines", "Number of lines to capture (default 512).", "N", "512"),
      QCommandLineOption("width", "Pixels per line (default 2048).", "PIXELS", "2048"),
      QCommandLineOption("depth", "Bits per pixel in the stream: 16 (little-endian) or 8 (default 16).",
                         "BITS", "16"),
      QCommandLineOption("skip",
                         "Leave out the first N pixels of every line, e.g. a sensor's dummy pixels or the "
                         "simulator's packet counter (default 0).",
                         "N", "0"),
      QCommandLineOption("out", "The PNG image to write (required).", "FILE"),
      QCommandLineOption("profile", "Also draw the mean line profile as a plot into this PNG.", "FILE"),
      QCommandLineOption("no-autoscale",
                         "Write the pixel values unchanged. By default the image is stretched so that "
                         "the darkest 0.5% and the brightest 0.05% of its pixels saturate."),
      packetoption()};
}

QList<QCommandLineOption> flashoptions() {
  return {
      QCommandLineOption("block", "Bytes per data block, 1 to 65535; also the parameter of f1 (default 512).",
                         "B", "512"),
      QCommandLineOption("lastbyte",
                         "Send the image's last byte with the closing command (f2 with last byte).")};
}

QList<QCommandLineOption> serveoptions() {
  return {QCommandLineOption("listen",
                             "Address and port to serve on (default 127.0.0.1:8080, this machine only); "
                             "0.0.0.0:PORT serves the network with a warning (plain HTTP: prefer an SSH "
                             "tunnel), port 0 picks a free port.",
                             "ADDR:PORT", "127.0.0.1:8080"),
          QCommandLineOption("width", "Pixels per line (default 2048).", "PIXELS", "2048"),
          QCommandLineOption("depth", "Bits per pixel in the stream: 16 (little-endian) or 8 (default 16).",
                             "BITS", "16"),
          QCommandLineOption("skip",
                             "Leave out the first N pixels of every line, e.g. a sensor's dummy pixels "
                             "(default 0).",
                             "N", "0"),
          QCommandLineOption("full-scale",
                             "Count at which a pixel counts as saturated (default: the largest value of "
                             "--depth).",
                             "COUNTS"),
          QCommandLineOption("history", "Lines kept for the waterfall PNG download, 1 to 4096 (default 300).",
                             "N", "300"),
          QCommandLineOption("frame-rate", "Lines sent to each browser per second, 1 to 60 (default 25).",
                             "N", "25"),
          packetoption()};
}

const Command commands[] = {
    {"list", "List the attached cameras.", "list",
     "Lists every attached camera: index, serial number, manufacturer, product and first-processor version. "
     "When sysfs shows a camera that the library does not list, a hint on standard error names "
     "'lscam doctor'.\n\n"
     "JSON: {\"cameras\": [{\"index\", \"serial\", \"manufacturer\", \"product\", \"mcu1_version\"}]}; "
     "index is a number, the others strings (versions as \"1.02\").",
     0, 0, jsonoptions, runlist},
    {"info", "Show everything about one camera (for bug reports).", "info",
     "Opens the camera and prints one 'key: value' line per property: versions, identity, sensor, "
     "second-processor settings, ADC registers, power pins, FIFO status and I2C frequency. A property that "
     "cannot be read shows 'error <code> <text>'; the others are still printed and the exit status is 1.\n\n"
     "JSON: one object with the keys of the text output, spaces replaced by '_' (library_version, index, "
     "serial, ..., i2c_frequency). Numbers are JSON numbers, versions (\"1.02\") and names strings. A "
     "property that cannot be read is null, and \"errors\" maps its key to {\"code\", \"text\"}.",
     0, 0, jsonoptions, runinfo},
    {"get", "Read settings.", "get NAME...",
     "Prints the value of the named setting; with several names, one 'name: value' line each.\n\n"
     "JSON: one object that maps each name to its value as a number; a setting that cannot be read is null, "
     "and \"errors\" maps its name to {\"code\", \"text\"}.",
     1, -1, jsonoptions, runget},
    {"set", "Write settings.", "set NAME VALUE [NAME VALUE...]",
     "Writes each named setting in order; VALUE is decimal or 0x-hex. Prints nothing on success unless "
     "--readback is given. An inttime outside the fitted sensor's catalogue limits (as 'lscam info' shows "
     "them) is a usage error unless --force is given; nothing is written then.",
     2, -1, setoptions, runset},
    {"stream", "Read the stream, optionally into a file.", "stream",
     "Reads the camera's stream. A status line on standard error shows the bytes received and the byte rate "
     "once a second, and a summary follows at the end. Ctrl-C ends it cleanly. When no data comes for a "
     "moment, one status request asks whether the camera still answers; if it does not (unplugged), the "
     "stream ends with the request's code and exit status 1.\n\n"
     "JSON (not with --out -): instead of the status lines, one object per line on standard output: "
     "{\"type\": \"status\", \"seconds\", \"bytes\", \"bytes_per_second\", \"camera_bytes_per_second\"} once "
     "a second and at the end {\"type\": \"summary\", \"result\" (\"done\", \"interrupted\" or \"failed\"), "
     "\"seconds\", \"bytes\", \"packets\", \"packet_length\", \"bytes_per_second\", "
     "\"camera_bytes_per_second\", \"out\", \"error\"}. "
     "camera_bytes_per_second is the library's measurement, null before it has one; out, the file written, "
     "only with --out; error, {\"code\", \"text\"}, only when the camera stopped answering.",
     0, 0, streamoptions, runstream},
    {"capture", "Capture a line-scan image into a PNG.", "capture --out FILE",
     "Reads lines from the stream as it comes and writes them as a grayscale PNG, one image row per line "
     "(16-bit PNG for --depth 16, 8-bit for --depth 8), without the first --skip pixels of each line. "
     "--lines and the image's width (--width minus --skip) may be at most 1000000, the largest PNG that "
     "libpng writes. The profile plot shows the mean count of each pixel over the lines. A camera that "
     "stops answering (unplugged) ends the capture with exit status 1, as for stream.",
     0, 0, captureoptions, runcapture},
    {"flash", "Program the second processor's flash.", "flash FILE",
     "Writes FILE (1 byte to 1 MiB; 2 bytes at least with --lastbyte) into the second processor's flash: "
     "f0, f1 with the block size, the image in blocks, then f2 (or f2 with the last byte), and prints the "
     "device's value as 'flash value: 0x....'. A file that cannot be read gives CX_ERR_OPEN_FLASH_FILE "
     "(-10056), one of an unusable length CX_ERR_LENGTH_FLASH_FILE (-10055).",
     1, 1, flashoptions, runflash},
    {"serve", "Show the camera live in a web browser.", "serve",
     "Serves a page that shows the camera live: the line profile with its statistics and a saturation "
     "warning, a waterfall of the latest lines, the stream rate and the camera's identity, with controls for "
     "the integration time, mode, state and the ADC gains and offsets. It prints two URLs: the one with "
     "?token= may change settings, the other only watches. Flash programming and the power and protection "
     "switches cannot be reached from the page. Ctrl-C or SIGTERM stops the server and closes the camera.",
     0, 0, serveoptions, runserve},
    {"doctor", "Find out why a camera cannot be used, and what fixes it.", "doctor",
     "Checks what a first run needs and prints one line per check: OK, WARN or FAIL, and for each WARN and "
     "FAIL the command that fixes it. library: the library's version and file. rules: udev rules for the "
     "camera's IDs in /etc/udev/rules.d or /usr/lib/udev/rules.d. group: the user is in the rules' group. "
     "bus: cameras with the IDs in sysfs. For each of them: access (may the user open /dev/bus/usb/BBB/DDD: "
     "owner, group, mode, ACL), speed (a high-speed link), listed (the library lists it), busy (no other "
     "program holds it: it is opened and closed again). usbfs: the usbfs memory limit allows a bulk "
     "transfer of --packet-length bytes. power: on Raspberry Pi class boards, the firmware's under-voltage "
     "and throttling flags.\n\n"
     "It only reads files and changes nothing. The files are read below the folder that the environment "
     "variable LSCAM_SYSROOT names (default /). Exit status 1 if a check fails, else 0.\n\n"
     "JSON: {\"verdict\": worst verdict, \"checks\": [{\"check\", \"camera\", \"verdict\", \"message\", "
     "\"fix\"}]}; check is one of the names above, verdict \"ok\", \"warn\" or \"fail\"; camera (its serial) "
     "only for the per-camera checks, fix only for warn and fail.",
     0, 0, doctoroptions, rundoctor},
};

const Command* findcommand(const QString& name) {
  for (const Command& c : commands)
    if (name == QLatin1String(c.name)) return &c;
  return nullptr;
}

QList<QCommandLineOption> globaloptions() {
  return {
      QCommandLineOption("index", "Use the camera at index N of the list (default 0).", "N"),
      QCommandLineOption("serial", "Use the camera with serial number S.", "S"),
      QCommandLineOption("timeout", "Time-out of each control request in ms (default 2000).", "MS", "2000"),
      QCommandLineOption(QStringList{"h", "help"}, "Show help; 'lscam help COMMAND' for one command."),
      QCommandLineOption("version", "Show the library version.")};
}

// The "Options:" part of a parser's help text, under another heading.
QString optionsection(const QList<QCommandLineOption>& options, const QString& heading) {
  if (options.isEmpty()) return QString();
  QCommandLineParser p;
  p.addOptions(options);
  QString text = p.helpText();
  int at = text.indexOf("Options:");
  return heading + ":" + text.mid(at + 8);
}

const char* kExitText =
    "Exit status: 0 success, 1 failure of the camera or the library (printed as '<what>: <code> <text>'), "
    "2 usage error.";

void printout(const QString& text) {
  QByteArray bytes = text.toLocal8Bit();
  std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), stdout);
}

// Breaks text into lines of at most 79 columns at spaces; paragraphs are separated by an empty line.
QString wrapped(const QString& text) {
  if (text.contains("\n\n")) {
    QStringList parts;
    for (const QString& p : text.split("\n\n")) parts << wrapped(p);
    return parts.join("\n");
  }
  QString out, line;
  for (const QString& word : text.split(' ', Qt::SkipEmptyParts)) {
    if (!line.isEmpty() && line.size() + 1 + word.size() > 79) {
      out += line + "\n";
      line.clear();
    }
    line += (line.isEmpty() ? "" : " ") + word;
  }
  return out + line + "\n";
}

void showgeneralhelp() {
  QString text =
      "Usage: lscam [global options] COMMAND [arguments] [options]\n\n"
      "Tool for the USB line-scan camera. Without --index or --serial it uses the first camera.\n\n"
      "Commands:\n";
  for (const Command& c : commands) text += QString("  %1  %2\n").arg(QString(c.name), -8).arg(c.summary);
  text += QString("  %1  %2\n").arg("help", -8).arg("Show help for a command: lscam help COMMAND.");
  text +=
      "\nExamples:\n"
      "  lscam list\n"
      "  lscam info\n"
      "  lscam --serial SIM0001 set inttime 1500 --readback\n"
      "  lscam stream --seconds 10 --out stream.raw\n"
      "  lscam capture --lines 512 --width 2048 --out image.png --profile profile.png\n"
      "  lscam serve --listen 127.0.0.1:8080\n"
      "  lscam doctor\n"
      "\nlist, info, get, stream and doctor print JSON with --json; 'lscam help COMMAND' names the keys.\n";
  text += "\n" + optionsection(globaloptions(), "Global options") + "\n" + wrapped(kExitText);
  printout(text);
}

void showcommandhelp(const Command& c) {
  QString text =
      QString("Usage: lscam [global options] %1 [options]\n\n").arg(c.syntax) + wrapped(c.description);
  if (QLatin1String(c.name) == QLatin1String("get") || QLatin1String(c.name) == QLatin1String("set"))
    text += "\n" + settingshelp();
  QString own = optionsection(c.options(), "Options");
  if (!own.isEmpty()) text += "\n" + own;
  text += "\n" + optionsection(globaloptions(), "Global options") + "\n" + wrapped(kExitText);
  printout(text);
}

// The command is the first argument that is neither an option nor the value of
// a global option; it decides which options the full parse accepts.
QString findcommandname(const QStringList& args) {
  const QStringList valued = {"--index", "--serial", "--timeout"};
  for (int i = 1; i < args.size(); ++i) {
    const QString& a = args[i];
    if (a == "--") return i + 1 < args.size() ? args[i + 1] : QString();
    if (a.startsWith('-') && a.size() > 1) {
      if (valued.contains(a)) ++i;
      continue;
    }
    return a;
  }
  return QString();
}

int parseglobals(const QCommandLineParser& parser, Context& ctx, const QString& command) {
  if (parser.isSet("index") && parser.isSet("serial"))
    return usageerror("--index and --serial exclude each other", command);
  unsigned long long v = 0;
  if (parser.isSet("index")) {
    if (!parsenumber(parser.value("index"), 0x7FFFFFFF, v))
      return usageerror("--index needs a camera index, not '" + parser.value("index") + "'", command);
    ctx.index = static_cast<int>(v);
  }
  if (parser.isSet("serial")) {
    ctx.serial = parser.value("serial");
    ctx.byserial = true;
  }
  if (!parsenumber(parser.value("timeout"), 0xFFFFFFFFull, v))
    return usageerror("--timeout needs milliseconds, not '" + parser.value("timeout") + "'", command);
  ctx.timeout = static_cast<unsigned int>(v);
  return kExitOk;
}

}  // namespace

int main(int argc, char* argv[]) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName("lscam");
  QCoreApplication::setApplicationVersion(versiontext(static_cast<unsigned int>(ls_libversion())));

  const QStringList args = QCoreApplication::arguments();
  const QString name = findcommandname(args);
  const Command* command = findcommand(name);

  QCommandLineParser parser;
  parser.addOptions(globaloptions());
  if (command) parser.addOptions(command->options());
  if (!parser.parse(args)) return usageerror(parser.errorText(), command ? name : QString());
  if (parser.isSet("version")) {
    printline("lscam, library version " + QCoreApplication::applicationVersion());
    return kExitOk;
  }

  QStringList positional = parser.positionalArguments();
  if (name == "help" || (name.isEmpty() && parser.isSet("help"))) {
    if (positional.size() > 1) {
      const Command* topic = findcommand(positional[1]);
      if (!topic) return usageerror("no command '" + positional[1] + "'");
      showcommandhelp(*topic);
    } else {
      showgeneralhelp();
    }
    return kExitOk;
  }
  if (name.isEmpty()) return usageerror("no command given");
  if (!command) return usageerror("no command '" + name + "'");
  if (parser.isSet("help")) {
    showcommandhelp(*command);
    return kExitOk;
  }

  Context ctx;
  ctx.parser = &parser;
  ctx.args = positional.mid(1);
  if (ctx.args.size() < command->minargs || (command->maxargs >= 0 && ctx.args.size() > command->maxargs))
    return usageerror(QString("wrong number of arguments for '%1': %2").arg(name, command->syntax), name);
  for (const QCommandLineOption& o : command->options())
    if (o.names().contains("json")) ctx.json = parser.isSet("json");
  int status = parseglobals(parser, ctx, name);
  if (status != kExitOk) return status;
  return command->run(ctx);
}
