#include "b3sum.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>

namespace quorl::test {
namespace {

std::string temp_path(const char* tag) {
  return std::string(::testing::TempDir()) + "qk_" + tag + "_" + std::to_string(::getpid());
}

void write_file(const std::string& path, const void* bytes, size_t count) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(bytes), std::streamsize(count));
}

}  // namespace

std::string b3sum_hex(const std::vector<uint8_t>& data, const ref::Cv* key) {
  const std::string data_path = temp_path("data");
  write_file(data_path, data.data(), data.size());
  std::string command = "b3sum --no-names ";
  std::string key_path;
  if (key != nullptr) {
    key_path = temp_path("key");
    uint8_t key_bytes[32];
    ref::cv_to_bytes(*key, key_bytes);
    write_file(key_path, key_bytes, sizeof key_bytes);
    command += "--keyed ";
  }
  command += "'" + data_path + "'";
  if (key != nullptr) command += " < '" + key_path + "'";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    const int status = ::pclose(pipe);
    EXPECT_EQ(status, 0) << "b3sum failed: " << command;
  } else {
    ADD_FAILURE() << "cannot run b3sum";
  }
  std::remove(data_path.c_str());
  if (!key_path.empty()) std::remove(key_path.c_str());
  while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
  EXPECT_EQ(output.size(), 64u) << "unexpected b3sum output: " << output;
  return output;
}

std::vector<uint8_t> random_bytes(size_t count, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& b : bytes) b = uint8_t(rng());
  return bytes;
}

ref::Cv random_cv(uint64_t seed) {
  const std::vector<uint8_t> bytes = random_bytes(32, seed);
  return ref::cv_from_bytes(bytes.data());
}

}  // namespace quorl::test
