// Facts about the built library, read from the binaries: what it exports and
// which GPU targets each build embeds.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "build_facts_config.h"

namespace {

std::string run(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    ADD_FAILURE() << "cannot run " << command;
    return output;
  }
  char buffer[4096];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
  EXPECT_EQ(::pclose(pipe), 0) << command;
  return output;
}

std::vector<std::string> words(const std::string& text, char sep = ';') {
  std::vector<std::string> out;
  std::stringstream in(text);
  for (std::string w; std::getline(in, w, sep);) {
    if (!w.empty()) out.push_back(w);
  }
  return out;
}

const char* const kCalls[] = {
    "init",          "free",           "set_job",           "get_plain",
    "get_hashes",    "get_xored",      "run",               "run_async",
    "mine",          "mine_full",      "mine_full_loaded",  "mine_full_profile",
    "gen_ab",        "commit",         "gen_noised",        "mine_gen",
    "prepare_a",     "refresh_bonly_job", "mine_full_bonly", "mine_full_bonly_batch",
    "mine_full_bonly_profile", "bench_bonly_pipeline", "bench_bonly_batch",
};

// Kernels every build exports, under <name>_<build>.
const char* const kKernels[] = {
    "gen_ab_kernel",
    "blake3_chunk_kernel",
    "blake3_chunk_prefix_kernel",
    "blake3_parent_kernel",
    "derive_seeds_kernel",
    "gen_uniform_kernel",
    "gen_perm_kernel",
    "fuse_noise_kernel",
    "fuse_noise_kernel8_k2048",
    "fuse_noise_smem_kernel8_k2048",
    "mutate_b_chunk_update_tree_kernel",
};

TEST(BuildFacts, ExportsExactlyTheInterface) {
  std::set<std::string> expected;
  for (const char* call : kCalls) expected.insert(std::string("qk_") + call);
  // Every build's calls exist, even for builds a partial configuration leaves
  // out; kernels exist only for the builds compiled in.
  for (const char* build : {"sm89", "sm120a", "h100tma", "fallback"}) {
    for (const char* call : kCalls) expected.insert(std::string("qk_") + call + "_" + build);
  }
  for (const std::string& build : words(QK_BUILDS)) {
    for (const char* kernel : kKernels) expected.insert(std::string(kernel) + "_" + build);
    expected.insert("blake3_compress_" + build);
  }
  const std::string listing =
      run(std::string("nm -D --defined-only '") + QK_LIBRARY + "' | awk '{print $3}'");
  std::set<std::string> exported;
  for (const std::string& name : words(listing, '\n')) exported.insert(name);
  for (const std::string& name : expected) EXPECT_TRUE(exported.count(name)) << "missing " << name;
  for (const std::string& name : exported) EXPECT_TRUE(expected.count(name)) << "extra " << name;
}

TEST(BuildFacts, EachBuildEmbedsExactlyItsTargets) {
  struct Targets {
    const char* build;
    std::set<std::string> elf, ptx;
  };
  const Targets table[] = {
      {"sm89", {"sm_89"}, {"sm_89"}},
      {"sm120a", {"sm_120a"}, {"sm_120", "sm_120a"}},
      {"h100tma", {"sm_90a"}, {"sm_90", "sm_90a"}},
      {"fallback", {"sm_80", "sm_86", "sm_90"}, {"sm_80"}},
  };
  // "build=object" pairs from CMake.
  for (const std::string& pair : words(QK_BUILD_OBJECTS)) {
    const std::string build = pair.substr(0, pair.find('='));
    const std::string object = pair.substr(pair.find('=') + 1);
    for (const Targets& t : table) {
      if (build != t.build) continue;
      auto listed = [&](const char* flag) {
        std::set<std::string> archs;
        for (const std::string& line :
             words(run(std::string("'") + QK_CUOBJDUMP + "' " + flag + " '" + object + "'"), '\n')) {
          // "ELF file    1: name.sm_90a.cubin" -> "sm_90a"
          const size_t dot = line.rfind('.');
          const size_t arch = line.rfind('.', dot - 1);
          if (dot != std::string::npos && arch != std::string::npos) {
            archs.insert(line.substr(arch + 1, dot - arch - 1));
          }
        }
        return archs;
      };
      EXPECT_EQ(listed("--list-elf"), t.elf) << build;
      EXPECT_EQ(listed("--list-ptx"), t.ptx) << build;
    }
  }
}

}  // namespace
