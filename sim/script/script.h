// Scripts for the virtual board and a fleet of them: plain text, one step a
// line, read without knowing any verb (each runner checks its own).
//
//   [@TARGET] VERB [ARGS...] [within DURATION]
//
// `#` starts a comment (outside quotes); blank lines are skipped. Words are
// separated by blanks; a double-quoted word may hold blanks, `\"` and `\\`.
// A DURATION is a number with a unit: `2.5s`, `300ms`, `20us`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace script {

// `within` when the line gives none.
constexpr uint64_t kDefaultWithinUs = 1000000;
// A script is a few hundred lines; a larger file is a wrong path (or a device
// such as /dev/zero, which is refused before it is read: only a regular file is).
constexpr size_t kMaxFileBytes = 1u << 20;

struct Step {
    unsigned line;  // from 1
    std::string target;  // without the `@`; "" when the line names none
    std::string verb;
    std::vector<std::string> args;  // quotes and escapes taken away
    uint64_t within_us = kDefaultWithinUs;
    bool within_given = false;
};

struct Error {
    unsigned line;
    std::string message;
};

struct Parsed {
    std::vector<Step> steps;
    std::vector<Error> errors;  // one at most per line, in line order
};

// Why a script file could not be read, with the exit status a tool gives it:
// 66 (cannot open input) for a missing, unreadable or not regular file, 65
// for one larger than kMaxFileBytes.
struct FileError {
    int exit_status;
    std::string message;  // "PATH: reason", printable
};
// Reads a script file whole into `text`. Never blocks: a FIFO without a
// writer is refused as not a regular file.
std::optional<FileError> read_file(const std::string &path, std::string *text);

Parsed parse(std::string_view text);
// Microseconds, or nothing for anything but a number and a unit (a fraction
// finer than a microsecond included).
std::optional<uint64_t> parse_duration(std::string_view word);
// "line 7: an unterminated quote", printable.
std::string describe(const Error &error);
// `text` safe to show on a terminal or to put in JSON: control bytes and bytes
// that are not UTF-8 as \xNN, the rest as it is.
std::string printable(std::string_view text);

}  // namespace script
