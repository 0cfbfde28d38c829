// Rules with conditions on arguments: reading them, matching messages, and
// the audit's text for them.
#include "audit/policy_file.h"
#include "main/command_line.h"
#include "policy/policy.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

namespace {

constexpr const char *PROPS = "org.freedesktop.DBus.Properties";

using Conditions = std::vector<std::pair<unsigned, std::string>>;

Conditions conditions_of(const MethodRule &rule)
{
    Conditions out;
    for (const ArgCondition &c : rule.args)
        out.emplace_back(c.index, c.value);
    return out;
}

// The one call rule that `rule` (NAME=RULE's RULE) makes for org.example.A.
bool read_rule(const std::string &rule, MethodRule *out, std::string *why)
{
    PolicyRules rules;
    if (policy_add_rule(&rules, "call", ("org.example.A=" + rule).c_str(), why) != 0)
        return false;
    *out = rules.exact.at("org.example.A").calls.at(0);
    return true;
}

// A call with the arguments `append` writes.
MessagePtr call_with(const char *member, const std::function<void(DBusMessageIter *)> &append)
{
    MessagePtr m(dbus_message_new_method_call("org.example.A", "/o", PROPS, member));
    DBusMessageIter it;
    dbus_message_iter_init_append(m.get(), &it);
    if (append)
        append(&it);
    return m;
}

void put_string(DBusMessageIter *it, const char *s)
{
    dbus_message_iter_append_basic(it, DBUS_TYPE_STRING, &s);
}

std::function<void(DBusMessageIter *)> strings(std::vector<std::string> values)
{
    return [values](DBusMessageIter *it) {
        for (const std::string &v : values)
            put_string(it, v.c_str());
    };
}

bool allows(const PolicyRules &rules, DBusMessage *m)
{
    return grant_allows_call(policy_lookup(&rules, "org.example.A"),
                             dbus_message_get_interface(m), dbus_message_get_member(m),
                             dbus_message_get_path(m), m);
}

PolicyRules calls(std::initializer_list<const char *> rules)
{
    PolicyRules out;
    for (const char *rule : rules) {
        std::string why;
        EXPECT_EQ(policy_add_rule(&out, "call", (std::string("org.example.A=") + rule).c_str(),
                                  &why),
                  0)
            << rule << ": " << why;
    }
    return out;
}

// Parses a whole command line, as the daemon does.
void parse_args(std::vector<std::string> args)
{
    args.insert(args.begin(), "dbus-proxy-daemon");
    std::vector<char *> argv;
    for (auto &s : args)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    ProxyConfig config;
    config_init(&config);
    parse_command_line(static_cast<int>(args.size()), argv.data(), &config);
    policy_config_free(&config);
}

} // namespace

TEST(PolicyArgs, ReaderAcceptsConditions)
{
    const struct {
        const char *rule;
        const char *interface, *member, *path;
        Conditions args;
    } cases[] = {
        {"org.freedesktop.DBus.Properties.Get@/org/example/Obj(arg0=org.example.Public)", PROPS,
         "Get", "/org/example/Obj", {{0, "org.example.Public"}}},
        {"(arg1=x)", "", "", "", {{1, "x"}}},
        {"*(arg0=a)", "", "", "", {{0, "a"}}},
        {"org.x.Y.*@/o/*(arg63=v,arg0=/some/path,arg10=k)", "org.x.Y", "", "/o",
         {{63, "v"}, {0, "/some/path"}, {10, "k"}}},
        // '=' needs no escaping: the first one ends N.
        {"@/p(arg2=a=b)", "", "", "/p", {{2, "a=b"}}},
        {"(arg0=with:colon;semicolon)", "", "", "", {{0, "with:colon;semicolon"}}},
    };
    for (const auto &c : cases) {
        MethodRule rule;
        std::string why;
        ASSERT_TRUE(read_rule(c.rule, &rule, &why)) << c.rule << ": " << why;
        EXPECT_EQ(rule.interface, c.interface) << c.rule;
        EXPECT_EQ(rule.member, c.member) << c.rule;
        EXPECT_EQ(rule.path, c.path) << c.rule;
        EXPECT_EQ(conditions_of(rule), c.args) << c.rule;
    }
    MethodRule plain;
    std::string why;
    ASSERT_TRUE(read_rule("org.x.Y.Z@/a", &plain, &why));
    EXPECT_TRUE(plain.args.empty());
}

TEST(PolicyArgs, ReaderRefusesBadConditionsNamingTheRule)
{
    // rule, a word of the reason
    const struct {
        const char *rule, *reason;
    } cases[] = {
        {"(arg64=x)", "out of range"},
        {"(arg99=x)", "out of range"},
        {"(arg100=x)", "argN=VALUE"},
        {"(arg-1=x)", "argN=VALUE"},
        {"(arg01=x)", "argN=VALUE"},
        {"(arg=x)", "argN=VALUE"},
        {"(ARG0=x)", "argN=VALUE"},
        {"(argx=x)", "argN=VALUE"},
        {"(arg0)", "argN=VALUE"},
        {"(arg0=)", "needs a value"},
        {"()", "empty"},
        {"(arg0=a,)", "argN=VALUE"},
        {"(,arg0=a)", "argN=VALUE"},
        {"(arg0=a,arg0=b)", "two conditions"},
        {"(arg0=a", "unbalanced"},
        {"Get@/o)", "unbalanced"},
        {"org.x.Y.Z@/o)arg0=a)", "unbalanced"},
        {"(arg0=a))", "unbalanced"},
        {"((arg0=a))", "unbalanced"},
        {"(arg0=(a))", "unbalanced"},
        {"(arg0=a)(arg1=b)", "unbalanced"},
        {"(arg0=a)x", "unbalanced"},
        {"(arg0=a b)", "blank"},
        {"(arg0=a\tb)", "blank"},
        {"(arg0=a#b)", "'#'"},
        {"Bad(arg0=x)", "method must be"},
        {"org.x.Y.Z@no/slash(arg0=x)", "invalid object path"},
    };
    for (const auto &c : cases) {
        MethodRule rule;
        std::string why;
        EXPECT_FALSE(read_rule(c.rule, &rule, &why)) << c.rule;
        EXPECT_NE(why.find(c.reason), std::string::npos) << c.rule << ": " << why;
        // The method's and path's own reasons name the part that is wrong.
        if (std::string(c.reason) != "method must be" && std::string(c.reason) != "invalid object path") {
            EXPECT_NE(why.find(c.rule), std::string::npos) << "the rule is named: " << why;
        }
    }
}

TEST(PolicyArgsDeathTest, BadConditionIsAUsageErrorNamingTheRule)
{
    EXPECT_EXIT(parse_args({"--filter", "--call=org.example.A=*(arg64=x)"}),
                testing::ExitedWithCode(1),
                "^Usage: (.|\n)*--call=org.example.A=\\*\\(arg64=x\\): .*out of range");
    EXPECT_EXIT(parse_args({"--filter", "--broadcast=org.example.A=(arg0=x"}),
                testing::ExitedWithCode(1), "--broadcast=org.example.A=\\(arg0=x: .*unbalanced");

    harness::TempDir dir;
    const std::string file = dir.file("policy");
    harness::write_file(file, "talk org.a\ncall org.b=org.b.I.Get(arg0=) # empty\n");
    EXPECT_EXIT((dup2(2, 1), parse_args({"--filter", "--policy=" + file})),
                testing::ExitedWithCode(1),
                "FATAL.*" + file + ", line 2: in org.b.I.Get\\(arg0=\\): .*needs a value");
}

TEST(PolicyArgs, ConditionsOnStringsAndPathsOnly)
{
    const PolicyRules rules = calls({"org.freedesktop.DBus.Properties.Get(arg0=org.example.Public)",
                                     "org.freedesktop.DBus.Properties.Set(arg1=/a/b,arg0=x.Y)",
                                     "org.freedesktop.DBus.Properties.GetAll(arg63=last)"});
    const auto path = [](const char *p) {
        return [p](DBusMessageIter *it) { dbus_message_iter_append_basic(it, DBUS_TYPE_OBJECT_PATH, &p); };
    };
    const std::vector<std::string> sixty_three(63, "x");
    std::vector<std::string> sixty_four = sixty_three;
    sixty_four.push_back("last");
    const struct {
        const char *what, *member;
        std::function<void(DBusMessageIter *)> args;
        bool allowed;
    } cases[] = {
        {"the public interface", "Get", strings({"org.example.Public", "Name"}), true},
        {"the private one", "Get", strings({"org.example.Private", "Name"}), false},
        {"a longer name", "Get", strings({"org.example.PublicX", "Name"}), false},
        {"a prefix of it", "Get", strings({"org.example.Publi", "Name"}), false},
        {"no argument", "Get", nullptr, false},
        {"an integer",
         "Get",
         [](DBusMessageIter *it) {
             const dbus_int32_t n = 0;
             dbus_message_iter_append_basic(it, DBUS_TYPE_INT32, &n);
         },
         false},
        {"a variant holding it",
         "Get",
         [](DBusMessageIter *it) {
             DBusMessageIter v;
             const char *s = "org.example.Public";
             dbus_message_iter_open_container(it, DBUS_TYPE_VARIANT, "s", &v);
             dbus_message_iter_append_basic(&v, DBUS_TYPE_STRING, &s);
             dbus_message_iter_close_container(it, &v);
         },
         false},
        {"an array holding it",
         "Get",
         [](DBusMessageIter *it) {
             DBusMessageIter a;
             const char *s = "org.example.Public";
             dbus_message_iter_open_container(it, DBUS_TYPE_ARRAY, "s", &a);
             dbus_message_iter_append_basic(&a, DBUS_TYPE_STRING, &s);
             dbus_message_iter_close_container(it, &a);
         },
         false},
        {"a signature", "Get",
         [](DBusMessageIter *it) {
             const char *s = "s";
             dbus_message_iter_append_basic(it, DBUS_TYPE_SIGNATURE, &s);
         },
         false},
        {"both conditions, path as a path", "Set",
         [&](DBusMessageIter *it) { put_string(it, "x.Y"); path("/a/b")(it); }, true},
        {"both conditions, path as a string", "Set", strings({"x.Y", "/a/b"}), true},
        {"one of two", "Set", strings({"x.Y", "/a/c"}), false},
        {"the other of two", "Set", strings({"x.Z", "/a/b"}), false},
        {"the second missing", "Set", strings({"x.Y"}), false},
        {"argument 63", "GetAll", strings(sixty_four), true},
        {"argument 63 missing", "GetAll", strings(sixty_three), false},
        {"argument 62 instead", "GetAll",
         [&](DBusMessageIter *it) { strings(std::vector<std::string>(62, "x"))(it); put_string(it, "last"); },
         false},
    };
    for (const auto &c : cases) {
        MessagePtr m = call_with(c.member, c.args);
        EXPECT_EQ(allows(rules, m.get()), c.allowed) << c.what;
    }
    // Without the message no condition holds; a rule never reads another
    // member's arguments.
    MessagePtr pub = call_with("Get", strings({"org.example.Public"}));
    EXPECT_FALSE(grant_allows_call(policy_lookup(&rules, "org.example.A"), PROPS, "Get", "/o"));
    MessagePtr other = call_with("GetAll", strings({"org.example.Public"}));
    EXPECT_FALSE(allows(rules, other.get()));
}

TEST(PolicyArgs, AnyAllowingRuleSuffices)
{
    // A rule without conditions allows whatever the arguments; conditions
    // of one rule do not combine with another's.
    const PolicyRules rules = calls({"org.freedesktop.DBus.Properties.Get(arg0=a.A)",
                                     "org.freedesktop.DBus.Properties.Get(arg1=B)",
                                     "org.freedesktop.DBus.Properties.GetAll@/o"});
    EXPECT_TRUE(allows(rules, call_with("Get", strings({"a.A", "x"})).get()));
    EXPECT_TRUE(allows(rules, call_with("Get", strings({"z.Z", "B"})).get()));
    EXPECT_FALSE(allows(rules, call_with("Get", strings({"z.Z", "x"})).get()));
    EXPECT_TRUE(allows(rules, call_with("GetAll", strings({"any.Thing"})).get()));

    // Rules of the name's prefix and its namespaced form count too.
    PolicyRules both = calls({"org.freedesktop.DBus.Properties.Get(arg0=a.A)"});
    std::string why;
    ASSERT_EQ(policy_add_rule(&both, "call", "org.example.*=org.freedesktop.DBus.Properties.*",
                              &why), 0);
    EXPECT_TRUE(allows(both, call_with("Get", strings({"z.Z"})).get()));
    // Talk allows every call, conditions or not.
    PolicyRules talk = calls({"org.freedesktop.DBus.Properties.Get(arg0=a.A)"});
    ASSERT_EQ(policy_add_rule(&talk, "talk", "org.example.A", &why), 0);
    EXPECT_TRUE(allows(talk, call_with("Get", strings({"z.Z"})).get()));
}

TEST(PolicyArgs, BroadcastOfOneInterface)
{
    PolicyRules rules;
    std::string why;
    ASSERT_EQ(policy_add_rule(&rules, "broadcast",
                              "org.example.A=org.freedesktop.DBus.Properties.PropertiesChanged@/o"
                              "(arg0=org.example.Public)",
                              &why),
              0)
        << why;
    const NameGrant grant = policy_lookup(&rules, "org.example.A");
    for (auto [iface, heard] : {std::pair{"org.example.Public", true},
                                std::pair{"org.example.Private", false}}) {
        MessagePtr s(dbus_message_new_signal("/o", PROPS, "PropertiesChanged"));
        DBusMessageIter it, dict, list;
        dbus_message_iter_init_append(s.get(), &it);
        put_string(&it, iface);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "{sv}", &dict);
        dbus_message_iter_close_container(&it, &dict);
        dbus_message_iter_open_container(&it, DBUS_TYPE_ARRAY, "s", &list);
        dbus_message_iter_close_container(&it, &list);
        EXPECT_EQ(grant_allows_broadcast(grant, PROPS, "PropertiesChanged", "/o", s.get()), heard)
            << iface;
        // A call rule is no broadcast rule.
        EXPECT_FALSE(grant_allows_call(grant, PROPS, "PropertiesChanged", "/o", s.get()));
    }
}

TEST(AuditArgs, ConditionsRoundTripThroughTheFile)
{
    const AuditRule get{"call", "org.example.A", "org.freedesktop.DBus.Properties.Get", "/o",
                        "arg0=org.example.Public"};
    const AuditRule changed{"broadcast", "org.example.A",
                            "org.freedesktop.DBus.Properties.PropertiesChanged", "",
                            "arg0=org.example.Public"};
    EXPECT_EQ(audit_rule_text(get),
              "call org.example.A=org.freedesktop.DBus.Properties.Get@/o(arg0=org.example.Public)");
    EXPECT_EQ(audit_rule_text(changed), "broadcast org.example.A=org.freedesktop.DBus.Properties."
                                        "PropertiesChanged(arg0=org.example.Public)");

    harness::TempDir dir;
    const std::string file = dir.file("p");
    AuditPolicy policy;
    policy.rules = {get, changed,
                    {"call", "org.example.A", "org.freedesktop.DBus.Properties.Get", "/o"}};
    std::string why;
    ASSERT_TRUE(audit_policy_write(file, policy, &why)) << why;
    AuditPolicy again;
    ASSERT_TRUE(audit_policy_load(file, &again, &why)) << why;
    std::vector<std::string> written, read;
    for (const AuditRule &r : policy.rules)
        written.push_back(audit_rule_text(r));
    for (const AuditRule &r : again.rules)
        read.push_back(audit_rule_text(r));
    EXPECT_EQ(read, written);
    EXPECT_EQ(read.size(), 3u);
    // Read back as the audit made them: a later audit adds no second line.
    EXPECT_EQ(again.rules.count(get), 1u);
    EXPECT_EQ(again.rules.count(changed), 1u);

    // A rule with a condition covers only the interface it names.
    EXPECT_TRUE(audit_rule_covers(changed, PROPS, "PropertiesChanged", "/x", "org.example.Public"));
    EXPECT_FALSE(audit_rule_covers(changed, PROPS, "PropertiesChanged", "/x", "org.example.Private"));
    EXPECT_FALSE(audit_rule_covers(changed, PROPS, "PropertiesChanged", "/x"));
    const AuditRule any{"broadcast", "org.example.A", "*", ""};
    EXPECT_TRUE(audit_rule_covers(any, PROPS, "PropertiesChanged", "/x", "org.example.Private"));
}
