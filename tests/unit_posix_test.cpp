// The output names where this system's paths differ from the other's.
#include <gtest/gtest.h>

#include "driver.h"

TEST(Names, EndTheFolderPartWhereThisSystemDoes) {
    // A backslash or a colon is just a character of the name.
    const char* const cases[][2] = {{"v1.2\\take.wav", "v1"}, {"C:take.wav", "C:take"}};
    for (const auto& [input, stem] : cases) {
        std::string left, right;
        OUTPUT_NAMES(input, &left, &right);
        EXPECT_EQ(left, std::string(stem) + "L.wav") << input;
        EXPECT_EQ(right, std::string(stem) + "R.wav") << input;
    }
}
