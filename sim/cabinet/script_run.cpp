#include "script_run.h"

#include <cstdio>
#include <optional>
#include <sstream>
#include <utility>

#include "hex.h"

namespace sim {

namespace {

constexpr size_t kMaxAirBytes = 200;  // a module sends no longer packet
// Some lines are logged a little after their time (a strip's frame once both
// strips have latched): an expectation is judged this long after its deadline.
constexpr uint64_t kLateNs = 30000000;
// An input report: the payload of the board's report frames.
constexpr size_t kReportChars = 14;
// The outputs the log shows, each with the words its lines can begin with.
struct OutputWords {
    const char *output;
    std::vector<const char *> next;
};
const OutputWords kOutputWords[] = {
    {"maglock", {"locked", "released"}},
    {"amplifier", {"on", "off"}},
    {"strips", {"off", "blue", "warm", "red", "strip", "several"}},
};

bool is_command(const std::string &verb) {
    for (const char *c : {"open", "close", "send", "fob", "peer", "reset", "power"}) {
        if (verb == c) return true;
    }
    return false;
}

std::string joined(const std::vector<std::string> &words, size_t from = 0) {
    std::string out;
    for (size_t i = from; i < words.size(); i++) out += (out.empty() ? "" : " ") + words[i];
    return out;
}

// An output line's words without their punctuation: "maglock: released" and
// "maglock released" alike.
std::vector<std::string> plain_words(const std::string &text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        while (!w.empty() && (w.back() == ':' || w.back() == ',')) w.pop_back();
        if (!w.empty()) words.push_back(w);
    }
    return words;
}

// Why `expect output WORDS` can never hold, or "".
std::string output_words_error(const std::vector<std::string> &args) {
    const std::vector<std::string> words = plain_words(joined(args, 1));
    for (const OutputWords &o : kOutputWords) {
        if (words.empty() || words[0] != o.output) continue;
        if (words.size() < 2) return "";
        for (const char *next : o.next) {
            if (words[1] == next) return "";
        }
        std::string known;
        for (const char *next : o.next) known += (known.empty() ? "" : ", ") + std::string(next);
        return "`expect output " + words[0] + "` is followed by " + known + ", not " + words[1];
    }
    return "`expect output` names maglock, strips or amplifier, not " + (words.empty() ? "nothing" : words[0]);
}

std::string duration_text(uint64_t us) {
    char text[32];
    snprintf(text, sizeof text, "%g s", static_cast<double>(us) / 1e6);
    return text;
}

}  // namespace

std::string script_command_line(const script::Step &step) {
    return joined(step.args).empty() ? step.verb : step.verb + " " + joined(step.args);
}

std::vector<std::string> ScriptRun::check(const std::vector<script::Step> &steps,
                                          const std::function<std::string(const std::string &)> &command_error) {
    std::vector<std::string> errors;
    // The board time every step before reaches at least (waits and ats
    // added), and the line that reaches it: an `at` before it never waits.
    uint64_t earliest_us = 0;
    unsigned earliest_line = 0;
    for (const script::Step &s : steps) {
        std::string why;
        const size_t n = s.args.size();
        if (!s.target.empty()) {
            why = "a single board takes no target (@" + s.target + ")";
        } else if (s.within_given && s.verb != "expect") {
            why = "`within` belongs to `expect`";
        } else if (is_command(s.verb)) {
            why = command_error(script_command_line(s));
        } else if (s.verb == "wait" || s.verb == "at") {
            const auto us = n == 1 ? script::parse_duration(s.args[0]) : std::nullopt;
            if (!us) {
                why = "`" + s.verb + "` takes a duration (2.5s, 300ms, 20us)";
            } else if (s.verb == "at" && *us < earliest_us) {
                why = "`at " + s.args[0] + "` comes after line " + std::to_string(earliest_line) +
                      " has reached board time " + duration_text(earliest_us);
            } else {
                earliest_us = s.verb == "at" ? *us : earliest_us + *us;
                earliest_line = s.line;
            }
        } else if (s.verb == "air") {
            const auto bytes = peers::from_spaced_hex(joined(s.args));
            if (!bytes || bytes->size() > kMaxAirBytes) {
                why = "`air` takes 1 to 200 bytes in hex digits";
            }
        } else if (s.verb == "expect") {
            const std::string what = n > 0 ? s.args[0] : "";
            if ((what == "report" || what == "console") && n != 2) {
                why = "`expect " + what + "` takes one text (in quotes if it holds blanks)";
            } else if (what == "report" && s.args[1].size() > kReportChars) {
                why = "`expect report` takes at most the report's " + std::to_string(kReportChars) + " characters";
            } else if (what == "output" && n < 2) {
                why = "`expect output` takes the output's words (maglock released)";
            } else if (what == "output") {
                why = output_words_error(s.args);
            } else if (what != "report" && what != "console" && what != "output") {
                why = "`expect` takes report, console or output";
            }
        } else {
            why = "not a step: " + s.verb;
        }
        if (!why.empty()) errors.push_back(script::describe({s.line, why}));
    }
    return errors;
}

ScriptRun::ScriptRun(std::vector<script::Step> steps, std::function<std::string(const std::string &)> command,
                     std::function<void(const std::string &)> air)
    : steps_(std::move(steps)), command_(std::move(command)), air_(std::move(air)) {}

uint64_t ScriptRun::step(uint64_t now_ns) {
    while (!finished()) {
        const script::Step &s = steps_[next_];
        if (is_command(s.verb)) {
            const std::string why = command_(script_command_line(s));
            if (!why.empty()) {
                fail(why);
                return now_ns;
            }
        } else if (s.verb == "air") {
            air_(peers::from_spaced_hex(joined(s.args)).value_or(""));
        } else if (s.verb == "wait" || s.verb == "at") {
            if (!waiting_) {
                waiting_ = true;
                until_ns_ = *script::parse_duration(s.args[0]) * 1000 + (s.verb == "wait" ? now_ns : 0);
            }
            if (now_ns < until_ns_) return until_ns_;
        } else {  // expect
            if (!waiting_) {
                waiting_ = true;
                matched_ = false;
                last_seen_.clear();
                since_ns_ = now_ns;
                until_ns_ = now_ns + s.within_us * 1000;
            }
            if (!matched_) {
                if (now_ns < until_ns_ + kLateNs) return until_ns_ + kLateNs;
                std::string why = "not within " + duration_text(s.within_us);
                if (!last_seen_.empty()) why += " (the last " + s.args[0] + ": " + last_seen_ + ")";
                fail(why);
                return now_ns;
            }
            held_++;
        }
        waiting_ = false;
        next_++;
    }
    return UINT64_MAX;
}

void ScriptRun::observe(uint64_t t_ns, const std::string &direction, const std::string &kind,
                        const std::string &text) {
    if (finished() || !waiting_ || matched_ || t_ns < since_ns_ || t_ns > until_ns_) return;
    const script::Step &s = steps_[next_];
    if (s.verb != "expect") return;
    const std::string &what = s.args[0];
    if (what == "report" && kind == "frame" && direction == "board->screen" && text.size() > 7 &&
        text.compare(3, 1, "F") != 0) {
        last_seen_ = text.substr(3, text.size() - 7);
        matched_ = last_seen_.compare(0, s.args[1].size(), s.args[1]) == 0;
    } else if (what == "console" && kind == "console" && direction.compare(0, 7, "board->") == 0) {
        last_seen_ = text;
        matched_ = text.find(s.args[1]) != std::string::npos;
    } else if (what == "output" && kind == "output") {
        last_seen_ = text;
        const std::vector<std::string> want = plain_words(joined(s.args, 1)), got = plain_words(text);
        matched_ = want.size() <= got.size() && std::equal(want.begin(), want.end(), got.begin());
    }
}

void ScriptRun::abort(const std::string &why) {
    if (!finished()) fail(why);
}

void ScriptRun::fail(const std::string &why) {
    const script::Step &s = steps_[next_];
    std::string line = s.verb;
    for (const std::string &a : s.args) line += a.find(' ') == std::string::npos ? " " + a : " \"" + a + "\"";
    failure_ = script::describe({s.line, line + ": " + why});
}

}  // namespace sim
