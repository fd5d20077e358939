// SPDX-License-Identifier: MIT
// Line-scan images and profile plots as PNG files.
#ifndef LSCAM_IMAGE_H
#define LSCAM_IMAGE_H

#include <QString>
#include <cstdint>
#include <cstdio>
#include <vector>

// A grayscale image, row after row; samples use the low `depth` bits (8 or 16).
struct GrayImage {
  int width = 0;
  int height = 0;
  int depth = 16;
  std::vector<uint16_t> pixels;
};

// An 8-bit RGB image, three bytes per pixel, row after row.
struct RgbImage {
  RgbImage(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h * 3, 0xFF) {}
  void set(int x, int y, uint32_t rgb);
  void line(int x0, int y0, int x1, int y1, uint32_t rgb);
  // Text in a 3x5 font: digits, '-', '.' and the letters of the axis titles.
  // Across from (x, y) as its top left corner; upright, it reads upwards
  // from (x, y) as its bottom left corner.
  void text(int x, int y, const QString& text, uint32_t rgb, int scale, bool upright = false);
  int width;
  int height;
  std::vector<uint8_t> pixels;
};

// Stretches the image to its full range so that the darkest 0.5% and the
// brightest 0.05% of the pixels saturate.
void autoscale(GrayImage& image);

// Mean of each column over all rows.
std::vector<double> columnmeans(const GrayImage& image);

// The profile drawn as a line plot on white, with axes, labelled ticks and
// the axis titles "pixel" and "counts"; the first value is pixel firstpixel.
RgbImage plotprofile(const std::vector<double>& profile, int width, int height, int firstpixel = 0);

// The largest width and height that the PNG writer accepts (libpng's user
// limits; PNG itself would allow 2^31 - 1).
unsigned int pngmaxwidth();
unsigned int pngmaxheight();

// Write the image as PNG to an open file; false with a message on failure.
bool writepng(std::FILE* file, const GrayImage& image, QString& error);
bool writepng(std::FILE* file, const RgbImage& image, QString& error);

#endif
