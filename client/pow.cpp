#include "client/pow.hpp"

#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <limits>
#include <thread>
#include <vector>

#include "client/pow/blake2b_pow.hpp"

namespace sotto {

namespace {

void setCounter(Initial& initial, std::uint64_t counter) {
  for (std::size_t i = 0; i < 8; ++i, counter >>= 8) initial.powNonce()[i] = static_cast<unsigned char>(counter);
}

// Threads claim blocks of counters in increasing order and scan each block in
// order; the smallest confirmed pass is kept. A block that starts at or above
// the best pass so far cannot hold a smaller one, so a thread that claims
// such a block stops, and every counter below the final answer has been
// tested by the time all threads are done.
class BlockSearch {
 public:
  static constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();

  BlockSearch(const Initial& record, unsigned zeroBits, const pow::Kernel& kernel, const SearchOptions& options)
      : record_(record),
        zeroBits_(zeroBits),
        mask_(pow::passMask(zeroBits)),
        kernel_(kernel),
        blockSize_(std::max<std::uint64_t>(options.blockSize, 1)),
        limit_(options.parallelLimit),
        blocks_(limit_ == 0 ? 0 : (limit_ - 1) / blockSize_ + 1) {
    pow::prepare(record_, mid_);  // cannot fail: the counter is all zero
  }

  void work() {
    for (;;) {
      const std::uint64_t block = nextBlock_.fetch_add(1, std::memory_order_relaxed);
      if (block >= blocks_) return;
      std::uint64_t start = block * blockSize_;
      if (start >= best_.load(std::memory_order_relaxed)) return;
      const std::uint64_t end = start + std::min(blockSize_, limit_ - start);
      while (start < end) {
        const std::uint64_t at = start + kernel_.scan(mid_, start, end - start, mask_);
        if (at == end) break;
        // The kernel tests the first 64 digest bits; libsodium has the last
        // word on every pass, which is rare and so costs nothing.
        if (confirmed(at)) {
          lowerBest(at);
          return;
        }
        start = at + 1;
      }
    }
  }

  // Read only after every worker has been joined.
  std::uint64_t best() const { return best_.load(std::memory_order_relaxed); }

 private:
  bool confirmed(std::uint64_t counter) const {
    Initial candidate = record_;
    setCounter(candidate, counter);
    return proofPasses(candidate, zeroBits_);
  }

  void lowerBest(std::uint64_t counter) {
    std::uint64_t current = best_.load(std::memory_order_relaxed);
    while (counter < current && !best_.compare_exchange_weak(current, counter, std::memory_order_relaxed)) {
    }
  }

  const Initial record_;
  const unsigned zeroBits_;
  const std::uint64_t mask_;
  const pow::Kernel& kernel_;
  const std::uint64_t blockSize_;
  const std::uint64_t limit_;
  const std::uint64_t blocks_;
  pow::Midstate mid_;
  std::atomic<std::uint64_t> nextBlock_{0};
  std::atomic<std::uint64_t> best_{kNone};
};

}  // namespace

void literalSearch(Initial& initial, unsigned zeroBits) {
  sodium_memzero(initial.powNonce(), Initial::powNonceSize);
  while (!proofPasses(initial, zeroBits)) sodium_increment(initial.powNonce(), Initial::powNonceSize);
}

void findSmallestNonce(Initial& initial, unsigned zeroBits, const SearchOptions& options) {
  sodium_memzero(initial.powNonce(), Initial::powNonceSize);
  const pow::Kernel& kernel = options.kernel != nullptr ? *options.kernel : pow::bestKernel();
  BlockSearch search(initial, zeroBits, kernel, options);

  const unsigned threads =
      options.threads != 0 ? options.threads : std::max(1u, std::thread::hardware_concurrency());
  std::vector<std::thread> helpers;
  try {
    helpers.reserve(threads - 1);
    for (unsigned i = 1; i < threads; ++i) helpers.emplace_back([&search] { search.work(); });
  } catch (const std::exception&) {
    // Fewer threads only make it slower; this one always takes part.
  }
  search.work();
  for (std::thread& helper : helpers) helper.join();

  if (search.best() != BlockSearch::kNone) {
    setCounter(initial, search.best());
    return;
  }
  // Nothing passed below the limit (never seen at real targets): go on from
  // there one candidate at a time, as the literal loop would.
  setCounter(initial, options.parallelLimit);
  while (!proofPasses(initial, zeroBits)) sodium_increment(initial.powNonce(), Initial::powNonceSize);
}

}  // namespace sotto
