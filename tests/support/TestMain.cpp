// The main function of every test program: each runs the same whatever the caller exported, so the
// variables that point Torvex at other folders, another socket or another bundle go first.
#include "support/TestSupport.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    torvex::testing::forgetTorvexVariables({"TORVEX_STRESS_SCALE"});
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
