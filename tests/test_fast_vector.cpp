// The growth rule and the removals of FastVector.
#include <gtest/gtest.h>

#include <vector>

#include "FastVector.h"

using TamBTree::FastVector;

TEST(FastVector, GrowsFrom16ByDoublingThenByAQuarterTruncated) {
    FastVector<std::uint64_t> v;
    std::vector<std::uint32_t> capacities;
    for (std::uint64_t i = 0; i < 3000; ++i) {
        v.Append(i * 7);
        if (capacities.empty() || capacities.back() != v.Capacity())
            capacities.push_back(v.Capacity());
    }
    const std::vector<std::uint32_t> expected{16,  32,   64,   128,  256,  512,  640,
                                              800, 1000, 1250, 1562, 1952, 2440, 3050};
    EXPECT_EQ(expected, capacities);
    for (std::uint32_t i = 0; i < v.Size(); ++i) ASSERT_EQ(i * 7u, v[i]);
}

TEST(FastVector, RemovalsKeepTheOrderOfTheRest) {
    FastVector<std::uint64_t> v;
    for (std::uint64_t i = 1; i <= 5; ++i) v.Append(i);
    v.RemoveAt(1);
    EXPECT_TRUE(v.Remove(4));
    EXPECT_FALSE(v.Remove(9));
    EXPECT_EQ((std::vector<std::uint64_t>{1, 3, 5}),
              std::vector<std::uint64_t>(v.begin(), v.end()));
    EXPECT_EQ(2u, v.Find(5));
    EXPECT_EQ(3u, v.Find(9));
    v.RemoveLast();
    EXPECT_EQ(3u, v.Last());
    v.Clear();
    EXPECT_TRUE(v.Empty());
    EXPECT_EQ(16u, v.Capacity());
    v.Release();
    EXPECT_EQ(0u, v.Capacity());
}
