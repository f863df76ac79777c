#include <gtest/gtest.h>

#include "common/testutil.h"
#include "host/time.h"

TEST(TimeTest, Placeholder) { EXPECT_EQ(Utils::Time(1).raw(), 65536); }
