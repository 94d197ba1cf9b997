#include <gtest/gtest.h>

#include "py/borrow.hpp"

using korvex::py::BorrowFlag;
using korvex::py::BorrowGuard;
using korvex::py::BorrowKind;

TEST(Borrow, SharedBorrowsStackAndBlockExclusive) {
    BorrowFlag flag;
    {
        BorrowGuard a, b;
        EXPECT_EQ(a.acquire(flag, BorrowKind::Shared), nullptr);
        EXPECT_EQ(b.acquire(flag, BorrowKind::Shared), nullptr);
        EXPECT_EQ(flag.raw(), 2u);
        BorrowGuard c;
        EXPECT_STREQ(c.acquire(flag, BorrowKind::Exclusive), "Already borrowed");
        EXPECT_EQ(flag.raw(), 2u);
    }
    EXPECT_EQ(flag.raw(), 0u);
}

TEST(Borrow, ExclusiveBlocksEverythingAndIsReleasedOnScopeExit) {
    BorrowFlag flag;
    {
        BorrowGuard a;
        EXPECT_EQ(a.acquire(flag, BorrowKind::Exclusive), nullptr);
        EXPECT_EQ(flag.raw(), BorrowFlag::kExclusive);
        BorrowGuard b, c;
        EXPECT_STREQ(b.acquire(flag, BorrowKind::Shared), "Already mutably borrowed");
        EXPECT_STREQ(c.acquire(flag, BorrowKind::Exclusive), "Already borrowed");
    }
    EXPECT_EQ(flag.raw(), 0u);
    BorrowGuard d;
    EXPECT_EQ(d.acquire(flag, BorrowKind::Exclusive), nullptr);
}

TEST(Borrow, ReleasedWhenUnwindingThroughAnException) {
    BorrowFlag flag;
    try {
        BorrowGuard g;
        ASSERT_EQ(g.acquire(flag, BorrowKind::Exclusive), nullptr);
        throw std::runtime_error("fault");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(flag.raw(), 0u);
}

TEST(Borrow, RefusedGuardReleasesNothing) {
    BorrowFlag flag;
    BorrowGuard holder;
    ASSERT_EQ(holder.acquire(flag, BorrowKind::Shared), nullptr);
    {
        BorrowGuard refused;
        EXPECT_NE(refused.acquire(flag, BorrowKind::Exclusive), nullptr);
    }
    EXPECT_EQ(flag.raw(), 1u);
}
