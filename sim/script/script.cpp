#include "script.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace script {

namespace {

// Longer than any board runs (about 31 years); keeps the sums far from overflow.
constexpr uint64_t kMaxDurationUs = 1000000000000000ull;

struct Word {
    std::string text;
    bool quoted;
};

bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The line's words, or an error message.
std::optional<std::string> split(std::string_view line, std::vector<Word> &words) {
    size_t i = 0;
    while (i < line.size()) {
        if (blank(line[i])) {
            i++;
            continue;
        }
        if (line[i] == '#') break;
        Word word{"", line[i] == '"'};
        if (!word.quoted) {
            while (i < line.size() && !blank(line[i]) && line[i] != '#') {
                if (line[i] == '"') return "a quote inside a word";
                word.text += line[i++];
            }
        } else {
            for (i++;; i++) {
                if (i >= line.size()) return "an unterminated quote";
                if (line[i] == '"') break;
                if (line[i] == '\\') {
                    if (i + 1 >= line.size() || (line[i + 1] != '"' && line[i + 1] != '\\')) {
                        return "a backslash in quotes must be followed by \" or \\";
                    }
                    i++;
                }
                word.text += line[i];
            }
            i++;
            if (i < line.size() && !blank(line[i]) && line[i] != '#') return "a quote inside a word";
        }
        words.push_back(std::move(word));
    }
    return std::nullopt;
}

// A step from the line's words, or an error message.
std::optional<std::string> step_of(std::vector<Word> &words, Step &step) {
    size_t first = 0;
    if (!words[0].quoted && words[0].text[0] == '@') {
        step.target = words[0].text.substr(1);
        if (step.target.empty()) return "a target `@` without a name";
        first = 1;
    }
    if (first >= words.size()) return "a target without a verb";
    size_t end = words.size();
    for (size_t i = first + 1; i < words.size(); i++) {
        if (words[i].quoted || words[i].text != "within") continue;
        if (i + 2 != words.size()) return "`within` takes one duration at the end of the line";
        const auto us = parse_duration(words[i + 1].text);
        if (!us) return "not a duration: " + words[i + 1].text + " (e.g. 2.5s, 300ms, 20us)";
        step.within_us = *us;
        step.within_given = true;
        end = i;
    }
    step.verb = words[first].text;
    for (size_t i = first + 1; i < end; i++) step.args.push_back(std::move(words[i].text));
    return std::nullopt;
}

// The length of the well-formed UTF-8 sequence at the start of `s`, or 0.
size_t utf8_length(std::string_view s) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(s[i]); };
    const unsigned char lead = byte(0);
    size_t n;
    unsigned low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead < 0x80) return 1;
    if (lead >= 0xC2 && lead <= 0xDF) {
        n = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (s.size() < n || byte(1) < low || byte(1) > high) return 0;
    for (size_t i = 2; i < n; i++) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) return 0;
    }
    return n;
}

}  // namespace

std::optional<uint64_t> parse_duration(std::string_view word) {
    size_t i = 0;
    uint64_t whole = 0;
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; i++) {
        if (whole > kMaxDurationUs) return std::nullopt;
        whole = whole * 10 + static_cast<uint64_t>(word[i] - '0');
    }
    if (i == 0) return std::nullopt;
    uint64_t fraction = 0, scale = 1;  // fraction / scale
    if (i < word.size() && word[i] == '.') {
        const size_t point = i++;
        for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; i++) {
            if (scale >= 1000000000ull) return std::nullopt;
            fraction = fraction * 10 + static_cast<uint64_t>(word[i] - '0');
            scale *= 10;
        }
        if (i == point + 1) return std::nullopt;
    }
    const std::string_view unit = word.substr(i);
    uint64_t unit_us;
    if (unit == "us") {
        unit_us = 1;
    } else if (unit == "ms") {
        unit_us = 1000;
    } else if (unit == "s") {
        unit_us = 1000000;
    } else {
        return std::nullopt;
    }
    if (whole > kMaxDurationUs / unit_us) return std::nullopt;
    if (fraction * unit_us % scale != 0) return std::nullopt;
    return whole * unit_us + fraction * unit_us / scale;
}

Parsed parse(std::string_view text) {
    Parsed out;
    unsigned number = 0;
    while (!text.empty() || number == 0) {
        const size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text = nl == std::string_view::npos ? std::string_view() : text.substr(nl + 1);
        number++;
        std::vector<Word> words;
        std::optional<std::string> error = split(line, words);
        if (!error && words.empty()) continue;
        Step step{number, "", "", {}};
        if (!error) error = step_of(words, step);
        if (error) {
            out.errors.push_back({number, *error});
        } else {
            out.steps.push_back(std::move(step));
        }
    }
    return out;
}

std::optional<FileError> read_file(const std::string &path, std::string *text) {
    const auto failed = [&](int status, const std::string &why) {
        return FileError{status, printable(path) + ": " + why};
    };
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return failed(66, strerror(errno));
    struct stat st{};
    std::optional<FileError> error;
    if (fstat(fd, &st) != 0) {
        error = failed(66, strerror(errno));
    } else if (S_ISDIR(st.st_mode)) {
        error = failed(66, strerror(EISDIR));
    } else if (!S_ISREG(st.st_mode)) {
        error = failed(66, "not a regular file");
    } else if (static_cast<uint64_t>(st.st_size) > kMaxFileBytes) {
        error = failed(65, "larger than a script may be (" + std::to_string(kMaxFileBytes) + " bytes)");
    }
    text->clear();
    char buf[65536];
    while (!error) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0 && text->size() + static_cast<size_t>(n) > kMaxFileBytes) {
            error = failed(65, "larger than a script may be (" + std::to_string(kMaxFileBytes) + " bytes)");
        } else if (n > 0) {
            text->append(buf, static_cast<size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            error = failed(66, strerror(errno));
        }
    }
    close(fd);
    return error;
}

std::string describe(const Error &error) {
    return "line " + std::to_string(error.line) + ": " + printable(error.message);
}

std::string printable(std::string_view text) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        const size_t n = utf8_length(text.substr(i));
        if (n > 1 || (n == 1 && c >= 0x20 && c != 0x7F)) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
            i++;
        }
    }
    return out;
}

}  // namespace script
