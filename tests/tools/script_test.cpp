// The script reader: steps with their line numbers, quoting, `within`,
// durations, and an error with its line for each malformed one.
#include <gtest/gtest.h>

#include "script.h"

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

namespace {

TEST(ScriptTest, ReadsStepsTargetsQuotesAndWithin) {
    const script::Parsed p = script::parse(
        "# a comment\n"
        "\n"
        "  open\r\n"
        "@B expect console \"TOGGLE! # not a comment\" within 300ms  # a comment\n"
        "send \"a \\\"b\\\" \\\\\" \"within\"\n"
        "expect output maglock released\n");
    ASSERT_TRUE(p.errors.empty()) << script::describe(p.errors[0]);
    ASSERT_EQ(p.steps.size(), 4u);
    EXPECT_EQ(p.steps[0].line, 3u);
    EXPECT_EQ(p.steps[0].verb, "open");
    EXPECT_TRUE(p.steps[0].args.empty());
    EXPECT_EQ(p.steps[1].line, 4u);
    EXPECT_EQ(p.steps[1].target, "B");
    EXPECT_EQ(p.steps[1].verb, "expect");
    EXPECT_EQ(p.steps[1].args, (std::vector<std::string>{"console", "TOGGLE! # not a comment"}));
    EXPECT_EQ(p.steps[1].within_us, 300000u);
    EXPECT_TRUE(p.steps[1].within_given);
    EXPECT_EQ(p.steps[2].args, (std::vector<std::string>{"a \"b\" \\", "within"}));  // a quoted "within" is a word
    EXPECT_EQ(p.steps[2].target, "");
    EXPECT_EQ(p.steps[3].args, (std::vector<std::string>{"output", "maglock", "released"}));
    EXPECT_EQ(p.steps[3].within_us, script::kDefaultWithinUs);
    EXPECT_FALSE(p.steps[3].within_given);
}

TEST(ScriptTest, NamesTheLineOfEachError) {
    const script::Parsed p = script::parse(
        "open\n"
        "expect console \"unterminated\n"
        "@ open\n"
        "@all\n"
        "expect report D within 2 s\n"
        "expect report D within\n"
        "send ab\"c\n"
        "send \"a\\n\"\n"
        "wait 1s within 2s\n");
    ASSERT_EQ(p.steps.size(), 2u);
    EXPECT_EQ(p.steps[1].line, 9u);  // `within` on any verb: the runner judges it
    std::vector<std::string> errors;
    for (const script::Error &e : p.errors) errors.push_back(script::describe(e));
    EXPECT_EQ(errors, (std::vector<std::string>{
                          "line 2: an unterminated quote",
                          "line 3: a target `@` without a name",
                          "line 4: a target without a verb",
                          "line 5: `within` takes one duration at the end of the line",
                          "line 6: `within` takes one duration at the end of the line",
                          "line 7: a quote inside a word",
                          "line 8: a backslash in quotes must be followed by \" or \\",
                      }));
}

TEST(ScriptTest, DurationsInMicroseconds) {
    EXPECT_EQ(script::parse_duration("2.5s"), 2500000u);
    EXPECT_EQ(script::parse_duration("300ms"), 300000u);
    EXPECT_EQ(script::parse_duration("0.001ms"), 1u);
    EXPECT_EQ(script::parse_duration("20us"), 20u);
    EXPECT_EQ(script::parse_duration("0s"), 0u);
    for (const char *bad : {"", "s", "2", "2.s", ".5s", "-1s", "1.5us", "2 s", "1h", "1e3ms", "99999999999999999999s"}) {
        EXPECT_FALSE(script::parse_duration(bad)) << bad;
    }
}

// Only a regular file up to the size limit is read, and nothing blocks: a
// FIFO without a writer or /dev/zero is refused before a byte is read.
TEST(ScriptTest, ReadsOnlyRegularFilesOfAScriptsSize) {
    char dir_template[] = "/tmp/script-test.XXXXXX";
    ASSERT_NE(mkdtemp(dir_template), nullptr);
    const std::string dir = dir_template;
    std::ofstream(dir + "/ok") << "wait 1s\n";
    std::ofstream(dir + "/big") << std::string(script::kMaxFileBytes + 1, '#');
    ASSERT_EQ(mkfifo((dir + "/fifo").c_str(), 0600), 0);
    const struct {
        std::string path;
        int status;  // 0: read
        const char *says;
    } cases[] = {
        {dir + "/ok", 0, ""},
        {dir + "/missing", 66, "No such file or directory"},
        {dir, 66, "Is a directory"},
        {dir + "/fifo", 66, "not a regular file"},
        {"/dev/zero", 66, "not a regular file"},
        {dir + "/big", 65, "larger than a script may be (1048576 bytes)"},
    };
    for (const auto &c : cases) {
        std::string text;
        const auto error = script::read_file(c.path, &text);
        EXPECT_EQ(error ? error->exit_status : 0, c.status) << c.path;
        if (error) {
            EXPECT_EQ(error->message, c.path + ": " + c.says);
        }
    }
    std::string text;
    EXPECT_FALSE(script::read_file(dir + "/ok", &text));
    EXPECT_EQ(text, "wait 1s\n");
    for (const char *f : {"/ok", "/big", "/fifo"}) unlink((dir + f).c_str());
    rmdir(dir.c_str());
}

// Bytes from a script reach a terminal or a page only escaped.
TEST(ScriptTest, PrintableEscapesControlBytesAndBrokenUtf8) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain \"text\" \\ ok", "plain \"text\" \\ ok"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x92", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x92"},
        {"\x1B[2Jclear\r\n\x7F", "\\x1B[2Jclear\\x0D\\x0A\\x7F"},
        {"\xFF\xC3 \xC0\xAF \xED\xA0\x80 \xF4\x90\x80\x80", "\\xFF\\xC3 \\xC0\\xAF \\xED\\xA0\\x80 \\xF4\\x90\\x80\\x80"},
    };
    for (const auto &c : cases) EXPECT_EQ(script::printable(c.in), c.out);
    EXPECT_EQ(script::describe({3, "not a duration: 1\x1B[31m"}), "line 3: not a duration: 1\\x1B[31m");
}

}  // namespace
