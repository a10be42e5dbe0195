/*
 * load_stats_test.cpp - the load generator's percentiles and list walks:
 * a wrong rank or a walk past the delivered bytes would make the reported
 * figures or the subscriptions wrong without any visible failure.
 */
#include "bench/load_stats.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(LoadStats, PercentileIsTheNearestRank)
{
    std::vector<uint32_t> none;
    EXPECT_EQ(gwload::percentile(none, 0.99), 0u);

    std::vector<uint32_t> one{7};
    EXPECT_EQ(gwload::percentile(one, 0.5), 7u);
    EXPECT_EQ(gwload::percentile(one, 0.99), 7u);

    std::vector<uint32_t> hundred;
    for (uint32_t v = 100; v >= 1; --v) /* unsorted on purpose */
        hundred.push_back(v);
    EXPECT_EQ(gwload::percentile(hundred, 0.50), 50u);
    EXPECT_EQ(gwload::percentile(hundred, 0.99), 99u);
    EXPECT_EQ(gwload::percentile(hundred, 1.0), 100u);
    EXPECT_EQ(gwload::percentile(hundred, 0.0), 1u);

    /* 1000 samples with ten slow ones: p99 must not see them, max must. */
    std::vector<uint32_t> tail(990, 1);
    tail.insert(tail.end(), 10, 5000);
    EXPECT_EQ(gwload::percentile(tail, 0.99), 1u);
    EXPECT_EQ(gwload::percentile(tail, 0.995), 5000u);
}

TEST(LoadStats, MergeKeepsEverySampleOfEveryKind)
{
    gwload::CallLatencies a, b;
    a.add(gwload::CallKind::Login, 10);
    b.add(gwload::CallKind::Login, 20);
    b.add(gwload::CallKind::Logout, 30);
    a.merge(std::move(b));
    EXPECT_EQ(a.of(gwload::CallKind::Login).size(), 2u);
    EXPECT_EQ(a.of(gwload::CallKind::Logout).size(), 1u);
    EXPECT_EQ(a.total(), 3u);
    EXPECT_EQ(a.everything().size(), 3u);
}

TEST(LoadStats, EventTypesStopAtTheZeroByteOrTheLength)
{
    const char list[] = "1,7,9\0" "5";
    EXPECT_EQ(gwload::parse_event_types(list, sizeof list), (std::vector<int32_t>{1, 7, 9}));
    /* No terminating zero: the length ends the walk, mid-number included. */
    EXPECT_EQ(gwload::parse_event_types("1,7,93", 5), (std::vector<int32_t>{1, 7, 9}));
    EXPECT_EQ(gwload::parse_event_types("", 1), std::vector<int32_t>{});
    EXPECT_EQ(gwload::parse_event_types("12;345", 6), (std::vector<int32_t>{12, 345}));
    /* A number beyond int32 is dropped, not wrapped. */
    EXPECT_EQ(gwload::parse_event_types("99999999999,2", 13), (std::vector<int32_t>{2}));
}

TEST(LoadStats, InfoObjectsNeverReadPastTheDeliveredBytes)
{
    uint8_t list[4 + 2 * 16] = {};
    list[3] = 2; /* count 2, big-endian */
    list[4 + 4] = 'B';
    list[4 + 5] = 'O';
    list[4 + 7] = 5;
    list[4 + 15] = 0;          /* first: not auto-loaded */
    list[4 + 16 + 15] = 1;     /* second: auto-loaded */
    auto items = gwload::parse_info_objects(list, sizeof list);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(std::memcmp(items[0].key.broadcastId.letters, "BO", 2), 0);
    EXPECT_EQ(swapint16(items[0].key.broadcastId.number), 5);
    EXPECT_EQ(items[0].autoLoaded, 0u);
    EXPECT_EQ(items[1].autoLoaded, 1u);

    /* A count that lies is cut to the items that were delivered. */
    list[0] = 0xff;
    EXPECT_EQ(gwload::parse_info_objects(list, sizeof list).size(), 2u);
    EXPECT_EQ(gwload::parse_info_objects(list, sizeof list - 1).size(), 1u);
    EXPECT_TRUE(gwload::parse_info_objects(list, 3).empty());
}

TEST(LoadStats, ReportCarriesTheFiguresScriptsRead)
{
    gwload::CallLatencies latencies;
    for (uint32_t i = 1; i <= 100; ++i)
        latencies.add(gwload::CallKind::Subscribe, i * 1000);
    gwload::Report report;
    report.sessions = 3;
    report.elapsed_seconds = 2;
    report.sequences = 10;
    report.gwsim_cpu_seconds = 0.5;
    const std::string text = gwload::format_report(report, latencies);
    EXPECT_NE(text.find("sessions=3 "), std::string::npos) << text;
    EXPECT_NE(text.find("sequences_per_s=5.0 "), std::string::npos) << text;
    EXPECT_NE(text.find("requests_per_s=50 "), std::string::npos) << text;
    EXPECT_NE(text.find("p50_ms=50.000 p99_ms=99.000 errors=0"), std::string::npos) << text;
    EXPECT_NE(text.find("requests_per_gwsim_cpu_s=200 "), std::string::npos) << text;
    EXPECT_EQ(text.find("wake-up lateness"), std::string::npos) << text;

    /* A paced run adds the sessions' lateness as one more row. */
    report.wake_lateness = {2000, 1000, 3000};
    const std::string paced = gwload::format_report(report, latencies);
    EXPECT_NE(paced.find("  wake-up lateness            3     2.000     3.000     3.000\n"),
              std::string::npos)
        << paced;
}

}  // namespace
