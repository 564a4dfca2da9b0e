#include <gtest/gtest.h>

#include <algorithm>
#include <array>

#include "module/LinkedPtr.h"

namespace {

struct Counted {
    explicit Counted(int* deletions) : deletions(deletions) {}
    virtual ~Counted() { ++*deletions; }
    int* deletions;
};

struct Derived : Counted {
    using Counted::Counted;
};

TEST(LinkedPtrTest, FourHandlesReleasedInEveryOrderDeleteOnce) {
    std::array<int, 4> order = {0, 1, 2, 3};
    do {
        int deletions = 0;
        {
            std::array<LinkedPtr<Counted>*, 4> handles;
            handles[0] = new LinkedPtr<Counted>(new Derived(&deletions));
            handles[1] = new LinkedPtr<Counted>(*handles[0]);
            handles[2] = new LinkedPtr<Counted>(*handles[1]);
            handles[3] = new LinkedPtr<Counted>(*handles[0]);
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(deletions, 0);
                delete handles[order[i]];
            }
        }
        EXPECT_EQ(deletions, 1);
    } while (std::next_permutation(order.begin(), order.end()));
}

TEST(LinkedPtrTest, NullHandlesDeleteNothing) {
    LinkedPtr<Counted> empty;
    LinkedPtr<Counted> copy(empty);
    copy = empty;
    EXPECT_FALSE(copy);
}

TEST(LinkedPtrTest, SelfAndSameRingAssignmentKeepTheObject) {
    int deletions = 0;
    LinkedPtr<Counted> a(new Counted(&deletions));
    LinkedPtr<Counted> b(a);
    LinkedPtr<Counted>& alias = a;
    a = alias;
    a = b;
    b = a;
    EXPECT_EQ(deletions, 0);
    a.reset();
    EXPECT_EQ(deletions, 0);
    b.reset();
    EXPECT_EQ(deletions, 1);
}

TEST(LinkedPtrTest, ReassignmentReleasesTheOldObject) {
    int first = 0;
    int second = 0;
    LinkedPtr<Counted> a(new Counted(&first));
    LinkedPtr<Counted> b(new Counted(&second));
    a = b;
    EXPECT_EQ(first, 1);
    EXPECT_EQ(second, 0);
    a.reset();
    b.reset();
    EXPECT_EQ(second, 1);
}

}  // namespace
