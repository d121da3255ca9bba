#include "plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "bitmap_font.h"

namespace qkmine {
namespace {

enum Color : uint8_t { kWhite, kBlack, kGrid, kPeak, kFirstSeries };
constexpr int kSeriesColors = 8;
const std::array<uint8_t, 3> kPalette[kFirstSeries + kSeriesColors] = {
    {255, 255, 255}, {20, 20, 20},   {215, 215, 215}, {200, 40, 40},  {31, 119, 180}, {255, 127, 14},
    {44, 160, 44},   {148, 103, 189}, {140, 86, 75},  {227, 119, 194}, {127, 127, 127}, {23, 190, 207},
};

constexpr int kWidth = 960, kHeight = 540;
constexpr int kLeft = 80, kRight = 190, kTop = 50, kBottom = 60;

// A round axis step giving about five ticks up to `top`.
double tick_step(double top) {
  const double raw = top / 5.0, power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double f : {1.0, 2.0, 2.5, 5.0, 10.0}) {
    if (f * power >= raw) return f * power;
  }
  return 10.0 * power;
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

Image render_plot(const PlotData& data) {
  Image img(kWidth, kHeight, kWhite);
  img.palette.assign(std::begin(kPalette), std::end(kPalette));
  const int x0 = kLeft, x1 = kWidth - kRight, y0 = kTop, y1 = kHeight - kBottom;

  double top = data.peak_tops.value_or(0);
  for (const PlotSeries& s : data.series) {
    for (double v : s.tops) top = std::max(top, v);
  }
  if (top <= 0) top = 1;
  const double step = tick_step(top * 1.05);
  const double axis_top = step * std::ceil(top * 1.05 / step);
  auto y_of = [&](double v) { return y1 - int(std::lround((y1 - y0) * v / axis_top)); };

  draw_text(img, x0, 16, data.title, kBlack, 2);
  for (double v = 0; v <= axis_top + step / 2; v += step) {
    const int y = y_of(v);
    img.fill(x0, y, x1, y + 1, kGrid);
    const std::string label = number(v);
    draw_text(img, x0 - 8 - text_width(label, 1) * 1, y - 3, label, kBlack, 1);
  }
  draw_text(img, 8, y0 - 2, "TOPS", kBlack, 1);
  if (data.peak_tops) {
    const int y = y_of(*data.peak_tops);
    for (int x = x0; x < x1; x += 8) img.fill(x, y, std::min(x + 5, x1), y + 2, kPeak);
    draw_text(img, x0 + 4, y - 11, "peak " + number(*data.peak_tops), kPeak, 1);
  }

  const int groups = std::max<int>(1, int(data.categories.size()));
  const int bars = std::max<int>(1, int(data.series.size()));
  const int group_w = (x1 - x0) / groups;
  const int bar_w = std::max(1, group_w * 4 / 5 / bars);
  for (int g = 0; g < int(data.categories.size()); ++g) {
    const int gx = x0 + g * group_w + (group_w - bar_w * bars) / 2;
    for (int s = 0; s < bars; ++s) {
      const double v = data.series[size_t(s)].tops[size_t(g)];
      if (v <= 0) continue;
      img.fill(gx + s * bar_w + 1, y_of(v), gx + (s + 1) * bar_w - 1, y1, uint8_t(kFirstSeries + s % kSeriesColors));
      const std::string value = number(std::round(v));
      draw_text(img, gx + s * bar_w + (bar_w - text_width(value, 1)) / 2, y_of(v) - 10, value, kBlack, 1);
    }
    const std::string& label = data.categories[size_t(g)];
    const int scale = text_width(label, 2) <= group_w - 4 ? 2 : 1;
    draw_text(img, x0 + g * group_w + (group_w - text_width(label, scale)) / 2, y1 + 10, label, kBlack, scale);
  }
  img.fill(x0, y0, x0 + 1, y1 + 1, kBlack);
  img.fill(x0, y1, x1, y1 + 1, kBlack);

  for (int s = 0; s < int(data.series.size()); ++s) {
    const int y = y0 + 10 + s * 24;
    img.fill(x1 + 16, y, x1 + 32, y + 14, uint8_t(kFirstSeries + s % kSeriesColors));
    draw_text(img, x1 + 40, y, data.series[size_t(s)].name, kBlack, 2);
  }
  return img;
}

}  // namespace qkmine
