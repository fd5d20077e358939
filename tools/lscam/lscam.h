// SPDX-License-Identifier: MIT
// Shared pieces of the lscam commands: the options every command takes, the
// open camera, result reporting and number parsing.
#ifndef LSCAM_H
#define LSCAM_H

#include <QCommandLineParser>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <csignal>

// Exit statuses of lscam.
enum ExitStatus { kExitOk = 0, kExitFailure = 1, kExitUsage = 2 };

// The global options and what a command was given.
struct Context {
  const QCommandLineParser* parser = nullptr;
  QStringList args;  // positional arguments after the command name
  int index = 0;
  QString serial;
  bool byserial = false;
  unsigned int timeout = 2000;  // ms, for every control request
  bool json = false;            // --json: machine-readable output on stdout
};

// Prints "<what>: <code> <text of the code>" to stderr, the detail in
// parentheses if there is one, and the likely fix for an access (-3) or busy
// (-6) error. Returns kExitFailure.
int reportfailure(const QString& what, int code, const QString& detail = QString());
// Prints "<what>: <message>" to stderr for a failure without a result code. Returns kExitFailure.
int reportproblem(const QString& what, const QString& message);
// Explains on stderr why no camera may have been found.
void nocamerashint();
// Points at 'lscam doctor' on stderr when sysfs shows a camera with our IDs
// whose serial is not among the listed ones.
void unlistedhint(const QStringList& listedserials);
// Prints "lscam: <message>" and where to find help to stderr. Returns kExitUsage.
int usageerror(const QString& message, const QString& command = QString());
// Text from a device or a file made safe for a terminal: control characters,
// C1 controls, bidirectional overrides and backslashes shown as escapes
// (\x1b, \u202e, \\), so that what is printed is exactly what is shown.
QString terminalsafe(const QString& text);
// The value as one word of a POSIX shell command: unchanged when it holds only
// characters no shell treats specially, else single-quoted.
QString shellquote(const QString& value);
// "error <code> <text>", the value shown for a field whose read failed.
QString errorfield(int code);

// The camera that --index or --serial selects, opened for the lifetime of the
// object. Its stream starts with the opening, into a FIFO of fifosize bytes
// (the library's minimum for 0) in packets of packetlength bytes.
class Camera {
 public:
  Camera() = default;
  ~Camera();
  Camera(const Camera&) = delete;
  Camera& operator=(const Camera&) = delete;

  // Enumerates and opens; on failure the error is already reported.
  bool open(const Context& ctx, int fifosize = 0, int packetlength = 4096);
  void close();

 private:
  bool isopen = false;
};

// A non-negative number written in decimal or as 0x-hex, at most max.
bool parsenumber(const QString& text, unsigned long long max, unsigned long long& value);
// Version word 0x0102 as "1.02".
QString versiontext(unsigned int version);
// value as 0x-hex with digits digits.
QString hex(unsigned int value, int digits);

// Set by SIGINT and SIGTERM once installstophandlers() ran.
extern volatile std::sig_atomic_t stoprequested;
void installstophandlers();

// Writes the line to stdout.
void printline(const QString& line);
// Writes the object to stdout as one JSON document; compact puts it on one line.
void printjson(const QJsonObject& object, bool compact = false);

int runlist(const Context& ctx);
int runinfo(const Context& ctx);
int runget(const Context& ctx);
int runset(const Context& ctx);
int runstream(const Context& ctx);
int runcapture(const Context& ctx);
int runflash(const Context& ctx);
int runserve(const Context& ctx);
int rundoctor(const Context& ctx);

// A setting that get and set reach by name, and info shows under that name.
struct Setting {
  const char* name;
  const char* meaning;
  unsigned int max;
  bool hexformat;
  int (*get)(unsigned int& value, unsigned int timeout);
  int (*set)(unsigned int value, unsigned int timeout);
};
const Setting* findsetting(const QString& name);
// How get and info print a setting's value.
QString settingtext(const Setting& setting, unsigned int value);
// The setting names with their meaning and range, for the help texts.
QString settingshelp();

#endif
