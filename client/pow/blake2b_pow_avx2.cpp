// Four candidates per 256-bit register, two registers at a time. AVX2 has no
// 64-bit rotate: rotations by whole bytes are byte shuffles, by 63 a shift
// plus a doubling.
#include <immintrin.h>

#include "client/pow/blake2b_pow_rounds.hpp"

namespace sotto::pow {

namespace {

struct Avx2Lanes {
  using V = __m256i;
  static constexpr unsigned lanes = 4;
  static V splat(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }
  static V add(V a, V b) { return _mm256_add_epi64(a, b); }
  static V xor_(V a, V b) { return _mm256_xor_si256(a, b); }
  template <int N>
  static V rotr(V x) {
    if constexpr (N == 32) {
      return _mm256_shuffle_epi32(x, 0xb1);
    } else if constexpr (N == 24) {
      // Result byte i of each word is source byte (i + 3) mod 8.
      const V bytes = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4, 5, 6, 7, 0, 1, 2,
                                       11, 12, 13, 14, 15, 8, 9, 10);
      return _mm256_shuffle_epi8(x, bytes);
    } else if constexpr (N == 16) {
      const V bytes = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3, 4, 5, 6, 7, 0, 1,
                                       10, 11, 12, 13, 14, 15, 8, 9);
      return _mm256_shuffle_epi8(x, bytes);
    } else if constexpr (N == 63) {
      return _mm256_or_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x));
    } else {
      return _mm256_or_si256(_mm256_srli_epi64(x, N), _mm256_slli_epi64(x, 64 - N));
    }
  }
  static V iota() { return _mm256_setr_epi64x(0, 1, 2, 3); }
  static unsigned passing(V w, V mask) {
    const V clear = _mm256_cmpeq_epi64(_mm256_and_si256(w, mask), _mm256_setzero_si256());
    return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(clear)));
  }
  static void store(std::uint64_t* out, V w) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), w); }
};

}  // namespace

using Avx2Kernel = detail::Pair<Avx2Lanes>;
const Kernel avx2Kernel{"avx2", Avx2Kernel::lanes, &detail::cpuHasAvx2, &detail::firstWords<Avx2Kernel>,
                        &detail::scan<Avx2Kernel>};

}  // namespace sotto::pow
