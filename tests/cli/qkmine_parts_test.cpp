// qkmine's pieces that need no GPU: the device list, the default difficulty,
// which builds report the standard messages, the bench shapes, its JSON
// lines and table, the int8 peak, and the plot.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "bench_plot.h"
#include "bench_report.h"
#include "bench_shapes.h"
#include "devices.h"
#include "gpu_builds.h"
#include "gpu_info.h"
#include "int8_peak.h"
#include "mine_job.h"

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

TEST(QkmineParts, DeviceDescriptions) {
  GpuInfo h100;
  h100.index = 1, h100.name = "NVIDIA H100 80GB HBM3", h100.pci_bus_id = "00000000:19:00.0";
  h100.major = 9, h100.memory_bytes = uint64_t(80) << 30, h100.sms = 132, h100.clock_mhz = 1980;
  h100.build = "h100tma", h100.builds = {"h100tma", "fallback"}, h100.peak_int8_tops = 2141.1;
  GpuInfo old = h100;
  old.index = 2, old.name = "Tesla V100", old.major = 7, old.build = "fallback", old.build_forced = true;
  old.builds = {}, old.peak_int8_tops.reset();
  const std::string table = devices_table({h100, old});
  EXPECT_NE(table.find("gpu:1  NVIDIA H100 80GB HBM3  cc 9.0  80.0 GiB  132 SMs  1980 MHz  int8 peak 2141 TOPS  "
                       "build h100tma  runs h100tma,fallback\n"),
            std::string::npos)
      << table;
  EXPECT_NE(table.find("int8 peak unknown  build fallback (QUORL_KERNEL_VARIANT)  runs none (before sm_80)\n"),
            std::string::npos)
      << table;
  const std::string json = devices_json({h100, old}).dump();
  EXPECT_NE(json.find("{\"devices\":[{\"index\":1,\"device\":\"gpu:1\",\"name\":\"NVIDIA H100 80GB HBM3\""),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"compute_capability\":\"9.0\",\"memory_bytes\":85899345920"), std::string::npos) << json;
  EXPECT_NE(json.find("\"build\":\"h100tma\",\"build_forced\":false,\"builds\":[\"h100tma\",\"fallback\"]"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"peak_int8_tops\":null,\"build\":\"fallback\",\"build_forced\":true,\"builds\":[]"),
            std::string::npos)
      << json;
  // The dispatcher's own rule picks the build.
  EXPECT_STREQ(default_build(9, 0).name, "h100tma");
  EXPECT_STREQ(default_build(8, 6).name, "fallback");
  EXPECT_STREQ(default_build(12, 0).name, "sm120a");
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

TEST(QkmineParts, PeakFromMultiprocessorsClockAndGeneration) {
  const struct {
    const char* gpu;
    int major, minor, sms;
    double clock_mhz;
    std::optional<double> tops;  // the vendor's dense int8 figure, to the TOPS
  } cases[] = {
      {"H100 SXM", 9, 0, 132, 1830, 1979},   {"H100 PCIe", 9, 0, 114, 1620, 1513},
      {"L40S", 8, 9, 142, 2520, 733},        {"A100", 8, 0, 108, 1410, 624},
      {"A10", 8, 6, 72, 1695, 250},          {"RTX 5090", 12, 0, 170, 2407, 838},
      {"a future GPU", 13, 0, 200, 2000, std::nullopt}, {"V100 (before int8 MMA)", 7, 0, 80, 1530, std::nullopt},
      {"no clock", 9, 0, 132, 0, std::nullopt},
  };
  for (const auto& c : cases) {
    const std::optional<double> peak = int8_dense_peak_tops(c.major, c.minor, c.sms, c.clock_mhz);
    ASSERT_EQ(peak.has_value(), c.tops.has_value()) << c.gpu;
    if (peak) EXPECT_NEAR(*peak, *c.tops, 1.0) << c.gpu;
  }
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

// The plot script draws the benchmark's JSON lines into a file of the type
// its name asks for, and refuses what it cannot draw.
TEST(QkmineParts, PlotWritesAFileOfTheTypeItsNameAsks) {
  const std::vector<std::string> lines = bench_json_lines(fake_run(true));
  const struct {
    const char* file;
    std::string starts;  // "": no file expected
  } cases[] = {
      {"plot.png", "\x89PNG\r\n\x1a\n"},
      {"plot.SVG", "<?xml"},
      {"plot.gif", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    const std::string path = ::testing::TempDir() + "qkmine_" + c.file;
    std::remove(path.c_str());
    const std::string failed = draw_plot(lines, path);
    std::ifstream in(path, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (c.starts.empty()) {
      EXPECT_NE(failed, "");
      EXPECT_TRUE(bytes.empty());
      continue;
    }
    ASSERT_EQ(failed, "");
    EXPECT_EQ(bytes.rfind(c.starts, 0), 0u) << bytes.substr(0, 16);
    if (c.starts == "<?xml") EXPECT_NE(bytes.find("<svg"), std::string::npos);
  }
  EXPECT_NE(draw_plot(lines, ::testing::TempDir() + "qkmine_plot.png", "/nonexistent/plot_bench.py"), "");
  EXPECT_NE(draw_plot({"not json"}, ::testing::TempDir() + "qkmine_bad.png"), "");
  EXPECT_NE(draw_plot(lines, "/nonexistent-dir/plot.png"), "");
}

}  // namespace
