#pragma once

// Base fixture for tests over the scripted machine: a fresh machine per test, and
// every handle, heap block, local block and crypto object balanced at the end.

#include <gtest/gtest.h>

#include "layer/Control.h"
#include "layer/Machine.h"

class LayerTest : public ::testing::Test {
  protected:
    void SetUp() override { layer::Reset(); }

    void TearDown() override { ExpectBalanced(); }

    static void ExpectBalanced() {
        EXPECT_EQ(layer::Outstanding(), "");
        EXPECT_TRUE(layer::BadReleases().empty());
    }
};
