/*
 * load_stats.h - the bookkeeping of the load generator: latencies per kind
 * of request and their percentiles, the walk of the two lists a session
 * reads before it subscribes, and the text of the final report.
 */
#ifndef BENCH_LOAD_STATS_H
#define BENCH_LOAD_STATS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gwapi/gwapi.h"

namespace gwload {

/* The requests of one sequence, in the order a session makes them. */
enum class CallKind : std::size_t {
    Login,
    InfoFacility,
    InfoUser,
    EventTypeList,
    InfoObjectList,
    Subscribe,
    BroadcastRead,
    Unsubscribe,
    Logout,
    Count
};

constexpr std::size_t kCallKinds = static_cast<std::size_t>(CallKind::Count);

const char *call_label(CallKind kind);

/* Latencies in microseconds, one list per kind of request. */
class CallLatencies {
public:
    void add(CallKind kind, uint32_t micros) { lists_[static_cast<std::size_t>(kind)].push_back(micros); }
    void merge(CallLatencies &&other);
    const std::vector<uint32_t> &of(CallKind kind) const { return lists_[static_cast<std::size_t>(kind)]; }
    std::vector<uint32_t> everything() const;
    uint64_t total() const;

private:
    std::array<std::vector<uint32_t>, kCallKinds> lists_;
};

/* The value below which `fraction` (0..1) of the samples lie: nearest rank,
 * so p99 of 100 samples is the 99th smallest. Sorts `samples`. 0 when empty. */
uint32_t percentile(std::vector<uint32_t> &samples, double fraction);

/* Event types of the event-type list: decimal numbers separated by single
 * characters, ending at a zero byte or after `length` bytes. */
std::vector<int32_t> parse_event_types(const char *list, uint32_t length);

/* Items of the information-object list: a big-endian count, then 16-byte
 * items; never reads past `length`, whatever the count says. */
std::vector<GwInfObjItem> parse_info_objects(const uint8_t *list, uint32_t length);

struct Report {
    int sessions = 0;
    double interval_ms = 0;           /* pacing of each session; 0: none */
    double elapsed_seconds = 0;
    uint64_t sequences = 0;
    uint64_t errors = 0;
    double gwsim_cpu_seconds = 0;     /* 0: not measured (gwsim not ours) */
    double generator_cpu_seconds = 0;
    /* Paced runs: how late each session woke up for its next sequence (µs).
     * Lateness the gateway cannot cause: the machine's scheduling delay. */
    std::vector<uint32_t> wake_lateness;
};

/* The report: a summary line of key=value pairs (for scripts), then a
 * table of count, p50, p99 and max per kind of request and for all, and
 * for paced runs the sessions' wake-up lateness. */
std::string format_report(const Report &report, const CallLatencies &latencies);

}  // namespace gwload

#endif
