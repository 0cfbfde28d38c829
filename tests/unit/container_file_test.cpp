// Reading container files: names, settings, comments and what is refused.
#include "containers/record.h"
#include "policy/rule_set.h"
#include "util/overrides.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

ProxyConfig daemon_config(int system_bus = 0)
{
    ProxyConfig config;
    config_init(&config);
    config.use_system_bus = system_bus;
    return config;
}

struct Parsed {
    std::unique_ptr<Container> record;
    int result;
    unsigned line = 0;
    std::string why;
};

Parsed parse(const std::string &text, const std::string &name = "c1")
{
    Parsed p;
    p.record = container_new(name, daemon_config());
    p.result = container_parse_text(p.record.get(), text, &p.line, &p.why);
    if (p.result == 0)
        p.result = container_finish(p.record.get(), &p.why);
    return p;
}

} // namespace

TEST(ContainerFile, Names)
{
    const struct {
        const char *name;
        bool valid;
    } cases[] = {
        {"c1", true},         {"my_app-2", true},  {"_x", true},    {"-x", true},
        {"1abc", false},      {"", false},         {"a.b", false},  {"a b", false},
        {"a/b", false},       {"é", false},        {"a:b", false},
        {"x234567890123456789012345678901234567890123456789012345678901234", true},
        {"x2345678901234567890123456789012345678901234567890123456789012345", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(container_name_valid(c.name), c.valid) << c.name;
}

TEST(ContainerFile, ATypicalDesktopContainer)
{
    Parsed p = parse("# the photo editor's container\n"
                     "listen unix:path=/run/dbus-proxy/photos.sock\n"
                     "listen tcp:host=127.0.0.1,port=8090   # for the VM\n"
                     "\n"
                     "   namespace photos\n"
                     "panel-prefix /var/lib/containers/photos/rootfs\n"
                     "lookups\n"
                     "audit /var/log/photos-audit\n"
                     "metadata image=registry.example/photos:1.4 # not a comment\n"
                     "metadata app-id = org.example.Photos\n"
                     "talk org.freedesktop.Notifications\n"
                     "see org.example.*\n");
    ASSERT_EQ(p.result, 0) << p.line << ": " << p.why;
    const Container &c = *p.record;
    EXPECT_EQ(c.listen, (std::vector<std::string>{"unix:path=/run/dbus-proxy/photos.sock",
                                                  "tcp:host=127.0.0.1,port=8090"}));
    EXPECT_STREQ(c.config.namespace_name, "photos");
    EXPECT_STREQ(c.config.panel_prefix, "/var/lib/containers/photos/rootfs");
    EXPECT_EQ(c.config.namespace_lookups, 1);
    EXPECT_TRUE(c.audit);
    EXPECT_EQ(c.audit_file, "/var/log/photos-audit");
    EXPECT_EQ(c.metadata, (std::vector<std::pair<std::string, std::string>>{
                              {"image", "registry.example/photos:1.4 # not a comment"},
                              {"app-id", "org.example.Photos"}}));
    ASSERT_NE(c.config.policy, nullptr);
    EXPECT_EQ(policy_level(c.config.policy, "org.freedesktop.Notifications"), POLICY_TALK);
    // A rule for a name covers its instance under the container's namespace.
    EXPECT_EQ(policy_level(c.config.policy, "org.freedesktop.Notifications.photos"), POLICY_TALK);
    EXPECT_EQ(policy_level(c.config.policy, "org.example.Other"), POLICY_SEE);
    EXPECT_EQ(policy_level(c.config.policy, "org.other.Thing"), POLICY_NONE);
    EXPECT_STREQ(c.config.container_name, "c1");
    EXPECT_EQ(c.config.container, &c);
}

TEST(ContainerFile, Defaults)
{
    const char *saved = overrides.activation_list_dir;
    overrides.activation_list_dir = "/lists/";
    Parsed p = parse("listen unix:path=/tmp/c1.sock\n");
    ASSERT_EQ(p.result, 0) << p.why;
    const Container &c = *p.record;
    EXPECT_STREQ(c.config.namespace_name, "c1");
    EXPECT_EQ(c.config.panel_prefix, nullptr); // the panel's own default
    EXPECT_EQ(c.config.namespace_lookups, 0);
    EXPECT_EQ(c.config.policy, nullptr);
    EXPECT_FALSE(c.audit);
    EXPECT_STREQ(c.config.activation_list_path, "/lists/c1.dbus-sess-proxy.list");
    EXPECT_EQ(c.config.max_clients, container_default_max_clients);
    EXPECT_EQ(c.config.max_queued_bytes, overrides.daemon_max_queued_bytes / 2);

    auto system = container_new("c2", daemon_config(1));
    std::string why;
    ASSERT_EQ(container_apply_setting(system.get(), "listen", "unix:path=/tmp/c2", &why), 0);
    ASSERT_EQ(container_finish(system.get(), &why), 0);
    EXPECT_STREQ(system->config.activation_list_path, "/lists/c2.dbus-sys-proxy.list");
    EXPECT_EQ(system->config.use_system_bus, 1);
    overrides.activation_list_dir = saved;
}

TEST(ContainerFile, BoundsOfItsOwn)
{
    Parsed p = parse("listen unix:path=/tmp/c1.sock\nmax-clients 3\nmax-queued-bytes 1048576\n");
    ASSERT_EQ(p.result, 0) << p.why;
    EXPECT_EQ(p.record->config.max_clients, 3u);
    EXPECT_EQ(p.record->config.max_queued_bytes, 1048576);
    // The share's default follows --max-queued-bytes, read before the files.
    const long saved = overrides.daemon_max_queued_bytes;
    overrides.daemon_max_queued_bytes = 10000;
    EXPECT_EQ(parse("listen unix:path=/tmp/c1.sock\n").record->config.max_queued_bytes, 5000);
    overrides.daemon_max_queued_bytes = saved;
}

TEST(ContainerFile, FilterAloneLetsThroughNothingButTheBus)
{
    Parsed p = parse("listen unix:path=/tmp/c1.sock\nfilter\n");
    ASSERT_EQ(p.result, 0) << p.why;
    ASSERT_NE(p.record->config.policy, nullptr);
    EXPECT_EQ(policy_level(p.record->config.policy, "org.example.App"), POLICY_NONE);
}

TEST(ContainerFile, RefusedLines)
{
    const std::string listen = "listen unix:path=/tmp/c1.sock\n";
    const struct {
        const char *text;
        unsigned line;
        const char *why; // a part of the reason
    } cases[] = {
        {"listne unix:path=/x\n", 1, "unknown setting: listne"},
        {"listen\n", 1, "invalid listen address"},
        {"listen unix:path=/x;unix:path=/y\n", 1, "one address per listen line"},
        {"listen unix:abstract=x\n", 1, "needs path="},
        {"listen tcp:host=localhost\n", 1, "needs port="},
        {"listen nonce-tcp:host=localhost,port=1\n", 1, "unix: or tcp:"},
        {"listen unix:path=/x\nlisten unix:path=/x\n", 2, "given twice"},
        {"namespace a\nnamespace b\n", 2, "namespace is given twice"},
        {"namespace 1abc\n", 1, "invalid namespace"},
        {"namespace a..b\n", 1, "invalid namespace"},
        {"namespace\n", 1, "namespace needs a value"},
        {"activation-list relative.list\n", 1, "absolute path"},
        {"panel-prefix /a\n# x\npanel-prefix /b\n", 3, "panel-prefix is given twice"},
        {"lookups yes\n", 1, "lookups takes no value"},
        {"lookups\nlookups\n", 2, "given twice"},
        {"audit\naudit /x\n", 2, "audit is given twice"},
        {"metadata image\n", 1, "KEY=VALUE"},
        {"metadata =x\n", 1, "KEY=VALUE"},
        {"metadata a=1\nmetadata a=2\n", 2, "metadata a is given twice"},
        {"metadata a=\x01\n", 1, "control characters"},
        {"panel-prefix /opt/\xff\n", 1, "not UTF-8"},
        {"filter all\n", 1, "filter takes no value"},
        {"max-clients 0\n", 1, "whole number from 1"},
        {"max-clients -1\n", 1, "whole number from 1"},
        {"max-clients\n", 1, "whole number from 1"},
        {"max-clients 1e3\n", 1, "whole number from 1"},
        {"max-clients 1000001\n", 1, "whole number from 1"},
        {"max-queued-bytes 99999999999999999999999\n", 1, "whole number from 1"},
        {"max-queued-bytes 4M\n", 1, "whole number from 1"},
        {"max-clients 2\nmax-clients 3\n", 2, "max-clients is given twice"},
        {"talk org.example.A org.example.B\n", 1, "one NAME"},
        {"own :1.5\n", 1, "invalid name"},
        {"call org.example.A\n", 1, "NAME=RULE"},
    };
    for (const auto &c : cases) {
        Parsed p = parse(listen + c.text);
        EXPECT_EQ(p.result, -1) << c.text;
        EXPECT_EQ(p.line, c.line + 1) << c.text;
        EXPECT_NE(p.why.find(c.why), std::string::npos) << c.text << " -> " << p.why;
    }
    // Paths that would not fit the buffers they end up in.
    Parsed longer = parse(listen + "panel-prefix /" + std::string(255, 'p') + "\n");
    EXPECT_EQ(longer.result, -1);
    EXPECT_EQ(parse(listen + "panel-prefix /" + std::string(254, 'p') + "\n").result, 0);
    EXPECT_EQ(parse(listen + "activation-list /" + std::string(511, 'l') + "\n").result, -1);
    EXPECT_EQ(parse(listen + "activation-list /" + std::string(510, 'l') + "\n").result, 0);
}

TEST(ContainerFile, NoListenAddressIsIncomplete)
{
    Parsed p = parse("# nothing but comments\n\n   # and blanks\nnamespace x\n");
    EXPECT_EQ(p.result, -1);
    EXPECT_NE(p.why.find("no listen address"), std::string::npos) << p.why;
}

TEST(ContainerFile, ReadingTheFile)
{
    harness::TempDir dir;
    std::string text, why;
    harness::write_file(dir.file("c1.conf"), "listen unix:path=/x\n");
    ASSERT_EQ(container_read_file(dir.file("c1.conf"), &text, &why), 0) << why;
    EXPECT_EQ(text, "listen unix:path=/x\n");

    EXPECT_EQ(container_read_file(dir.file("missing.conf"), &text, &why), -1);
    EXPECT_NE(why.find("No such file"), std::string::npos) << why;
    // A FIFO is refused without waiting for a writer.
    ASSERT_EQ(mkfifo(dir.file("fifo.conf").c_str(), 0600), 0);
    EXPECT_EQ(container_read_file(dir.file("fifo.conf"), &text, &why), -1);
    EXPECT_EQ(why, "not a regular file");
    // At most 64 KiB.
    harness::write_file(dir.file("big.conf"), std::string(64 * 1024, '#'));
    EXPECT_EQ(container_read_file(dir.file("big.conf"), &text, &why), 0) << why;
    harness::write_file(dir.file("big.conf"), std::string(64 * 1024 + 1, '#'));
    EXPECT_EQ(container_read_file(dir.file("big.conf"), &text, &why), -1);
    EXPECT_EQ(why, "larger than 64 KiB");
}
