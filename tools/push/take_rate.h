// How fast the board takes an image, seen from the sending side of the port.
//
// The port's buffers, the board's USB receive buffer and its ring swallow the
// first 20 KB or so at once; from then on the port accepts bytes only as the
// board relays them, a window at a time. So the rate is taken only from
// moments when the port accepts bytes again after refusing them: between two
// such moments, exactly what the board took was written. The first such
// moment is passed over: the first window may hold fewer blocks than the
// rest, as the ring had not filled yet when it went out, so the bytes taken
// after it are not a window's worth. The average runs over the last few
// seconds of those moments.
#pragma once

#include <cstddef>
#include <deque>

class TakeRate {
public:
    static constexpr double kSpanS = 2.0;

    void start(double t_s) {
        start_s_ = t_s;
        first_passed_ = false;
        resumes_.clear();
    }

    // The port accepts bytes again after refusing some; `sent` were written before.
    void resumed(double t_s, size_t sent) {
        if (!first_passed_) {
            first_passed_ = true;
            return;
        }
        resumes_.push_back({t_s, sent});
        while (resumes_.size() > 2 && t_s - resumes_[1].t_s > kSpanS) resumes_.pop_front();
    }

    bool known() const {
        return resumes_.size() >= 2 && resumes_.back().t_s > resumes_.front().t_s;
    }

    // Bytes a second; 0 while not known.
    double rate() const {
        if (!known()) return 0;
        return static_cast<double>(resumes_.back().sent - resumes_.front().sent) /
               (resumes_.back().t_s - resumes_.front().t_s);
    }

    // Seconds until the board has relayed all `total` bytes. The board has been
    // relaying since the start, at this rate, whatever the buffers hold.
    double left(double t_s, size_t total) const {
        if (!known()) return 0;
        const double rest = static_cast<double>(total) / rate() - (t_s - start_s_);
        return rest > 0 ? rest : 0;
    }

private:
    struct Resume {
        double t_s;
        size_t sent;
    };
    double start_s_ = 0;
    bool first_passed_ = false;
    std::deque<Resume> resumes_;
};
