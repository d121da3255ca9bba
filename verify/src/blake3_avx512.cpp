// Sixteen chunks (or sixteen parents) per pass, one per 32-bit lane of an
// AVX-512 register: word w of all sixteen states lives in one register, so the
// rounds are plain vector adds, xors and single-instruction rotations. Only
// AVX-512F is used, through per-function target attributes: this file needs no
// special compiler flags, and no AVX-512 instruction runs unless the CPU (and
// the operating system, which must save the wide registers) supports it.
#include "blake3_kernels.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// GCC 12 starts many AVX-512 intrinsics from a self-initialised "undefined"
// register and then warns that it is uninitialised (fixed in GCC 13).
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#define QV_AVX512 __attribute__((target("avx512f")))

namespace quorl::verify::blake3 {
namespace {

using V = __m512i;
constexpr size_t kLanes = 16;

QV_AVX512 inline V add(V a, V b) { return _mm512_add_epi32(a, b); }
QV_AVX512 inline V xor_(V a, V b) { return _mm512_xor_si512(a, b); }
QV_AVX512 inline V set1(uint32_t x) { return _mm512_set1_epi32(int(x)); }
template <int n>
QV_AVX512 inline V rotr(V x) { return _mm512_ror_epi32(x, n); }

QV_AVX512 inline void g(V* s, int a, int b, int c, int d, V x, V y) {
  s[a] = add(add(s[a], s[b]), x);
  s[d] = rotr<16>(xor_(s[d], s[a]));
  s[c] = add(s[c], s[d]);
  s[b] = rotr<12>(xor_(s[b], s[c]));
  s[a] = add(add(s[a], s[b]), y);
  s[d] = rotr<8>(xor_(s[d], s[a]));
  s[c] = add(s[c], s[d]);
  s[b] = rotr<7>(xor_(s[b], s[c]));
}

QV_AVX512 inline void compress16(V h[8], const V m[16], V counter_lo, V counter_hi, uint32_t flags) {
  V s[16] = {h[0],         h[1],         h[2],         h[3],         h[4],       h[5],
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

// Rows become columns: afterwards v[w] holds word w of the sixteen input rows.
// Pairs of rows interleave words, then pairs of words; each 128-bit lane then
// holds four words of four rows, and two lane shuffles gather the four row
// groups of one word.
QV_AVX512 inline void transpose16(V v[16]) {
  V x[16];
  for (int q = 0; q < 4; ++q) {  // rows 4q .. 4q+3
    const V ab_lo = _mm512_unpacklo_epi32(v[4 * q], v[4 * q + 1]);
    const V ab_hi = _mm512_unpackhi_epi32(v[4 * q], v[4 * q + 1]);
    const V cd_lo = _mm512_unpacklo_epi32(v[4 * q + 2], v[4 * q + 3]);
    const V cd_hi = _mm512_unpackhi_epi32(v[4 * q + 2], v[4 * q + 3]);
    // x[4q + j], lane L: word 4L + j of rows 4q .. 4q+3.
    x[4 * q + 0] = _mm512_unpacklo_epi64(ab_lo, cd_lo);
    x[4 * q + 1] = _mm512_unpackhi_epi64(ab_lo, cd_lo);
    x[4 * q + 2] = _mm512_unpacklo_epi64(ab_hi, cd_hi);
    x[4 * q + 3] = _mm512_unpackhi_epi64(ab_hi, cd_hi);
  }
  for (int j = 0; j < 4; ++j) {
    const V g01_lo = _mm512_shuffle_i32x4(x[j], x[4 + j], 0x44);       // lanes 0 1 | 0 1
    const V g01_hi = _mm512_shuffle_i32x4(x[j], x[4 + j], 0xEE);       // lanes 2 3 | 2 3
    const V g23_lo = _mm512_shuffle_i32x4(x[8 + j], x[12 + j], 0x44);
    const V g23_hi = _mm512_shuffle_i32x4(x[8 + j], x[12 + j], 0xEE);
    v[j] = _mm512_shuffle_i32x4(g01_lo, g23_lo, 0x88);       // lane 0 of each group
    v[4 + j] = _mm512_shuffle_i32x4(g01_lo, g23_lo, 0xDD);   // lane 1
    v[8 + j] = _mm512_shuffle_i32x4(g01_hi, g23_hi, 0x88);   // lane 2
    v[12 + j] = _mm512_shuffle_i32x4(g01_hi, g23_hi, 0xDD);  // lane 3
  }
}

// m[0..15] = the sixteen words at rows[j] + offset for lanes j = 0..15.
QV_AVX512 inline void load_words(const uint8_t* const rows[kLanes], size_t offset, V m[16]) {
  for (size_t j = 0; j < kLanes; ++j) m[j] = _mm512_loadu_si512(rows[j] + offset);
  transpose16(m);
}

// Lane j of h (word w in h[w]) to out[8 j + w].
QV_AVX512 inline void store_cvs(const V h[8], uint32_t* out) {
  V rows[16];
  for (int w = 0; w < 8; ++w) rows[w] = rows[w + 8] = h[w];  // upper half unused
  transpose16(rows);
  for (size_t j = 0; j < kLanes; ++j) _mm512_mask_storeu_epi32(out + 8 * j, 0x00FF, rows[j]);
}

// Counters first + j, j = 0..15, split into low and high words.
QV_AVX512 inline void counters(uint64_t first, V* lo, V* hi) {
  alignas(64) uint32_t l[kLanes], h[kLanes];
  for (size_t j = 0; j < kLanes; ++j) {
    l[j] = uint32_t(first + j);
    h[j] = uint32_t((first + j) >> 32);
  }
  *lo = _mm512_load_si512(l);
  *hi = _mm512_load_si512(h);
}

QV_AVX512 void chunks_avx512(const uint32_t key[8], const uint8_t* data, size_t count,
                             uint64_t first_chunk, uint32_t* out) {
  size_t i = 0;
  for (; i + kLanes <= count; i += kLanes) {
    const uint8_t* rows[kLanes];
    for (size_t j = 0; j < kLanes; ++j) rows[j] = data + (i + j) * kChunkLen;
    V counter_lo, counter_hi;
    counters(first_chunk + i, &counter_lo, &counter_hi);
    V h[8];
    for (int w = 0; w < 8; ++w) h[w] = set1(key[w]);
    constexpr size_t kBlocks = kChunkLen / kBlockLen;
    for (size_t b = 0; b < kBlocks; ++b) {
      V m[16];
      load_words(rows, b * kBlockLen, m);
      const uint32_t flags = kKeyedHash | (b == 0 ? kChunkStart : 0) | (b == kBlocks - 1 ? kChunkEnd : 0);
      compress16(h, m, counter_lo, counter_hi, flags);
    }
    store_cvs(h, out + 8 * i);
  }
  // Fewer than sixteen left: the eight-wide kernel where it runs, then one by one.
  const Kernels* narrower = avx2_kernels();
  (narrower ? *narrower : portable_kernels())
      .chunks(key, data + i * kChunkLen, count - i, first_chunk + i, out + 8 * i);
}

QV_AVX512 void parents_avx512(const uint32_t key[8], const uint32_t* in, size_t count,
                              uint32_t extra_flags, uint32_t* out) {
  size_t i = 0;
  const V zero = _mm512_setzero_si512();
  for (; i + kLanes <= count; i += kLanes) {
    const uint8_t* rows[kLanes];
    for (size_t j = 0; j < kLanes; ++j) rows[j] = reinterpret_cast<const uint8_t*>(in + 16 * (i + j));
    V m[16], h[8];
    load_words(rows, 0, m);
    for (int w = 0; w < 8; ++w) h[w] = set1(key[w]);
    compress16(h, m, zero, zero, kParent | kKeyedHash | extra_flags);
    store_cvs(h, out + 8 * i);
  }
  const Kernels* narrower = avx2_kernels();
  (narrower ? *narrower : portable_kernels())
      .parents(key, in + 16 * i, count - i, extra_flags, out + 8 * i);
}

}  // namespace

const Kernels* avx512_kernels() {
  static const Kernels k{"avx512", kLanes, chunks_avx512, parents_avx512};
  return __builtin_cpu_supports("avx512f") ? &k : nullptr;
}

}  // namespace quorl::verify::blake3

#else

namespace quorl::verify::blake3 {
const Kernels* avx512_kernels() { return nullptr; }
}  // namespace quorl::verify::blake3

#endif
