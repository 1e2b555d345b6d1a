// The proof-of-work kernels against libsodium's BLAKE2b, lane by lane, and the
// parallel search against the literal loop at small targets, where passes are
// common and many threads race for the smallest.
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/pow.hpp"
#include "client/pow/blake2b_pow.hpp"
#include "tests/support/fixed_identity.hpp"
#include "tests/support/scratch.hpp"

namespace {

using sotto::pow::Kernel;

// A record with seeded key bytes. With a real tail it carries version 1 and
// the flag; otherwise bytes 96..100 are seeded too, so that no kernel can
// lean on them being constant.
Initial seededRecord(unsigned seed, bool realTail = true) {
  if (sodium_init() < 0) std::abort();
  unsigned char key[randombytes_SEEDBYTES] = {};
  std::memcpy(key, &seed, sizeof seed);
  unsigned char bytes[101];
  randombytes_buf_deterministic(bytes, sizeof bytes, key);
  Initial record;
  std::memcpy(record.bytes.data(), bytes, 64);
  if (realTail) {
    record.bytes[99] = 1;
    record.bytes[100] = 1;
  } else {
    std::memcpy(record.bytes.data() + 96, bytes + 96, 5);
  }
  return record;
}

void putCounter(Initial& record, std::uint64_t counter) {
  std::memset(record.powNonce(), 0, Initial::powNonceSize);
  scratch::putLe64(record.powNonce(), counter);
}

std::uint64_t counterOf(const Initial& record) {
  return scratch::le64(record.powNonce());
}

// Digest bytes 0..7 as a little-endian word, straight from libsodium.
std::uint64_t sodiumWord(Initial record, std::uint64_t counter) {
  putCounter(record, counter);
  unsigned char digest[32];
  crypto_generichash(digest, sizeof digest, record.bytes.data(), record.bytes.size(), nullptr, 0);
  return scratch::le64(digest);
}

bool hasLeadingZeroBits(std::uint64_t word, unsigned bits) {
  for (unsigned bit = 0; bit < bits; ++bit)
    if ((word >> (8 * (bit / 8) + 7 - bit % 8)) & 1) return false;
  return true;
}

sotto::pow::Midstate prepared(const Initial& record) {
  sotto::pow::Midstate mid;
  EXPECT_TRUE(sotto::pow::prepare(record, mid));
  return mid;
}

class KernelTest : public testing::TestWithParam<const Kernel*> {
 protected:
  void SetUp() override {
    if (!GetParam()->supported()) GTEST_SKIP() << "this CPU lacks " << GetParam()->name;
  }
  const Kernel& kernel() const { return *GetParam(); }
};

TEST_P(KernelTest, EveryLaneMatchesLibsodium) {
  // Runs that carry out of the counter's low byte, across 16 and 32 bits,
  // into byte 71 (its top byte) and up to the last value below 2^64.
  const std::uint64_t firsts[] = {0,           1,           0xfb,        0xfffe,
                                  0xfffffffd,  0x12345678,  0x00fffffffffffffbULL,
                                  0x7ffffffffffffffcULL, 0xfffffffffffffff0ULL};
  std::uint64_t words[sotto::pow::kMaxLanes];
  for (unsigned seed = 0; seed < 24; ++seed) {
    const Initial record = seededRecord(seed, seed % 3 != 0);
    const auto mid = prepared(record);
    for (std::uint64_t first : firsts) {
      kernel().firstWords(mid, first, words);
      for (unsigned lane = 0; lane < kernel().lanes; ++lane)
        ASSERT_EQ(words[lane], sodiumWord(record, first + lane))
            << kernel().name << " seed " << seed << " counter " << first + lane;
    }
  }
}

TEST_P(KernelTest, ScanStopsAtTheFirstPassInRange) {
  // Starts and lengths that are not multiples of the lane count, so a pass in
  // a lane past the end must not count.
  for (unsigned seed = 100; seed < 104; ++seed) {
    const Initial record = seededRecord(seed);
    const auto mid = prepared(record);
    for (std::uint64_t first : {0ULL, 3ULL, 0xfffffffffULL}) {
      std::vector<std::uint64_t> reference(700);
      for (std::size_t i = 0; i < reference.size(); ++i) reference[i] = sodiumWord(record, first + i);
      for (unsigned bits : {1u, 3u, 7u, 8u, 9u}) {
        for (std::uint64_t count : {1ULL, 2ULL, 13ULL, 700ULL}) {
          std::uint64_t expected = count;
          for (std::uint64_t i = 0; i < count && expected == count; ++i)
            if (hasLeadingZeroBits(reference[i], bits)) expected = i;
          EXPECT_EQ(kernel().scan(mid, first, count, sotto::pow::passMask(bits)), expected)
              << kernel().name << " seed " << seed << " first " << first << " bits " << bits << " count " << count;
        }
      }
    }
  }
}

TEST_P(KernelTest, FindsTheKnownSmallestNoncesAtTwentyFourBits) {
  for (const auto& id : {fixed::twoByteNonce(), fixed::threeByteNonce()}) {
    Initial initial = sotto::makeInitial(id.signPublicKey.data(), id.kxPublicKey.data(), true);
    sotto::SearchOptions options;
    options.kernel = &kernel();
    sotto::findSmallestNonce(initial, 24, options);
    EXPECT_EQ(counterOf(initial), id.smallestNonce) << kernel().name;
  }
}

TEST_P(KernelTest, SearchAgreesWithTheLiteralLoopOverManyRaces) {
  // Tiny blocks and more threads than cores: at a few bits several threads
  // hold a pass at once and only the smallest may win.
  struct Shape {
    unsigned threads;
    std::uint64_t blockSize;
  };
  for (const Shape shape : {Shape{0, 1 << 16}, Shape{8, 1}, Shape{6, 3}, Shape{4, 16}}) {
    for (unsigned bits = 0; bits <= 12; ++bits) {
      for (unsigned seed = 200; seed < 212; ++seed) {
        Initial literal = seededRecord(seed + bits * 100);
        Initial ours = literal;
        sotto::literalSearch(literal, bits);
        sotto::SearchOptions options;
        options.kernel = &kernel();
        options.threads = shape.threads;
        options.blockSize = shape.blockSize;
        sotto::findSmallestNonce(ours, bits, options);
        ASSERT_EQ(ours.bytes, literal.bytes) << kernel().name << " bits " << bits << " seed " << seed
                                             << " threads " << shape.threads << " block " << shape.blockSize;
      }
    }
  }
}

std::string kernelName(const testing::TestParamInfo<const Kernel*>& info) { return info.param->name; }

INSTANTIATE_TEST_SUITE_P(AllKernels, KernelTest, testing::ValuesIn(sotto::pow::allKernels()), kernelName);

TEST(KernelChoice, FollowsTheCpuFeatures) {
  const Kernel& chosen = sotto::pow::bestKernel();
  std::string expected = "scalar";
#if defined(SOTTO_POW_X86_KERNELS)
  if (__builtin_cpu_supports("avx512f"))
    expected = "avx512";
  else if (__builtin_cpu_supports("avx2"))
    expected = "avx2";
#endif
  EXPECT_EQ(chosen.name, expected);
  EXPECT_TRUE(chosen.supported());
}

TEST(Midstate, RefusesACounterAboveSixtyFourBits) {
  Initial record = seededRecord(7);
  sotto::pow::Midstate mid;
  EXPECT_TRUE(sotto::pow::prepare(record, mid));
  record.powNonce()[8] = 1;
  EXPECT_FALSE(sotto::pow::prepare(record, mid));
  record.powNonce()[8] = 0;
  record.powNonce()[31] = 0x80;
  EXPECT_FALSE(sotto::pow::prepare(record, mid));
}

// A test kernel built on the scalar one that holds a block back until an
// event of the race has happened, so that each race runs in a set order.
// Function pointers carry no state: the script and what was seen live here.
constexpr std::uint64_t kRaceBlock = 4;
enum class Script { smallestLast, largerLast };
std::mutex raceMutex;
std::condition_variable raceChanged;
Script script;
bool blockOneStarted = false;
std::vector<std::uint64_t> passReports;  // block of each pass, in the order found

std::uint64_t scriptedScan(const sotto::pow::Midstate& mid, std::uint64_t first, std::uint64_t count,
                           std::uint64_t mask) {
  const std::uint64_t block = first / kRaceBlock;
  {
    std::unique_lock lock(raceMutex);
    const auto reported = [](std::uint64_t b) {
      return std::find(passReports.begin(), passReports.end(), b) != passReports.end();
    };
    if (block == 1) {
      blockOneStarted = true;
      raceChanged.notify_all();
    }
    // The bound only turns a broken search into a failure instead of a hang.
    const auto bound = std::chrono::seconds(10);
    if (script == Script::smallestLast && block == 0)
      raceChanged.wait_for(lock, bound, [] { return !passReports.empty(); });
    if (script == Script::largerLast && block == 0)
      raceChanged.wait_for(lock, bound, [] { return blockOneStarted; });
    if (script == Script::largerLast && block == 1)
      raceChanged.wait_for(lock, bound, [&] { return reported(0); });
  }
  const std::uint64_t at = sotto::pow::scalarKernel.scan(mid, first, count, mask);
  if (at < count) {
    std::lock_guard lock(raceMutex);
    passReports.push_back(block);
    raceChanged.notify_all();
  }
  return at;
}

bool passesIn(Initial record, std::uint64_t from, std::uint64_t to, unsigned bits) {
  for (std::uint64_t c = from; c < to; ++c) {
    putCounter(record, c);
    if (sotto::proofPasses(record, bits)) return true;
  }
  return false;
}

// Runs the search on records whose answer lies in block 0 and that also pass
// in block 1, and hands the order the passes came in to check.
void raceOnRecords(Script order, const std::function<void(const std::vector<std::uint64_t>&)>& check) {
  const Kernel scripted{"scripted", 1, [] { return true; }, sotto::pow::scalarKernel.firstWords, &scriptedScan};
  constexpr unsigned bits = 2;
  script = order;
  unsigned raced = 0;
  for (unsigned seed = 300; seed < 400 && raced < 3; ++seed) {
    Initial literal = seededRecord(seed);
    sotto::literalSearch(literal, bits);
    if (counterOf(literal) >= kRaceBlock || !passesIn(literal, kRaceBlock, 2 * kRaceBlock, bits)) continue;
    ++raced;
    passReports.clear();
    blockOneStarted = false;
    Initial ours = seededRecord(seed);
    sotto::SearchOptions options;
    options.kernel = &scripted;
    options.threads = 4;
    options.blockSize = kRaceBlock;
    sotto::findSmallestNonce(ours, bits, options);
    EXPECT_EQ(counterOf(ours), counterOf(literal)) << "seed " << seed;
    check(passReports);
  }
  EXPECT_EQ(raced, 3u);
}

// Where block b's pass stands in the order of reports, or -1.
long reportIndex(const std::vector<std::uint64_t>& reports, std::uint64_t block) {
  const auto at = std::find(reports.begin(), reports.end(), block);
  return at == reports.end() ? -1 : at - reports.begin();
}

TEST(BlockSearch, ASmallerPassFoundLastStillWins) {
  raceOnRecords(Script::smallestLast, [](const std::vector<std::uint64_t>& reports) {
    EXPECT_GT(reportIndex(reports, 0), 0) << "a later block should have reported before block 0";
  });
}

TEST(BlockSearch, ALargerPassFoundLastDoesNotReplaceTheSmallest) {
  // Block 1 is claimed while block 0 is still being scanned, and reports its
  // pass after block 0 has reported the answer.
  raceOnRecords(Script::largerLast, [](const std::vector<std::uint64_t>& reports) {
    ASSERT_GE(reportIndex(reports, 0), 0);
    EXPECT_GT(reportIndex(reports, 1), reportIndex(reports, 0)) << "block 1 should have reported after block 0";
  });
}

// Claims a pass at every counter: the search must confirm before it believes.
std::uint64_t everythingPasses(const sotto::pow::Midstate&, std::uint64_t, std::uint64_t, std::uint64_t) {
  return 0;
}

TEST(BlockSearch, AKernelPassIsConfirmedBeforeItCounts) {
  const Kernel liar{"liar", 1, [] { return true; }, sotto::pow::scalarKernel.firstWords, &everythingPasses};
  for (unsigned bits : {1u, 5u, 10u}) {
    for (unsigned seed = 400; seed < 410; ++seed) {
      Initial literal = seededRecord(seed);
      Initial ours = literal;
      sotto::literalSearch(literal, bits);
      sotto::SearchOptions options;
      options.kernel = &liar;
      options.threads = 3;
      options.blockSize = 8;
      sotto::findSmallestNonce(ours, bits, options);
      EXPECT_EQ(ours.bytes, literal.bytes) << "bits " << bits << " seed " << seed;
    }
  }
}

TEST(BlockSearch, PastTheParallelLimitTheLiteralLoopCarriesOn) {
  for (std::uint64_t limit : {0ULL, 1ULL, 5ULL, 64ULL}) {
    for (unsigned seed = 500; seed < 510; ++seed) {
      Initial literal = seededRecord(seed);
      Initial ours = literal;
      sotto::literalSearch(literal, 8);
      sotto::SearchOptions options;
      options.threads = 2;
      options.blockSize = 4;
      options.parallelLimit = limit;
      sotto::findSmallestNonce(ours, 8, options);
      EXPECT_EQ(ours.bytes, literal.bytes) << "limit " << limit << " seed " << seed;
    }
  }
}

TEST(PassMask, LeadingBitsOfTheDigestAreTheHighBitsOfEachByte) {
  EXPECT_EQ(sotto::pow::passMask(0), 0u);
  EXPECT_EQ(sotto::pow::passMask(1), 0x80u);
  EXPECT_EQ(sotto::pow::passMask(8), 0xffu);
  EXPECT_EQ(sotto::pow::passMask(12), 0xf0ffu);
  EXPECT_EQ(sotto::pow::passMask(24), 0xffffffu);
  EXPECT_EQ(sotto::pow::passMask(63), 0xfeffffffffffffffULL);
  EXPECT_EQ(sotto::pow::passMask(64), ~0ULL);
  EXPECT_EQ(sotto::pow::passMask(200), ~0ULL);
}

}  // namespace
