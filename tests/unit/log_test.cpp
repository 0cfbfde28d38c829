#include "log/log.h"

#include "log_capture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace {

std::string capture(unsigned verbosity)
{
    log_verbosity = verbosity;
    testing::internal::CaptureStdout();
    LOG_FATAL("f%d\n", 0);
    LOG_WARN("w%d\n", 1);
    LOG_INFO("i%d\n", 2);
    LOG_DEBUG("d%d\n", 3);
    LOG_TRACE("t%d\n", 4);
    std::fflush(stdout);
    log_verbosity = 0;
    return testing::internal::GetCapturedStdout();
}

} // namespace

TEST(Log, PrefixesCarryLevelAndPid)
{
    EXPECT_EQ(capture(4), log_prefix("FATAL") + "f0\n" + log_prefix("WARN ") + "w1\n" +
                              log_prefix("INFO ") + "i2\n" + log_prefix("DEBUG") + "d3\n" +
                              log_prefix("TRACE") + "t4\n");
}

TEST(Log, LevelsAreGatedByVerbosity)
{
    EXPECT_EQ(capture(0), log_prefix("FATAL") + "f0\n");
    EXPECT_EQ(capture(2), log_prefix("FATAL") + "f0\n" + log_prefix("WARN ") + "w1\n" +
                              log_prefix("INFO ") + "i2\n");
}

TEST(Log, VerbosityAboveTraceEnablesEveryLevel)
{
    EXPECT_EQ(capture(~0u), capture(4));
}

TEST(Log, GatedLinesAreNotFormatted)
{
    log_verbosity = 0;
    int evaluated = 0;
    auto touch = [&] { return ++evaluated; };
    LOG_TRACE("%d\n", touch());
    EXPECT_EQ(evaluated, 0);
}
