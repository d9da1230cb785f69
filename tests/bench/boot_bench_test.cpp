// Start-up on the virtual clock: from power-on to the main loop's first
// input report on the screen line, and where start-up spends the time.
#include <gtest/gtest.h>

#include <cstdio>

#include "board_test.h"

namespace {

using test::SystemTest;

TEST_F(SystemTest, PowerOnToTheFirstReport) {
    run_until_looping();
    const auto all = lines();
    const peers::Line *first = nullptr;
    for (const auto &line : all) {
        if (line.frame) {
            first = &line;
            break;
        }
    }
    ASSERT_NE(first, nullptr);
    printf("\npower-on to the first input report: %.1f ms\n", static_cast<double>(first->start_ns) / 1e6);
    for (const auto &line : all) {
        if (&line == first) break;
        printf("  %9.1f ms  %s\n", static_cast<double>(line.start_ns) / 1e6, line.text.c_str());
    }
    RecordProperty("first_report_us", static_cast<int>(first->start_ns / 1000));
}

}  // namespace
