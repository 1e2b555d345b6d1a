// BLAKE2b-256 kernels specialised to the proof-of-work record.
//
// The 101-byte Initial is a single BLAKE2b block (zero-padded to 128 bytes),
// so nothing carries over from one counter to the next: each candidate is one
// compression. Only message word 8 (record bytes 64..71, the low 64 bits of
// the counter) changes between candidates, which leaves seven of round 0's
// eight G steps the same for every candidate: they are done once per record.
// Only the first digest word is ever needed, so the last round stops as soon
// as that word is known.
//
// The kernels search the low 64 bits of the counter and require its upper 24
// bytes to be zero: a 24-bit target is met below 2^64 with certainty in
// practice (the chance of missing it is about e^-(2^40)).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "proto/handshake.hpp"

namespace sotto::pow {

// What a record contributes to every candidate's compression.
// Plain arrays on purpose: the kernel files are built for other instruction
// sets and must not instantiate shared library templates, whose one merged
// copy could then carry those instructions onto a CPU without them.
struct Midstate {
  unsigned char record[kInitialSize];  // counter bytes zero
  std::uint64_t m[16];                 // message words, m[8] zero
  std::uint64_t v[16];        // work vector after round 0, bar its one counter step
  std::uint64_t diagonalSum;  // v[0] + v[5] going into that step
  std::uint64_t h0;           // first chaining word, to finish the digest
};

// Fills mid from a record whose counter is zero above its low 8 bytes;
// returns false (and leaves mid unspecified) for any other record.
bool prepare(const Initial& record, Midstate& mid);

// The bits of the digest's first 8 bytes (read as a little-endian word) that
// must be zero for zeroBits leading zero bits; counts above 64 give the first
// 64 bits only, a necessary condition.
std::uint64_t passMask(unsigned zeroBits);

// The digest's first 8 bytes as a little-endian word, for the record with
// counter value `counter`, computed the plain way through libsodium.
std::uint64_t referenceWord(const Midstate& mid, std::uint64_t counter);

inline constexpr unsigned kMaxLanes = 16;

struct Kernel {
  const char* name;
  unsigned lanes;
  // True when this CPU can run the kernel.
  bool (*supported)();
  // Writes the first digest word of counters first .. first+lanes-1, one per
  // lane, into out[0 .. lanes-1].
  void (*firstWords)(const Midstate& mid, std::uint64_t first, std::uint64_t* out);
  // Tests counters first .. first+count-1 in order (first + count must not
  // pass 2^64) and returns the offset of the first whose digest word has no
  // bit of mask set, or count when none has.
  std::uint64_t (*scan)(const Midstate& mid, std::uint64_t first, std::uint64_t count, std::uint64_t mask);
};

// libsodium's crypto_generichash, one candidate after another: what every
// other kernel must agree with, and the last resort of the dispatcher.
extern const Kernel sodiumKernel;
extern const Kernel scalarKernel;
#if defined(SOTTO_POW_X86_KERNELS)
extern const Kernel avx2Kernel;
extern const Kernel avx512Kernel;
namespace detail {
bool cpuHasAvx2();
bool cpuHasAvx512();
}  // namespace detail
#endif

// Every kernel built into this binary, fastest first.
std::span<const Kernel* const> allKernels();

// The fastest kernel that this CPU supports and that agrees with libsodium on
// a probe record; decided once per process.
const Kernel& bestKernel();

}  // namespace sotto::pow
