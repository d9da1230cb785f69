// orlix-push end to end: the real tool on the virtual board's USB serial
// port (the pseudo-terminal orlix-sim offers), through the console, the
// bridge and the screen line to the screen unit model.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "image_bytes.h"
#include "screen_fw.h"
#include "usb_pty.h"
#include "vboard.h"
#include "vboard_usb.h"

namespace {

constexpr uint64_t kMs = 1000;  // µs

class OrlixPushBoardTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir_template[] = "/tmp/orlix-push-board.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
        vb::power_on();
        vb::add_peer([this] { unit.step(); });
        port_ = sim::usb_pty_open();
        ASSERT_FALSE(port_.empty());
        ASSERT_TRUE(vb::usb::wait_enumerated(2000 * kMs));
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        sim::usb_pty_close();
        vb::power_off();
        vb::clear_peers();
        for (const char *f : {"/image", "/out", "/err"}) unlink((dir_ + f).c_str());
        rmdir(dir_.c_str());
    }
    // Runs orlix-push on the board's port while the board runs; returns its exit status.
    int push(const std::vector<uint8_t> &image) {
        const std::string path = dir_ + "/image";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(image.size()));
        pid_ = fork();
        if (pid_ == 0) {
            const int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            // The board runs on its own clock here, which may be slower than the wall clock.
            execl(ORLIX_PUSH_PATH, ORLIX_PUSH_PATH, "--start-timeout", "30", "--timeout", "60", port_.c_str(),
                  path.c_str(), static_cast<char *>(nullptr));
            _exit(127);
        }
        int status = -1;
        const uint64_t end = vb::now_us() + 60000 * kMs;
        while (vb::now_us() < end) {
            vb::run_for_us(500);
            sim::usb_pty_step();
            int wstatus = 0;
            if (waitpid(pid_, &wstatus, WNOHANG) == pid_) {
                pid_ = -1;
                status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
                break;
            }
        }
        return status;
    }
    std::string file(const char *name) {
        std::ifstream in(dir_ + name);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    peers::ScreenFw unit;
    std::string dir_;
    std::string port_;
    pid_t pid_ = -1;
};

TEST_F(OrlixPushBoardTest, ImageReachesTheScreenUnit) {
    const auto image = test::image_bytes(30000);
    EXPECT_EQ(push(image), 0) << file("/err");
    EXPECT_EQ(file("/out"), "DONE\n");
    EXPECT_EQ(unit.image(), image);
    EXPECT_EQ(unit.completion(), 0);
}

TEST_F(OrlixPushBoardTest, ScreenUnitRejectingTheImageIsExitStatusOne) {
    unit.faults().rewrite = [](const std::string &a) { return peers::frame_to_board(a == "FC00" ? "FC01" : a); };
    EXPECT_EQ(push(test::image_bytes(3000)), 1) << file("/err");
    EXPECT_EQ(file("/out"), "FAIL\n");
}

// A retry straight after a relay that ended early: the board has the rest
// of the first image to drop, and the second run opens the port within
// the quiet time that would end the drop.
TEST_F(OrlixPushBoardTest, ARetryRightAfterATimeoutWorks) {
    unit.faults().silent = true;
    EXPECT_EQ(push(test::image_bytes(40000)), 3) << file("/err");
    EXPECT_EQ(file("/out"), "TIMEOUT\n");
    unit.faults().silent = false;
    for (int i = 0; i < 200; i++) {  // 100 ms of board time
        vb::run_for_us(500);
        sim::usb_pty_step();
    }
    const auto image = test::image_bytes(20000);
    EXPECT_EQ(push(image), 0) << file("/err");
    EXPECT_EQ(file("/out"), "DONE\n");
    EXPECT_EQ(unit.image(), image);
}

}  // namespace
