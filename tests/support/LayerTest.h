#pragma once

// Base fixture for tests over the scripted machine: a fresh machine per test, and
// every handle, heap block, local block and crypto object balanced at the end, with
// no release of something never acquired and no call the machine refused.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "layer/Control.h"
#include "layer/Machine.h"

class LayerTest : public ::testing::Test {
  protected:
    void SetUp() override { layer::Reset(); }

    void TearDown() override { ExpectBalanced(); }

    // A test that runs several cases on fresh machines calls this at the end of each
    // case: the next reset would forget what the case left behind.
    static void ExpectBalanced() {
        EXPECT_EQ(layer::Outstanding(), "");
        EXPECT_EQ(layer::BadReleases(), std::vector<std::string>());
        EXPECT_EQ(layer::BadCalls(), std::vector<std::string>());
    }
};
