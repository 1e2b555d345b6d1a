// The hash that the session and registry tables file identities by.
#include "server/key_hash.hpp"

#include <gtest/gtest.h>
#include <sodium.h>

#include <cstddef>
#include <set>

namespace {

using sotto::Key;

// Keys alike but for one byte, wherever it is, must spread over the
// buckets: a hash of the first bytes alone lets whoever makes keys that
// begin alike pile them into one bucket.
class KeyHashSpread : public testing::TestWithParam<std::size_t> {};

TEST_P(KeyHashSpread, KeysAlikeButForOneByteFallIntoManyBuckets) {
  ASSERT_GE(sodium_init(), 0);
  constexpr std::size_t kBuckets = 1024;
  Key key{};
  std::set<std::size_t> buckets;
  for (unsigned value = 0; value < 256; ++value) {
    key[GetParam()] = static_cast<unsigned char>(value);
    buckets.insert(sotto::KeyHash{}(key) % kBuckets);
  }
  // 256 keys into 1,024 buckets at random fill some 227 of them.
  EXPECT_GT(buckets.size(), 180u);
}

INSTANTIATE_TEST_SUITE_P(Bytes, KeyHashSpread, testing::Values(0, 7, 8, 16, 31));

}  // namespace
