// Eight candidates per 512-bit register, two registers at a time, with
// AVX-512's native 64-bit rotate.
#include <immintrin.h>

#include "client/pow/blake2b_pow_rounds.hpp"

namespace sotto::pow {

namespace {

struct Avx512Lanes {
  using V = __m512i;
  static constexpr unsigned lanes = 8;
  static V splat(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
  static V add(V a, V b) { return _mm512_add_epi64(a, b); }
  static V xor_(V a, V b) { return _mm512_xor_si512(a, b); }
  // The zero-masking form under an all-ones mask is the plain rotate; the
  // unmasked intrinsic reads an undefined vector that GCC 12 warns about.
  template <int N>
  static V rotr(V x) {
    return _mm512_maskz_ror_epi64(0xff, x, N);
  }
  static V iota() { return _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7); }
  static unsigned passing(V w, V mask) { return _mm512_testn_epi64_mask(w, mask); }
  static void store(std::uint64_t* out, V w) { _mm512_storeu_si512(out, w); }
};

}  // namespace

using Avx512Kernel = detail::Pair<Avx512Lanes>;
const Kernel avx512Kernel{"avx512", Avx512Kernel::lanes, &detail::cpuHasAvx512, &detail::firstWords<Avx512Kernel>,
                          &detail::scan<Avx512Kernel>};

}  // namespace sotto::pow
