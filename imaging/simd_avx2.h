// 256-bit integer vectors (AVX2) as seen by the demosaic kernels: sixteen
// 16-bit lanes, so a block covers 32 sample positions. Most AVX2 operations
// work on two independent 128-bit halves; the low half then holds positions
// 0..15 of the block and the high half positions 16..31, and only the final
// store has to put the halves back in order. Same operations and meaning as
// simd_sse2.h (anonymous namespace for the same reason).
#pragma once

#include <immintrin.h>
#include <stdint.h>
#include <string.h>

namespace {

struct Avx2 {
  using V = __m256i;
  static constexpr uint32_t kPositions = 32;
  static constexpr uint32_t kLoadBytes = 32;

  static V Load(const uint8_t* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  }
  static V Splat(int value) { return _mm256_set1_epi16(static_cast<short>(value)); }
  static V Zero() { return _mm256_setzero_si256(); }

  static V LowBytes(V v) { return _mm256_and_si256(v, _mm256_set1_epi16(0x00FF)); }
  static V HighBytes(V v) { return _mm256_srli_epi16(v, 8); }

  static V Add(V a, V b) { return _mm256_add_epi16(a, b); }
  static V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V AddSaturate(V a, V b) { return _mm256_adds_epu16(a, b); }
  static V SubSaturate(V a, V b) { return _mm256_subs_epu16(a, b); }
  template <int n>
  static V ShiftLeft(V v) {
    return _mm256_slli_epi16(v, n);
  }
  template <int n>
  static V ShiftRight(V v) {
    return _mm256_srli_epi16(v, n);
  }
  static V Max(V a, V b) { return _mm256_max_epi16(a, b); }
  static V Min(V a, V b) { return _mm256_min_epi16(a, b); }
  static V MulLow(V a, V b) { return _mm256_mullo_epi16(a, b); }
  static V MulHighUnsigned(V a, V b) { return _mm256_mulhi_epu16(a, b); }
  static V And(V a, V b) { return _mm256_and_si256(a, b); }
  static V AndNot(V mask, V v) { return _mm256_andnot_si256(mask, v); }
  static V Or(V a, V b) { return _mm256_or_si256(a, b); }
  static V Greater(V a, V b) { return _mm256_cmpgt_epi16(a, b); }

  static V EvenPositions() {
    return _mm256_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  }

  static V Interleave(V even, V odd) {
    V packed = _mm256_packus_epi16(even, odd);
    return _mm256_unpacklo_epi8(packed, _mm256_unpackhi_epi64(packed, packed));
  }

  template <bool kStream>  // out 32-byte aligned
  static void StoreBgra(uint8_t* out, V b, V g, V r) {
    V ones = _mm256_set1_epi8(-1);
    V bgLow = _mm256_unpacklo_epi8(b, g), bgHigh = _mm256_unpackhi_epi8(b, g);
    V raLow = _mm256_unpacklo_epi8(r, ones), raHigh = _mm256_unpackhi_epi8(r, ones);
    V pixels0 = _mm256_unpacklo_epi16(bgLow, raLow);    // positions 0..3 | 16..19
    V pixels1 = _mm256_unpackhi_epi16(bgLow, raLow);    // 4..7 | 20..23
    V pixels2 = _mm256_unpacklo_epi16(bgHigh, raHigh);  // 8..11 | 24..27
    V pixels3 = _mm256_unpackhi_epi16(bgHigh, raHigh);  // 12..15 | 28..31
    Store<kStream>(out + 0, _mm256_permute2x128_si256(pixels0, pixels1, 0x20));
    Store<kStream>(out + 32, _mm256_permute2x128_si256(pixels2, pixels3, 0x20));
    Store<kStream>(out + 64, _mm256_permute2x128_si256(pixels0, pixels1, 0x31));
    Store<kStream>(out + 96, _mm256_permute2x128_si256(pixels2, pixels3, 0x31));
  }

  static V AddPairs32(V sums, V v) {
    return _mm256_add_epi32(sums, _mm256_madd_epi16(v, _mm256_set1_epi16(1)));
  }
  static uint64_t Total32(V sums) {
    uint32_t lanes[8];
    memcpy(lanes, &sums, sizeof(lanes));
    uint64_t total = 0;
    for (uint32_t lane : lanes) total += lane;
    return total;
  }

  static void StoreFence() { _mm_sfence(); }

 private:
  template <bool kStream>
  static void Store(uint8_t* p, V v) {
    if (kStream)
      _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v);
    else
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
  }
};

}  // namespace
