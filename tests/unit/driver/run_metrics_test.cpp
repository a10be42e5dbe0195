/*
 * run_metrics_test.cpp - the labels of the metrics file for names the
 * format must escape or cannot carry (it is UTF-8: one stray byte makes a
 * reader drop the whole file), and a file that cannot be written.
 */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "driver/run_metrics.h"
#include "tests/support/child_process.h"

namespace {

std::string ReadAll(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(RunMetrics, LabelValuesAreEscapedAndStayUtf8) {
    char directory_template[] = "/tmp/gwcheck-metrics-XXXXXX";
    ASSERT_NE(mkdtemp(directory_template), nullptr);
    const std::string directory = directory_template;
    const std::string path = directory + "/gwcheck.prom";
    /* Characters of two, three and four bytes. */
    const char utf8[] = "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";
    struct Case {
        const char *user;
        const char *label;
    } cases[] = {
        {"demo", "demo"},
        {"q\"b\\s\nn", "q\\\"b\\\\s\\nn"},
        {utf8, utf8},
        {"a\xFF" "b\xC3", "a?b?"},                 /* stray and cut-off bytes */
        {"\xC0\xAF\xE0\x80\xAF", "?????"},         /* overlong forms */
        {"\xED\xA0\x80\xF4\x90\x80\x80", "???????"}, /* a surrogate, past U+10FFFF */
    };
    for (const Case &c : cases) {
        LoginRecord record = {};
        strcpy(record.user_name, c.user);
        strcpy(record.host, "10.0.0.1");
        strcpy(record.port, "9000");
        StartRunMetrics(path.c_str(), &record);
        WriteRunMetrics(0);
        std::string text = ReadAll(path);
        std::string sample = std::string("\ngwcheck_success{user=\"") + c.label +
                             "\",gateway=\"10.0.0.1:9000\"} 1\n";
        EXPECT_NE(text.find(sample), std::string::npos) << c.label << "\n" << text;
    }
    std::filesystem::remove_all(directory);
}

TEST(RunMetrics, AFileThatCannotBeWrittenIsSaidOnStandardError) {
    ChildResult r = RunInChild([] {
        LoginRecord record = {};
        StartRunMetrics("/nonexistent-directory/gwcheck.prom", &record);
        WriteRunMetrics(2);
    });
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "gwcheck: cannot write the metrics file /nonexistent-directory/gwcheck.prom: "
                     "No such file or directory\n");
}

}  // namespace
