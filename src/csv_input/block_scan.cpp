// The tokeniser's block masks, many blocks per call: with SSE2 everywhere,
// and with AVX2, which compares 32 bytes at a time, or AVX-512BW, which
// compares the whole block, where the processor has them. All must give the
// same masks; a unit test holds them to it.
#include <immintrin.h>

#include "common/cpu.hpp"
#include "csv_input/tokenizer.hpp"

namespace csv {

void scan_blocks_sse2(const uint8_t* data, size_t count, BlockMasks* out) noexcept {
  for (size_t i = 0; i < count; ++i) out[i] = scan_block(data + 64 * i);
}

// Compiled for AVX2 (and below, AVX-512BW) and only called after a runtime
// check; nothing else in the tokeniser is.
__attribute__((target("avx2"))) void scan_blocks_avx2(const uint8_t* data, size_t count,
                                                      BlockMasks* out) noexcept {
  const __m256i comma = _mm256_set1_epi8(static_cast<char>(kComma));
  const __m256i quote = _mm256_set1_epi8(static_cast<char>(kQuote));
  const __m256i cr = _mm256_set1_epi8(static_cast<char>(kCr));
  const __m256i lf = _mm256_set1_epi8(static_cast<char>(kLf));
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* block = data + 64 * i;
    BlockMasks masks{0, 0, 0, 0};
    for (int half = 0; half < 2; ++half) {
      const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block + 32 * half));
      const auto bits = [half](__m256i matches) __attribute__((target("avx2"))) {
        return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(matches))} << (32 * half);
      };
      masks.comma |= bits(_mm256_cmpeq_epi8(v, comma));
      masks.quote |= bits(_mm256_cmpeq_epi8(v, quote));
      masks.line_end |= bits(_mm256_or_si256(_mm256_cmpeq_epi8(v, cr), _mm256_cmpeq_epi8(v, lf)));
      masks.high |= bits(v);
    }
    out[i] = masks;
  }
}

__attribute__((target("avx512bw"))) void scan_blocks_avx512(const uint8_t* data, size_t count,
                                                          BlockMasks* out) noexcept {
  const __m512i comma = _mm512_set1_epi8(static_cast<char>(kComma));
  const __m512i quote = _mm512_set1_epi8(static_cast<char>(kQuote));
  const __m512i cr = _mm512_set1_epi8(static_cast<char>(kCr));
  const __m512i lf = _mm512_set1_epi8(static_cast<char>(kLf));
  for (size_t i = 0; i < count; ++i) {
    const __m512i v = _mm512_loadu_si512(data + 64 * i);
    out[i] = BlockMasks{_mm512_cmpeq_epi8_mask(v, comma), _mm512_cmpeq_epi8_mask(v, quote),
                        _mm512_cmpeq_epi8_mask(v, cr) | _mm512_cmpeq_epi8_mask(v, lf), _mm512_movepi8_mask(v)};
  }
}

ScanBlocks best_block_scanner() noexcept {
  if (common::cpu_has_avx512bw()) return scan_blocks_avx512;
  return common::cpu_has_avx2() ? scan_blocks_avx2 : scan_blocks_sse2;
}

}  // namespace csv
