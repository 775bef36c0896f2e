// 128-bit integer vectors (SSE2) as seen by the demosaic kernels: eight 16-bit
// lanes, so one block of 16 sample positions is two vectors, the even columns
// and the odd columns.
//
// Everything here sits in an anonymous namespace on purpose: the AVX2 kernels
// include this header too (for the 16-position tail of a row), and that
// translation unit is compiled with AVX2 code generation. Internal linkage
// gives each translation unit its own copy, so the linker can never hand the
// SSE2 path a function compiled for AVX2.
#pragma once

#include <emmintrin.h>
#include <stdint.h>
#include <string.h>

namespace {

struct Sse2 {
  using V = __m128i;
  static constexpr uint32_t kPositions = 16;  // sample positions per block
  static constexpr uint32_t kLoadBytes = 16;

  static V Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
  static V Splat(int value) { return _mm_set1_epi16(static_cast<short>(value)); }
  static V Zero() { return _mm_setzero_si128(); }

  // A 16-byte load holds 16 consecutive samples; as 16-bit lanes, the low
  // byte of each lane is an even position and the high byte the odd one.
  static V LowBytes(V v) { return _mm_and_si128(v, _mm_set1_epi16(0x00FF)); }
  static V HighBytes(V v) { return _mm_srli_epi16(v, 8); }

  static V Add(V a, V b) { return _mm_add_epi16(a, b); }
  static V Sub(V a, V b) { return _mm_sub_epi16(a, b); }
  static V AddSaturate(V a, V b) { return _mm_adds_epu16(a, b); }
  static V SubSaturate(V a, V b) { return _mm_subs_epu16(a, b); }
  template <int n>
  static V ShiftLeft(V v) {
    return _mm_slli_epi16(v, n);
  }
  template <int n>
  static V ShiftRight(V v) {
    return _mm_srli_epi16(v, n);
  }
  static V Max(V a, V b) { return _mm_max_epi16(a, b); }
  static V Min(V a, V b) { return _mm_min_epi16(a, b); }
  static V MulLow(V a, V b) { return _mm_mullo_epi16(a, b); }
  static V MulHighUnsigned(V a, V b) { return _mm_mulhi_epu16(a, b); }
  static V And(V a, V b) { return _mm_and_si128(a, b); }
  static V AndNot(V mask, V v) { return _mm_andnot_si128(mask, v); }
  static V Or(V a, V b) { return _mm_or_si128(a, b); }
  static V Greater(V a, V b) { return _mm_cmpgt_epi16(a, b); }

  // Lane k holds the even position 2k and the odd position 2k + 1.
  static V EvenPositions() { return _mm_setr_epi16(0, 2, 4, 6, 8, 10, 12, 14); }

  // Clamps the even and odd lanes to 0..255 and interleaves them into 16
  // bytes in position order.
  static V Interleave(V even, V odd) {
    V packed = _mm_packus_epi16(even, odd);
    return _mm_unpacklo_epi8(packed, _mm_unpackhi_epi64(packed, packed));
  }

  // Writes the block as 16 pixels of blue, green, red, 255. kStream: out is
  // 16-byte aligned and the pixels go straight to memory, not into the cache
  // (the image is far larger than the cache and is not read back here).
  template <bool kStream>
  static void StoreBgra(uint8_t* out, V b, V g, V r) {
    V ones = _mm_set1_epi8(-1);
    V bgLow = _mm_unpacklo_epi8(b, g), bgHigh = _mm_unpackhi_epi8(b, g);
    V raLow = _mm_unpacklo_epi8(r, ones), raHigh = _mm_unpackhi_epi8(r, ones);
    Store<kStream>(out + 0, _mm_unpacklo_epi16(bgLow, raLow));
    Store<kStream>(out + 16, _mm_unpackhi_epi16(bgLow, raLow));
    Store<kStream>(out + 32, _mm_unpacklo_epi16(bgHigh, raHigh));
    Store<kStream>(out + 48, _mm_unpackhi_epi16(bgHigh, raHigh));
  }

  // Sums of 16-bit lanes kept in 32-bit lanes, for the white-balance totals.
  static V AddPairs32(V sums, V v) {
    return _mm_add_epi32(sums, _mm_madd_epi16(v, _mm_set1_epi16(1)));
  }
  static uint64_t Total32(V sums) {
    uint32_t lanes[4];
    memcpy(lanes, &sums, sizeof(lanes));
    return uint64_t{lanes[0]} + lanes[1] + lanes[2] + lanes[3];
  }

  // Orders streamed stores before whatever the caller does next.
  static void StoreFence() { _mm_sfence(); }

 private:
  template <bool kStream>
  static void Store(uint8_t* p, V v) {
    if (kStream)
      _mm_stream_si128(reinterpret_cast<__m128i*>(p), v);
    else
      _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
  }
};

}  // namespace
