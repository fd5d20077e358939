// SPDX-License-Identifier: MIT
// lscam flash: a programming run of the second processor's flash.
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <algorithm>
#include <cstdio>

#include "lscam.h"
#include "vantorpi.h"

namespace {

constexpr qint64 kMaxImage = 1 << 20;

// Reads the whole image; reports CX_ERR_OPEN_FLASH_FILE or
// CX_ERR_LENGTH_FLASH_FILE when it cannot be used. A run with the last-byte
// ending still needs one data block before it, so the image then needs two bytes.
bool readimage(const QString& path, bool lastbyte, QByteArray& image) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    reportfailure("open " + path, CX_ERR_OPEN_FLASH_FILE, file.errorString());
    return false;
  }
  const qint64 size = file.size();
  const qint64 minimum = lastbyte ? 2 : 1;
  if (size < minimum || size > kMaxImage) {
    reportfailure("image " + path, CX_ERR_LENGTH_FLASH_FILE,
                  QString("%1 bytes; an image holds %2 to %3 bytes").arg(size).arg(minimum).arg(kMaxImage));
    return false;
  }
  image = file.readAll();
  if (image.size() != size) {
    reportfailure("read " + path, CX_ERR_OPEN_FLASH_FILE, file.errorString());
    return false;
  }
  return true;
}

class ProgressBar {
 public:
  explicit ProgressBar(qint64 total) : total(total), terminal(isatty(fileno(stderr))) {}
  void show(qint64 done) {
    const int width = 40;
    const int filled = total > 0 ? static_cast<int>(done * width / total) : width;
    const int percent = total > 0 ? static_cast<int>(done * 100 / total) : 100;
    if (!terminal && done < total) return;
    std::fprintf(stderr, "%sflash [%s%s] %3d%% %lld/%lld bytes%s", terminal ? "\r" : "",
                 QByteArray(filled, '#').constData(), QByteArray(width - filled, ' ').constData(), percent,
                 static_cast<long long>(done), static_cast<long long>(total), done >= total ? "\n" : "");
    std::fflush(stderr);
  }
  // Ends an unfinished bar so that a following message starts on its own line.
  void abandon() {
    if (terminal) std::fputc('\n', stderr);
  }

 private:
  qint64 total;
  bool terminal;
};

}  // namespace

int runflash(const Context& ctx) {
  unsigned long long block = 0;
  if (!parsenumber(ctx.parser->value("block"), 0xFFFF, block) || block == 0)
    return usageerror("--block needs a block size from 1 to 65535", "flash");
  const bool lastbyte = ctx.parser->isSet("lastbyte");
  QByteArray image;
  if (!readimage(ctx.args[0], lastbyte, image)) return kExitFailure;

  Camera camera;
  if (!camera.open(ctx)) return kExitFailure;
  const unsigned int t = ctx.timeout;
  int result = ls_cpu2flash_f0(t);
  if (result != CX_SUCCESS) return reportfailure("flash f0", result);
  result = ls_cpu2flash_f1(static_cast<unsigned short>(block), t);
  if (result != CX_SUCCESS) return reportfailure(QString("flash f1 %1").arg(block), result);

  const qint64 blocked = lastbyte ? image.size() - 1 : image.size();
  ProgressBar bar(image.size());
  for (qint64 offset = 0; offset < blocked; offset += static_cast<qint64>(block)) {
    bar.show(offset);
    const auto length =
        static_cast<unsigned short>(std::min<qint64>(static_cast<qint64>(block), blocked - offset));
    result = ls_cpu2flashdata(length, image.data() + offset, t);
    if (result != CX_SUCCESS) {
      bar.abandon();
      return reportfailure(QString("flash block at byte %1").arg(offset), result);
    }
  }
  unsigned short value = 0;
  if (lastbyte)
    result = ls_cpu2flash_f2_lastbyte(static_cast<unsigned char>(image.back()), &value, t);
  else
    result = ls_cpu2flash_f2(&value, t);
  if (result != CX_SUCCESS) {
    bar.abandon();
    return reportfailure(lastbyte ? "flash f2 with last byte" : "flash f2", result);
  }
  bar.show(image.size());
  printline(QString("flash value: %1").arg(hex(value, 4)));
  return kExitOk;
}
