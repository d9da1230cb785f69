// orlix-fobmsg: makes the 48-byte radio messages of the cabinets' fobs and
// boards, and checks received ones.
//
//   orlix-fobmsg [--key-file FILE] [--raw] fob UID1 UID2 UID3 COUNTER [TAIL]
//   orlix-fobmsg [--key-file FILE] [--raw] [--event COUNTER:ORIGIN] [--fresh EPOCH:SEQUENCE]
//                status BOARD_ID STATE AGE_MS [KIND]
//   orlix-fobmsg [--key-file FILE] check MESSAGE
//
// UID words are hexadecimal, as the board prints them ("MSG FROM" lines);
// TAIL is up to 16 bytes of hexadecimal for bytes 16 to 31 of a fob message;
// BOARD_ID is 16 hexadecimal digits; STATE is NONE, LOCKDOWN, UNLOCK or
// 0 to 255; COUNTER, AGE_MS and KIND are numbers (0x for hexadecimal).
// --event puts an event's counter and 16-bit origin tag into bytes 20 to 25
// of a status message, --fresh the sender's boot epoch (1 or more) and
// 16-bit sequence into bytes 26 to 31, each big-endian.
// The key is the one this build was made with unless a key file is given.
// Output: the message as 96 hexadecimal digits and a newline, or with --raw
// the 48 bytes alone. `check` exits 0 for an authentic message and prints
// its fields.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "radio_messages.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitNotAuthentic = 1;
constexpr size_t kEventAt = 20;  // counter and origin of the event a status message tells
constexpr size_t kFreshAt = 26;  // its sender's boot epoch and sequence

[[noreturn]] void usage(const char *error) {
    if (error != nullptr) fprintf(stderr, "orlix-fobmsg: %s\n", error);
    fprintf(stderr,
            "usage: orlix-fobmsg [--key-file FILE] [--raw] fob UID1 UID2 UID3 COUNTER [TAIL]\n"
            "       orlix-fobmsg [--key-file FILE] [--raw] [--event COUNTER:ORIGIN] [--fresh EPOCH:SEQUENCE]\n"
            "                    status BOARD_ID STATE AGE_MS [KIND]\n"
            "       orlix-fobmsg [--key-file FILE] check MESSAGE\n");
    exit(kExitUsage);
}

std::optional<uint32_t> number(const std::string &text, int base) {
    if (text.empty()) return std::nullopt;
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || v > UINT32_MAX || text[0] == '-') return std::nullopt;
    return static_cast<uint32_t>(v);
}

uint32_t word_arg(const std::string &text, const char *what) {
    std::string t = text;
    if (t.rfind("0x", 0) == 0 || t.rfind("0X", 0) == 0) t = t.substr(2);
    const auto v = number(t, 16);
    if (!v) usage((std::string(what) + " must be a 32-bit hexadecimal word").c_str());
    return *v;
}

uint32_t number_arg(const std::string &text, const char *what) {
    const auto v = number(text, 0);
    if (!v) usage((std::string(what) + " must be a 32-bit number").c_str());
    return *v;
}

std::string bytes_arg(const std::string &text, size_t max, const char *what) {
    const auto b = peers::from_hex(text);
    if (!b || b->size() > max) usage((std::string(what) + ": at most " + std::to_string(max) + " hex bytes").c_str());
    return *b;
}

// "A:B": a 32-bit number and a 16-bit one.
struct Pair {
    uint32_t first;
    uint16_t second;
};
Pair pair_arg(const std::string &text, const char *what, uint32_t first_min) {
    const size_t colon = text.find(':');
    const auto a = number(text.substr(0, colon), 0);
    const auto b = colon == std::string::npos ? std::nullopt : number(text.substr(colon + 1), 0);
    if (!a || !b || *a < first_min || *b > UINT16_MAX) {
        usage((std::string(what) + " must be two numbers A:B, A of 32 bits" + (first_min > 0 ? " from 1" : "") +
               ", B of 16 bits")
                  .c_str());
    }
    return {*a, static_cast<uint16_t>(*b)};
}

// Bytes at..at+5 of a status message: a 32-bit and a 16-bit number, big-endian.
void put_pair(peers::Message &m, size_t at, const Pair &p) {
    for (unsigned k = 0; k < 4; k++) m[at + k] = static_cast<uint8_t>(p.first >> (24 - 8 * k));
    m[at + 4] = static_cast<uint8_t>(p.second >> 8);
    m[at + 5] = static_cast<uint8_t>(p.second);
}

// `shared_secret = <64 hexadecimal digits>` from a radio key file.
peers::Key read_key_file(const char *path) {
    std::ifstream in(path);
    if (!in) usage((std::string("cannot read the key file ") + path).c_str());
    std::string line;
    while (std::getline(in, line)) {
        const size_t name = line.find_first_not_of(" \t");
        if (name == std::string::npos || line.compare(name, 13, "shared_secret") != 0) continue;
        const size_t eq = line.find('=', name);
        if (eq == std::string::npos) continue;
        const auto bytes = peers::from_hex(line.substr(eq + 1));
        if (!bytes || bytes->size() != peers::kKeySize) usage("shared_secret in the key file must be 32 bytes");
        peers::Key key{};
        memcpy(key.data(), bytes->data(), key.size());
        return key;
    }
    usage("the key file has no shared_secret line");
}

void write_message(const peers::Message &m, bool raw) {
    if (raw) {
        fwrite(m.data(), 1, m.size(), stdout);
    } else {
        printf("%s\n", peers::hex(m.data(), m.size()).c_str());
    }
}

int check(const std::string &text, const peers::Key &key) {
    const std::string b = bytes_arg(text, peers::kMessageSize, "MESSAGE");
    if (b.size() != peers::kMessageSize) usage("MESSAGE must be 48 bytes");
    peers::Message m{};
    memcpy(m.data(), b.data(), m.size());
    if (!peers::authentic(m, key)) {
        printf("not authentic\n");
        return kExitNotAuthentic;
    }
    if (const auto s = peers::decode_status(m)) {
        printf("status message: board %s kind 0x%02X fob state %u age %u ms\n",
               peers::hex(s->sender.data(), s->sender.size()).c_str(), s->kind, s->fob, s->age_ms);
    } else {
        const peers::FobFields f = peers::decode_fob(m);
        printf("fob message: %08x %08x %08x counter %u tail %s\n", f.uid1, f.uid2, f.uid3, f.counter,
               peers::hex(m.data() + 16, 16).c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    peers::Key key = peers::build_key();
    bool raw = false;
    std::optional<Pair> event, fresh;
    size_t i = 0;
    for (; i < args.size() && args[i].rfind("--", 0) == 0; i++) {
        if (args[i] == "--raw") {
            raw = true;
        } else if (args[i] == "--key-file" && i + 1 < args.size()) {
            key = read_key_file(args[++i].c_str());
        } else if (args[i] == "--event" && i + 1 < args.size()) {
            event = pair_arg(args[++i], "--event COUNTER:ORIGIN", 0);
        } else if (args[i] == "--fresh" && i + 1 < args.size()) {
            fresh = pair_arg(args[++i], "--fresh EPOCH:SEQUENCE", 1);
        } else if (args[i] == "--help") {
            usage(nullptr);
        } else {
            usage(("unknown option " + args[i]).c_str());
        }
    }
    if (i == args.size()) usage(nullptr);
    const std::string what = args[i++];
    const std::vector<std::string> rest(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());

    if (what == "fob" && (rest.size() == 4 || rest.size() == 5)) {
        peers::Tail tail{};
        if (rest.size() == 5) {
            const std::string t = bytes_arg(rest[4], tail.size(), "TAIL");
            memcpy(tail.data(), t.data(), t.size());
        }
        write_message(peers::fob_message(key, word_arg(rest[0], "UID1"), word_arg(rest[1], "UID2"),
                                         word_arg(rest[2], "UID3"), number_arg(rest[3], "COUNTER"), tail),
                      raw);
        return 0;
    }
    if (what == "status" && (rest.size() == 3 || rest.size() == 4)) {
        const std::string id = bytes_arg(rest[0], peers::kBoardIdSize, "BOARD_ID");
        if (id.size() != peers::kBoardIdSize) usage("BOARD_ID must be 8 bytes");
        peers::BoardId board{};
        memcpy(board.data(), id.data(), board.size());
        uint32_t state = 0;
        if (rest[1] == "NONE") {
            state = 0;
        } else if (rest[1] == "LOCKDOWN") {
            state = 1;
        } else if (rest[1] == "UNLOCK") {
            state = 2;
        } else {
            state = number_arg(rest[1], "STATE");
            if (state > UINT8_MAX) usage("STATE must be NONE, LOCKDOWN, UNLOCK or 0 to 255");
        }
        uint32_t kind = peers::kStatusKind;
        if (rest.size() == 4) {
            kind = number_arg(rest[3], "KIND");
            if (kind > UINT8_MAX) usage("KIND must be 0 to 255");
        }
        peers::Message m = peers::status_message(key, board, static_cast<uint8_t>(state),
                                                 number_arg(rest[2], "AGE_MS"), static_cast<uint8_t>(kind));
        if (event) put_pair(m, kEventAt, *event);
        if (fresh) put_pair(m, kFreshAt, *fresh);
        write_message(peers::seal(m, key), raw);
        return 0;
    }
    if (what == "check" && rest.size() == 1) return check(rest[0], key);
    usage("unknown command or wrong number of arguments");
}
