// The policy's names: patterns of a name's last element, and what a pair
// keeps for the peers that called its client, within its bounds.
#include "policy/names.h"
#include "policy/policy.h"

#include <gtest/gtest.h>

#include <string>

namespace {

PolicyRules rules_of(std::initializer_list<std::pair<const char *, const char *>> list)
{
    PolicyRules rules;
    for (auto [kind, arg] : list) {
        std::string why;
        EXPECT_EQ(policy_add_rule(&rules, kind, arg, &why), 0) << kind << " " << arg << ": " << why;
    }
    policy_set_namespace(&rules, "docker");
    return rules;
}

// A pair's policy state outside any pair, as the filters keep it.
struct State {
    PairPolicy *state = new PairPolicy;
    ~State() { pair_policy_free(state); }
    PairPolicy *operator->() const { return state; }
    void called(const std::string &caller, uint32_t serial, bool expects_reply = true) const
    {
        pair_policy_called(state, caller.c_str(), serial, expects_reply);
    }
    bool answer(const std::string &caller, uint32_t serial) const
    {
        return pair_policy_take_answer(state, caller.c_str(), serial);
    }
};

} // namespace

TEST(PolicyPatterns, ALastElementPatternCoversThatElementAndNoFurther)
{
    const PolicyRules r = rules_of({{"own", "org.kde.StatusNotifierItem-*"},
                                    {"talk", "org.example.instance*"},
                                    {"see", "org.example.Item-Deep.*"}});
    const std::pair<const char *, int> cases[] = {
        {"org.kde.StatusNotifierItem-4242-1", POLICY_OWN},
        {"org.kde.StatusNotifierItem-", POLICY_OWN},
        {"org.kde.StatusNotifierItem-7.docker", POLICY_OWN}, // its namespaced form
        {"org.kde.StatusNotifierItem-7.x", POLICY_NONE},     // never past a dot
        {"org.kde.StatusNotifierItem", POLICY_NONE},
        {"org.kde.StatusNotifierWatcher", POLICY_NONE},
        {"org.kde.StatusNotifierItemX", POLICY_NONE},
        {"org.kde", POLICY_NONE},
        {"org.example.instance1234", POLICY_TALK},
        {"org.example.instance", POLICY_TALK},
        {"org.example.instanc", POLICY_NONE},
        {"org.example.Item-Deep.x", POLICY_SEE},
    };
    for (const auto &[name, level] : cases)
        EXPECT_EQ(policy_level(&r, name), level) << name;

    // The text before the '*' must itself be a name.
    for (const char *bad : {"*", "org*", "org.1*", "org.kde.Item**", "org.*x", "org..x*"}) {
        PolicyRules rules;
        std::string why;
        EXPECT_EQ(policy_add_rule(&rules, "own", bad, &why), -1) << bad;
    }
    PolicyRules from_file;
    unsigned line = 0;
    std::string why;
    EXPECT_EQ(policy_parse_text(&from_file, "own org.kde.StatusNotifierItem-*\n", &line, &why), 0)
        << why;
    EXPECT_EQ(policy_level(&from_file, "org.kde.StatusNotifierItem-1-1"), POLICY_OWN);
}

TEST(PolicyCallers, OneCallersFloodCostsOnlyItsOwnOldestAnswers)
{
    State s;
    s.called(":1.7", 1); // the victim, first of all
    for (uint32_t serial = 1; serial <= POLICY_MAX_OWED_ANSWERS + 10; ++serial)
        s.called(":1.8", serial);
    EXPECT_EQ(s->owed_total, POLICY_MAX_OWED_ANSWERS);
    // Callers that come after the flood take from the flooder too, even
    // once it has been answered in between.
    EXPECT_TRUE(s.answer(":1.8", 12));
    s.called(":1.6", 1);
    s.called(":1.5", 1);
    EXPECT_EQ(s->owed_total, POLICY_MAX_OWED_ANSWERS);
    for (const char *victim : {":1.7", ":1.6", ":1.5"}) {
        EXPECT_TRUE(s.answer(victim, 1)) << victim;
        EXPECT_FALSE(s.answer(victim, 1)) << victim; // once
    }
    EXPECT_FALSE(s.answer(":1.8", 1));
    EXPECT_FALSE(s.answer(":1.8", 11));
    EXPECT_FALSE(s.answer(":1.8", 13));
    EXPECT_TRUE(s.answer(":1.8", 14));
    EXPECT_TRUE(s.answer(":1.8", POLICY_MAX_OWED_ANSWERS + 10));
    // Calls without a reply leave no record; a reused serial leaves one.
    s.called(":1.9", 5, false);
    EXPECT_FALSE(s.answer(":1.9", 5));
    s.called(":1.9", 6);
    s.called(":1.9", 6);
    EXPECT_TRUE(s.answer(":1.9", 6));
    EXPECT_FALSE(s.answer(":1.9", 6));
}

TEST(PolicyCallers, CallersThatLeftAreForgottenAndTheLeastRecentGoesFirst)
{
    State s;
    s.called(":1.1", 1);
    s.called(":1.2", 1);
    pair_policy_peer_left(s.state, ":1.1");
    EXPECT_FALSE(s->callers.count(":1.1"));
    EXPECT_EQ(s->owed_total, 1u);
    EXPECT_FALSE(s.answer(":1.1", 1));
    // Told once, whichever copy of the departure comes first.
    EXPECT_TRUE(pair_policy_saw_departure(s.state, ":1.1"));
    EXPECT_FALSE(pair_policy_saw_departure(s.state, ":1.1"));
    EXPECT_FALSE(pair_policy_saw_departure(s.state, ":1.2"));
    pair_policy_peer_left(s.state, ":1.404"); // never called: nothing to tell
    EXPECT_FALSE(pair_policy_saw_departure(s.state, ":1.404"));
    for (int i = 0; i < int(POLICY_MAX_DEPARTED) + 1; ++i) {
        const std::string name = ":2." + std::to_string(i);
        s.called(name, 1, false);
        pair_policy_peer_left(s.state, name);
    }
    EXPECT_FALSE(pair_policy_saw_departure(s.state, ":2.0"));
    EXPECT_TRUE(pair_policy_saw_departure(s.state, ":2.1"));

    // Past the bound the caller that called least recently goes.
    State full;
    for (size_t i = 0; i < POLICY_MAX_CALLERS; ++i)
        full.called(":3." + std::to_string(i), 1, i == 1);
    full.called(":3.0", 2, false); // called again: the latest now
    full.called(":4.0", 1, false);
    EXPECT_EQ(full->callers.size(), POLICY_MAX_CALLERS);
    EXPECT_TRUE(full->callers.count(":3.0"));
    EXPECT_TRUE(full->callers.count(":4.0"));
    EXPECT_FALSE(full->callers.count(":3.1"));
    EXPECT_EQ(full->owed_total, 0u); // its answer went with it
    EXPECT_TRUE(full->by_owed.empty());
}

TEST(PolicyCallers, HintsAreBoundedAndTakenOnce)
{
    State s;
    pair_policy_hint(s.state, "");
    pair_policy_hint(s.state, "org.example.NotUnique");
    EXPECT_TRUE(s->hints.empty());
    for (size_t i = 0; i <= POLICY_MAX_HINTS; ++i)
        pair_policy_hint(s.state, (":1." + std::to_string(i)).c_str());
    pair_policy_hint(s.state, ":1.5"); // once only
    EXPECT_EQ(s->hints.size(), POLICY_MAX_HINTS);
    EXPECT_FALSE(pair_policy_take_hint(s.state, ":1.0"));
    EXPECT_TRUE(pair_policy_take_hint(s.state, ":1.5"));
    EXPECT_FALSE(pair_policy_take_hint(s.state, ":1.5"));
}
