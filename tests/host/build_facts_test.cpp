// Facts about the built library, read from the binaries: what it exports and
// which GPU targets each build embeds.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <map>
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
    "blake3_bound_kernel",
};

// The GEMM kernels are templates in the build's namespace; each build exports
// its instantiations (one per flavour) under their mangled names.
struct TemplateKernel {
  const char* build;
  const char* name;
  int flavours;
};
const TemplateKernel kTemplateKernels[] = {
    {"sm89", "gemm_g", 3},
    {"sm120a", "gemm_g", 3},
    {"fallback", "gemm_g", 3},
    {"h100tma", "gemm_gmma_cta_g", 2},
    {"h100tma", "gemm_hopper_tma_bound_g", 1},
};

// Reads one <length><name> component of a mangled name at `pos`.
std::string mangled_component(const std::string& mangled, size_t& pos) {
  size_t end = pos;
  while (end < mangled.size() && std::isdigit(static_cast<unsigned char>(mangled[end]))) ++end;
  if (end == pos) return "";
  const size_t length = std::stoul(mangled.substr(pos, end - pos));
  pos = end + length;
  return mangled.substr(end, length);
}

// "_ZN16quorl_build_sm896gemm_gI..." -> "sm89/gemm_g"; "" for any other name.
std::string template_kernel_of(const std::string& mangled) {
  const std::string prefix = "quorl_build_";
  if (mangled.rfind("_ZN", 0) != 0) return "";
  size_t pos = 3;
  const std::string ns = mangled_component(mangled, pos);
  const std::string name = mangled_component(mangled, pos);
  if (ns.rfind(prefix, 0) != 0 || name.empty() || mangled.compare(pos, 1, "I") != 0) return "";
  return ns.substr(prefix.size()) + "/" + name;
}

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
  std::map<std::string, int> instantiations;  // "build/kernel" -> count
  for (const std::string& name : words(listing, '\n')) {
    const std::string kernel = template_kernel_of(name);
    if (kernel.empty()) {
      exported.insert(name);
    } else {
      ++instantiations[kernel];
    }
  }
  for (const std::string& name : expected) EXPECT_TRUE(exported.count(name)) << "missing " << name;
  for (const std::string& name : exported) EXPECT_TRUE(expected.count(name)) << "extra " << name;
  std::map<std::string, int> expected_instantiations;
  for (const std::string& build : words(QK_BUILDS)) {
    for (const TemplateKernel& t : kTemplateKernels) {
      if (build == t.build) expected_instantiations[build + "/" + t.name] = t.flavours;
    }
  }
  EXPECT_EQ(instantiations, expected_instantiations);
}

// Each call learns its launch errors from the CUDA runtime's per-thread last
// error, trusting that only the library writes it. That holds while the
// runtime is the library's own static copy: no shared libcudart among its
// needs (a host program's copy would share that state) and no runtime symbol
// taken from outside.
TEST(BuildFacts, CarriesItsOwnCudaRuntime) {
  const std::string needed =
      run(std::string("readelf -d '") + QK_LIBRARY + "' | grep NEEDED || true");
  EXPECT_EQ(needed.find("libcudart"), std::string::npos) << needed;
  const std::string imported =
      run(std::string("nm -D --undefined-only '") + QK_LIBRARY + "' | awk '{print $2}'");
  for (const std::string& name : words(imported, '\n')) {
    EXPECT_NE(name.rfind("cuda", 0), 0u) << "imports " << name;
  }
}

TEST(BuildFacts, EachBuildEmbedsExactlyItsTargets) {
  struct Targets {
    const char* build;
    std::set<std::string> elf, ptx;
  };
  Targets table[] = {
      {"sm89", {"sm_89"}, {"sm_89"}},
      {"sm120a", {"sm_120a"}, {"sm_120", "sm_120a"}},
      {"h100tma", {"sm_90a"}, {"sm_90", "sm_90a"}},
      {"fallback", {"sm_80", "sm_86", "sm_90"}, {"sm_80"}},
  };
  // The GPU check's configuration runs sm120a on Hopper too (machine code
  // only: no sm_90 PTX that a newer device could pick up).
  if (QK_SM120A_ON_SM90) table[1].elf.insert("sm_90");
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

namespace {

// SASS of one object, split into its kernels: mangled name -> instructions.
std::vector<std::pair<std::string, std::string>> kernels_sass(const std::string& object) {
  const std::string nvdisasm = QK_NVDISASM;
  const std::string sass = run("PATH='" + nvdisasm.substr(0, nvdisasm.rfind('/')) + "':\"$PATH\" '" +
                               QK_CUOBJDUMP + "' -sass '" + object + "'");
  std::vector<std::pair<std::string, std::string>> kernels;
  for (const std::string& line : words(sass, '\n')) {
    const size_t at = line.find("Function : ");
    if (at != std::string::npos) {
      kernels.emplace_back(line.substr(at + 11), std::string());
    } else if (!kernels.empty()) {
      kernels.back().second += line + "\n";
    }
  }
  return kernels;
}

// Per-kernel resource lines ("REG:168 STACK:0 SHARED:... LOCAL:0 ...").
std::vector<std::pair<std::string, std::string>> kernels_resources(const std::string& object) {
  std::vector<std::pair<std::string, std::string>> kernels;
  for (const std::string& line :
       words(run(std::string("'") + QK_CUOBJDUMP + "' -res-usage '" + object + "'"), '\n')) {
    const size_t at = line.find("Function ");
    if (at != std::string::npos) {
      kernels.emplace_back(line.substr(at + 9), std::string());
    } else if (!kernels.empty() && kernels.back().second.empty()) {
      kernels.back().second = line;
    }
  }
  return kernels;
}

// The h100tma engines run on Hopper's own paths: warp-group MMA (IGMMA) in
// every engine, TMA loads (UTMALDG) and register reallocation (USETMAXREG)
// in the fused engine, cp.async (LDGSTS) in the 192-row engine, and no
// local memory anywhere.
TEST(BuildFacts, HopperEnginesUseWarpGroupMmaAndTma) {
  std::string object;
  for (const std::string& pair : words(QK_BUILD_OBJECTS)) {
    if (pair.substr(0, pair.find('=')) == "h100tma") object = pair.substr(pair.find('=') + 1);
  }
  if (object.empty()) GTEST_SKIP() << "h100tma is not among the configured builds";

  struct Engine {
    const char* mangled;  // part of the kernel's mangled name
    std::vector<const char*> instructions;
  };
  const Engine engines[] = {
      {"gemm_gmma_cta_gILb0ELb0E", {"IGMMA.64x256x32.S8.S8", "LDGSTS"}},
      {"gemm_gmma_cta_gILb0ELb1E", {"IGMMA.64x256x32.S8.S8", "LDGSTS"}},
      {"gemm_hopper_tma_bound_g",
       {"IGMMA.64x256x32.S8.S8", "UTMALDG", "USETMAXREG.DEALLOC", "USETMAXREG.TRY_ALLOC",
        "SYNCS", "ATOMG.E.CAS"}},
  };
  const auto sass = kernels_sass(object);
  const auto resources = kernels_resources(object);
  for (const Engine& engine : engines) {
    int found = 0;
    for (const auto& [name, code] : sass) {
      if (name.find(engine.mangled) == std::string::npos) continue;
      ++found;
      for (const char* op : engine.instructions) {
        EXPECT_NE(code.find(op), std::string::npos) << engine.mangled << " lacks " << op;
      }
      EXPECT_EQ(code.find("LDL"), std::string::npos) << engine.mangled << " reads local memory";
      EXPECT_EQ(code.find("STL"), std::string::npos) << engine.mangled << " writes local memory";
    }
    EXPECT_EQ(found, 1) << engine.mangled;
    int listed = 0;
    for (const auto& [name, usage] : resources) {
      if (name.find(engine.mangled) == std::string::npos) continue;
      ++listed;
      EXPECT_NE(usage.find("STACK:0 "), std::string::npos) << engine.mangled << ": " << usage;
      EXPECT_NE(usage.find("LOCAL:0 "), std::string::npos) << engine.mangled << ": " << usage;
    }
    EXPECT_EQ(listed, 1) << engine.mangled;
  }
}

}  // namespace

namespace {

// The h100tma build also embeds compute_90 PTX, which has no warp-group MMA
// or TMA: a device that JIT-compiles it must trap in both engines, never run
// an empty body that reports no share. The sm_90a PTX keeps the real bodies.
TEST(BuildFacts, HopperEnginesTrapInTheGenericPtx) {
  std::string object;
  for (const std::string& pair : words(QK_BUILD_OBJECTS)) {
    if (pair.substr(0, pair.find('=')) == "h100tma") object = pair.substr(pair.find('=') + 1);
  }
  if (object.empty()) GTEST_SKIP() << "h100tma is not among the configured builds";
  // PTX sections ("Fatbin ptx code:", "arch = sm_90") split into entries.
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> entries;  // arch -> (name, body)
  std::string arch;
  bool in_ptx = false;
  for (const std::string& line :
       words(run(std::string("'") + QK_CUOBJDUMP + "' -ptx '" + object + "'"), '\n')) {
    if (line.rfind("Fatbin", 0) == 0) {
      in_ptx = line.find("ptx") != std::string::npos;
      arch.clear();
    } else if (in_ptx && arch.empty() && line.rfind("arch = ", 0) == 0) {
      arch = line.substr(7);
    } else if (in_ptx && line.find(".entry ") != std::string::npos) {
      entries[arch].emplace_back(line, std::string());
    } else if (in_ptx && !entries[arch].empty()) {
      entries[arch].back().second += line + "\n";
    }
  }
  for (const char* engine : {"gemm_gmma_cta_gILb0ELb0E", "gemm_gmma_cta_gILb0ELb1E",
                             "gemm_hopper_tma_bound_g"}) {
    for (const auto& [ptx_arch, trap_expected] :
         {std::pair<std::string, bool>{"sm_90", true}, {"sm_90a", false}}) {
      int seen = 0;
      for (const auto& [name, body] : entries[ptx_arch]) {
        if (name.find(engine) == std::string::npos) continue;
        ++seen;
        EXPECT_EQ(body.find("trap;") != std::string::npos, trap_expected) << engine << " " << ptx_arch;
        EXPECT_EQ(body.find("wgmma.mma_async") != std::string::npos, !trap_expected)
            << engine << " " << ptx_arch;
      }
      EXPECT_EQ(seen, 1) << engine << " in the " << ptx_arch << " PTX";
    }
  }
}

// gemm_g of sm89, sm120a and fallback: every instantiation, in every cubin,
// multiplies with the int8 tensor-core MMA (IMMA m16n8k32) and keeps its
// accumulators in registers.
TEST(BuildFacts, LabelGemmUsesInt8TensorCoresWithoutSpilling) {
  int builds = 0;
  for (const std::string& pair : words(QK_BUILD_OBJECTS)) {
    const std::string build = pair.substr(0, pair.find('='));
    const std::string object = pair.substr(pair.find('=') + 1);
    if (build == "h100tma") continue;  // runs the Hopper engines instead
    ++builds;
    int kernels = 0;
    for (const auto& [name, code] : kernels_sass(object)) {
      if (name.find("6gemm_g") == std::string::npos) continue;
      ++kernels;
      EXPECT_NE(code.find("IMMA.16832.S8.S8"), std::string::npos) << build << ": " << name;
      EXPECT_EQ(code.find("LDL"), std::string::npos) << build << " reads local memory: " << name;
      EXPECT_EQ(code.find("STL"), std::string::npos) << build << " writes local memory: " << name;
    }
    EXPECT_GE(kernels, 3) << build << ": the three flavours";
    for (const auto& [name, usage] : kernels_resources(object)) {
      if (name.find("6gemm_g") == std::string::npos) continue;
      EXPECT_NE(usage.find("STACK:0 "), std::string::npos) << build << ": " << usage;
      EXPECT_NE(usage.find("LOCAL:0 "), std::string::npos) << build << ": " << usage;
    }
  }
  if (builds == 0) GTEST_SKIP() << "no label-GEMM build among the configured builds";
}

}  // namespace

namespace {

// One SASS instruction: its address and its text ("@P0 BRA 0x210 ;").
struct Instruction {
  uint64_t address;
  std::string text;
};

std::vector<Instruction> instructions(const std::string& code) {
  std::vector<Instruction> out;
  for (const std::string& line : words(code, '\n')) {
    const size_t open = line.find("/*"), close = line.find("*/");
    if (open == std::string::npos || close == std::string::npos || close < open + 3) continue;
    const std::string address = line.substr(open + 2, close - open - 2);
    if (address.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
    const size_t end = line.find(';', close);
    out.push_back({std::stoull(address, nullptr, 16), line.substr(close + 2, end - close - 2)});
  }
  return out;
}

// The opcode ("STG.E.64") of an instruction, past any predicate.
std::string opcode(const std::string& text) {
  std::stringstream in(text);
  std::string op;
  in >> op;
  if (!op.empty() && op[0] == '@') in >> op;
  return op;
}

// Loop bodies: [target, branch] of every backward branch, except the branch
// to itself that closes every kernel.
std::vector<std::pair<uint64_t, uint64_t>> loops(const std::vector<Instruction>& code) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const Instruction& i : code) {
    if (opcode(i.text).rfind("BRA", 0) != 0) continue;
    const size_t hex = i.text.find("0x");
    if (hex == std::string::npos) continue;
    const uint64_t target = std::stoull(i.text.substr(hex), nullptr, 16);
    if (target < i.address) out.emplace_back(target, i.address);
  }
  return out;
}

// Bytes one global store writes, from its last modifier: .128 16, .64 8,
// .U8/.S8 1, .U16/.S16 2, none (STG.E) 4.
int store_bytes(const std::string& op) {
  const std::string last = op.substr(op.rfind('.') + 1);
  if (last == "128") return 16;
  if (last == "64") return 8;
  if (last == "U8" || last == "S8") return 1;
  if (last == "U16" || last == "S16") return 2;
  return 4;
}

// kernels_sass, disassembling each object once for all the kernels asked about.
const std::vector<std::pair<std::string, std::string>>& cached_kernels_sass(const std::string& object) {
  static std::map<std::string, std::vector<std::pair<std::string, std::string>>> cache;
  if (!cache.count(object)) cache[object] = kernels_sass(object);
  return cache[object];
}

// Every cubin of every build: the SASS of kernel <name>_<build>.
template <class Check>
void for_each_kernel_sass(const char* name, Check&& check) {
  for (const std::string& pair : words(QK_BUILD_OBJECTS)) {
    const std::string build = pair.substr(0, pair.find('='));
    const std::string object = pair.substr(pair.find('=') + 1);
    int cubins = 0;
    for (const auto& [function, code] : cached_kernels_sass(object)) {
      if (function != std::string(name) + "_" + build) continue;
      ++cubins;
      check(build, instructions(code));
    }
    EXPECT_GE(cubins, 1) << name << " missing from " << build;
  }
}

// The chunk kernels keep their chaining values in registers through the
// sixteen blocks: each thread stores its nodes once, after the block loop,
// never inside it.
TEST(BuildFacts, ChunkKernelsStoreTheirNodesOnceAfterTheBlockLoop) {
  const struct {
    const char* kernel;
    int bytes;  // stored per thread
  } table[] = {{"blake3_chunk_kernel", 32}, {"blake3_chunk_prefix_kernel", 64}};
  for (const auto& t : table) {
    for_each_kernel_sass(t.kernel, [&](const std::string& build, const std::vector<Instruction>& code) {
      const auto bodies = loops(code);
      EXPECT_FALSE(bodies.empty()) << t.kernel << " " << build << ": no block loop found";
      int bytes = 0;
      for (const Instruction& i : code) {
        const std::string op = opcode(i.text);
        if (op.rfind("STG", 0) != 0) continue;
        bytes += store_bytes(op);
        for (const auto& [begin, end] : bodies) {
          EXPECT_FALSE(i.address >= begin && i.address <= end)
              << t.kernel << " " << build << " stores inside a loop: " << i.text;
        }
      }
      EXPECT_EQ(bytes, t.bytes) << t.kernel << " " << build;
    });
  }
}

// The fusion kernels find an element's row without dividing: no division
// subroutine call and no reciprocal (the core of GPU integer division).
TEST(BuildFacts, FusionKernelsDivideNothing) {
  for (const char* kernel : {"fuse_noise_kernel", "fuse_noise_kernel8_k2048", "fuse_noise_smem_kernel8_k2048"}) {
    for_each_kernel_sass(kernel, [&](const std::string& build, const std::vector<Instruction>& code) {
      EXPECT_FALSE(code.empty()) << kernel << " " << build;
      for (const Instruction& i : code) {
        const std::string op = opcode(i.text);
        EXPECT_TRUE(op.rfind("CALL", 0) != 0 && op.rfind("MUFU.RCP", 0) != 0)
            << kernel << " " << build << " divides: " << i.text;
      }
    });
  }
}

}  // namespace

namespace {

// The fused engine lets the kernel queued after it start once every CTA has
// taken its last tile (PREEXIT, griddepcontrol.launch_dependents) and waits
// for the kernel before it (ACQBULK, griddepcontrol.wait); the B-only
// mutation waits for the search before it only after its tree walk, so the
// walk can run in the search's tail.
TEST(BuildFacts, FusedEngineAndMutationOverlapBehindGridDependencyWaits) {
  std::string object;
  for (const std::string& pair : words(QK_BUILD_OBJECTS)) {
    if (pair.substr(0, pair.find('=')) == "h100tma") object = pair.substr(pair.find('=') + 1);
  }
  if (object.empty()) GTEST_SKIP() << "h100tma is not among the configured builds";
  int engines = 0, mutations = 0;
  for (const auto& [name, code] : cached_kernels_sass(object)) {
    const std::vector<Instruction> program = instructions(code);
    auto first = [&](const char* op) {
      for (const Instruction& i : program) {
        if (opcode(i.text).rfind(op, 0) == 0) return i.address;
      }
      return ~uint64_t(0);
    };
    if (name.find("gemm_hopper_tma_bound_g") != std::string::npos) {
      ++engines;
      EXPECT_NE(first("PREEXIT"), ~uint64_t(0)) << "the engine never lets its dependents start";
      EXPECT_NE(first("ACQBULK"), ~uint64_t(0)) << "the engine does not wait for its predecessor";
    }
    if (name == "mutate_b_chunk_update_tree_kernel_h100tma") {
      ++mutations;
      const uint64_t wait = first("ACQBULK");
      ASSERT_NE(wait, ~uint64_t(0)) << "the mutation never waits for the search before it";
      EXPECT_GT(wait, first("BAR.SYNC")) << "the wait comes before the block's barrier";
      int walks_before = 0;
      for (const auto& [begin, end] : loops(program)) walks_before += end < wait;
      EXPECT_GE(walks_before, 1) << "no loop (the path to the root) before the wait";
    }
  }
  EXPECT_EQ(engines, 1);
  EXPECT_EQ(mutations, 1);
}

}  // namespace
