// orlix-sim as a user runs it: a child process whose standard input and
// output are pipes. The virtual board runs in real time, so every wait here
// is generous and nothing depends on exact timings.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <regex>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStartMs = 30000;    // until the banner
constexpr int kOutputsMs = 60000;  // until the outputs have answered the payload
constexpr int kQuitMs = 30000;     // until it has stopped

class Sim {
public:
    Sim() {
        signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            execl(ORLIX_SIM_PATH, ORLIX_SIM_PATH, static_cast<char *>(nullptr));
            _exit(127);
        }
        close(in[0]);
        close(out[1]);
        to_ = in[1];
        from_ = out[0];
        fcntl(from_, F_SETFL, fcntl(from_, F_GETFL) | O_NONBLOCK);
    }
    ~Sim() {
        if (to_ >= 0) close(to_);
        if (from_ >= 0) close(from_);
        if (pid_ > 0 && !exited_) {
            kill(pid_, SIGTERM);
            if (!wait_exit(5000)) {
                kill(pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
            }
        }
    }
    bool started() const { return pid_ > 0 && to_ >= 0 && from_ >= 0; }

    void send(const std::string &line) {
        const std::string text = line + "\n";
        ASSERT_EQ(write(to_, text.data(), text.size()), static_cast<ssize_t>(text.size())) << line;
    }
    // Reads for `ms`, or until `done` holds or the output ends; returns whether `done` held.
    bool read_until(const std::function<bool()> &done, int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0 || eof_) return false;
            pollfd p{from_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 200))) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(from_, buf, sizeof buf);
            if (n > 0) {
                output.append(buf, static_cast<size_t>(n));
            } else if (n == 0) {
                eof_ = true;
            }
        }
        return true;
    }
    bool shows(const std::string &text) const { return output.find(text) != std::string::npos; }
    bool shows(const std::regex &pattern) const { return std::regex_search(output, pattern); }
    bool ended() const { return eof_; }
    // Waits for the process to end; its exit status, or -1.
    int exit_status(int ms) {
        if (!wait_exit(ms)) return -1;
        return WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }

    std::string output;

private:
    bool wait_exit(int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < end) {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                exited_ = true;
                return true;
            }
            usleep(20000);
        }
        return false;
    }

    pid_t pid_ = -1;
    int to_ = -1, from_ = -1;
    bool eof_ = false;
    bool exited_ = false;
    int status_ = 0;
};

TEST(OrlixSimTest, ShowsTheBoardsOutputsForAnAlarmPayload) {
    Sim sim;
    ASSERT_TRUE(sim.started());
    const char *const banner = "orlix-sim: the firmware on a virtual board.";
    ASSERT_TRUE(sim.read_until([&] { return sim.shows(banner); }, kStartMs)) << sim.output;

    sim.send("close");
    sim.send("send LOFALMPO3X080FCN");
    sim.send("help");
    // About two seconds of the board running, then as long as it takes a
    // loaded machine to get there.
    sim.read_until([] { return false; }, 2000);
    const std::regex report("board->screen +frame +<<<D(OP|CL)(OOO|FLO|FUN)F[0-9a-f]{2}V010B[0-9A-F]{4}");
    const auto outputs_shown = [&] {
        return sim.shows(report) && sim.shows("output  maglock: released") && sim.shows("output  strips: blue") &&
               sim.shows("output  amplifier: on, clip 3 (lockdown) once, volume 80");
    };
    EXPECT_TRUE(sim.read_until(outputs_shown, kOutputsMs)) << sim.output;
    sim.send("quit");
    EXPECT_TRUE(sim.read_until([&] { return sim.ended(); }, kQuitMs)) << sim.output;
    EXPECT_EQ(sim.exit_status(kQuitMs), 0);

    EXPECT_TRUE(sim.shows(banner));
    EXPECT_TRUE(sim.shows(report)) << "an input report frame";
    EXPECT_TRUE(sim.shows("screen->board  frame   >>>LOFALMPO3X080FCNE653"));
    EXPECT_TRUE(sim.shows("output  maglock: released"));
    EXPECT_TRUE(sim.shows("output  strips: blue"));
    EXPECT_TRUE(sim.shows("output  amplifier: on"));
    for (const char *command : {"open | close", "send <payload>", "fob <1-3>", "peer <state> <age_ms>", "help", "quit"}) {
        EXPECT_TRUE(sim.shows("\n  " + std::string(command) + " ")) << command << " missing from the help";
    }
    EXPECT_TRUE(sim.shows("orlix-sim: stopped at "));
}

}  // namespace
