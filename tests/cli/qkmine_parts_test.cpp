// qkmine's pieces that need no GPU: the device list, the default difficulty,
// which builds report the standard messages, the bench shapes, its JSON
// lines and table, the peak table, and the PNG plot.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench_report.h"
#include "bench_shapes.h"
#include "bitmap_font.h"
#include "devices.h"
#include "gpu_builds.h"
#include "int8_peaks.h"
#include "mine_job.h"
#include "plot.h"
#include "png_image.h"

namespace {

using namespace qkmine;

TEST(QkmineParts, DeviceLists) {
  const struct {
    std::string text;
    int visible;
    std::vector<int> gpus;  // empty: refused, or the CPU
    const char* error;      // "" when accepted
  } cases[] = {
      {"0", 2, {0}, ""},
      {"1,0", 2, {1, 0}, ""},
      {"all", 3, {0, 1, 2}, ""},
      {"all", 0, {}, ""},
      {"2", 2, {}, "GPU 2 is not visible (2 visible)"},
      {"0,0", 2, {}, "GPU 0 is listed twice"},
      {"", 2, {}, "--devices takes"},
      {"0,", 2, {}, "--devices takes"},
      {"-1", 2, {}, "--devices takes"},
      {"gpu0", 2, {}, "--devices takes"},
  };
  for (const auto& c : cases) {
    std::string error;
    const std::vector<Device> devices = parse_device_list(c.text, c.visible, error);
    std::vector<int> gpus;
    for (const Device& d : devices) {
      EXPECT_FALSE(d.cpu) << c.text;
      gpus.push_back(d.gpu);
    }
    EXPECT_EQ(gpus, c.gpus) << c.text;
    EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.text << ": " << error;
    EXPECT_EQ(error.empty(), std::string(c.error).empty()) << c.text;
  }
  std::string error;
  const std::vector<Device> cpu = parse_device_list("cpu", 0, error);
  ASSERT_EQ(cpu.size(), 1u);
  EXPECT_TRUE(cpu[0].cpu);
  EXPECT_EQ(cpu[0].name(), "cpu");
}

TEST(QkmineParts, DifficultyAndTargets) {
  // One share in 2^extra attempts: log2 of the m/2 x n/64 cells plus extra.
  EXPECT_EQ(default_difficulty({256, 256, 2048}, 3), 12);     // 512 cells
  EXPECT_EQ(default_difficulty({8192, 8192, 2048}, 8), 27);   // 2^19 cells
  EXPECT_EQ(default_difficulty({128, 256, 64}, 0), 8);        // 256 cells
  const quorl::ref::Cv t = target_for_difficulty(27);
  EXPECT_EQ(t[7], 0x1Fu);  // 2^229 - 1: the top word holds bits 224..228
  EXPECT_EQ(t[6], ~0u);
  EXPECT_EQ(target_for_difficulty(256), quorl::ref::Cv{});
}

TEST(QkmineParts, StandardMessagesAndBuilds) {
  // Only the h100tma fused engine below k = 2048 computes other messages.
  EXPECT_FALSE(reports_standard_messages(QK_VARIANT_H100TMA, SearchMode::kFused, 1024));
  EXPECT_TRUE(reports_standard_messages(QK_VARIANT_H100TMA, SearchMode::kFused, 2048));
  EXPECT_TRUE(reports_standard_messages(QK_VARIANT_H100TMA, SearchMode::kSeparate, 1024));
  EXPECT_TRUE(reports_standard_messages(QK_VARIANT_FALLBACK, SearchMode::kFused, 1024));
  EXPECT_TRUE(reports_standard_messages(QK_VARIANT_SM89, SearchMode::kFused, 64));

  auto names = [](int major, int minor) {
    std::string out;
    for (const BuildInfo& b : runnable_builds(major, minor)) out += std::string(out.empty() ? "" : ",") + b.name;
    return out;
  };
  EXPECT_EQ(names(9, 0), "h100tma,fallback");
  EXPECT_EQ(names(8, 9), "sm89,fallback");
  EXPECT_EQ(names(12, 0), "sm120a,fallback");
  EXPECT_EQ(names(8, 0), "fallback");
  EXPECT_EQ(names(7, 5), "");
}

TEST(QkmineParts, BenchShapes) {
  std::vector<BenchShape> shapes;
  EXPECT_EQ(parse_shapes("8192x8192x2048,128x256x64", shapes), "");
  ASSERT_EQ(shapes.size(), 2u);
  EXPECT_EQ(shapes[1].m, 128);
  EXPECT_EQ(shapes[1].k, 64);
  for (const std::string bad : {"", "8192x8192", "8192x8192x2048,", "8192x8192x2048x1", "100x256x64", "128x256x2048 "}) {
    EXPECT_NE(parse_shapes(bad, shapes), "") << bad;
  }
}

TEST(QkmineParts, PeakTable) {
  EXPECT_EQ(int8_dense_peak_tops("NVIDIA H100 80GB HBM3"), 1979.0);
  EXPECT_EQ(int8_dense_peak_tops("NVIDIA H100 PCIe"), 1513.0);
  EXPECT_EQ(int8_dense_peak_tops("NVIDIA L40S"), 733.0);
  EXPECT_EQ(int8_dense_peak_tops("NVIDIA A100-SXM4-80GB"), 624.0);
  EXPECT_FALSE(int8_dense_peak_tops("Some Future GPU").has_value());
}

// A run as a GPU would give it, with round numbers.
BenchRun fake_run(bool peak_known) {
  BenchRun run;
  run.device = "NVIDIA H100 80GB HBM3";
  run.major = 9;
  run.build = "h100tma";
  run.mode = "fused";
  if (peak_known) run.peak_tops = 1979;
  run.reps = 20, run.attempts = 20;
  for (int m : {4096, 8192}) {
    ShapeBench s;
    s.m = m, s.n = 8192, s.k = 2048;
    s.full_stages[7] = 2.5;
    s.batch_per_s = 900, s.pipeline_per_s = 1100;
    s.cublaslt_ms = 2.0 * m * 8192 * 2048 / 1e12 / 800 * 1e3;  // 800 TOPS
    s.engines = {{"h100tma", s.cublaslt_ms / 1.25}, {"fallback", s.cublaslt_ms * 2}};
    run.shapes.push_back(s);
  }
  run.shapes[0].engines[1].ms = -1;  // no context
  run.shapes[1].cublaslt_ms = -1;    // cuBLASLt unavailable
  run.shapes[1].cublaslt_note = "cuBLASLt not found";
  return run;
}

TEST(QkmineParts, BenchJsonLinesAndTable) {
  const std::vector<std::string> lines = bench_json_lines(fake_run(true));
  ASSERT_EQ(lines.size(), 3u);  // the run, then one line per shape
  for (const std::string& line : lines) {
    EXPECT_EQ(line.front(), '{');
    EXPECT_EQ(line.back(), '}');
    EXPECT_EQ(line.find('\n'), std::string::npos);
  }
  EXPECT_NE(lines[0].find("\"peak_int8_tops\":1979"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("\"cublaslt\":{\"ms\":"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("\"tops\":800,\"percent_of_peak\":40.42"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("{\"build\":\"h100tma\",\"ms\":"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("\"tops\":1000,\"percent_of_peak\":50.53,\"vs_cublaslt\":1.25}"), std::string::npos)
      << lines[1];
  EXPECT_NE(lines[1].find("{\"build\":\"fallback\",\"ms\":null,\"tops\":null"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("\"cublaslt\":{\"ms\":null,\"tops\":null,\"percent_of_peak\":null}"), std::string::npos)
      << lines[2];
  EXPECT_NE(lines[2].find("\"vs_cublaslt\":null"), std::string::npos) << lines[2];
  EXPECT_NE(lines[1].find("\"full_stages_ms\":{\"upload\":0,"), std::string::npos) << lines[1];
  EXPECT_NE(lines[1].find("\"bonly_pipeline_attempts_per_s\":1100"), std::string::npos) << lines[1];
  EXPECT_NE(bench_json_lines(fake_run(false))[0].find("\"peak_int8_tops\":null"), std::string::npos);

  const std::string table = bench_table(fake_run(false));
  EXPECT_NE(table.find("int8 dense peak unknown"), std::string::npos) << table;
  EXPECT_NE(table.find("1.25x"), std::string::npos) << table;
  EXPECT_NE(table.find("fallback           no context"), std::string::npos) << table;
  EXPECT_NE(table.find("cuBLASLt not found"), std::string::npos) << table;
}

TEST(QkmineParts, PlotSeriesFollowTheRun) {
  const PlotData d = bench_plot_data(fake_run(true));
  ASSERT_EQ(d.categories, (std::vector<std::string>{"4096x8192x2048", "8192x8192x2048"}));
  ASSERT_EQ(d.series.size(), 3u);  // both engines and cuBLASLt
  EXPECT_EQ(d.series[0].name, "h100tma");
  EXPECT_NEAR(d.series[0].tops[1], 1000, 1e-6);
  EXPECT_LT(d.series[1].tops[0], 0);  // fallback had no context at the first shape
  EXPECT_EQ(d.series[2].name, "cuBLASLt");
  EXPECT_NEAR(d.series[2].tops[0], 800, 1e-6);
  EXPECT_LT(d.series[2].tops[1], 0);
}

uint32_t be32(const std::vector<uint8_t>& b, size_t at) {
  return uint32_t(b[at]) << 24 | uint32_t(b[at + 1]) << 16 | uint32_t(b[at + 2]) << 8 | b[at + 3];
}

// Reads the PNG back: chunks with their CRCs, the stored deflate blocks, the
// Adler-32, and every pixel row.
TEST(QkmineParts, PngRoundTrip) {
  EXPECT_EQ(crc32(reinterpret_cast<const uint8_t*>("123456789"), 9), 0xCBF43926u);  // the CRC-32 check value
  EXPECT_EQ(adler32(reinterpret_cast<const uint8_t*>("Wikipedia"), 9), 0x11E60398u);

  Image img(300, 250, 0);  // over 65535 bytes of rows: two stored blocks
  img.palette = {{0, 0, 0}, {255, 0, 0}, {0, 0, 255}};
  img.fill(10, 20, 290, 30, 1);
  draw_text(img, 5, 100, "8192x8192", 2, 3);
  const std::vector<uint8_t> png = encode_png(img);
  ASSERT_GE(png.size(), 8u);
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  std::vector<std::string> types;
  std::vector<uint8_t> idat;
  for (size_t at = 8; at + 12 <= png.size();) {
    const uint32_t len = be32(png, at);
    ASSERT_LE(at + 12 + len, png.size());
    types.emplace_back(png.begin() + long(at + 4), png.begin() + long(at + 8));
    EXPECT_EQ(be32(png, at + 8 + len), crc32(png.data() + at + 4, len + 4)) << types.back();
    if (types.back() == "IHDR") {
      EXPECT_EQ(be32(png, at + 8), 300u);
      EXPECT_EQ(be32(png, at + 12), 250u);
      EXPECT_EQ(png[at + 16], 8);  // bit depth
      EXPECT_EQ(png[at + 17], 3);  // palette
    }
    if (types.back() == "PLTE") EXPECT_EQ(len, 9u);
    if (types.back() == "IDAT") idat.insert(idat.end(), png.begin() + long(at + 8), png.begin() + long(at + 8 + len));
    at += 12 + len;
  }
  EXPECT_EQ(types, (std::vector<std::string>{"IHDR", "PLTE", "IDAT", "IEND"}));
  ASSERT_GE(idat.size(), 6u);
  EXPECT_EQ((idat[0] * 256 + idat[1]) % 31, 0);  // zlib header check
  std::vector<uint8_t> raw;
  size_t at = 2;
  int blocks = 0;
  for (bool last = false; !last; ++blocks) {
    ASSERT_LE(at + 5, idat.size());
    last = idat[at] & 1;
    EXPECT_EQ(idat[at] >> 1, 0);  // stored
    const size_t len = idat[at + 1] | idat[at + 2] << 8;
    EXPECT_EQ(len ^ 0xFFFFu, size_t(idat[at + 3] | idat[at + 4] << 8));
    raw.insert(raw.end(), idat.begin() + long(at + 5), idat.begin() + long(at + 5 + len));
    at += 5 + len;
  }
  EXPECT_EQ(blocks, 2);
  ASSERT_EQ(at + 4, idat.size());
  EXPECT_EQ(be32(idat, at), adler32(raw.data(), raw.size()));
  ASSERT_EQ(raw.size(), size_t(301) * 250);
  for (int y = 0; y < 250; ++y) {
    EXPECT_EQ(raw[size_t(y) * 301], 0);  // filter none
    EXPECT_TRUE(std::equal(img.pixels.begin() + y * 300, img.pixels.begin() + (y + 1) * 300,
                           raw.begin() + long(size_t(y) * 301 + 1)));
  }
  EXPECT_EQ(raw[size_t(25) * 301 + 1 + 100], 1);  // inside the red bar
}

TEST(QkmineParts, PlotDrawsBarsAndWritesAFile) {
  const Image img = render_plot(bench_plot_data(fake_run(true)));
  EXPECT_EQ(img.width, 960);
  // Every series colour that has a value appears (4 + series index).
  for (uint8_t color : {4, 5, 6}) {
    EXPECT_NE(std::find(img.pixels.begin(), img.pixels.end(), color), img.pixels.end()) << int(color);
  }
  const std::string path = ::testing::TempDir() + "qkmine_plot_test.png";
  ASSERT_TRUE(write_png(img, path));
  std::ifstream in(path, std::ios::binary);
  const std::vector<char> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  EXPECT_EQ(bytes.size(), encode_png(img).size());
  EXPECT_FALSE(write_png(img, "/nonexistent-dir/plot.png"));
}

}  // namespace
