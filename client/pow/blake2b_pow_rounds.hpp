// The BLAKE2b compression (RFC 7693) of one proof-of-work candidate, written
// once over a lane type and compiled once per instruction set. Only the
// kernel files and the midstate builder include this.
//
// A lane type L provides: V (one 64-bit word per lane), lanes, splat, add,
// xor_, rotr<n>, iota (0, 1, .. lanes-1), passing (bit i set when lane i of
// w & mask is zero) and store. Everything here is a template over L, and each
// L lives in its file's anonymous namespace, so no instantiation is shared
// between files built for different instruction sets.
#pragma once

#include <cstdint>
#include <utility>

#include "client/pow/blake2b_pow.hpp"

namespace sotto::pow::detail {

inline constexpr std::uint64_t kIv[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

inline constexpr unsigned char kSigma[10][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
    {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4},
    {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13},
    {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11},
    {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5},
    {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
};

inline constexpr int kRounds = 12;
inline constexpr int kCounterWord = 8;

// Words 9..11 are the counter's upper bytes (zero for every record a kernel
// takes) and 13..15 are padding; adding them would add nothing.
inline constexpr bool kZeroWord[16] = {false, false, false, false, false, false, false, false,
                                       false, true,  true,  true,  false, true,  true,  true};

namespace {
// One candidate at a time in general-purpose registers. Here rather than in a
// kernel file because the midstate builder runs round 0 with it too.
struct ScalarLanes {
  using V = std::uint64_t;
  static constexpr unsigned lanes = 1;
  static V splat(std::uint64_t x) { return x; }
  static V add(V a, V b) { return a + b; }
  static V xor_(V a, V b) { return a ^ b; }
  template <int N>
  static V rotr(V x) {
    return (x >> N) | (x << (64 - N));
  }
  static V iota() { return 0; }
  static unsigned passing(V w, V mask) { return (w & mask) == 0 ? 1u : 0u; }
  static void store(std::uint64_t* out, V w) { *out = w; }
};
}  // namespace

// Two registers' worth of candidates side by side. A G step is a chain of
// dependent operations, and one chain per register leaves the vector units
// idle between its steps: a second, independent chain fills them (about 1.4x
// measured with AVX2 and AVX-512; four chains spill registers and lose).
template <class L>
struct Pair {
  struct V {
    typename L::V lo, hi;
  };
  static constexpr unsigned lanes = 2 * L::lanes;
  static V splat(std::uint64_t x) { return {L::splat(x), L::splat(x)}; }
  static V add(V a, V b) { return {L::add(a.lo, b.lo), L::add(a.hi, b.hi)}; }
  static V xor_(V a, V b) { return {L::xor_(a.lo, b.lo), L::xor_(a.hi, b.hi)}; }
  template <int N>
  static V rotr(V x) {
    return {L::template rotr<N>(x.lo), L::template rotr<N>(x.hi)};
  }
  static V iota() { return {L::iota(), L::add(L::iota(), L::splat(L::lanes))}; }
  static unsigned passing(V w, V mask) {
    return L::passing(w.lo, mask.lo) | L::passing(w.hi, mask.hi) << L::lanes;
  }
  static void store(std::uint64_t* out, V w) {
    L::store(out, w.lo);
    L::store(out + L::lanes, w.hi);
  }
};

// How much of a G step the caller needs: the last round only wants v[0] and v[8].
enum class Upto { all, a, c };

template <class L, int W>
[[gnu::always_inline]] inline typename L::V addWord(typename L::V a, const typename L::V* m,
                                                    typename L::V counter) {
  if constexpr (W == kCounterWord) return L::add(a, counter);
  else if constexpr (kZeroWord[W]) return a;
  else return L::add(a, m[W]);
}

// G from the point where a already holds a + b + x.
template <class L, int Y, Upto upto = Upto::all>
[[gnu::always_inline]] inline void gRest(typename L::V& a, typename L::V& b, typename L::V& c, typename L::V& d,
                                         const typename L::V* m, typename L::V counter) {
  d = L::template rotr<32>(L::xor_(d, a));
  c = L::add(c, d);
  b = L::template rotr<24>(L::xor_(b, c));
  a = addWord<L, Y>(L::add(a, b), m, counter);
  if constexpr (upto == Upto::a) return;
  d = L::template rotr<16>(L::xor_(d, a));
  c = L::add(c, d);
  if constexpr (upto == Upto::c) return;
  b = L::template rotr<63>(L::xor_(b, c));
}

template <class L, int R, int Step, Upto upto = Upto::all>
[[gnu::always_inline]] inline void g(typename L::V& a, typename L::V& b, typename L::V& c, typename L::V& d,
                                     const typename L::V* m, typename L::V counter) {
  constexpr int x = kSigma[R % 10][2 * Step];
  constexpr int y = kSigma[R % 10][2 * Step + 1];
  a = addWord<L, x>(L::add(a, b), m, counter);
  gRest<L, y, upto>(a, b, c, d, m, counter);
}

template <class L, int R>
[[gnu::always_inline]] inline void columns(typename L::V* v, const typename L::V* m, typename L::V counter) {
  g<L, R, 0>(v[0], v[4], v[8], v[12], m, counter);
  g<L, R, 1>(v[1], v[5], v[9], v[13], m, counter);
  g<L, R, 2>(v[2], v[6], v[10], v[14], m, counter);
  g<L, R, 3>(v[3], v[7], v[11], v[15], m, counter);
}

template <class L, int R>
[[gnu::always_inline]] inline void fullRound(typename L::V* v, const typename L::V* m, typename L::V counter) {
  columns<L, R>(v, m, counter);
  g<L, R, 4>(v[0], v[5], v[10], v[15], m, counter);
  g<L, R, 5>(v[1], v[6], v[11], v[12], m, counter);
  g<L, R, 6>(v[2], v[7], v[8], v[13], m, counter);
  g<L, R, 7>(v[3], v[4], v[9], v[14], m, counter);
}

// Round 0 less its first diagonal step, the only one of its steps that reads
// the counter word. That step's first sum v[0] + v[5] is left to the caller.
template <class L>
void roundZeroWithoutCounter(typename L::V* v, const typename L::V* m) {
  const typename L::V unused = L::splat(0);
  columns<L, 0>(v, m, unused);
  g<L, 0, 5>(v[1], v[6], v[11], v[12], m, unused);
  g<L, 0, 6>(v[2], v[7], v[8], v[13], m, unused);
  g<L, 0, 7>(v[3], v[4], v[9], v[14], m, unused);
}

// A midstate spread across the lanes.
template <class L>
struct Prepared {
  using V = typename L::V;
  V m[16];
  V v[16];
  V diagonalSum;
  V h0;

  explicit Prepared(const Midstate& mid) {
    for (int i = 0; i < 16; ++i) m[i] = L::splat(mid.m[i]);
    for (int i = 0; i < 16; ++i) v[i] = L::splat(mid.v[i]);
    diagonalSum = L::splat(mid.diagonalSum);
    h0 = L::splat(mid.h0);
  }
};

template <class L, int... R>
[[gnu::always_inline]] inline void middleRounds(typename L::V* v, const typename L::V* m, typename L::V counter,
                                                std::integer_sequence<int, R...>) {
  (fullRound<L, R + 1>(v, m, counter), ...);
}

// The first digest word of each lane's candidate.
template <class L>
[[gnu::always_inline]] inline typename L::V firstWord(const Prepared<L>& p, typename L::V counter) {
  using V = typename L::V;
  V v[16];
  for (int i = 0; i < 16; ++i) v[i] = p.v[i];
  // Round 0's counter step; its second word (9) is zero.
  v[0] = L::add(p.diagonalSum, counter);
  gRest<L, 9>(v[0], v[5], v[10], v[15], p.m, counter);
  middleRounds<L>(v, p.m, counter, std::make_integer_sequence<int, kRounds - 2>{});
  // The last round: only v[0] and v[8] reach the first output word.
  constexpr int last = kRounds - 1;
  columns<L, last>(v, p.m, counter);
  g<L, last, 4, Upto::a>(v[0], v[5], v[10], v[15], p.m, counter);
  g<L, last, 6, Upto::c>(v[2], v[7], v[8], v[13], p.m, counter);
  return L::xor_(L::xor_(p.h0, v[0]), v[8]);
}

template <class L>
void firstWords(const Midstate& mid, std::uint64_t first, std::uint64_t* out) {
  const Prepared<L> p(mid);
  L::store(out, firstWord(p, L::add(L::splat(first), L::iota())));
}

template <class L>
std::uint64_t scan(const Midstate& mid, std::uint64_t first, std::uint64_t count, std::uint64_t mask) {
  using V = typename L::V;
  const Prepared<L> p(mid);
  const V want = L::splat(mask);
  const V step = L::splat(L::lanes);
  V counter = L::add(L::splat(first), L::iota());
  for (std::uint64_t i = 0; i < count; i += L::lanes) {
    const unsigned hits = L::passing(firstWord(p, counter), want);
    if (hits != 0) {
      // Lanes come in counter order, so the lowest set bit is the first pass;
      // lanes past count belong to the next call.
      const std::uint64_t at = i + static_cast<unsigned>(__builtin_ctz(hits));
      return at < count ? at : count;
    }
    counter = L::add(counter, step);
  }
  return count;
}

}  // namespace sotto::pow::detail
