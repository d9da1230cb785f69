// orlix-push against a pseudo-terminal pair whose far end the test drives
// as the board's console does: "FWUP <size>" and a line end, START, the
// image, then the final word.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <iterator>
#include <stdexcept>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "image_bytes.h"
#include "take_rate.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kWaitMs = 10000;

struct Pty {
    int master = -1;
    std::string slave;

    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        fcntl(master, F_SETFD, FD_CLOEXEC);  // orlix-push must not hold the board's end open
        slave = ptsname(master);
    }
    ~Pty() {
        if (master >= 0) close(master);
    }
};

// The board's end of the port.
class FakeBoard {
public:
    explicit FakeBoard(int fd) : fd_(fd) {}

    // Reads until `n` bytes have come or `ms` pass.
    std::string read_bytes(size_t n, int ms = kWaitMs) {
        std::string out;
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (out.size() < n) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left)) <= 0) break;
            char buf[4096];
            const ssize_t got = read(fd_, buf, std::min(sizeof buf, n - out.size()));
            if (got <= 0) break;
            out.append(buf, static_cast<size_t>(got));
        }
        return out;
    }
    std::string read_line() {
        std::string line;
        for (;;) {
            const std::string c = read_bytes(1);
            if (c.empty()) return line + "<no line end>";
            line += c;
            if (c == "\n") return line;
        }
    }
    void say(const std::string &text) {
        ASSERT_EQ(write(fd_, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }

private:
    int fd_;
};

class OrlixPushTest : public ::testing::Test {
protected:
    void SetUp() override {
        char dir_template[] = "/tmp/orlix-push-test.XXXXXX";
        ASSERT_NE(mkdtemp(dir_template), nullptr);
        dir_ = dir_template;
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (const char *f : {"/image", "/empty", "/fifo", "/out", "/err", "/port"}) unlink((dir_ + f).c_str());
        rmdir(dir_.c_str());
    }
    std::string write_image(const std::vector<uint8_t> &bytes, const char *name = "/image") {
        const std::string path = dir_ + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                     static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    // Starts orlix-push with `args`; standard error goes to `err_fd` when given.
    void run(std::vector<std::string> args, int err_fd = -1) {
        args.insert(args.begin(), ORLIX_PUSH_PATH);
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            const int out = open((dir_ + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = err_fd >= 0 ? err_fd : open((dir_ + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(out, STDOUT_FILENO);
            dup2(err, STDERR_FILENO);
            std::vector<char *> argv;
            for (auto &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    int exit_status() {
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string file(const char *name) {
        std::ifstream in(dir_ + name);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    std::string dir_;
    pid_t pid_ = -1;
};

TEST_F(OrlixPushTest, CommandThenTheImageThenDone) {
    Pty pty;
    FakeBoard board(pty.master);
    const auto image = test::image_bytes(50000);
    run({pty.slave, write_image(image)});
    EXPECT_EQ(board.read_line(), "FWUP 50000\n");
    board.say("START\n");
    const std::string got = board.read_bytes(image.size());
    EXPECT_EQ(got, std::string(image.begin(), image.end()));
    board.say("DONE\n");
    EXPECT_EQ(exit_status(), 0);
    EXPECT_EQ(board.read_bytes(1, 100), "");  // nothing after the image
    EXPECT_EQ(file("/out"), "DONE\n");
    // Not a terminal: plain progress lines, the last at 100 %.
    const std::string err = file("/err");
    EXPECT_NE(err.find("orlix-push: 50000/50000 bytes (100%)"), std::string::npos) << err;
    EXPECT_EQ(err.find('\r'), std::string::npos);
}

TEST_F(OrlixPushTest, EachFinalWordIsItsOwnExitStatus) {
    const std::pair<const char *, int> words[] = {{"FAIL", 1}, {"NORESP", 2}, {"TIMEOUT", 3}, {"DONE", 0}};
    for (const auto &[word, status] : words) {
        Pty pty;
        FakeBoard board(pty.master);
        run({"-q", pty.slave, write_image(test::image_bytes(3000))});
        EXPECT_EQ(board.read_line(), "FWUP 3000\n");
        board.say("START\r\n");
        EXPECT_EQ(board.read_bytes(3000).size(), 3000u);
        board.say(std::string("\n") + word + "\r\n");  // an empty line first changes nothing
        EXPECT_EQ(exit_status(), status) << word;
        EXPECT_EQ(file("/out"), std::string(word) + "\n");
        // -q hides the progress, not what went wrong.
        const std::string err = file("/err");
        EXPECT_EQ(err.empty(), status == 0) << err;
        EXPECT_EQ(err.find("orlix-push: ") == 0 && err.find(std::string(word) + ": ") != std::string::npos,
                  status != 0) << err;
    }
}

// A TIMEOUT names its likely cause: after the whole image a screen unit that
// did not answer in time; midway also a host that stopped sending.
TEST_F(OrlixPushTest, TimeoutSaysWhy) {
    for (const bool midway : {false, true}) {
        Pty pty;
        FakeBoard board(pty.master);
        const size_t size = midway ? 2000000 : 3000;
        run({"-q", pty.slave, write_image(test::image_bytes(size))});
        EXPECT_EQ(board.read_line(), "FWUP " + std::to_string(size) + "\n");
        board.say("START\n");
        EXPECT_EQ(board.read_bytes(3000).size(), 3000u);
        if (!midway) usleep(100000);  // the tool has seen the port take the last byte
        board.say("TIMEOUT\n");
        EXPECT_EQ(exit_status(), 3);
        const std::string err = file("/err");
        EXPECT_NE(err.find("no answer from the screen unit"), std::string::npos) << err;
        EXPECT_EQ(err.find("the host stopped sending") != std::string::npos, midway) << err;
    }
}

TEST_F(OrlixPushTest, FailureInTheMiddleStopsTheSending) {
    Pty pty;
    FakeBoard board(pty.master);
    const auto image = test::image_bytes(2000000);
    run({pty.slave, write_image(image)});
    EXPECT_EQ(board.read_line(), "FWUP 2000000\n");
    board.say("START\n");
    size_t got = board.read_bytes(30000).size();
    board.say("NORESP\n");
    EXPECT_EQ(exit_status(), 2);
    // What was already in the port's buffers, and no more.
    got += board.read_bytes(image.size(), 300).size();
    EXPECT_LT(got, 200000u);
    EXPECT_EQ(file("/out"), "NORESP\n");
}

TEST_F(OrlixPushTest, WordsLeftFromBeforeStartAreNotTheResult) {
    Pty pty;
    FakeBoard board(pty.master);
    run({"-q", pty.slave, write_image(test::image_bytes(10))});
    EXPECT_EQ(board.read_line(), "FWUP 10\n");
    board.say("TIMEOUT\nBOOTSEL\nSTART\n");
    EXPECT_EQ(board.read_bytes(10).size(), 10u);
    board.say("DONE\n");
    EXPECT_EQ(exit_status(), 0);
}

TEST_F(OrlixPushTest, NoStartMeansNoImage) {
    Pty pty;
    FakeBoard board(pty.master);
    run({"--start-timeout", "0.3", pty.slave, write_image(test::image_bytes(100))});
    EXPECT_EQ(board.read_line(), "FWUP 100\n");
    EXPECT_EQ(exit_status(), 4);
    EXPECT_EQ(board.read_bytes(1, 100), "");
    EXPECT_NE(file("/err").find("did not start"), std::string::npos);
}

TEST_F(OrlixPushTest, SilenceAfterTheImageIsNoWord) {
    Pty pty;
    FakeBoard board(pty.master);
    run({"--timeout", "0.3", "-q", pty.slave, write_image(test::image_bytes(100))});
    EXPECT_EQ(board.read_line(), "FWUP 100\n");
    board.say("START\n");
    EXPECT_EQ(board.read_bytes(100).size(), 100u);
    EXPECT_EQ(exit_status(), 5);
    EXPECT_EQ(file("/out"), "");
}

TEST_F(OrlixPushTest, PortGoneMidwayIsNoWord) {
    Pty pty;
    FakeBoard board(pty.master);
    run({"-q", pty.slave, write_image(test::image_bytes(2000000))});
    EXPECT_EQ(board.read_line(), "FWUP 2000000\n");
    board.say("START\n");
    board.read_bytes(10000);
    close(pty.master);
    pty.master = -1;
    EXPECT_EQ(exit_status(), 5);
}

// Each refused before anything reaches the port, with its exit status and
// the reason on standard error; none reads an image whole or waits on it.
TEST_F(OrlixPushTest, BadArgumentsAndImages) {
    Pty pty;
    const std::string image = write_image(test::image_bytes(1));
    const std::string fifo = dir_ + "/fifo";  // no writer: opening it to read would block
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        int status;
        const char *says;
    } cases[] = {
        {{}, 64, "usage"},
        {{pty.slave}, 64, "usage"},
        {{"--timeout", "soon", pty.slave, image}, 64, "usage"},
        {{"--timeout", "inf", pty.slave, image}, 64, "usage"},
        {{"--timeout", "nan", pty.slave, image}, 64, "usage"},
        {{"--start-timeout", "1e309", pty.slave, image}, 64, "usage"},
        {{"--timeout", "86401", pty.slave, image}, 64, "usage"},
        {{pty.slave, dir_ + "/missing"}, 66, "No such file"},
        {{pty.slave, write_image({}, "/empty")}, 65, "1 to 4294967295 bytes"},
        {{dir_ + "/no-such-port", image}, 74, "no-such-port"},
        {{pty.slave, dir_}, 66, "Is a directory"},
        {{pty.slave, "/dev/zero"}, 66, "not a regular file"},
        {{pty.slave, fifo}, 66, "not a regular file"},
    };
    for (const auto &c : cases) {
        run(c.args);
        EXPECT_EQ(exit_status(), c.status) << testing::PrintToString(c.args);
        EXPECT_NE(file("/err").find(c.says), std::string::npos) << file("/err");
    }
    FakeBoard board(pty.master);
    EXPECT_EQ(board.read_bytes(1, 100), "");
}

// The image is read as it is sent: one cut short meanwhile ends the push
// instead of sending what the file no longer holds.
TEST_F(OrlixPushTest, AnImageCutWhileSentEndsThePush) {
    Pty pty;
    FakeBoard board(pty.master);
    const std::string image = write_image(test::image_bytes(2000000));
    run({"-q", pty.slave, image});
    EXPECT_EQ(board.read_line(), "FWUP 2000000\n");
    board.say("START\n");
    board.read_bytes(10000);
    ASSERT_EQ(truncate(image.c_str(), 5000), 0);
    while (board.read_bytes(65536, 500).size() > 0) {
    }
    EXPECT_EQ(exit_status(), 66);
    EXPECT_NE(file("/err").find("became shorter"), std::string::npos) << file("/err");
}

// Only a terminal is a port: a regular file, a directory or /dev/null given
// as PORT is refused with a clear line and left as it was.
TEST_F(OrlixPushTest, APortThatIsNotATerminalIsNeverWritten) {
    const std::string image = write_image(test::image_bytes(100));
    const std::string port = dir_ + "/port";  // a regular file with some content
    std::ofstream(port) << "keep me";
    for (const std::string &not_a_port : {port, dir_, std::string("/dev/null")}) {
        run({"-q", not_a_port, image});
        EXPECT_EQ(exit_status(), 64) << not_a_port;
        EXPECT_NE(file("/err").find(not_a_port + " is not a terminal"), std::string::npos) << file("/err");
    }
    EXPECT_EQ(file("/port"), "keep me");
}

TEST_F(OrlixPushTest, HelpGoesToStandardOutput) {
    run({"--help"});
    EXPECT_EQ(exit_status(), 0);
    EXPECT_EQ(file("/out").find("usage: orlix-push"), 0u) << file("/out");
    EXPECT_EQ(file("/err"), "");
}

TEST_F(OrlixPushTest, ProgressBarOnATerminal) {
    Pty pty;
    Pty terminal;
    const int term = open(terminal.slave.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(term, 0);
    FakeBoard board(pty.master);
    FakeBoard screen(terminal.master);
    const auto image = test::image_bytes(100000);
    run({pty.slave, write_image(image)}, term);
    EXPECT_EQ(board.read_line(), "FWUP 100000\n");
    board.say("START\n");
    // A board that takes about 200 KB/s.
    size_t got = 0;
    while (got < image.size()) {
        got += board.read_bytes(std::min<size_t>(2000, image.size() - got)).size();
        usleep(10000);
    }
    board.say("DONE\n");
    EXPECT_EQ(exit_status(), 0);
    close(term);
    const std::string shown = screen.read_bytes(100000, 300);
    EXPECT_NE(shown.find("\r["), std::string::npos) << shown;
    EXPECT_NE(shown.find("100%  100000/100000 bytes"), std::string::npos) << shown;
    EXPECT_NE(shown.find("KiB/s"), std::string::npos);
    EXPECT_NE(shown.find("left"), std::string::npos);
}

}  // namespace

// The board's take rate and the time left, on the timeline of a 200 KB relay:
// the buffers swallow 24 KB at once, the first window holds 4 blocks (the ring
// was still filling), then the port takes 8 KB a window (with some jitter) as
// the board relays it. After the first quarter both are within 10 % of the
// truth; before the buffers are full neither is shown.
TEST(TakeRateTest, RateAndTimeLeftAreTheBoardsAfterTheBuffersFill) {
    constexpr size_t kTotal = 200 * 1024;
    constexpr size_t kSwallowed = 24 * 1024;
    constexpr double kWindowS = 0.1212;
    constexpr double kFirstS = 0.03 + kWindowS / 2;  // begin frame, ready answer, 4 blocks
    const double board_rate = 8192 / kWindowS;
    const double done_s = kFirstS + (kTotal - 4096) / board_rate;
    TakeRate rate;
    rate.start(0);
    EXPECT_FALSE(rate.known());
    size_t sent = kSwallowed;
    for (int k = 0; sent < kTotal; k++) {
        const double t = kFirstS + k * kWindowS + (k % 3 == 0 ? 0.006 : -0.002);
        rate.resumed(t, sent);
        sent += k == 0 ? 4096 : 8192;
        if (t < done_s / 4) continue;
        ASSERT_TRUE(rate.known()) << t;
        EXPECT_NEAR(rate.rate(), board_rate, 0.1 * board_rate) << t;
        EXPECT_NEAR(rate.left(t, kTotal), done_s - t, 0.1 * (done_s - t)) << t;
    }
}
