#include "log/log.h"
#include "main/command_line.h"
#include "main/listener.h"
#include "util/overrides.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Args {
    std::vector<std::string> store;
    std::vector<char *> argv;
    Args(std::initializer_list<const char *> list)
    {
        store.emplace_back("dbus-proxy-daemon");
        for (const char *a : list)
            store.emplace_back(a);
        for (auto &s : store)
            argv.push_back(s.data());
        argv.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(store.size()); }
};

// The config borrows argv's strings, so the arguments must outlive it:
// keep every parsed argument vector until the test program ends.
ProxyConfig parse(Args args)
{
    static std::vector<std::unique_ptr<Args>> keep;
    keep.push_back(std::make_unique<Args>(std::move(args)));
    Args &kept = *keep.back();
    kept.argv.clear();
    for (auto &s : kept.store)
        kept.argv.push_back(s.data());
    kept.argv.push_back(nullptr);
    ProxyConfig config;
    config_init(&config);
    parse_command_line(kept.argc(), kept.argv.data(), &config);
    return config;
}


const char usage_text[] = "Usage: dbus-proxy-daemon [--system | --session | --address ADDRESS]\n"
                          "        [--family <family>] ipv4|unix\n"
                          "        [--host <host>]\n"
                          "        [--bind <bind>]\n"
                          "        [--port <port>]\n"
                          "        [--socket <path>]\n"
                          "        [--namespace <namespace>]\n"
                          "        [--verbose id]: Set the verbosity level\n"
                          "        [--trace]: Show dbus message \n"
                          "\n";

} // namespace

TEST(CommandLine, DefaultsWithoutArguments)
{
    ProxyConfig c = parse({});
    EXPECT_EQ(c.use_system_bus, 0);
    EXPECT_STREQ(c.namespace_name, "docker");
    EXPECT_EQ(c.verbose, 0);
    EXPECT_EQ(c.trace, 0);
    EXPECT_EQ(c.log_fd, -1);
    std::string problem;
    EXPECT_EQ(build_listen_address(&c, &problem), "tcp:host=localhost,bind=*,port=8080,family=ipv4");
}

TEST(CommandLine, ValuesAreStoredAndLaterOccurrencesWin)
{
    ProxyConfig c = parse({"--system", "--host", "h1", "--bind", "127.0.0.1", "--port", "1",
                           "--port", "9000", "--namespace", "sandbox", "--address", "x",
                           "--trace", "--session", "--socket", "/s"});
    EXPECT_EQ(c.use_system_bus, 0);
    EXPECT_STREQ(c.host, "h1");
    EXPECT_STREQ(c.bind, "127.0.0.1");
    EXPECT_STREQ(c.port, "9000");
    EXPECT_STREQ(c.namespace_name, "sandbox");
    EXPECT_STREQ(c.address, "x");
    EXPECT_STREQ(c.socket_path, "/s");
    EXPECT_EQ(c.trace, 1);
    EXPECT_EQ(parse({"--namespace-lookups"}).namespace_lookups, 1);
    std::string problem;
    EXPECT_EQ(build_listen_address(&c, &problem), "tcp:host=h1,bind=127.0.0.1,port=9000,family=ipv4");
}

TEST(CommandLine, ValueIsTakenVerbatimEvenWhenItLooksLikeAnOption)
{
    ProxyConfig c = parse({"--host", "--trace"});
    EXPECT_STREQ(c.host, "--trace");
    EXPECT_EQ(c.trace, 0);
}

TEST(CommandLine, ListenAddressForEachFamily)
{
    ProxyConfig c = parse({"--family", "unix", "--socket", "/run/p.sock", "--port", "1"});
    std::string problem;
    EXPECT_EQ(build_listen_address(&c, &problem), "unix:path=/run/p.sock");

    c = parse({"--family", "ipv4", "--port", "9999", "--host", "0.0.0.0"});
    EXPECT_EQ(build_listen_address(&c, &problem), "tcp:host=0.0.0.0,bind=*,port=9999,family=ipv4");

    c = parse({"--family", "unix"});
    EXPECT_EQ(build_listen_address(&c, &problem), "");
    EXPECT_NE(problem.find("--socket"), std::string::npos);

    // IPv6 literals (and anything else the address syntax reserves) are
    // escaped, as libdbus parses them back.
    c = parse({"--family", "ipv6", "--host", "::1", "--bind", "fd00::2"});
    EXPECT_EQ(build_listen_address(&c, &problem),
              "tcp:host=%3a%3a1,bind=fd00%3a%3a2,port=8080,family=ipv6");
    c = parse({"--family", "unix", "--socket", "/run/a,b=c"});
    EXPECT_EQ(build_listen_address(&c, &problem), "unix:path=/run/a%2cb%3dc");

    c = parse({"--family", "ipx"});
    problem.clear();
    EXPECT_EQ(build_listen_address(&c, &problem), "");
    EXPECT_NE(problem.find("ipv6"), std::string::npos);
}

TEST(CommandLine, OnlyAWildcardBindCountsAsAllInterfaces)
{
    for (Args args : {Args{}, Args{"--bind", "*"}, Args{"--bind", "0.0.0.0"},
                      Args{"--family", "ipv4", "--bind", "0.0.0.0"}}) {
        const std::string label = args.store.back();
        ProxyConfig c = parse(args);
        EXPECT_TRUE(listens_on_all_interfaces(&c)) << label;
    }
    for (Args args : {Args{"--family", "ipv6"}, Args{"--family", "ipv6", "--bind", "::"}}) {
        ProxyConfig c = parse(args);
        EXPECT_TRUE(listens_on_all_interfaces(&c)) << args.store.back();
    }
    for (Args args : {Args{"--bind", "127.0.0.1"}, Args{"--bind", "172.17.0.1"},
                      Args{"--family", "ipv6", "--bind", "::1"},
                      Args{"--family", "unix", "--socket", "/run/p.sock"}}) {
        const std::string label = args.store.back();
        ProxyConfig c = parse(args);
        EXPECT_FALSE(listens_on_all_interfaces(&c)) << label;
    }
}

TEST(CommandLineDeathTest, UsageErrorsPrintUsageAndExitOne)
{
    for (auto args : {Args{"--help"}, Args{"--port"}, Args{"--system", "stray"},
                      Args{"--verbose"}}) {
        EXPECT_EXIT(parse(args), testing::ExitedWithCode(1), "^Usage: ")
            << args.store.back();
    }
}

TEST(CommandLine, UsageTextIsExactAndNamesTheProgram)
{
    std::string out;
    std::string err;
    int status = harness::run_command({harness::daemon_path(), "--help"}, {}, &out, &err);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(out, "");
    // The first ten lines as they always were, then the later options.
    const std::string expected =
        std::string(usage_text).replace(7, 17, harness::daemon_path()) +
        "        [--namespace-lookups]: Show namespaced services under their plain names to "
        "owner lookups, match rules and name signals\n"
        "        [--filter]: Restrict what clients may see, call and own\n"
        "        [--see=NAME] [--talk=NAME] [--own=NAME]\n"
        "        [--call=NAME=RULE] [--broadcast=NAME=RULE]\n"
        "        [--policy=FILE]: Read rules from FILE (-FILE: if it exists)\n"
        "        [--audit[=FILE]]: Log what each client does, and write the policy that allows "
        "it to FILE (or the log)\n"
        "        [--family ipv6]: Listen on TCP over IPv6; --host and --bind may be IPv6 "
        "addresses\n"
        "        [--containers DIR]: Serve a container for every NAME.conf in DIR as well\n"
        "        [--version]: Print the version and exit\n";
    EXPECT_EQ(err, expected);

    // --version answers on standard output, whatever else is given.
    status = harness::run_command({harness::daemon_path(), "--port", "1", "--version", "--help"},
                                  {}, &out, &err);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "dbus-proxy-daemon " DPD_VERSION "\n");
    EXPECT_EQ(err, "");
}

// --verbose redirects standard output; the redirecting cases run in a
// child so the test runner keeps its own output.
static std::string requested_log_path;
static std::string test_log_path;

static int open_test_log(const char *path)
{
    requested_log_path = path;
    return open(test_log_path.c_str(), O_RDWR | O_CREAT | O_APPEND, 0666);
}

class VerboseTest : public testing::Test {
protected:
    harness::TempDir dir;
    void SetUp() override
    {
        test_log_path = dir.file("proxy.log");
        requested_log_path.clear();
        overrides.log_file_open = open_test_log;
    }
    void TearDown() override
    {
        overrides.log_file_open = saved;
        log_verbosity = 0;
    }
    int (*saved)(const char *) = overrides.log_file_open;
};

TEST_F(VerboseTest, RedirectsStandardOutputIntoTheLogFile)
{
    EXPECT_EXIT(
        {
            ProxyConfig c = parse({"--verbose", "2"});
            std::printf("after switch\n");
            std::fflush(stdout);
            std::exit(c.log_fd >= 0 && log_verbosity == 2 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
    std::string text = harness::read_file(test_log_path);
    EXPECT_NE(text.find("] open /tmp/tolm-dbus-proxy-XXX.log success\n"), std::string::npos);
    EXPECT_NE(text.find("[WARN  dbus-proxy-daemon ("), std::string::npos);
    EXPECT_NE(text.find("after switch\n"), std::string::npos);
}

TEST_F(VerboseTest, LaterLevelWinsAndNegativeLevelEnablesEverything)
{
    EXPECT_EXIT(
        {
            ProxyConfig c = parse({"--verbose", "1", "--verbose", "3"});
            std::exit(c.verbose == 3 && log_verbosity == 3 ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
    // Stored into the unsigned verbosity, -1 is above every level.
    EXPECT_EXIT(
        {
            parse({"--verbose", "-1"});
            std::exit(log_enabled(LOG_LEVEL_TRACE) && log_verbosity == ~0u ? 0 : 3);
        },
        testing::ExitedWithCode(0), "");
}

TEST_F(VerboseTest, LevelZeroOrNonNumericStillRedirectsButPrintsNothing)
{
    for (const char *value : {"0", "loud"}) {
        harness::write_file(test_log_path, "");
        EXPECT_EXIT(
            {
                ProxyConfig c = parse({"--verbose", value});
                std::fflush(stdout);
                std::exit(c.log_fd >= 0 && log_verbosity == 0 ? 0 : 3);
            },
            testing::ExitedWithCode(0), "");
        EXPECT_EQ(harness::read_file(test_log_path), "") << value;
    }
}

TEST_F(VerboseTest, UnopenableLogFileWarnsAndKeepsStandardOutput)
{
    test_log_path = dir.file("missing-dir/proxy.log");
    testing::internal::CaptureStdout();
    ProxyConfig c = parse({"--verbose", "1"});
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(c.log_fd, -1);
    EXPECT_NE(out.find("] open /tmp/tolm-dbus-proxy-XXX.log failed\n"), std::string::npos);
    EXPECT_EQ(log_verbosity, 1u);
}

TEST_F(VerboseTest, LogFileFollowsTheBusParsedSoFar)
{
    test_log_path = dir.file("missing-dir/proxy.log"); // keep stdout in place
    testing::internal::CaptureStdout();
    parse({"--verbose", "0", "--system"});
    EXPECT_NE(requested_log_path, "/var/log/tolm-dbus-proxy-sys.log");
    EXPECT_NE(requested_log_path.find("/.log/tolm-dbus-proxy-sess.log"), std::string::npos);
    parse({"--system", "--verbose", "0"});
    EXPECT_EQ(requested_log_path, "/var/log/tolm-dbus-proxy-sys.log");
    testing::internal::GetCapturedStdout();
}
