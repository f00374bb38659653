// Window tests need a display. Where one is promised (MORLIX_REQUIRE_DISPLAY
// set and not 0, as CI and scripts/run-tests set it) its absence fails the
// test instead of skipping it, so a missing display cannot pass unnoticed.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace morlix::test {

inline bool DisplayRequired() {
    const char* value = std::getenv("MORLIX_REQUIRE_DISPLAY");
    return value && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

} // namespace morlix::test

// For a fixture's SetUp: without a display the test skips, or fails where a
// display is required.
#define MORLIX_NEED_DISPLAY(available, what)                                                       \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            if (::morlix::test::DisplayRequired()) {                                               \
                GTEST_FAIL() << what << ", and MORLIX_REQUIRE_DISPLAY asks for one";               \
            }                                                                                      \
            GTEST_SKIP() << what;                                                                  \
        }                                                                                          \
    } while (false)
