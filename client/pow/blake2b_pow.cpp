// The midstate of a record, libsodium's reference kernel and the choice of
// kernel at run time.
#include "client/pow/blake2b_pow.hpp"

#include <sodium.h>

#include <cstring>

#include "client/pow/blake2b_pow_rounds.hpp"

namespace sotto::pow {

namespace {

constexpr std::size_t kCounterOffset = Initial::powNonceOffset;
constexpr std::size_t kSearchedBytes = 8;
constexpr std::size_t kBlockBytes = 128;
// Parameter block word 0 for an unkeyed 32-byte digest: digest length 32,
// key length 0, fanout 1, depth 1.
constexpr std::uint64_t kParam0 = 0x01010020;

std::uint64_t loadLe(const unsigned char* p, std::size_t n) {
  std::uint64_t w = 0;
  for (std::size_t i = n; i-- > 0;) w = w << 8 | p[i];
  return w;
}

void storeLe(unsigned char* p, std::uint64_t w, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i, w >>= 8) p[i] = static_cast<unsigned char>(w);
}

void sodiumFirstWords(const Midstate& mid, std::uint64_t first, std::uint64_t* out) {
  *out = referenceWord(mid, first);
}

// The literal loop's body: hash the whole record, step the 32-byte counter.
std::uint64_t sodiumScan(const Midstate& mid, std::uint64_t first, std::uint64_t count, std::uint64_t mask) {
  unsigned char record[kInitialSize];
  std::memcpy(record, mid.record, sizeof record);
  storeLe(record + kCounterOffset, first, kSearchedBytes);
  unsigned char digest[32];
  for (std::uint64_t i = 0; i < count; ++i) {
    crypto_generichash(digest, sizeof digest, record, sizeof record, nullptr, 0);
    if ((loadLe(digest, 8) & mask) == 0) return i;
    sodium_increment(record + kCounterOffset, Initial::powNonceSize);
  }
  return count;
}

bool always() { return true; }

// Compares a kernel with libsodium on a probe record, at counters that carry
// across byte boundaries, before it is trusted with a search.
bool agreesWithSodium(const Kernel& kernel) {
  Initial probe;
  for (std::size_t i = 0; i < kCounterOffset; ++i) probe.bytes[i] = static_cast<unsigned char>(i * 151 + 7);
  probe.bytes[Initial::versionOffset + 3] = 1;
  probe.bytes[Initial::isNewIdentityOffset] = 1;
  Midstate mid;
  if (!prepare(probe, mid)) return false;
  std::uint64_t words[kMaxLanes];
  for (std::uint64_t first : {0ULL, 0xfdULL, 0xfffffffeULL, 0xfffffffffffffff0ULL}) {
    kernel.firstWords(mid, first, words);
    for (unsigned lane = 0; lane < kernel.lanes; ++lane)
      if (words[lane] != referenceWord(mid, first + lane)) return false;
  }
  return true;
}

}  // namespace

namespace detail {
#if defined(SOTTO_POW_X86_KERNELS)
bool cpuHasAvx2() { return __builtin_cpu_supports("avx2"); }
bool cpuHasAvx512() { return __builtin_cpu_supports("avx512f"); }
#endif
}  // namespace detail

const Kernel sodiumKernel{"libsodium", 1, &always, &sodiumFirstWords, &sodiumScan};
// One candidate at a time: the four G steps of each half round already keep
// the integer units busy, and a second chain measured no faster.
const Kernel scalarKernel{"scalar", 1, &always, &detail::firstWords<detail::ScalarLanes>,
                          &detail::scan<detail::ScalarLanes>};

bool prepare(const Initial& record, Midstate& mid) {
  for (std::size_t i = kCounterOffset + kSearchedBytes; i < kCounterOffset + Initial::powNonceSize; ++i)
    if (record.bytes[i] != 0) return false;
  std::memcpy(mid.record, record.bytes.data(), kInitialSize);
  std::memset(mid.record + kCounterOffset, 0, kSearchedBytes);

  unsigned char block[kBlockBytes] = {};
  std::memcpy(block, mid.record, kInitialSize);
  for (int i = 0; i < 16; ++i) mid.m[i] = loadLe(block + 8 * i, 8);

  for (int i = 0; i < 8; ++i) mid.v[i] = mid.v[i + 8] = detail::kIv[i];
  mid.v[0] ^= kParam0;
  mid.h0 = mid.v[0];
  mid.v[12] ^= kInitialSize;  // bytes hashed so far; the high counter word stays zero
  mid.v[14] = ~mid.v[14];     // the only block is the last
  detail::roundZeroWithoutCounter<detail::ScalarLanes>(mid.v, mid.m);
  mid.diagonalSum = mid.v[0] + mid.v[5];
  return true;
}

std::uint64_t passMask(unsigned zeroBits) {
  if (zeroBits >= 64) return ~0ULL;
  // Digest byte k is bits 8k..8k+7 of the word; a byte's leading bits are its
  // high bits.
  const unsigned whole = zeroBits / 8, partial = zeroBits % 8;
  std::uint64_t mask = whole == 0 ? 0 : (~0ULL >> (64 - 8 * whole));
  if (partial != 0) mask |= std::uint64_t{(0xff00u >> partial) & 0xffu} << (8 * whole);
  return mask;
}

std::uint64_t referenceWord(const Midstate& mid, std::uint64_t counter) {
  unsigned char record[kInitialSize];
  std::memcpy(record, mid.record, sizeof record);
  storeLe(record + kCounterOffset, counter, kSearchedBytes);
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, record, sizeof record, nullptr, 0);
  return loadLe(digest, 8);
}

std::span<const Kernel* const> allKernels() {
  static const Kernel* const kernels[] = {
#if defined(SOTTO_POW_X86_KERNELS)
      &avx512Kernel, &avx2Kernel,
#endif
      &scalarKernel, &sodiumKernel};
  return kernels;
}

const Kernel& bestKernel() {
  static const Kernel& chosen = []() -> const Kernel& {
    if (sodium_init() < 0) return sodiumKernel;
    for (const Kernel* kernel : allKernels())
      if (kernel->supported() && agreesWithSodium(*kernel)) return *kernel;
    return sodiumKernel;
  }();
  return chosen;
}

}  // namespace sotto::pow
