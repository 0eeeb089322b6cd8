// Maximum spanning trees against networkx's maximum spanning arborescence,
// the single-root decode against brute-force enumeration, and their edge
// cases.

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include <gtest/gtest.h>

#include <velmora/errors.hpp>

#include "depparse/tree_decoding.hpp"
#include "test_support.hpp"

namespace velmora {
namespace {

using detail::ScoreMatrix;
using Heads = std::vector<std::int64_t>;

constexpr double kInf = std::numeric_limits<double>::infinity();

std::string decode_error(const std::function<void()>& run) {
  try {
    run();
  } catch (const DepparseModelError& error) {
    return error.what();
  }
  return "no error";
}

TEST(TreeDecoding, MaximumSpanningTreeEqualsNetworkx) {
  const std::string blob = test::read_file(test::fixture("depparse/trees.bin"));
  std::size_t at = 0;
  const auto read = [&](void* target, std::size_t size) {
    ASSERT_LE(at + size, blob.size());
    std::memcpy(target, blob.data() + at, size);
    at += size;
  };
  std::int32_t count = 0;
  read(&count, 4);
  ASSERT_GE(count, 1000);
  for (std::int32_t c = 0; c < count; ++c) {
    std::int32_t n = 0;
    read(&n, 4);
    ScoreMatrix scores(static_cast<std::size_t>(n), std::vector<double>(n));
    for (auto& row : scores) {
      read(row.data(), row.size() * sizeof(double));
    }
    std::vector<std::int32_t> want(static_cast<std::size_t>(n));
    read(want.data(), want.size() * 4);
    EXPECT_EQ(detail::maximum_spanning_tree(scores), Heads(want.begin(), want.end()))
        << "case " << c << " of " << n << " nodes";
  }
  EXPECT_EQ(at, blob.size());
}

// The best tree with exactly one word under the root, by trying every head
// assignment; ties keep the first found.
Heads brute_force_single_root(const ScoreMatrix& scores) {
  const std::size_t n = scores.size();
  Heads heads(n, 0);
  Heads best;
  double best_score = -kInf;
  const auto is_tree = [&] {
    std::size_t roots = 0;
    for (std::size_t d = 1; d < n; ++d) {
      roots += heads[d] == 0;
      std::size_t node = d;
      for (std::size_t steps = 0; node != 0; ++steps) {
        if (steps == n) {
          return false;
        }
        node = static_cast<std::size_t>(heads[node]);
      }
    }
    return roots == 1;
  };
  while (true) {
    bool valid = true;
    double total = 0.0;
    for (std::size_t d = 1; d < n && valid; ++d) {
      valid = static_cast<std::size_t>(heads[d]) != d;
      total += scores[d][static_cast<std::size_t>(heads[d])];
    }
    if (valid && total > best_score && is_tree()) {
      best_score = total;
      best = heads;
    }
    std::size_t d = 1;
    while (d < n && ++heads[d] == static_cast<std::int64_t>(n)) {
      heads[d++] = 0;
    }
    if (d == n) {
      return best;
    }
  }
}

TEST(TreeDecoding, SingleRootEqualsBruteForce) {
  std::mt19937_64 random(31);
  std::normal_distribution<double> normal(-3.0, 2.0);
  for (int c = 0; c < 600; ++c) {
    // Up to seven words; seven only now and then, as they take a while.
    const std::size_t n = c % 60 == 59 ? 8 : 2 + static_cast<std::size_t>(c % 6);
    ScoreMatrix scores(n, std::vector<double>(n));
    for (auto& row : scores) {
      for (double& value : row) {
        value = normal(random);
      }
    }
    EXPECT_EQ(detail::decode_single_root(scores), brute_force_single_root(scores)) << "case " << c;
  }
}

TEST(TreeDecoding, TiesGoToTheLowestHead) {
  // Words 1 and 2 score every head alike: the first tree takes column 0 for
  // both; after the root shift they form a cycle, entered at word 1.
  EXPECT_EQ(detail::maximum_spanning_tree({{0, 0, 0}, {1, 1, 1}, {1, 1, 1}}), (Heads{0, 0, 0}));
  EXPECT_EQ(detail::decode_single_root({{-1, -1, -1}, {1, 1, 1}, {1, 1, 1}}), (Heads{0, 0, 1}));
  // Two words preferring each other: the contraction keeps the cycle arc of
  // the word not entered from the root and enters where the loss is least.
  EXPECT_EQ(detail::maximum_spanning_tree({{0, 0, 0}, {-5, -kInf, 3}, {-1, 4, -kInf}}),
            (Heads{0, 2, 0}));
  EXPECT_EQ(detail::maximum_spanning_tree({{0, 0, 0}, {-1, -kInf, 3}, {-5, 4, -kInf}}),
            (Heads{0, 0, 1}));
}

TEST(TreeDecoding, EdgeCases) {
  // One word hangs under the root whatever its scores, the diagonal included.
  EXPECT_EQ(detail::decode_single_root({{5, 9}, {-7, 100}}), (Heads{0, 0}));
  EXPECT_EQ(decode_error([] { detail::decode_single_root({}); }),
            "dependency scores contain no finite value");
  EXPECT_EQ(decode_error([] {
              detail::decode_single_root({{-kInf, std::nan("")}, {-kInf, -kInf}});
            }),
            "dependency scores contain no finite value");
  EXPECT_EQ(decode_error([] { detail::decode_single_root({{0.0}}); }),
            "single-root dependency decoding did not produce one root");
  // Every word can only take the root: several roots remain after the shift.
  EXPECT_EQ(
      decode_error([] {
        detail::decode_single_root({{0, -kInf, -kInf}, {-1, -kInf, -kInf}, {-2, -kInf, -kInf}});
      }),
      "single-root dependency decoding did not produce one root");
  EXPECT_EQ(decode_error([] {
              detail::maximum_spanning_tree({{0.0}, {}});
            }),
            "cannot decode an empty score row");
}

} // namespace
} // namespace velmora
