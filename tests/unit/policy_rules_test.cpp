// Policy rules: options, files, matching, and the client's match rules.
#include "main/command_line.h"
#include "policy/policy.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Parses a whole command line; the config borrows nothing the test frees.
struct Parsed {
    std::vector<std::string> store;
    std::vector<char *> argv;
    ProxyConfig config;
    explicit Parsed(std::vector<std::string> args) : store(std::move(args))
    {
        store.insert(store.begin(), "dbus-proxy-daemon");
        for (auto &s : store)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        config_init(&config);
        parse_command_line(static_cast<int>(store.size()), argv.data(), &config);
    }
    ~Parsed() { policy_config_free(&config); }
    const PolicyRules *rules() const { return config.policy; }
};

PolicyRules rules_of(std::initializer_list<std::pair<const char *, const char *>> list,
                     const char *ns = "docker")
{
    PolicyRules rules;
    for (auto [kind, arg] : list) {
        std::string why;
        EXPECT_EQ(policy_add_rule(&rules, kind, arg, &why), 0) << kind << " " << arg << ": " << why;
    }
    policy_set_namespace(&rules, ns);
    return rules;
}

bool may_call(const PolicyRules &rules, const char *name, const char *interface,
              const char *member, const char *path)
{
    return grant_allows_call(policy_lookup(&rules, name), interface, member, path);
}

} // namespace

TEST(PolicyOptions, FilterTurnsPolicyOnAndRulesNeedIt)
{
    EXPECT_EQ(Parsed({}).rules(), nullptr);
    EXPECT_EQ(Parsed({"--port", "1"}).rules(), nullptr);

    Parsed on({"--filter", "--talk=org.example.A", "--own=org.example.App.*", "--namespace", "ns"});
    ASSERT_NE(on.rules(), nullptr);
    EXPECT_EQ(policy_level(on.rules(), "org.example.A"), POLICY_TALK);
    // The namespace given after the rules still counts.
    EXPECT_EQ(policy_level(on.rules(), "org.example.App.x.ns"), POLICY_OWN);
    EXPECT_EQ(policy_level(on.rules(), "org.example.B"), POLICY_NONE);
}

TEST(PolicyOptionsDeathTest, MisuseIsAUsageError)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--talk=org.example.A"},                        // no --filter
        {"--policy=/nonexistent"},                       // no --filter
        {"--filter", "--talk"},                          // no value
        {"--filter", "--talk="},
        {"--filter", "--see=:1.5"},                      // unique names are no rule
        {"--filter", "--own=org..x"},
        {"--filter", "--own=*"},
        {"--filter", "--call=org.example.A"},            // no RULE
        {"--filter", "--call=org.example.A=Bad"},        // method without interface
        {"--filter", "--call=org.example.A=org.x.Y@no/slash"},
        {"--filter", "--broadcast=org.example.A=org.x.1Y"},
        {"--filter", "--policy="},
    };
    for (const auto &args : bad)
        EXPECT_EXIT(Parsed{args}, testing::ExitedWithCode(1), "^Usage: ") << args.back();
}

TEST(PolicyRules, LevelsPrefixesAndNamespacedNames)
{
    PolicyRules r = rules_of({{"see", "org.example.Seen"},
                              {"talk", "org.example.Talk"},
                              {"own", "org.example.Own"},
                              {"talk", "org.prefix.*"},
                              {"see", "org.prefix.Deep.*"}});
    EXPECT_EQ(policy_level(&r, "org.example.Seen"), POLICY_SEE);
    EXPECT_EQ(policy_level(&r, "org.example.Own"), POLICY_OWN);
    EXPECT_EQ(policy_level(&r, "org.example.Own.docker"), POLICY_OWN);
    EXPECT_EQ(policy_level(&r, "org.example.Own.other"), POLICY_NONE);
    EXPECT_EQ(policy_level(&r, "org.example.Seen.Child"), POLICY_NONE);
    EXPECT_EQ(policy_level(&r, "org.example"), POLICY_NONE);
    // `.*` covers the name itself and everything below, not a longer word.
    EXPECT_EQ(policy_level(&r, "org.prefix"), POLICY_TALK);
    EXPECT_EQ(policy_level(&r, "org.prefix.A.B"), POLICY_TALK);
    EXPECT_EQ(policy_level(&r, "org.prefixed"), POLICY_NONE);
    // Overlapping rules: the highest level wins.
    EXPECT_EQ(policy_level(&r, "org.prefix.Deep.X"), POLICY_TALK);
    EXPECT_EQ(policy_level(&r, ":1.4"), POLICY_NONE);
    EXPECT_TRUE(may_call(r, "org.example.Talk", "any.Iface", "M", "/"));
    EXPECT_FALSE(may_call(r, "org.example.Seen", "any.Iface", "M", "/"));
}

TEST(PolicyRules, CallAndBroadcastRulesMatchMethodAndPath)
{
    PolicyRules r = rules_of({{"call", "org.portal.*=org.portal.Settings.Read@/org/portal/desktop"},
                              {"call", "org.portal.*=org.portal.Files.*@/org/portal/files/*"},
                              {"call", "org.any=*"},
                              {"call", "org.any.Path=@/only"},
                              {"broadcast", "org.portal.Desktop=org.portal.Settings.Changed@/*"}});
    EXPECT_EQ(policy_level(&r, "org.portal.Desktop"), POLICY_SEE);
    EXPECT_TRUE(may_call(r, "org.portal.Desktop", "org.portal.Settings", "Read",
                         "/org/portal/desktop"));
    EXPECT_FALSE(may_call(r, "org.portal.Desktop", "org.portal.Settings", "Write",
                          "/org/portal/desktop"));
    EXPECT_FALSE(may_call(r, "org.portal.Desktop", "org.portal.Settings", "Read",
                          "/org/portal/desktop/x"));
    EXPECT_FALSE(may_call(r, "org.portal.Desktop", nullptr, "Read", "/org/portal/desktop"));
    EXPECT_TRUE(may_call(r, "org.portal.Desktop", "org.portal.Files", "Open",
                         "/org/portal/files"));
    EXPECT_TRUE(may_call(r, "org.portal.Desktop", "org.portal.Files", "Open",
                         "/org/portal/files/a/b"));
    EXPECT_FALSE(may_call(r, "org.portal.Desktop", "org.portal.Files", "Open",
                          "/org/portal/filesystem"));
    EXPECT_FALSE(may_call(r, "org.portal.Desktop", "org.portal.FilesX", "Open",
                          "/org/portal/files"));
    EXPECT_TRUE(may_call(r, "org.any", nullptr, "X", "/a"));
    EXPECT_TRUE(may_call(r, "org.any.Path", "i.F", "X", "/only"));
    EXPECT_FALSE(may_call(r, "org.any.Path", "i.F", "X", "/only/not"));
    // A call rule is no broadcast rule, and the other way round.
    NameGrant g = policy_lookup(&r, "org.portal.Desktop");
    EXPECT_TRUE(grant_allows_broadcast(g, "org.portal.Settings", "Changed", "/x/y"));
    EXPECT_FALSE(grant_allows_broadcast(g, "org.portal.Settings", "Read", "/org/portal/desktop"));
    EXPECT_FALSE(may_call(r, "org.portal.Desktop", "org.portal.Settings", "Changed", "/"));
}

TEST(PolicyFile, CommentsBlankLinesAndErrorsWithLineNumbers)
{
    PolicyRules r;
    unsigned line = 0;
    std::string why;
    ASSERT_EQ(policy_parse_text(&r,
                                "# desktop application\n"
                                "\n"
                                "   talk   org.freedesktop.Notifications   \n"
                                "call org.freedesktop.portal.*=*@/org/freedesktop/portal/desktop\n"
                                "own org.example.App # its own name\r\n"
                                "\t# indented comment",
                                &line, &why),
              0)
        << line << ": " << why;
    EXPECT_EQ(r.rule_count, 3u);
    EXPECT_EQ(policy_level(&r, "org.example.App"), POLICY_OWN);

    for (auto [text, bad_line] : std::initializer_list<std::pair<const char *, unsigned>>{
             {"talk org.a\nshout org.b\n", 2},
             {"talk\n", 1},
             {"\n\n# x\ntalk org.a org.b\n", 4},
             {"see org.a\ncall org.b=org.c.D@//\n", 2},
             {"own org.a!\n", 1}}) {
        PolicyRules fresh;
        line = 0;
        EXPECT_EQ(policy_parse_text(&fresh, text, &line, &why), -1) << text;
        EXPECT_EQ(line, bad_line) << text;
    }
}

TEST(PolicyFileDeathTest, UnreadableOrMalformedFileIsFatal)
{
    harness::TempDir dir;
    const std::string file = dir.file("policy");
    harness::write_file(file, "talk org.a\n\nsee org..b\n");
    // The log is standard output; the death test reads standard error.
    EXPECT_EXIT((dup2(2, 1), Parsed({"--filter", "--policy=" + file})),
                testing::ExitedWithCode(1), "FATAL.*" + file + ", line 3: invalid name");
    EXPECT_EXIT((dup2(2, 1), Parsed({"--filter", "--policy=" + dir.file("missing")})),
                testing::ExitedWithCode(1), "FATAL.*missing: No such file");
    // A directory opens but does not read.
    EXPECT_EXIT((dup2(2, 1), Parsed({"--filter", "--policy=-" + dir.path()})),
                testing::ExitedWithCode(1), "FATAL.*Cannot read policy file");
}

TEST(PolicyFile, OptionalFileTurnsFilteringOnOnlyWhenPresent)
{
    harness::TempDir dir;
    const std::string file = dir.file("policy");
    EXPECT_EQ(Parsed({"--policy=-" + file}).rules(), nullptr);
    harness::write_file(file, "talk org.example.A\n");
    Parsed present({"--policy=-" + file});
    ASSERT_NE(present.rules(), nullptr);
    EXPECT_EQ(policy_level(present.rules(), "org.example.A"), POLICY_TALK);
    // With --filter, a missing optional file leaves the other rules.
    Parsed both({"--filter", "--see=org.b", "--policy=-" + dir.file("none")});
    ASSERT_NE(both.rules(), nullptr);
    EXPECT_EQ(policy_level(both.rules(), "org.b"), POLICY_SEE);
}
