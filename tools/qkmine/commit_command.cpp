// qkmine commit: generate A and B from their seeds, commit both under a key
// and print the two roots.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <vector>

#include "../../cuda/frame/shape_check.h"
#include "commands.h"
#include "devices.h"
#include "quorl_kernel.h"
#include "quorl_ref/commit.hpp"
#include "quorl_ref/grid.hpp"
#include "quorl_ref/hex.hpp"
#include "quorl_ref/matrix_gen.hpp"

namespace qkmine {
namespace {

constexpr const char* kUsage =
    "usage: qkmine commit --m M --n N --k K --seed-a X --seed-b Y --key HEX "
    "[--device N|cpu] [--json]\n";

int usage(const std::string& why) { return usage_error("commit", kUsage, why); }

struct Roots {
  quorl::ref::Cv a, b;
};

Roots commit_on_cpu(int m, int n, int k, uint64_t seed_a, uint64_t seed_b,
                    const quorl::ref::Cv& key) {
  const std::vector<int8_t> a = quorl::ref::generate(seed_a, int64_t(m) * k);
  const std::vector<int8_t> b = quorl::ref::generate(seed_b, int64_t(n) * k);
  return {quorl::ref::commit(key, a.data(), int64_t(a.size())),
          quorl::ref::commit(key, b.data(), int64_t(b.size()))};
}

bool commit_on_gpu(int device, int m, int n, int k, uint64_t seed_a, uint64_t seed_b,
                   const quorl::ref::Cv& key, Roots& roots) {
  const std::vector<int32_t> rows = quorl::ref::standard_row_groups(m);
  const std::vector<int32_t> cols = quorl::ref::standard_col_groups(n);
  QkHandle* h = qk_init(device, m, n, k, quorl::ref::standard_grid_rows(m),
                        quorl::ref::standard_grid_cols(n), rows.data(), cols.data());
  if (h == nullptr) {
    std::fprintf(stderr, "qkmine commit: cannot create a context on GPU %d\n", device);
    return false;
  }
  int status = qk_gen_ab(h, seed_a, seed_b);
  if (status == 0) status = qk_commit(h, key.data(), roots.a.data(), roots.b.data());
  qk_free(h);
  if (status != 0) std::fprintf(stderr, "qkmine commit: CUDA error %d on GPU %d\n", status, device);
  return status == 0;
}

int run_commit(const OptionValues& opt) {
  const auto m = opt.integer("m"), n = opt.integer("n"), k = opt.integer("k");
  const auto seed_a = opt.u64("seed-a"), seed_b = opt.u64("seed-b");
  const auto key_text = opt.text("key");
  if (!m || !n || !k) return usage("--m, --n and --k are required integers");
  if (!seed_a || !seed_b) return usage("--seed-a and --seed-b are required unsigned integers");
  if (!key_text) return usage("--key is required");
  const std::optional<quorl::ref::Cv> key = quorl::ref::parse_hex32(*key_text);
  if (!key) return usage("--key must be 64 hex digits");
  const int32_t label = 0;
  if (*m > INT32_MAX || *n > INT32_MAX || *k > INT32_MAX ||
      quorl::check_shape(int(*m), int(*n), int(*k), &label, &label) != quorl::ShapeFault::kNone) {
    return usage("unsupported shape: m a positive multiple of 128, n of 256, k of 64, "
                 "and m*k, n*k each 1024 * 2^L bytes");
  }
  const std::optional<Device> device = pick_device(opt.text("device"));
  if (!device) return usage("--device takes a GPU ordinal or 'cpu'");

  Roots roots;
  if (device->cpu) {
    roots = commit_on_cpu(int(*m), int(*n), int(*k), *seed_a, *seed_b, *key);
  } else if (!commit_on_gpu(device->gpu, int(*m), int(*n), int(*k), *seed_a, *seed_b, *key,
                            roots)) {
    return kExitFailed;
  }
  const std::string a = quorl::ref::to_hex(roots.a), b = quorl::ref::to_hex(roots.b);
  if (opt.has("json")) {
    const nlohmann::ordered_json out = {{"a_hash", a}, {"b_hash", b}, {"device", device->name()}};
    std::printf("%s\n", out.dump().c_str());
  } else {
    std::printf("a_hash %s\nb_hash %s\ndevice %s\n", a.c_str(), b.c_str(), device->name().c_str());
  }
  return kExitOk;
}

}  // namespace

CommandSpec commit_command() {
  return {"commit",
          "generate A and B from seeds and print their commitment roots",
          kUsage,
          {{"m", "M", "rows of A (a positive multiple of 128)"},
           {"n", "N", "rows of B (a positive multiple of 256)"},
           {"k", "K", "columns of A and B (a positive multiple of 64)"},
           {"seed-a", "X", "A's generator seed (decimal or 0x-hex)"},
           {"seed-b", "Y", "B's generator seed"},
           {"key", "HEX", "the job key, 64 hex digits"},
           {"device", "N|cpu", "GPU ordinal, or cpu for the reference model", "GPU 0, or cpu without a GPU"},
           {"json", nullptr, "print one JSON object"}},
          run_commit};
}

}  // namespace qkmine
