#include "fleet_view.h"

#include <cmath>

namespace sim {

const char *stage_name(Stage s) {
    switch (s) {
        case Stage::Waiting:
            return "waiting";
        case Stage::Join:
            return "join";
        case Stage::Config:
            return "config";
        case Stage::Run:
            return "run";
    }
    return "?";
}

void FleetView::add(const std::string &sn, const std::string &kind, double period) {
    std::lock_guard<std::mutex> lock(mu_);
    ApRecord &r = aps_[sn];
    r.kind = kind;
    r.period = period;
}

void FleetView::set_default_period(const std::string &kind, double period) {
    std::lock_guard<std::mutex> lock(mu_);
    default_period_[kind] = period;
}

ApRecord &FleetView::find(const std::string &sn, const std::string &kind) {
    auto it = aps_.find(sn);
    if (it != aps_.end()) return it->second;
    ApRecord &r = aps_[sn];
    r.kind = kind;
    auto p = default_period_.find(kind);
    r.period = p == default_period_.end() ? 0 : p->second;
    return r;
}

int FleetView::misses_in(double gap, double period) const {
    if (period <= 0 || gap <= slack_ * period) return 0;
    // A silence of k periods (rounded) holds k - 1 heartbeats that did not
    // come; one beyond the slack is at least one.
    int k = static_cast<int>(std::lround(gap / period));
    return k - 1 > 1 ? k - 1 : 1;
}

void FleetView::join_heard(const std::string &sn, const std::string &kind, double now) {
    std::lock_guard<std::mutex> lock(mu_);
    ApRecord &r = find(sn, kind);
    if (r.stage == Stage::Run) r.missed += misses_in(now - r.last_beat, r.period);
    if (r.first_run >= 0 && r.stage != Stage::Join) ++r.rejoins;
    r.stage = Stage::Join;
}

void FleetView::config_heard(const std::string &sn, const std::string &kind, double) {
    std::lock_guard<std::mutex> lock(mu_);
    find(sn, kind).stage = Stage::Config;
}

void FleetView::config_accepted(const std::string &sn, const std::string &kind, double now) {
    std::lock_guard<std::mutex> lock(mu_);
    ApRecord &r = find(sn, kind);
    r.stage = Stage::Run;
    if (r.first_run < 0) r.first_run = now;
    r.last_beat = now;
}

void FleetView::life_heard(const std::string &sn, const std::string &kind, double now) {
    std::lock_guard<std::mutex> lock(mu_);
    ApRecord &r = find(sn, kind);
    if (r.stage != Stage::Run) {
        // Heard in the run state without its entry (the fleet came up
        // after the AP): the run state counts from here.
        r.stage = Stage::Run;
        if (r.first_run < 0) r.first_run = now;
    } else if (r.last_beat >= 0) {
        r.missed += misses_in(now - r.last_beat, r.period);
    }
    r.last_beat = now;
    ++r.beats;
}

Stage FleetView::stage(const std::string &sn) const {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = aps_.find(sn);
    return it == aps_.end() ? Stage::Waiting : it->second.stage;
}

StageCounts FleetView::counts(double now) const {
    std::lock_guard<std::mutex> lock(mu_);
    StageCounts c;
    for (const auto &kv : aps_) {
        const ApRecord &r = kv.second;
        ++c.count[static_cast<int>(r.stage)];
        if (r.stage == Stage::Run && misses_in(now - r.last_beat, r.period) > 0) ++c.late;
    }
    return c;
}

int FleetView::missed(double now) const {
    std::lock_guard<std::mutex> lock(mu_);
    int n = 0;
    for (const auto &kv : aps_) {
        const ApRecord &r = kv.second;
        n += r.missed;
        if (r.stage == Stage::Run) n += misses_in(now - r.last_beat, r.period);
    }
    return n;
}

double FleetView::all_run_at() const {
    std::lock_guard<std::mutex> lock(mu_);
    double last = -1;
    for (const auto &kv : aps_) {
        if (kv.second.first_run < 0) return -1;
        if (kv.second.first_run > last) last = kv.second.first_run;
    }
    return last;
}

size_t FleetView::size() const {
    std::lock_guard<std::mutex> lock(mu_);
    return aps_.size();
}

std::vector<std::pair<std::string, ApRecord>> FleetView::records() const {
    std::lock_guard<std::mutex> lock(mu_);
    return {aps_.begin(), aps_.end()};
}

}  // namespace sim
