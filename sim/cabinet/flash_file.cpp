#include "flash_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "script.h"
#include "vboard.h"
#include "vboard_flash.h"

namespace sim {

namespace {

int fd = -1;
std::string fobs_path;
std::vector<uint32_t> fobs_kept;
std::vector<uint32_t> fobs_failed;  // counters that could not be kept: tried again at the next change or the end
uint64_t ops_seen = 0;
std::map<uint32_t, uint64_t> pending;  // sectors to write, and when their last operation ends
// The file being made beside its final name, for flash_file_abandon().
char making[PATH_MAX + 16] = "";
// As many links as the kernel follows in one path.
constexpr unsigned kMaxLinkHops = 40;

bool write_all(int to, const uint8_t *data, size_t len, off_t at) {
    for (size_t done = 0; done < len;) {
        const ssize_t n = pwrite(to, data + done, len - done, at + static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool write_at(uint32_t offset, size_t len) {
    return write_all(fd, vb::flash_data() + offset, len, static_cast<off_t>(offset));
}

// Puts `len` bytes at `path` whole or not at all: written to a new file beside
// it and synced, then renamed over it (`replace`), or linked there when
// nothing is there yet (a file another run made meanwhile is kept). "" or why not.
std::string write_beside(const std::string &path, const uint8_t *data, size_t len, bool replace) {
    const std::string temp = path + ".new-XXXXXX";
    if (temp.size() >= sizeof making) return strerror(ENAMETOOLONG);
    memcpy(making, temp.c_str(), temp.size() + 1);
    const int out = mkstemp(making);
    if (out < 0) {
        const int err = errno;
        making[0] = '\0';
        return strerror(err);
    }
    bool ok = fchmod(out, 0644) == 0 && write_all(out, data, len, 0) && fsync(out) == 0;
    int err = errno;
    if (close(out) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok) {
        ok = replace ? rename(making, path.c_str()) == 0 : link(making, path.c_str()) == 0 || errno == EEXIST;
        err = errno;
    }
    unlink(making);  // after a rename no longer there
    making[0] = '\0';
    return ok ? "" : strerror(err);
}

std::string shown(const std::string &path) {
    return script::printable(path);
}

void read_fobs(uint32_t *fob_counters, unsigned fobs) {
    if (FILE *f = fopen(fobs_path.c_str(), "r")) {
        for (unsigned i = 0; i < fobs; i++) {
            unsigned long c;
            if (fscanf(f, "%lu", &c) == 1) fob_counters[i] = static_cast<uint32_t>(c);
        }
        fclose(f);
    }
    fobs_kept.assign(fob_counters, fob_counters + fobs);
}

// The file `path` names through any symbolic links, whether it exists yet or
// not (a link may name a flash still to be made).
std::string followed(std::string path) {
    for (unsigned hops = 0; hops < kMaxLinkHops; hops++) {
        char target[PATH_MAX];
        const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
        if (n < 0) break;  // not a link (or nothing there)
        const std::string to(target, static_cast<size_t>(n));
        const size_t slash = path.rfind('/');
        path = to[0] == '/' || slash == std::string::npos ? to : path.substr(0, slash + 1) + to;
    }
    return path;
}

std::optional<FlashFileError> refuse(int status, const std::string &message) {
    if (fd >= 0) close(fd);
    fd = -1;
    return FlashFileError{status, message};
}

}  // namespace

std::optional<FlashFileError> flash_file_open(const std::string &path, uint32_t *fob_counters, unsigned fobs) {
    // Through a symbolic link: the file it names, and its counters beside it.
    const std::string file = followed(path);
    fd = open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        const std::string why = write_beside(file, vb::flash_data(), vb::kFlashSize, false);  // a new flash, erased
        if (!why.empty()) return refuse(kFlashExitCantCreate, shown(path) + ": cannot make it: " + why);
        fd = open(file.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (fd < 0) return refuse(kFlashExitUnusable, shown(path) + ": " + strerror(errno));
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return refuse(kFlashExitUnusable, shown(path) + ": not a regular file");
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EWOULDBLOCK) {
            return refuse(kFlashExitInUse, shown(path) + ": in use by another orlix-sim (the file is locked)");
        }
        return refuse(kFlashExitUnusable, shown(path) + ": cannot lock it: " + strerror(errno));
    }
    if (st.st_size != vb::kFlashSize) {
        return refuse(kFlashExitUnusable, shown(path) + " holds " + std::to_string(st.st_size) +
                                              " bytes, not a flash of " + std::to_string(vb::kFlashSize) +
                                              " (2 MiB): left as it is");
    }
    std::vector<uint8_t> image(vb::kFlashSize);
    if (pread(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
        return refuse(kFlashExitUnusable, shown(path) + ": cannot read it");
    }
    vb::flash_write(0, image.data(), image.size());
    ops_seen = vb::flash_op_count();
    fobs_path = file + ".fobs";
    read_fobs(fob_counters, fobs);
    return std::nullopt;
}

void flash_file_sync() {
    if (fd < 0) return;
    // An operation is logged as it starts, and its cells change when it ends.
    const std::vector<vb::FlashOp> ops = vb::flash_ops(ops_seen);
    for (const vb::FlashOp &op : ops) {
        const uint64_t takes = op.kind == vb::FlashOpKind::Erase ? vb::kFlashEraseNs : vb::kFlashProgramNs;
        uint64_t &end = pending[op.offset / vb::kFlashSectorSize];
        end = std::max({end, op.end_ns, op.start_ns + takes});
    }
    if (ops.size() < vb::flash_op_count() - ops_seen) {  // more than the log keeps: all of it
        for (uint32_t s = 0; s < vb::kFlashSize / vb::kFlashSectorSize; s++) pending[s] = vb::now_ns();
    }
    ops_seen = vb::flash_op_count();
    for (auto it = pending.begin(); it != pending.end();) {
        if (it->second > vb::now_ns()) {
            ++it;
            continue;
        }
        if (!write_at(it->first * vb::kFlashSectorSize, vb::kFlashSectorSize)) perror("orlix-sim: flash file");
        it = pending.erase(it);
    }
}

void flash_file_keep_fobs(const uint32_t *fob_counters, unsigned fobs) {
    if (fd < 0 || std::equal(fob_counters, fob_counters + fobs, fobs_kept.begin(), fobs_kept.end()) ||
        std::equal(fob_counters, fob_counters + fobs, fobs_failed.begin(), fobs_failed.end())) {
        return;
    }
    std::string text;
    for (unsigned i = 0; i < fobs; i++) text += std::to_string(fob_counters[i]) + "\n";
    const std::string why =
        write_beside(fobs_path, reinterpret_cast<const uint8_t *>(text.data()), text.size(), true);
    if (why.empty()) {
        fobs_kept.assign(fob_counters, fob_counters + fobs);
        fobs_failed.clear();
    } else {
        fprintf(stderr, "orlix-sim: %s: %s\n", shown(fobs_path).c_str(), why.c_str());
        fobs_failed.assign(fob_counters, fob_counters + fobs);
    }
}

void flash_file_close(const uint32_t *fob_counters, unsigned fobs) {
    if (fd < 0) return;
    flash_file_sync();
    for (const auto &sector : pending) write_at(sector.first * vb::kFlashSectorSize, vb::kFlashSectorSize);
    pending.clear();
    fsync(fd);
    fobs_failed.clear();  // a last try
    flash_file_keep_fobs(fob_counters, fobs);
    close(fd);
    fd = -1;
}

void flash_file_abandon() {
    if (making[0] != '\0') unlink(making);
}

}  // namespace sim
