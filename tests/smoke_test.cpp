#include <gtest/gtest.h>
#include "driver/banner.h"
TEST(Smoke, BannerLength) { EXPECT_EQ(kestrox::banner_text(kestrox::BannerStyle::kCodePage437).size(), 481u); }
