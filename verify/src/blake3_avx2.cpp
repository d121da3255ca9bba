// Eight chunks (or eight parents) per pass, one per 32-bit lane of an AVX2
// register: word w of all eight states lives in one register, so the rounds
// are plain vector adds, xors and rotations. Built with per-function target
// attributes, so this file needs no special compiler flags and the rest of the
// program never runs AVX2 code on a CPU that lacks it.
#include "blake3_kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

#define QV_AVX2 __attribute__((target("avx2")))

namespace quorl::verify::blake3 {
namespace {

using V = __m256i;
constexpr size_t kLanes = 8;

QV_AVX2 inline V add(V a, V b) { return _mm256_add_epi32(a, b); }
QV_AVX2 inline V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
QV_AVX2 inline V set1(uint32_t x) { return _mm256_set1_epi32(int(x)); }
// Rotations by whole bytes are byte shuffles; the others two shifts.
QV_AVX2 inline V rot16(V x) {
  return _mm256_shuffle_epi8(x, _mm256_set_epi8(13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0, 3,
                                                2, 13, 12, 15, 14, 9, 8, 11, 10, 5, 4, 7, 6, 1, 0,
                                                3, 2));
}
QV_AVX2 inline V rot8(V x) {
  return _mm256_shuffle_epi8(x, _mm256_set_epi8(12, 15, 14, 13, 8, 11, 10, 9, 4, 7, 6, 5, 0, 3, 2,
                                                1, 12, 15, 14, 13, 8, 11, 10, 9, 4, 7, 6, 5, 0, 3,
                                                2, 1));
}
QV_AVX2 inline V rot12(V x) { return _mm256_or_si256(_mm256_srli_epi32(x, 12), _mm256_slli_epi32(x, 20)); }
QV_AVX2 inline V rot7(V x) { return _mm256_or_si256(_mm256_srli_epi32(x, 7), _mm256_slli_epi32(x, 25)); }

QV_AVX2 inline void g(V* s, int a, int b, int c, int d, V x, V y) {
  s[a] = add(add(s[a], s[b]), x);
  s[d] = rot16(xor_(s[d], s[a]));
  s[c] = add(s[c], s[d]);
  s[b] = rot12(xor_(s[b], s[c]));
  s[a] = add(add(s[a], s[b]), y);
  s[d] = rot8(xor_(s[d], s[a]));
  s[c] = add(s[c], s[d]);
  s[b] = rot7(xor_(s[b], s[c]));
}

QV_AVX2 inline void compress8(V h[8], const V m[16], V counter_lo, V counter_hi, uint32_t flags) {
  V s[16] = {h[0],         h[1],         h[2],         h[3],       h[4],       h[5],
             h[6],         h[7],         set1(kIv[0]), set1(kIv[1]), set1(kIv[2]), set1(kIv[3]),
             counter_lo,   counter_hi,   set1(uint32_t(kBlockLen)), set1(flags)};
  for (const uint8_t* w : kSchedule) {
    g(s, 0, 4, 8, 12, m[w[0]], m[w[1]]);
    g(s, 1, 5, 9, 13, m[w[2]], m[w[3]]);
    g(s, 2, 6, 10, 14, m[w[4]], m[w[5]]);
    g(s, 3, 7, 11, 15, m[w[6]], m[w[7]]);
    g(s, 0, 5, 10, 15, m[w[8]], m[w[9]]);
    g(s, 1, 6, 11, 12, m[w[10]], m[w[11]]);
    g(s, 2, 7, 8, 13, m[w[12]], m[w[13]]);
    g(s, 3, 4, 9, 14, m[w[14]], m[w[15]]);
  }
  for (int i = 0; i < 8; ++i) h[i] = xor_(s[i], s[i + 8]);
}

// Rows become columns: afterwards v[w] holds word w of the eight input rows.
QV_AVX2 inline void transpose8(V v[8]) {
  const V ab01 = _mm256_unpacklo_epi32(v[0], v[1]), ab23 = _mm256_unpackhi_epi32(v[0], v[1]);
  const V cd01 = _mm256_unpacklo_epi32(v[2], v[3]), cd23 = _mm256_unpackhi_epi32(v[2], v[3]);
  const V ef01 = _mm256_unpacklo_epi32(v[4], v[5]), ef23 = _mm256_unpackhi_epi32(v[4], v[5]);
  const V gh01 = _mm256_unpacklo_epi32(v[6], v[7]), gh23 = _mm256_unpackhi_epi32(v[6], v[7]);
  const V abcd0 = _mm256_unpacklo_epi64(ab01, cd01), abcd1 = _mm256_unpackhi_epi64(ab01, cd01);
  const V abcd2 = _mm256_unpacklo_epi64(ab23, cd23), abcd3 = _mm256_unpackhi_epi64(ab23, cd23);
  const V efgh0 = _mm256_unpacklo_epi64(ef01, gh01), efgh1 = _mm256_unpackhi_epi64(ef01, gh01);
  const V efgh2 = _mm256_unpacklo_epi64(ef23, gh23), efgh3 = _mm256_unpackhi_epi64(ef23, gh23);
  v[0] = _mm256_permute2x128_si256(abcd0, efgh0, 0x20);
  v[4] = _mm256_permute2x128_si256(abcd0, efgh0, 0x31);
  v[1] = _mm256_permute2x128_si256(abcd1, efgh1, 0x20);
  v[5] = _mm256_permute2x128_si256(abcd1, efgh1, 0x31);
  v[2] = _mm256_permute2x128_si256(abcd2, efgh2, 0x20);
  v[6] = _mm256_permute2x128_si256(abcd2, efgh2, 0x31);
  v[3] = _mm256_permute2x128_si256(abcd3, efgh3, 0x20);
  v[7] = _mm256_permute2x128_si256(abcd3, efgh3, 0x31);
}

// m[0..15] = the sixteen words at rows[j] + offset for lanes j = 0..7.
QV_AVX2 inline void load_words(const uint8_t* const rows[8], size_t offset, V m[16]) {
  for (size_t j = 0; j < kLanes; ++j) {
    m[j] = _mm256_loadu_si256(reinterpret_cast<const V*>(rows[j] + offset));
    m[j + 8] = _mm256_loadu_si256(reinterpret_cast<const V*>(rows[j] + offset + 32));
  }
  transpose8(m);
  transpose8(m + 8);
}

// Lane j of h (word w in h[w]) to out[8 j + w].
QV_AVX2 inline void store_cvs(V h[8], uint32_t* out) {
  transpose8(h);
  for (size_t j = 0; j < kLanes; ++j) _mm256_storeu_si256(reinterpret_cast<V*>(out + 8 * j), h[j]);
}

QV_AVX2 void chunks_avx2(const uint32_t key[8], const uint8_t* data, size_t count,
                         uint64_t first_chunk, uint32_t* out) {
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    alignas(32) uint32_t lo[kLanes], hi[kLanes];
    const uint8_t* rows[kLanes];
    for (size_t j = 0; j < kLanes; ++j) {
      const uint64_t counter = first_chunk + i + j;
      lo[j] = uint32_t(counter);
      hi[j] = uint32_t(counter >> 32);
      rows[j] = data + (i + j) * kChunkLen;
    }
    const V counter_lo = _mm256_load_si256(reinterpret_cast<const V*>(lo));
    const V counter_hi = _mm256_load_si256(reinterpret_cast<const V*>(hi));
    V h[8];
    for (int w = 0; w < 8; ++w) h[w] = set1(key[w]);
    constexpr size_t kBlocks = kChunkLen / kBlockLen;
    for (size_t b = 0; b < kBlocks; ++b) {
      V m[16];
      load_words(rows, b * kBlockLen, m);
      const uint32_t flags = kKeyedHash | (b == 0 ? kChunkStart : 0) | (b == kBlocks - 1 ? kChunkEnd : 0);
      compress8(h, m, counter_lo, counter_hi, flags);
    }
    store_cvs(h, out + 8 * i);
  }
  portable_kernels().chunks(key, data + i * kChunkLen, count - i, first_chunk + i, out + 8 * i);
}

QV_AVX2 void parents_avx2(const uint32_t key[8], const uint32_t* in, size_t count,
                          uint32_t extra_flags, uint32_t* out) {
  size_t i = 0;
  const V zero = _mm256_setzero_si256();
  for (; i + kLanes <= count; i += kLanes) {
    const uint8_t* rows[kLanes];
    for (size_t j = 0; j < kLanes; ++j) rows[j] = reinterpret_cast<const uint8_t*>(in + 16 * (i + j));
    V m[16], h[8];
    load_words(rows, 0, m);
    for (int w = 0; w < 8; ++w) h[w] = set1(key[w]);
    compress8(h, m, zero, zero, kParent | kKeyedHash | extra_flags);
    store_cvs(h, out + 8 * i);
  }
  portable_kernels().parents(key, in + 16 * i, count - i, extra_flags, out + 8 * i);
}

}  // namespace

const Kernels* avx2_kernels() {
  static const Kernels k{"avx2", kLanes, chunks_avx2, parents_avx2};
  return __builtin_cpu_supports("avx2") ? &k : nullptr;
}

}  // namespace quorl::verify::blake3

#else

namespace quorl::verify::blake3 {
const Kernels* avx2_kernels() { return nullptr; }
}  // namespace quorl::verify::blake3

#endif
