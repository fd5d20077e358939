// SPDX-License-Identifier: MIT
// Runs lscam as a subprocess against the simulated camera. Each run is a new
// process with a new simulated bus set up from SIMCAM_* variables; variables
// of the caller's environment that would change lscam's view are dropped.
#ifndef LSCAM_RUN_H
#define LSCAM_RUN_H

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <map>
#include <string>
#include <vector>

namespace lscamtest {

using Env = std::map<std::string, std::string>;

struct Result {
  int exitcode = -1;
  bool crashed = false;
  std::string out;
  std::string err;
};

inline QProcessEnvironment environment(const Env& env) {
  QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
  for (const QString& key : e.keys())
    if (key.startsWith("SIMCAM_") || key == "LSCAM_SYSROOT") e.remove(key);
  QString path = SIMUSB_DIR;
  if (e.contains("LD_LIBRARY_PATH")) path += ":" + e.value("LD_LIBRARY_PATH");
  e.insert("LD_LIBRARY_PATH", path);
  e.insert("SIMCAM_RATE", "0");
  for (const auto& kv : env) e.insert(QString::fromStdString(kv.first), QString::fromStdString(kv.second));
  return e;
}

// LD_PRELOAD for the simscript helper (simscript.cpp), behind a sanitizer's runtime in a sanitizer build.
inline std::string simscriptpreload() {
#ifdef SANITIZER_RUNTIME
  return std::string(SANITIZER_RUNTIME) + ":" + SIMSCRIPT_PATH;
#else
  return SIMSCRIPT_PATH;
#endif
}

inline QStringList qargs(const std::vector<std::string>& args) {
  QStringList list;
  for (const std::string& a : args) list << QString::fromStdString(a);
  return list;
}

inline Result lscam(const std::vector<std::string>& args, const Env& env = {}) {
  QProcess p;
  p.setProcessEnvironment(environment(env));
  p.start(LSCAM_PATH, qargs(args));
  Result r;
  if (!p.waitForStarted(30000)) {
    ADD_FAILURE() << "lscam did not start";
    return r;
  }
  if (!p.waitForFinished(120000)) {
    p.kill();
    p.waitForFinished(10000);
    ADD_FAILURE() << "lscam did not finish";
  }
  r.crashed = p.exitStatus() != QProcess::NormalExit;
  r.exitcode = p.exitCode();
  r.out = p.readAllStandardOutput().toStdString();
  r.err = p.readAllStandardError().toStdString();
  return r;
}

inline std::string describe(const Result& r) { return "stdout:\n" + r.out + "\nstderr:\n" + r.err; }

inline bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// text as one JSON object; a parse error is a test failure (and gives an empty object).
inline QJsonObject jsonobject(const std::string& text) {
  QJsonParseError error{};
  const QJsonDocument doc = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
  if (error.error != QJsonParseError::NoError || !doc.isObject()) {
    ADD_FAILURE() << "not a JSON object (" << error.errorString().toStdString() << "):\n" << text;
    return {};
  }
  return doc.object();
}

}  // namespace lscamtest

#endif
