#include "flash_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <map>
#include <vector>

#include "vboard.h"
#include "vboard_flash.h"

namespace sim {

namespace {

int fd = -1;
std::string fobs_path;
uint64_t ops_seen = 0;
std::map<uint32_t, uint64_t> pending;  // sectors to write, and when their last operation ends

bool write_at(uint32_t offset, size_t len) {
    const uint8_t *data = vb::flash_data() + offset;
    for (size_t done = 0; done < len;) {
        const ssize_t n = pwrite(fd, data + done, len - done, static_cast<off_t>(offset + done));
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string flash_file_open(const std::string &path, uint32_t *fob_counters, unsigned fobs) {
    fd = open(path.c_str(), O_RDWR | O_CREAT, 0644);
    if (fd < 0) return path + ": " + strerror(errno);
    struct stat st {};
    fstat(fd, &st);
    if (st.st_size == 0) {
        if (!write_at(0, vb::kFlashSize)) return path + ": " + strerror(errno);  // a new flash, erased
    } else if (st.st_size != vb::kFlashSize) {
        close(fd);
        fd = -1;
        return path + " holds " + std::to_string(st.st_size) + " bytes, not a flash of " +
               std::to_string(vb::kFlashSize) + " (2 MiB): left as it is";
    }
    std::vector<uint8_t> image(vb::kFlashSize);
    if (pread(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
        return path + ": cannot read it";
    }
    vb::flash_write(0, image.data(), image.size());
    ops_seen = vb::flash_op_count();
    fobs_path = path + ".fobs";
    if (FILE *f = fopen(fobs_path.c_str(), "r")) {
        for (unsigned i = 0; i < fobs; i++) {
            unsigned long c;
            if (fscanf(f, "%lu", &c) == 1) fob_counters[i] = static_cast<uint32_t>(c);
        }
        fclose(f);
    }
    return "";
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

void flash_file_close(const uint32_t *fob_counters, unsigned fobs) {
    if (fd < 0) return;
    flash_file_sync();
    for (const auto &sector : pending) write_at(sector.first * vb::kFlashSectorSize, vb::kFlashSectorSize);
    pending.clear();
    fsync(fd);
    close(fd);
    fd = -1;
    if (FILE *f = fopen(fobs_path.c_str(), "w")) {
        for (unsigned i = 0; i < fobs; i++) fprintf(f, "%lu\n", static_cast<unsigned long>(fob_counters[i]));
        fclose(f);
    }
}

}  // namespace sim
