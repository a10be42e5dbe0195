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

#include "driver/plugin_mode.h"
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

/* IPv6 gateways are written in brackets, in the label and in the plugin's summary. */
TEST(RunMetrics, AnIpv6GatewayIsWrittenInBrackets) {
    char directory_template[] = "/tmp/gwcheck-metrics-XXXXXX";
    ASSERT_NE(mkdtemp(directory_template), nullptr);
    const std::string path = std::string(directory_template) + "/gwcheck.prom";
    LoginRecord record = {};
    strcpy(record.user_name, "demo");
    strcpy(record.host, "2001:db8::7");
    strcpy(record.port, "9000");
    StartRunMetrics(path.c_str(), &record);
    WriteRunMetrics(0);
    EXPECT_NE(ReadAll(path).find("\ngwcheck_success{user=\"demo\",gateway=\"[2001:db8::7]:9000\"} 1\n"),
              std::string::npos)
        << ReadAll(path);
    char who[200];
    FormatUserAtGateway(who, sizeof who);
    EXPECT_STREQ(who, "demo@[2001:db8::7]:9000");
    std::filesystem::remove_all(directory_template);
}

/* In plugin mode a run the framework ends (here an exception no block takes)
 * exits UNKNOWN, and the held account still comes out after a status line. */
TEST(PluginMode, ARunTheFrameworkEndsIsUnknownWithItsAccount) {
    ChildResult r = RunInChild([] {
        static LoginRecord record = {};
        StartRunMetrics(nullptr, &record);
        exc_context_begin(1, nullptr);
        exc_set_exit_status(kPluginUnknown);
        ASSERT_TRUE(HoldAccount());
        printf("Date of run: held\n");
        EXC_THROW(AssertionException, "not caught");
    });
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.out, "GWCHECK UNKNOWN - the check ended early with an internal error\n"
                     "Date of run: held\n");
}

}  // namespace
