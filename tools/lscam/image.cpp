// SPDX-License-Identifier: MIT
#include "image.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdlib>

void RgbImage::set(int x, int y, uint32_t rgb) {
  if (x < 0 || y < 0 || x >= width || y >= height) return;
  uint8_t* p = &pixels[(static_cast<size_t>(y) * width + x) * 3];
  p[0] = static_cast<uint8_t>(rgb >> 16);
  p[1] = static_cast<uint8_t>(rgb >> 8);
  p[2] = static_cast<uint8_t>(rgb);
}

// Bresenham's line, both end points included.
void RgbImage::line(int x0, int y0, int x1, int y1, uint32_t rgb) {
  const int dx = std::abs(x1 - x0), sx = x0 < x1 ? 1 : -1;
  const int dy = -std::abs(y1 - y0), sy = y0 < y1 ? 1 : -1;
  int err = dx + dy;
  for (;;) {
    set(x0, y0, rgb);
    if (x0 == x1 && y0 == y1) break;
    const int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x0 += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y0 += sy;
    }
  }
}

namespace {

// A 3x5 font for the tick labels and axis titles: digits, minus sign,
// decimal point and the lower-case letters of "pixel" and "counts", one row
// of three bits per entry, top row first.
const uint8_t* glyph(QChar c) {
  static const uint8_t digits[10][5] = {
      {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
      {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
  };
  static const struct {
    char c;
    uint8_t rows[5];
  } others[] = {
      {'-', {0, 0, 7, 0, 0}}, {'.', {0, 0, 0, 0, 2}}, {'c', {0, 3, 4, 4, 3}}, {'e', {0, 2, 7, 4, 3}},
      {'i', {2, 0, 2, 2, 2}}, {'l', {6, 2, 2, 2, 7}}, {'n', {0, 6, 5, 5, 5}}, {'o', {0, 2, 5, 5, 2}},
      {'p', {0, 6, 5, 6, 4}}, {'s', {0, 3, 6, 1, 6}}, {'t', {2, 7, 2, 2, 3}}, {'u', {0, 5, 5, 5, 7}},
      {'x', {0, 5, 2, 2, 5}},
  };
  if (c.isDigit()) return digits[c.digitValue()];
  for (const auto& o : others)
    if (c == QLatin1Char(o.c)) return o.rows;
  return nullptr;
}

}  // namespace

void RgbImage::text(int x, int y, const QString& text, uint32_t rgb, int scale, bool upright) {
  for (QChar c : text) {
    if (const uint8_t* g = glyph(c))
      for (int row = 0; row < 5; ++row)
        for (int col = 0; col < 3; ++col)
          if (g[row] & (4 >> col))
            for (int i = 0; i < scale * scale; ++i) {
              const int across = col * scale + i % scale, down = row * scale + i / scale;
              // Upright: turned a quarter to the left, the glyph's top towards x.
              if (upright)
                set(x + down, y - across, rgb);
              else
                set(x + across, y + down, rgb);
            }
    (upright ? y : x) += (upright ? -4 : 4) * scale;
  }
}

void autoscale(GrayImage& image) {
  if (image.pixels.empty()) return;
  const int levels = 1 << image.depth;
  std::vector<size_t> histogram(static_cast<size_t>(levels), 0);
  for (uint16_t v : image.pixels) ++histogram[v];
  const size_t n = image.pixels.size();
  const size_t darkest = n / 200, brightest = n / 2000;
  int lo = 0, hi = levels - 1;
  for (size_t seen = 0; lo < levels - 1 && seen + histogram[static_cast<size_t>(lo)] <= darkest; ++lo)
    seen += histogram[static_cast<size_t>(lo)];
  for (size_t seen = 0; hi > 0 && seen + histogram[static_cast<size_t>(hi)] <= brightest; --hi)
    seen += histogram[static_cast<size_t>(hi)];
  if (hi <= lo) return;
  const double scale = static_cast<double>(levels - 1) / (hi - lo);
  for (uint16_t& v : image.pixels) {
    const int clamped = std::clamp(static_cast<int>(v), lo, hi);
    v = static_cast<uint16_t>(std::lround((clamped - lo) * scale));
  }
}

std::vector<double> columnmeans(const GrayImage& image) {
  std::vector<double> sums(static_cast<size_t>(image.width), 0.0);
  for (int y = 0; y < image.height; ++y)
    for (int x = 0; x < image.width; ++x)
      sums[static_cast<size_t>(x)] += image.pixels[static_cast<size_t>(y) * image.width + x];
  if (image.height > 0)
    for (double& s : sums) s /= image.height;
  return sums;
}

namespace {

// A round step (1, 2 or 5 times a power of ten) that cuts span into about `parts` pieces.
double nicestep(double span, int parts) {
  const double raw = span / parts;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (m * power >= raw) return m * power;
  return 10.0 * power;
}

QString ticklabel(double v, double step) {
  const int decimals = step >= 1.0 ? 0 : static_cast<int>(std::ceil(-std::log10(step)));
  return QString::number(v, 'f', decimals);
}

}  // namespace

RgbImage plotprofile(const std::vector<double>& profile, int width, int height, int firstpixel) {
  RgbImage img(width, height);
  const uint32_t axis = 0x000000, grid = 0xDDDDDD, curve = 0x1F4EB4;
  const int scale = 2;  // font pixels per glyph pixel
  // Room on the left for the value labels and the upright title, below for the pixel labels and the title.
  const int title = 6 * scale + 4;
  const int left = 20 * scale + 10 + title, right = width - 24, top = 12,
            bottom = height - 6 * scale - 14 - title;
  if (right <= left || bottom <= top || profile.empty()) return img;

  // The value axis spans whole round steps around the data.
  const double datalo = *std::min_element(profile.begin(), profile.end());
  const double datahi = *std::max_element(profile.begin(), profile.end());
  const double ystep = nicestep(std::max(datahi - datalo, 1.0), 4);
  const double lo = std::floor(datalo / ystep) * ystep;
  const double hi = std::max(std::ceil(datahi / ystep) * ystep, lo + ystep);
  const int n = static_cast<int>(profile.size());
  const double last = std::max(1, n - 1);
  auto xof = [&](double i) { return left + static_cast<int>(std::lround(i * (right - left) / last)); };
  auto yof = [&](double v) {
    return bottom - static_cast<int>(std::lround((v - lo) / (hi - lo) * (bottom - top)));
  };

  for (double v = lo; v <= hi + ystep / 2; v += ystep) {
    const int y = yof(v);
    img.line(left, y, right, y, grid);
    img.line(left - 4, y, left, y, axis);
    const QString label = ticklabel(v, ystep);
    img.text(left - 7 - label.size() * 4 * scale, y - 5 * scale / 2, label, axis, scale);
  }
  // Ticks at round pixel numbers of the line, which starts at firstpixel.
  const double xstep = nicestep(last, 5);
  for (double p = std::ceil(firstpixel / xstep) * xstep; p - firstpixel <= last; p += xstep) {
    const int x = xof(p - firstpixel);
    img.line(x, top, x, bottom, grid);
    img.line(x, bottom, x, bottom + 4, axis);
    const QString label = ticklabel(p, xstep);
    const int w = label.size() * 4 * scale - scale;
    img.text(std::clamp(x - w / 2, 0, width - w), bottom + 8, label, axis, scale);
  }
  img.line(left, top, left, bottom, axis);
  img.line(left, bottom, right, bottom, axis);
  const auto textwidth = [&](const QString& t) { return static_cast<int>(t.size()) * 4 * scale - scale; };
  img.text((left + right - textwidth("pixel")) / 2, height - 5 * scale - 4, "pixel", axis, scale);
  img.text(4, (top + bottom + textwidth("counts")) / 2, "counts", axis, scale, true);

  int px = xof(0), py = yof(profile[0]);
  img.set(px, py, curve);
  for (int i = 1; i < n; ++i) {
    const int x = xof(i), y = yof(profile[static_cast<size_t>(i)]);
    img.line(px, py, x, y, curve);
    px = x;
    py = y;
  }
  return img;
}

unsigned int pngmaxwidth() { return PNG_USER_WIDTH_MAX; }
unsigned int pngmaxheight() { return PNG_USER_HEIGHT_MAX; }

namespace {

struct PngFailure {
  std::jmp_buf jump;
  QString message;
};

void onpngerror(png_structp png, png_const_charp message) {
  auto* failure = static_cast<PngFailure*>(png_get_error_ptr(png));
  failure->message = QString::fromLatin1(message);
  std::longjmp(failure->jump, 1);
}

void onpngwarning(png_structp, png_const_charp) {}

// Writes rows of `rowbytes` bytes each, produced by fill(y, row), with libpng.
template <typename Fill>
bool writerows(std::FILE* file, int width, int height, int bitdepth, int colortype, size_t rowbytes,
               Fill fill, QString& error) {
  PngFailure failure;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &failure, onpngerror, onpngwarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    error = "out of memory";
    return false;
  }
  std::vector<png_byte> row(rowbytes);
  if (setjmp(failure.jump)) {
    png_destroy_write_struct(&png, &info);
    error = failure.message;
    return false;
  }
  png_init_io(png, file);
  png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), bitdepth,
               colortype, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < height; ++y) {
    fill(y, row.data());
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file) != 0 || std::ferror(file)) {
    error = "write failed";
    return false;
  }
  return true;
}

}  // namespace

bool writepng(std::FILE* file, const GrayImage& image, QString& error) {
  const size_t w = static_cast<size_t>(image.width);
  const bool wide = image.depth > 8;
  // PNG stores 16-bit samples most significant byte first.
  auto fill = [&](int y, png_byte* row) {
    const uint16_t* src = &image.pixels[static_cast<size_t>(y) * w];
    for (size_t x = 0; x < w; ++x) {
      if (wide) {
        row[2 * x] = static_cast<png_byte>(src[x] >> 8);
        row[2 * x + 1] = static_cast<png_byte>(src[x]);
      } else {
        row[x] = static_cast<png_byte>(src[x]);
      }
    }
  };
  return writerows(file, image.width, image.height, wide ? 16 : 8, PNG_COLOR_TYPE_GRAY, w * (wide ? 2 : 1),
                   fill, error);
}

bool writepng(std::FILE* file, const RgbImage& image, QString& error) {
  const size_t rowbytes = static_cast<size_t>(image.width) * 3;
  auto fill = [&](int y, png_byte* row) {
    std::copy_n(&image.pixels[static_cast<size_t>(y) * rowbytes], rowbytes, row);
  };
  return writerows(file, image.width, image.height, 8, PNG_COLOR_TYPE_RGB, rowbytes, fill, error);
}
