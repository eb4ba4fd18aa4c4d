#include "core/scan/tri_state_tree.h"

#include <gtest/gtest.h>

namespace dravonel {
namespace {

TEST(TriStateTree, Placeholder) { CTriStateTree t; EXPECT_EQ(t.root(), kNoItem); }

}  // namespace
}  // namespace dravonel
