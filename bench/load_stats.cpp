/*
 * load_stats.cpp - latency lists, percentiles, list walks and the report
 * of the load generator.
 */
#include "bench/load_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace gwload {

const char *call_label(CallKind kind)
{
    switch (kind) {
    case CallKind::Login: return "login";
    case CallKind::InfoFacility: return "get_info(2)";
    case CallKind::InfoUser: return "get_info(1)";
    case CallKind::EventTypeList: return "read_event(1000)";
    case CallKind::InfoObjectList: return "read_event(1002)";
    case CallKind::Subscribe: return "set_event";
    case CallKind::BroadcastRead: return "read_event(999)";
    case CallKind::Unsubscribe: return "clear_event";
    case CallKind::Logout: return "logout";
    case CallKind::Count: break;
    }
    return "?";
}

void CallLatencies::merge(CallLatencies &&other)
{
    for (std::size_t i = 0; i < kCallKinds; ++i) {
        if (lists_[i].empty()) {
            lists_[i] = std::move(other.lists_[i]);
            continue;
        }
        lists_[i].insert(lists_[i].end(), other.lists_[i].begin(), other.lists_[i].end());
    }
}

std::vector<uint32_t> CallLatencies::everything() const
{
    std::vector<uint32_t> all;
    all.reserve(total());
    for (const auto &list : lists_)
        all.insert(all.end(), list.begin(), list.end());
    return all;
}

uint64_t CallLatencies::total() const
{
    uint64_t n = 0;
    for (const auto &list : lists_)
        n += list.size();
    return n;
}

uint32_t percentile(std::vector<uint32_t> &samples, double fraction)
{
    if (samples.empty())
        return 0;
    std::sort(samples.begin(), samples.end());
    const double rank = std::ceil(fraction * static_cast<double>(samples.size()));
    std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    if (index >= samples.size())
        index = samples.size() - 1;
    return samples[index];
}

std::vector<int32_t> parse_event_types(const char *list, uint32_t length)
{
    std::vector<int32_t> types;
    uint32_t i = 0;
    while (i < length && list[i] != '\0') {
        if (list[i] < '0' || list[i] > '9') {
            ++i; /* the separator */
            continue;
        }
        int64_t value = 0;
        while (i < length && list[i] >= '0' && list[i] <= '9') {
            if (value <= INT32_MAX)
                value = value * 10 + (list[i] - '0');
            ++i;
        }
        if (value <= INT32_MAX)
            types.push_back(static_cast<int32_t>(value));
    }
    return types;
}

std::vector<GwInfObjItem> parse_info_objects(const uint8_t *list, uint32_t length)
{
    std::vector<GwInfObjItem> items;
    if (length < sizeof(GwInfObjListHead))
        return items;
    uint32_t count = 0;
    std::memcpy(&count, list, sizeof count);
    count = swapint32(count);
    const uint32_t room = (length - sizeof(GwInfObjListHead)) / sizeof(GwInfObjItem);
    count = std::min(count, room);
    items.resize(count);
    if (count > 0)
        std::memcpy(items.data(), list + sizeof(GwInfObjListHead), count * sizeof(GwInfObjItem));
    for (GwInfObjItem &item : items)
        item.autoLoaded = swapint32(item.autoLoaded);
    return items;
}

namespace {

void append_row(std::string &out, const char *label, std::vector<uint32_t> samples)
{
    char line[160];
    const std::size_t count = samples.size();
    const uint32_t p50 = percentile(samples, 0.50);
    const uint32_t p99 = percentile(samples, 0.99);
    const uint32_t max = samples.empty() ? 0 : samples.back();
    std::snprintf(line, sizeof line, "  %-18s %10zu %9.3f %9.3f %9.3f\n", label, count, p50 / 1000.0,
                  p99 / 1000.0, max / 1000.0);
    out += line;
}

}  // namespace

std::string format_report(const Report &r, const CallLatencies &latencies)
{
    const uint64_t requests = latencies.total();
    const double seconds = r.elapsed_seconds > 0 ? r.elapsed_seconds : 1;
    std::vector<uint32_t> all = latencies.everything();
    std::vector<uint32_t> sorted_all = all;
    const uint32_t p50 = percentile(sorted_all, 0.50);
    const uint32_t p99 = percentile(sorted_all, 0.99);

    char line[512];
    std::snprintf(line, sizeof line,
                  "sessions=%d interval_ms=%g seconds=%.2f sequences=%" PRIu64 " sequences_per_s=%.1f requests=%" PRIu64
                  " requests_per_s=%.0f p50_ms=%.3f p99_ms=%.3f errors=%" PRIu64,
                  r.sessions, r.interval_ms, r.elapsed_seconds, r.sequences, r.sequences / seconds, requests,
                  requests / seconds, p50 / 1000.0, p99 / 1000.0, r.errors);
    std::string out = line;
    if (r.gwsim_cpu_seconds > 0) {
        std::snprintf(line, sizeof line,
                      " gwsim_cpu_s=%.2f gwsim_core_share=%.2f requests_per_gwsim_cpu_s=%.0f",
                      r.gwsim_cpu_seconds, r.gwsim_cpu_seconds / seconds,
                      requests / r.gwsim_cpu_seconds);
        out += line;
    }
    std::snprintf(line, sizeof line, " generator_cpu_s=%.2f\n", r.generator_cpu_seconds);
    out += line;

    out += "  request               count   p50 ms    p99 ms    max ms\n";
    for (std::size_t i = 0; i < kCallKinds; ++i) {
        const auto kind = static_cast<CallKind>(i);
        append_row(out, call_label(kind), latencies.of(kind));
    }
    append_row(out, "all requests", std::move(all));
    if (!r.wake_lateness.empty())
        append_row(out, "wake-up lateness", r.wake_lateness);
    return out;
}

}  // namespace gwload
