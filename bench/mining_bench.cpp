// Mining a new identity at the real 24-bit target: the literal loop against
// the parallel search, over the same 16 fixed records in the same run. The
// figure is the mean time per record.
#include <string>
#include <vector>

#include "bench/areas.hpp"
#include "bench/records.hpp"
#include "bench/table.hpp"
#include "client/pow.hpp"
#include "client/pow/blake2b_pow.hpp"
#include "tests/support/scratch.hpp"

namespace bench {

namespace {

constexpr const char* kLiteral = "mining/literal";

// The literal loop's answers, once it has run, to check every other search.
std::vector<Initial>& literalAnswers() {
  static std::vector<Initial> answers;
  return answers;
}

// The figure, and beside it how much work the records hold: the mean
// smallest nonce is the mean number of hashes the literal loop makes.
void setFigures(benchmark::State& state, const std::vector<Initial>& mined) {
  state.counters[kFigure] = benchmark::Counter(
      kMiningRecords, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  double sum = 0;
  for (const Initial& record : mined) {
    sum += static_cast<double>(scratch::le64(record.powNonce()));
  }
  state.counters["mean_nonce"] = sum / static_cast<double>(mined.size());
}

void mineLiterally(benchmark::State& state) {
  const std::vector<Initial> records = miningRecords();
  std::vector<Initial> mined = records;
  for (auto _ : state)
    for (std::size_t i = 0; i < records.size(); ++i) {
      mined[i] = records[i];
      sotto::literalSearch(mined[i]);
    }
  literalAnswers() = mined;
  setFigures(state, mined);
}

void mineInParallel(benchmark::State& state, const sotto::SearchOptions& options) {
  const std::vector<Initial> records = miningRecords();
  std::vector<Initial> mined = records;
  for (auto _ : state)
    for (std::size_t i = 0; i < records.size(); ++i) {
      mined[i] = records[i];
      sotto::findSmallestNonce(mined[i], sotto::kProofOfWorkBits, options);
    }
  const std::vector<Initial>& expected = literalAnswers();
  for (std::size_t i = 0; i < expected.size(); ++i)
    if (expected[i].bytes != mined[i].bytes) {
      state.SkipWithError(("record " + std::to_string(i + 1) + " differs from the literal loop").c_str());
      return;
    }
  setFigures(state, mined);
}

}  // namespace

void registerMining() {
  const int records = kMiningRecords;
  add({kLiteral, "mining, 24 bits, mean of " + std::to_string(records) + " records: literal loop", "s",
       Better::lower, ""},
      mineLiterally)
      ->Iterations(1);
  add({"mining/ours", std::string("mining, same records: our search (") + sotto::pow::bestKernel().name +
                          ", all threads)",
       "s", Better::lower, kLiteral},
      [](benchmark::State& state) { mineInParallel(state, {}); })
      ->Iterations(2);
  // The same search held to a narrower kernel, as on CPUs without the wider one.
  for (const sotto::pow::Kernel* kernel : sotto::pow::allKernels()) {
    if (kernel == &sotto::pow::bestKernel() || kernel == &sotto::pow::sodiumKernel || !kernel->supported())
      continue;
    sotto::SearchOptions options;
    options.kernel = kernel;
    add({std::string("mining/ours-") + kernel->name,
         std::string("mining, same records: our search held to ") + kernel->name, "s", Better::lower, kLiteral},
        [options](benchmark::State& state) { mineInParallel(state, options); })
        ->Iterations(1);
  }
}

}  // namespace bench
