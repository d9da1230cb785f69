// Every test case starts on a board straight from the factory, whichever
// cases ran before it in the same process and in whatever order.
#include <gtest/gtest.h>

#include "vboard.h"

namespace {

class FreshBoard : public ::testing::EmptyTestEventListener {
    // Before the fixture is made, so that its constructor and SetUp see the
    // fresh board too.
    void OnTestStart(const ::testing::TestInfo &) override {
        vb::fresh_board();
    }
    // The firmware of a case's last boot stops with the case.
    void OnTestEnd(const ::testing::TestInfo &) override {
        vb::power_off();
    }
};

const bool installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshBoard);
    return true;
}();

}  // namespace
