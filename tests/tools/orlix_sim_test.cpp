// orlix-sim as a user runs it: a child process whose standard input and
// output are pipes, and with --screen-pty a screen unit of the test's own on
// the screen line's pseudo-terminal. The virtual board runs in real time, so every wait here
// is generous and nothing depends on exact timings.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <algorithm>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>
#include <termios.h>

#include "screen_fw.h"
#include "screen_unit.h"
#include <string>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kStartMs = 30000;    // until the banner
constexpr int kOutputsMs = 60000;  // until the outputs have answered the payload
constexpr int kQuitMs = 30000;     // until it has stopped

class Sim {
public:
    explicit Sim(std::vector<std::string> args = {}) {
        signal(SIGPIPE, SIG_IGN);
        int in[2], out[2];
        if (pipe(in) != 0 || pipe(out) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(in[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            dup2(out[1], STDERR_FILENO);
            close(in[0]);
            close(in[1]);
            close(out[0]);
            close(out[1]);
            std::vector<char *> argv{const_cast<char *>(ORLIX_SIM_PATH)};
            for (std::string &a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(ORLIX_SIM_PATH, argv.data());
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
    pid_t pid() const { return pid_; }

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
    sim.send("opne");
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
    EXPECT_TRUE(sim.shows("\nnot a command: opne (help lists them)\n"));
    EXPECT_TRUE(sim.shows(std::regex("\norlix-sim: stopped at [0-9.]+ ms of board time \\([0-9.]+x real time\\)\n")));
}

// One end of a pseudo-terminal, opened as an outside program opens it.
class Port {
public:
    explicit Port(const std::string &path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
    ~Port() {
        if (fd_ >= 0) close(fd_);
    }
    bool is_open() const { return fd_ >= 0; }
    void write_all(const std::string &bytes) {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // The next whole line ("\n" included) that `wanted` accepts; "" after `ms`.
    std::string line_where(const std::function<bool(const std::string &)> &wanted, int ms) {
        const auto end = Clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            for (size_t nl; (nl = input_.find('\n')) != std::string::npos;) {
                const std::string line = input_.substr(0, nl + 1);
                input_.erase(0, nl + 1);
                if (wanted(line)) return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return "";
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 200))) <= 0) continue;
            char buf[4096];
            const ssize_t n = read(fd_, buf, sizeof buf);
            if (n > 0) input_.append(buf, static_cast<size_t>(n));
        }
    }
    std::string line_starting(const std::string &head, int ms) {
        return line_where([&head](const std::string &l) { return l.compare(0, head.size(), head) == 0; }, ms);
    }

private:
    int fd_;
    std::string input_;
};

bool sim_shows(const std::string &output, const std::string &text) {
    return output.find(text) != std::string::npos;
}

std::string pty_path(const Sim &sim, const char *label) {
    std::smatch m;
    const std::regex line(std::string(label) + "[^\n]*: (/dev/pts/[0-9]+)\n");
    return std::regex_search(sim.output, m, line) ? m[1].str() : "";
}

// "<<<" + payload + check value + "\r\n", as the board frames it.
std::string board_frame(const std::string &payload) {
    std::string frame = peers::frame_to_board(payload);
    frame.replace(0, 3, "<<<");
    return frame;
}

// A screen unit outside the virtual board: status payloads in, reports out,
// and a firmware image relayed from the USB port answered from here.
TEST(OrlixSimTest, ScreenLinePtyServesAnOutsideScreenUnit) {
    Sim sim({"--screen-pty"});
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(sim.read_until([&] { return sim.shows("screen line (UART1") && sim.shows("USB serial port"); },
                               kStartMs))
        << sim.output;
    Port screen(pty_path(sim, "screen line"));
    ASSERT_TRUE(screen.is_open()) << sim.output;

    // Reports in exact bytes, and no built-in screen unit sending status
    // payloads (its first comes at 1 s) after five of them.
    for (int i = 0; i < 5; i++) ASSERT_EQ(screen.line_starting("<<<", kOutputsMs), board_frame("DCLOOOF00V010B"));
    sim.read_until([] { return false; }, 300);
    EXPECT_FALSE(sim.shows("screen->board")) << sim.output;

    screen.write_all(peers::frame_to_board("LOFALMOFFX050FCN"));
    EXPECT_TRUE(sim.read_until([&] { return sim.shows("maglock: released") && sim.shows("strips: blue"); },
                               kOutputsMs))
        << sim.output;
    EXPECT_TRUE(sim.shows("screen->board  frame   >>>LOFALMOFFX050FCN"));
    screen.write_all(">>>LONNOROFFX050FCNDE9E\r\n");
    EXPECT_TRUE(sim.read_until(
        [&] { return sim.shows("corrupt >>>LONNOROFFX050FCNDE9E  (wrong check value: the payload's is DE9F)"); },
        kOutputsMs))
        << sim.output;
    EXPECT_TRUE(sim.shows("board          pins    GPIO 10, 11 high: the board transmits"));
    EXPECT_TRUE(sim.shows("board          pins    GPIO 10, 11 low: the board listens"));

    // A five-byte image: begin, ready, one block and the window end at the
    // fast rate, acknowledgement, finish with the image's CRC-32, completion.
    Port usb(pty_path(sim, "USB serial port"));
    ASSERT_TRUE(usb.is_open());
    usb.write_all("FWUP 5\nhello");
    EXPECT_EQ(usb.line_where([](const std::string &l) { return l.find("START") != std::string::npos; }, kOutputsMs),
              "START\n");
    EXPECT_EQ(screen.line_starting("<<<F", kOutputsMs), board_frame("FB0000000504000E1000"));
    screen.write_all(peers::frame_to_board("FR"));
    EXPECT_EQ(screen.line_starting("<<<FD", kOutputsMs), board_frame("FD0000aGVsbG8="));
    EXPECT_EQ(screen.line_starting("<<<F", kOutputsMs), board_frame("FP0001"));
    screen.write_all(peers::frame_to_board("FA0001"));
    char finish[16];
    snprintf(finish, sizeof finish, "FZ%08X", peers::crc32_iso_hdlc({'h', 'e', 'l', 'l', 'o'}));
    EXPECT_EQ(screen.line_starting("<<<F", kOutputsMs), board_frame(finish));
    screen.write_all(peers::frame_to_board("FC00"));
    EXPECT_EQ(usb.line_where([](const std::string &l) { return l.find_first_not_of("\r\n") != std::string::npos; },
                             kOutputsMs),
              "DONE\n");
    // Back at 115200 baud, the reports again.
    EXPECT_EQ(screen.line_starting("<<<D", kOutputsMs), board_frame("DCLOOOF00V010B"));
    sim.send("quit");
    EXPECT_EQ(sim.exit_status(kQuitMs), 0) << sim.output;
}

// A file of the test's own, removed at the end of the case.
class TempFile {
public:
    explicit TempFile(const std::string &text = "") {
        char name[] = "/tmp/orlix-sim-test-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0) close(fd);
        path = name;
        if (!text.empty()) std::ofstream(path) << text;
    }
    ~TempFile() {
        remove(path.c_str());
        remove((path + ".fobs").c_str());
    }
    std::string path;
};

// orlix-sim with a script, as a CI job runs it: its exit status and output.
int run_script(const std::string &text, std::vector<std::string> more, std::string *output) {
    TempFile script(text);
    more.insert(more.begin(), {"--script", script.path});
    Sim sim(more);
    sim.read_until([&] { return sim.ended(); }, kOutputsMs * 2);
    *output = sim.output;
    return sim.exit_status(kQuitMs);
}

TEST(OrlixSimTest, ScriptExitsWithTheLineThatFailed) {
    std::string out;
    EXPECT_EQ(run_script("expect report DCLOOOF00V010B  # the first report\n"
                         "send LOFNOROFFX050FCN\n"
                         "expect output maglock released within 20ms\n"
                         "expect console \"Lock: UNLOCKED\" within 20ms\n"
                         "at 1.5s\n"
                         "open\n"
                         "expect report DOP within 300ms\n",
                         {"--quiet"}, &out),
              0)
        << out;
    // Stamped when its last byte has left (its first left at 481.524 ms, after
    // the start's save of its boot epoch), and shown once however often it repeats.
    const std::string first_report = "\n   483.524 ms  board->screen  frame   <<<DCLOOOF00V010B7011\n";
    EXPECT_TRUE(sim_shows(out, first_report)) << out;
    EXPECT_EQ(out.find("<<<DCLOOOF00V010B7011", out.find(first_report) + first_report.size()), std::string::npos);
    EXPECT_TRUE(sim_shows(out, "every step held (4 expectations)")) << out;
    // No more than the board's time asked for.
    EXPECT_TRUE(std::regex_search(out, std::regex("stopped at 1[5-8][0-9][0-9]\\.[0-9]+ ms"))) << out;

    EXPECT_EQ(run_script("expect report DCLOOOF00\nexpect report DCLFLO within 600ms\nopen\n", {}, &out), 1) << out;
    EXPECT_TRUE(sim_shows(out, "line 2: expect report DCLFLO: not within 0.6 s (the last report: DCLOOOF00V010B)"))
        << out;
    EXPECT_FALSE(sim_shows(out, "door sensor high")) << "the steps after the failed one do not run";

    EXPECT_EQ(run_script("open\nfob 4\n@B close\nwait 2\n", {}, &out), 65) << out;
    EXPECT_TRUE(sim_shows(out, "line 2: not a command: fob 4")) << out;
    EXPECT_TRUE(sim_shows(out, "line 3: a single board takes no target (@B)")) << out;
    EXPECT_TRUE(sim_shows(out, "line 4: `wait` takes a duration")) << out;
}

// A clip to be played once is played once, though the payload comes every second.
TEST(OrlixSimTest, BuiltInScreenUnitPlaysAOnceClipOnce) {
    std::string out;
    ASSERT_EQ(run_script("expect report DCL\nsend LOFALMPO1X050FCN\nexpect output amplifier on\n"
                         "expect output amplifier off within 10s\nwait 2500ms\n",
                         {}, &out),
              0)
        << out;
    size_t plays = 0;
    for (size_t at = 0; (at = out.find("output  amplifier: on", at)) != std::string::npos; at++) plays++;
    EXPECT_EQ(plays, 1u) << out;
    EXPECT_TRUE(sim_shows(out, "screen->board  frame   >>>LOFALMOFFX050FCN")) << out;
}

// Pairings and the fobs' counters outlive the program; a wrong file is left alone.
// Presses wait 3 s after start: until then the board asks its peers for their
// fob event, and its module hears nothing while it transmits.
TEST(OrlixSimTest, FlashFileKeepsTheFobsAcrossRunsResetsAndPowerCuts) {
    TempFile flash;
    remove(flash.path.c_str());  // made when missing
    std::string out;
    ASSERT_EQ(run_script("expect report DCLOOOF00\nwait 3s\nsend LONNOROFFX050FCP\nfob 1\n"
                         "expect report DCLOOOF01 within 2s\nsend LONNOROFFX050FCN\nwait 200ms\n",
                         {"--flash", flash.path}, &out),
              0)
        << out;
    EXPECT_EQ(run_script("expect report DCLOOOF01\nwait 3s\nfob 1\nexpect report DCLFLOF01 within 2s\n"
                         "reset\nexpect console \"counter=2\"\nexpect report DCLFLOF01\n"
                         "power\nexpect report DCLFLOF01\n",
                         {"--flash", flash.path}, &out),
              0)
        << out;
    EXPECT_TRUE(sim_shows(out, "--- reset button pressed")) << out;

    TempFile wrong("not a flash");
    EXPECT_EQ(run_script("wait 1ms\n", {"--flash", wrong.path}, &out), 66);
    EXPECT_TRUE(sim_shows(out, "holds 11 bytes, not a flash of 2097152 (2 MiB): left as it is")) << out;
    std::ifstream in(wrong.path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "not a flash");
}

// Arguments and scripts that cannot run: each refused with its exit status and
// reason, before the board starts and without waiting on the file.
TEST(OrlixSimTest, RefusesBadArgumentsAndScripts) {
    TempFile fifo, empty_flash, script;
    remove(fifo.path.c_str());
    ASSERT_EQ(mkfifo(fifo.path.c_str(), 0600), 0);  // no writer: opening it to read would wait for one
    struct Row {
        std::vector<std::string> args;  // "SCRIPT": the script file of the row's text
        std::string script;
        int exit_status;
        std::string shown;
    };
    const std::vector<Row> rows = {
        {{"--script", "/dev/zero"}, "", 66, "/dev/zero: not a regular file"},
        {{"--script", fifo.path}, "", 66, ": not a regular file"},
        {{"--script", "/tmp"}, "", 66, "/tmp: Is a directory"},
        {{"--script", "SCRIPT"}, "wait 1ms\nsend " + std::string(66000, 'L') + "\n", 65,
         "line 2: send takes a payload of at most 11511 characters, not 66000"},
        {{"--script", "SCRIPT"}, "at 5s\nwait 1s\nat 2s\n", 65, "line 3: `at 2s` comes after line 2 has reached board time 6 s"},
        {{"--script", "SCRIPT"}, "expect report DCLOOOF00V010B7011\n", 65,
         "line 1: `expect report` takes at most the report's 14 characters"},
        {{"--script", "SCRIPT"}, "expect output maglock relesed\n", 65,
         "line 1: `expect output maglock` is followed by locked, released, not relesed"},
        {{"--script", "SCRIPT"}, "expect output strip blue\n", 65,
         "line 1: `expect output` names maglock, strips or amplifier, not strip"},
        {{"--script", "SCRIPT"}, "clear\x1b[2J\n", 65, "line 1: not a step: clear\\x1B[2J"},
        {{"--script", "SCRIPT", "--vcd", "/dev/full"}, "expect report DCL\n", 73,
         "--vcd /dev/full: the trace is not whole: No space left on device"},
        {{"--script", "SCRIPT", "--flash", empty_flash.path}, "wait 1ms\n", 66,
         "holds 0 bytes, not a flash of 2097152 (2 MiB): left as it is"},
    };
    for (const Row &row : rows) {
        std::ofstream(script.path, std::ios::trunc) << row.script;
        std::vector<std::string> args = row.args;
        std::replace(args.begin(), args.end(), std::string("SCRIPT"), script.path);
        Sim sim(args);
        ASSERT_TRUE(sim.started());
        sim.read_until([&] { return sim.ended(); }, kQuitMs);
        EXPECT_EQ(sim.exit_status(kQuitMs), row.exit_status) << args[1] << "\n" << sim.output;
        EXPECT_TRUE(sim.shows(row.shown)) << sim.output;
        EXPECT_FALSE(sim.shows("\x1b")) << "a control byte reached the terminal";
    }
    struct stat st {};
    EXPECT_EQ(stat(empty_flash.path.c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0) << "a flash file of the wrong size is left as it is";
}

// A line no command is that long is dropped as it comes, the board runs on,
// and SIGTERM ends orlix-sim at once.
TEST(OrlixSimTest, OverlongCommandLineIsRefusedAndSigtermEndsTheRun) {
    Sim sim;
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(sim.read_until([&] { return sim.shows("USB serial port"); }, kStartMs)) << sim.output;
    sim.send("send " + std::string(66000, 'L'));
    sim.send("send LOFALMOFFX050FCN");
    EXPECT_TRUE(sim.read_until([&] { return sim.shows("maglock: released"); }, kOutputsMs)) << sim.output;
    EXPECT_TRUE(sim.shows("\nnot a command: a line longer than 11516 characters\n")) << sim.output.substr(0, 2000);
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.exit_status(5000), 0) << "ends within a few slices of the signal";
    sim.read_until([&] { return sim.ended(); }, kQuitMs);
    EXPECT_TRUE(sim.shows("orlix-sim: stopped at")) << sim.output;
}

// A run killed after a press has kept the fob's counter: the next run's press
// is a new one, accepted. Counters lie beside the file a symbolic link names,
// and a second run on a flash in use is refused.
TEST(OrlixSimTest, FobCountersOutliveAKillAndTheFlashIsLocked) {
    TempFile flash, link;
    remove(flash.path.c_str());
    remove(link.path.c_str());
    ASSERT_EQ(symlink(flash.path.c_str(), link.path.c_str()), 0);
    std::string out;
    ASSERT_EQ(run_script("expect report DCLOOOF00\nwait 3s\nsend LONNOROFFX050FCP\nfob 1\n"
                         "expect report DCLOOOF01 within 2s\nsend LONNOROFFX050FCN\nwait 200ms\n",
                         {"--flash", link.path}, &out),
              0)
        << out;
    {
        // The press, then the board's restart shows it has taken the counter into its flash.
        TempFile press("fob 1\nexpect report DCLFLOF01 within 2s\nwait 2s\nreset\n"
                       "expect console \"counter=2\" within 2s\nwait 1000s\n");
        Sim sim({"--flash", flash.path, "--script", press.path});
        ASSERT_TRUE(sim.read_until([&] { return sim.shows("counter=2"); }, kOutputsMs * 2)) << sim.output;
        EXPECT_EQ(run_script("wait 1ms\n", {"--flash", link.path}, &out), 75) << out;
        EXPECT_TRUE(sim_shows(out, ": in use by another orlix-sim (the file is locked)")) << out;
        kill(sim.pid(), SIGKILL);
        EXPECT_EQ(sim.exit_status(kQuitMs), -1);
    }
    // The lockdown is kept too: the press unlocks.
    EXPECT_EQ(run_script("expect report DCLFLOF01\nwait 3s\nfob 1\nexpect report DCLFUNF01 within 2s\n", {"--flash", link.path},
                         &out),
              0)
        << out;
    EXPECT_TRUE(sim_shows(out, "counter 3")) << out;
    std::ifstream fobs(flash.path + ".fobs");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(fobs), {}), "3\n0\n0\n");
    EXPECT_NE(access((link.path + ".fobs").c_str(), F_OK), 0) << "none beside the link";
}

// Processor time of a process so far (user and system), in seconds.
double cpu_seconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string f;
    unsigned long long ticks = 0;
    for (int i = 3; fields >> f && i <= 15; i++) {
        if (i >= 14) ticks += std::stoull(f);  // utime, stime
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

TEST(OrlixSimTest, BootLoaderSaysSoAndRestsUntilReset) {
    Sim sim;
    ASSERT_TRUE(sim.started());
    ASSERT_TRUE(sim.read_until([&] { return sim.shows("USB serial port"); }, kStartMs)) << sim.output;
    Port usb(pty_path(sim, "USB serial port"));
    ASSERT_TRUE(usb.is_open());
    ASSERT_TRUE(sim.read_until([&] { return sim.shows("<<<DCL"); }, kOutputsMs)) << sim.output;
    usb.write_all("IOBOOTSEL\n");
    EXPECT_TRUE(sim.read_until([&] { return sim.shows("restarted into its USB boot loader"); }, kOutputsMs))
        << sim.output;
    EXPECT_TRUE(sim.shows("host->board    console IOBOOTSEL"));
    EXPECT_TRUE(sim.shows("board->host    console BOOTSEL"));
    const double before = cpu_seconds(sim.pid());
    sim.read_until([] { return false; }, 2000);
    EXPECT_LT(cpu_seconds(sim.pid()) - before, 0.2) << "two seconds in the boot loader";
    const size_t shown = sim.output.size();
    sim.send("reset");
    EXPECT_TRUE(sim.read_until([&] { return sim.output.find("<<<DCL", shown) != std::string::npos; }, kOutputsMs))
        << sim.output;
    EXPECT_TRUE(sim.shows("--- board restarted (boot 2)"));
}

// What a command prints (its standard error too).
std::string output_of(const std::string &command) {
    std::string text;
    if (FILE *p = popen((command + " 2>&1").c_str(), "r")) {
        char buf[4096];
        for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) text.append(buf, n);
        pclose(p);
    }
    return text;
}

// The annotations sigrok-cli's decoder gives for a trace, one a line, without the decoder's name.
std::vector<std::string> decoded(const std::string &vcd, const std::string &input_options, const std::string &decoder,
                                 const std::string &annotation) {
    std::istringstream lines(output_of("sigrok-cli -I vcd:" + input_options + " -i " + vcd + " -P " + decoder +
                                       " -A " + annotation));
    std::vector<std::string> out;
    for (std::string line; std::getline(lines, line);) out.push_back(line.substr(line.rfind(": ") + 2));
    return out;
}

// The clip's samples at the volume the board plays it (75/256 for 80 %).
std::vector<int16_t> clip_at_volume(const char *path, int gain) {
    std::ifstream in(path, std::ios::binary);
    const std::string wav((std::istreambuf_iterator<char>(in)), {});
    const size_t data = wav.find("data") + 8;
    std::vector<int16_t> out;
    for (size_t i = data; i + 1 < wav.size(); i += 2) {
        const auto s = static_cast<int16_t>(static_cast<uint8_t>(wav[i]) | static_cast<uint8_t>(wav[i + 1]) << 8);
        out.push_back(static_cast<int16_t>((s * gain) >> 8));
    }
    return out;
}

// A trace read back by a logic analyser's decoders: the screen line's text
// both ways, the strip's pixels and the I2S samples as the board was told.
TEST(OrlixSimTest, VcdTraceDecodesWithSigrok) {
    ASSERT_NE(output_of("sigrok-cli --version").find("sigrok-cli"), std::string::npos) << "sigrok-cli (scripts/setup)";
    TempFile vcd;
    std::string out;
    ASSERT_EQ(run_script("expect report DCLOOOF00\nsend LOFALMPO3X080FCN\nexpect output amplifier on\nwait 100ms\n",
                         {"--vcd", vcd.path}, &out),
              0)
        << out;

    std::string line_text[2];
    const char *const line_pins[2] = {"screen_tx", "screen_rx"};
    for (int i = 0; i < 2; i++) {
        for (const std::string &c : decoded(vcd.path, "downsample=20",
                                            std::string("uart:rx=") + line_pins[i] + ":baudrate=115200:format=ascii",
                                            "uart=rx-data")) {
            line_text[i] += c == "[0D]" ? "\r" : c == "[0A]" ? "\n" : c;
        }
    }
    EXPECT_NE(line_text[0].find("\r\n<<<DCLOOOF00V010B7011\r\nDoor: CLOSED   Fob: NONE   Lock: UNLOCKED   Lights: ALARM"),
              std::string::npos)
        << line_text[0];
    EXPECT_NE(line_text[1].find(">>>LOFALMPO3X080FCNE653\r\n"), std::string::npos) << line_text[1];

    // Warm white from the start, then the alarm's blue, pixel by pixel.
    const std::vector<std::string> pixels =
        decoded(vcd.path, "downsample=50:compress=10000 -C strip1", "rgb_led_ws281x:din=strip1", "rgb_led_ws281x=rgb");
    ASSERT_GE(pixels.size(), 400u);
    EXPECT_EQ(pixels.front(), "#ffff80");
    EXPECT_EQ(std::vector<std::string>(pixels.end() - 200, pixels.end()), std::vector<std::string>(200, "#0000ff"));

    // The lockdown clip at 80 % (a gain of 75/256), the same sample on both channels.
    const std::vector<std::string> left = decoded(vcd.path, "downsample=20", "i2s:sck=i2s_sck:ws=i2s_ws:sd=i2s_sd",
                                                  "i2s=left");
    const std::vector<std::string> right = decoded(vcd.path, "downsample=20", "i2s:sck=i2s_sck:ws=i2s_ws:sd=i2s_sd",
                                                   "i2s=right");
    const size_t both = std::min(left.size(), right.size());  // the trace may end between the two
    EXPECT_LE(left.size() - both + right.size() - both, 1u);
    EXPECT_TRUE(std::equal(left.begin(), left.begin() + static_cast<long>(both), right.begin()));
    std::vector<int16_t> heard;
    for (const std::string &word : left) heard.push_back(static_cast<int16_t>(std::stoul(word, nullptr, 16)));
    heard.erase(heard.begin(), std::find_if(heard.begin(), heard.end(), [](int16_t v) { return v != 0; }));
    std::vector<int16_t> told = clip_at_volume(ORLIX_CLIPS_DIR "/sound_lockdown.wav", 75);
    told.erase(told.begin(), std::find_if(told.begin(), told.end(), [](int16_t v) { return v != 0; }));
    ASSERT_GE(heard.size(), 1000u) << "a tenth of a second of the clip";
    EXPECT_EQ(std::vector<int16_t>(heard.begin(), heard.begin() + 1000), std::vector<int16_t>(told.begin(), told.begin() + 1000));
}

}  // namespace
