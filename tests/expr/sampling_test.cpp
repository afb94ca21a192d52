// The sampling generator and the sampling functions over whole passes of records.
#include <cstdint>
#include <vector>

#include "expr/sampling_random.h"
#include "expr/where.h"
#include "expr_env_fixture.h"

using namespace tabulon;
using tabulon::test::ExprEnv;

TEST(SamplingRandom, SchrageStepEqualsTheDirectProduct) {
  sampling_seed(12345);
  // The seeded state after 16 steps, recomputed with 64-bit products.
  int64_t s = 12345;
  for (int i = 0; i < 16; ++i) s = s * 41358 % 2147483647;
  for (int i = 0; i < 1000; ++i) {
    s = s * 41358 % 2147483647;
    ASSERT_EQ(sampling_next(), s);
  }
  // Largest state: the step must not overflow.
  sampling_seed(1);
  for (int i = 0; i < 100000; ++i) {
    double r = sampling_rand();
    ASSERT_GT(r, 0.0);
    ASSERT_LT(r, 1.0);
  }
}

TEST(SamplingRandom, SameSeedSameSequenceAndClockSeeds) {
  sampling_seed(77);
  std::vector<int32_t> first;
  for (int i = 0; i < 5; ++i) first.push_back(sampling_next());
  sampling_seed(77);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(sampling_next(), first[i]);
  // 0, negatives and the modulus mean "from the clock": still a valid state.
  for (int32_t seed : {0, -5, 2147483647}) {
    sampling_seed(seed);
    int32_t v = sampling_next();
    EXPECT_GE(v, 1);
    EXPECT_LT(v, 2147483647);
  }
  for (int i = 0; i < 1000; ++i) {
    int32_t k = sampling_rand_int(7);
    ASSERT_GE(k, 0);
    ASSERT_LT(k, 7);
  }
}

namespace {

class Sampling : public ExprEnv {
 protected:
  void SetUp() override {
    ExprEnv::SetUp();
    add("id", T_LONG);
    layout();
    sampling_set_seed_option(4242);
  }
  void TearDown() override {
    sampling_set_seed_option(0);
    ExprEnv::TearDown();
  }
  // Row numbers (1-based) the WHERE condition accepts over n records.
  std::vector<int> pass(int n) {
    where_begin_pass(*env);
    std::vector<int> rows;
    for (int i = 1; i <= n; ++i) {
      set("id", i);
      env->transfer.cases_read = i;
      if (where_accepts(*env)) rows.push_back(i);
    }
    return rows;
  }
};

}  // namespace

TEST_F(Sampling, FixedSampleSelectsExactlyN) {
  for (auto [n, total] : {std::pair{10, 100}, {0, 50}, {50, 50}, {1, 1000}}) {
    ASSERT_EQ(DX_ParseWhere(h, ("samp_fixed(" + std::to_string(n) + ", " + std::to_string(total) + ") = 1").c_str(), 1), 0);
    EXPECT_EQ(pass(total).size(), static_cast<size_t>(n)) << n << " of " << total;
  }
  // Two passes (the optimization pass, then the transfer) draw the same cases.
  ASSERT_EQ(DX_ParseWhere(h, "WHERE samp_fixed(10, 100) = 1", 1), 0);
  EXPECT_TRUE(env->expr.uses_random);
  std::vector<int> a = pass(100), b = pass(100);
  EXPECT_EQ(a, b);
  // Another seed gives another sample of the same size.
  sampling_set_seed_option(99);
  ASSERT_EQ(DX_ParseWhere(h, "samp_fixed(10, 100) = 1", 1), 0);
  std::vector<int> c = pass(100);
  EXPECT_EQ(c.size(), 10u);
  EXPECT_NE(a, c);
}

TEST_F(Sampling, SystematicSampleTakesEveryKth) {
  ASSERT_EQ(DX_ParseWhere(h, "samp_syst(5) = 1", 1), 0);
  std::vector<int> rows = pass(100);
  ASSERT_EQ(rows.size(), 20u);
  EXPECT_LE(rows[0], 5);
  for (size_t i = 1; i < rows.size(); ++i) EXPECT_EQ(rows[i] - rows[i - 1], 5);
}

TEST_F(Sampling, RandomProportionIsRoughlyP) {
  ASSERT_EQ(DX_ParseWhere(h, "samp_rand(0.25) = 1 & rand() < 2", 1), 0);
  size_t taken = pass(20000).size();
  EXPECT_GT(taken, 4600u);
  EXPECT_LT(taken, 5400u);
  ASSERT_EQ(DX_ParseWhere(h, "_rownum <= 3 | id = 10", 1), 0);
  EXPECT_EQ(pass(20), (std::vector<int>{1, 2, 3, 10}));
}
