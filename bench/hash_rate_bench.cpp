// Hashes per second of each proof-of-work kernel on one thread, against
// libsodium's crypto_generichash plus sodium_increment (the literal loop).
#include <string>

#include "bench/areas.hpp"
#include "bench/records.hpp"
#include "bench/table.hpp"
#include "client/pow/blake2b_pow.hpp"

namespace bench {

namespace {

constexpr const char* kSodium = "hash-rate/libsodium";

void hashRate(benchmark::State& state, const sotto::pow::Kernel& kernel) {
  sotto::pow::Midstate mid;
  if (!sotto::pow::prepare(miningRecords().front(), mid)) {
    state.SkipWithError("record refused");
    return;
  }
  const std::uint64_t mask = sotto::pow::passMask(24);
  constexpr std::uint64_t chunk = 1 << 14;
  std::uint64_t next = 0;
  for (auto _ : state) {
    // A pass ends a scan early; count only what was hashed.
    const std::uint64_t at = kernel.scan(mid, next, chunk, mask);
    next += at < chunk ? at + 1 : chunk;
  }
  state.counters[kFigure] = benchmark::Counter(static_cast<double>(next), benchmark::Counter::kIsRate);
}

}  // namespace

void registerHashRates() {
  add({kSodium, "hashes per second, one thread: libsodium (literal loop)", "hash/s", Better::higher, ""},
      [](benchmark::State& state) { hashRate(state, sotto::pow::sodiumKernel); });
  for (const sotto::pow::Kernel* kernel : sotto::pow::allKernels()) {
    if (kernel == &sotto::pow::sodiumKernel || !kernel->supported()) continue;
    add({std::string("hash-rate/") + kernel->name,
         std::string("hashes per second, one thread: ") + kernel->name + " kernel", "hash/s", Better::higher,
         kSodium},
        [kernel](benchmark::State& state) { hashRate(state, *kernel); });
  }
}

}  // namespace bench
