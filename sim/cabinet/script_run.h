// A script run on the virtual board (orlix-sim --script): the interactive
// commands, waits on the board's clock, raw bytes on the air, and
// expectations of what the board sends and does, each within a deadline of
// board time. Lines as sim/script/script.h reads them.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "script.h"

namespace sim {

class ScriptRun {
public:
    // `command` carries out an interactive command line ("fob 1"), and says
    // why it could not ("" when it did); `air` puts bytes on the air.
    ScriptRun(std::vector<script::Step> steps, std::function<std::string(const std::string &line)> command,
              std::function<void(const std::string &bytes)> air);
    // The steps' errors ("line 4: ..."), found before anything runs.
    // `command_error` judges an interactive command line ("" when it is one).
    static std::vector<std::string> check(const std::vector<script::Step> &steps,
                                          const std::function<std::string(const std::string &line)> &command_error);
    // Takes the steps that are due at board time `now_ns`; returns the board
    // time the board may run to before it must be called again.
    uint64_t step(uint64_t now_ns);
    // A line of the log, as it is logged.
    void observe(uint64_t t_ns, const std::string &direction, const std::string &kind, const std::string &text);
    // The board can run no more (it crashed): the script fails.
    void abort(const std::string &why);

    bool finished() const { return next_ >= steps_.size() || !failure_.empty(); }
    // "" when every step has held so far.
    const std::string &failure() const { return failure_; }
    unsigned expectations() const { return held_; }

private:
    void fail(const std::string &why);

    std::vector<script::Step> steps_;
    std::function<std::string(const std::string &)> command_;
    std::function<void(const std::string &)> air_;
    size_t next_ = 0;
    bool waiting_ = false;  // the step at next_ has begun
    uint64_t since_ns_ = 0, until_ns_ = 0;
    bool matched_ = false;
    std::string last_seen_;  // of the kind the expectation waits for
    std::string failure_;
    unsigned held_ = 0;
};

// The command line of a step that is an interactive command ("peer 1 2000").
std::string script_command_line(const script::Step &step);

}  // namespace sim
