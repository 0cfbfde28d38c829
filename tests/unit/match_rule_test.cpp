// Match rules read as the bus reads them: what it accepts, what it refuses
// and with which error, however a hostile client spells the rule.
#include "util/match_rule.h"

#include <dbus/dbus.h>
#include <gtest/gtest.h>

#include <string>

namespace {

// "key=value|key=value" in the rule's order, or the error's name.
std::string read(const std::string &text)
{
    MatchRule rule;
    std::string why;
    if (const char *error = match_rule_read(text.c_str(), &rule, &why)) {
        EXPECT_FALSE(why.empty()) << text;
        EXPECT_TRUE(rule.empty()) << text;
        return error;
    }
    std::string out;
    for (const MatchEntry &entry : rule) {
        if (entry.key != MATCH_EAVESDROP) {
            EXPECT_EQ(match_rule_find(rule, entry.key, entry.arg), &entry) << text;
        }
        out += (out.empty() ? "" : "|") + match_key_name(entry) + "=" + entry.value;
    }
    return out;
}

const std::string invalid = DBUS_ERROR_MATCH_RULE_INVALID;

// `count` keys arg0=x,arg1=x,...
std::string args(int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += (i ? ",arg" : "arg") + std::to_string(i) + "=x";
    return out;
}

} // namespace

TEST(MatchRuleReader, QuotingAndWhiteSpaceAsTheBus)
{
    const struct {
        std::string rule, read;
    } cases[] = {
        {"", ""},
        {" \t\r\n", ""},
        {"type='signal',", "type=signal"},
        {"type='signal',  \n", "type=signal"},
        // White space around a key, line breaks included; inside a value it stays.
        {"  sender \n='org.a.b',member=M", "sender=org.a.b|member=M"},
        {"type='signal' ", invalid},
        {"type=\tsignal", invalid},
        // Apostrophes quote; outside them \' is an apostrophe and any other
        // backslash is itself, the byte after it taken as it is.
        {"arg0=it\\'s,arg1='a\\b',arg2='x,y',arg3=''", "arg0=it's|arg1=a\\b|arg2=x,y|arg3="},
        {"arg0=a\\,eavesdrop='true'", "arg0=a\\,eavesdrop=true"},
        {"arg0='it'\\''s',arg1=", "arg0=it's|arg1="},
        {"arg0=ends\\", "arg0=ends\\"},
        {"arg0='un,terminated", invalid},
        {"arg0='a'b'c'", "arg0=abc"},
        // A key needs its '=': none, or an empty key before one.
        {"type 'signal'", invalid},
        {"type", invalid},
        {"=x", invalid},
        {"type='signal',=x,eavesdrop='true'", invalid},
        {"type='signal', =,eavesdrop='true'", invalid},
        // A second comma starts the next key.
        {"type='signal',,member='M'", invalid},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(c.rule), c.read) << c.rule;
}

TEST(MatchRuleReader, KeysAndValuesAsTheBusChecksThem)
{
    const struct {
        std::string rule, read;
    } cases[] = {
        {"type=method_call,sender=:1.7,interface=a.b,member=M,path=/a,destination=org.x.Y",
         "type=method_call|sender=:1.7|interface=a.b|member=M|path=/a|destination=org.x.Y"},
        {"path_namespace='/',eavesdrop=false,eavesdrop=true",
         "path_namespace=/|eavesdrop=false|eavesdrop=true"},
        {"Type='signal'", invalid},
        {"types='signal'", invalid},
        {"type='Signal'", invalid},
        {"sender='org'", invalid},
        {"destination='1.a'", invalid},
        {"interface='a'", invalid},
        {"member='a.b'", invalid},
        {"path='/a/'", invalid},
        {"path_namespace='a'", invalid},
        {"eavesdrop='yes'", invalid},
        {"eavesdrop=tru\\e", invalid},
        // Each key once; path and path_namespace are one key; eavesdrop may repeat.
        {"sender='a.b',sender='a.b'", invalid},
        {"path='/',path_namespace='/'", invalid},
        {"type=signal,member=A,type=signal", invalid},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(c.rule), c.read) << c.rule;
}

TEST(MatchRuleReader, ArgumentKeysHoweverSpelt)
{
    const struct {
        std::string rule, read;
    } cases[] = {
        {"arg0=a,arg63=b,arg5path=/c,arg0namespace=org", invalid}, // arg0 twice
        {"arg63=b,arg5path=/c,arg0namespace=org", "arg63=b|arg5path=/c|arg0namespace=org"},
        {"arg0namespace=':1.2'", "arg0namespace=:1.2"},
        // The bus reads the number as strtoul does, in any base.
        {"arg+1=x", "arg1=x"},
        {"arg01=x", "arg1=x"},
        {"arg0x1=x", "arg1=x"},
        {"arg010=x", "arg8=x"},
        {"arg-0=x", "arg0=x"},
        {"arg\v2=x", "arg2=x"},
        {"arg+3path='/a'", "arg3path=/a"},
        {"arg0x3f=x", "arg63=x"},
        // The same argument in two spellings or two forms.
        {"arg1='x',arg01='y'", invalid},
        {"arg1='x',arg1path='/'", invalid},
        {"arg0='x',arg0namespace='a'", invalid},
        {"arg64=x", invalid},
        {"arg0x40=x", invalid},
        {"arg-1=x", invalid},
        {"arg99999999999999999999999=x", invalid},
        {"arg=x", invalid},
        {"argpath=x", invalid},
        {"arg1x=x", invalid},
        {"arg0path0=x", invalid},
        {"arg00namespace=a", invalid},
        {"arg1namespace=a", invalid},
        {"arg 0=x", invalid},
        {"arg0namespace='org.'", invalid},
        {"arg0namespace='.org'", invalid},
        {"arg0namespace='org.1a'", invalid},
        {"arg0namespace=''", invalid},
    };
    for (const auto &c : cases)
        EXPECT_EQ(read(c.rule), c.read) << c.rule;
}

TEST(MatchRuleReader, BoundedInLengthAndKeys)
{
    // 1,024 bytes is the bus's maximum; past it the bus answers LimitsExceeded.
    const std::string head = "arg0='", tail = "'";
    const std::string longest = head + std::string(1024 - head.size() - tail.size(), 'x') + tail;
    ASSERT_EQ(longest.size(), 1024u);
    EXPECT_EQ(read(longest).size(), 5 + 1024 - head.size() - tail.size());
    EXPECT_EQ(read(longest + " "), DBUS_ERROR_LIMITS_EXCEEDED);
    // Whatever follows, even an unreadable rule: nothing past the limit is read.
    EXPECT_EQ(read(std::string(1025, '\'')), DBUS_ERROR_LIMITS_EXCEEDED);

    // The bus reads 16 keys and ignores the rest: a 17th is refused here.
    EXPECT_EQ(read(args(16)).size(), std::string("arg0=x|").size() * 10 +
                                         std::string("arg10=x|").size() * 6 - 1);
    EXPECT_EQ(read(args(17)), invalid);
    EXPECT_EQ(read(args(16) + ",eavesdrop=true"), invalid);
}

TEST(MatchRuleReader, EavesdroppingIsAnyTrue)
{
    for (const auto &[rule, eavesdrops] : {std::pair<const char *, bool>{"eavesdrop='true'", true},
                                          {"eavesdrop=false,eavesdrop=true", true},
                                          {"eavesdrop=true,eavesdrop=false", true},
                                          {"eavesdrop=false", false},
                                          {"arg0=eavesdrop=true", false},
                                          {"", false}}) {
        MatchRule read;
        ASSERT_EQ(match_rule_read(rule, &read), nullptr) << rule;
        EXPECT_EQ(match_rule_eavesdrops(read), eavesdrops) << rule;
    }
}

TEST(MatchRuleReader, ValuesKnowWhereTheyWereWritten)
{
    const std::string text = "type='signal', sender=org.a.B,arg0='x'\\''y'";
    MatchRule rule;
    ASSERT_EQ(match_rule_read(text.c_str(), &rule), nullptr);
    ASSERT_EQ(rule.size(), 3u);
    const char *written[] = {"'signal'", "org.a.B", "'x'\\''y'"};
    for (size_t i = 0; i < rule.size(); ++i)
        EXPECT_EQ(text.substr(rule[i].value_begin, rule[i].value_end - rule[i].value_begin),
                  written[i]);
    EXPECT_EQ(match_rule_find(rule, MATCH_ARG, 1), nullptr);
    EXPECT_EQ(match_rule_find(rule, MATCH_ARG, 0), &rule[2]);
}
