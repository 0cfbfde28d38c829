// The audit's policy text: what covers what, and merging with a file.
#include "audit/policy_file.h"
#include "harness.h"

#include <gtest/gtest.h>

TEST(AuditPolicy, CoveredRulesAreLeftOutAndAFileMergesBack)
{
    harness::TempDir dir;
    const std::string file = dir.file("app.policy");
    // As a user may have edited it: a hand-written talk rule, a comment.
    harness::write_file(file, "# client: earlier\ntalk org.example.Talked # by hand\n"
                              "broadcast org.example.Sig=org.example.Sig.*@/a/*\n");
    AuditPolicy policy;
    std::string why;
    ASSERT_TRUE(audit_policy_load(file, &policy, &why)) << why;
    policy.clients.insert("app");
    policy.rules.insert({"call", "org.example.Talked", "org.example.Talked.Get", "/"});
    policy.rules.insert({"see", "org.example.Owned", "", ""});
    policy.rules.insert({"own", "org.example.Owned", "", ""});
    policy.rules.insert({"call", "org.example.Owned", "*", "/x"});
    policy.rules.insert({"see", "org.example.Seen", "", ""});
    ASSERT_TRUE(audit_policy_write(file, policy, &why)) << why;

    AuditPolicy again;
    ASSERT_TRUE(audit_policy_load(file, &again, &why)) << why;
    EXPECT_EQ(audit_policy_lines(again),
              (std::vector<std::string>{"own org.example.Owned", "see org.example.Seen",
                                        "broadcast org.example.Sig=org.example.Sig.*@/a/*",
                                        "talk org.example.Talked"}));
    EXPECT_EQ(again.clients, (std::set<std::string>{"app", "earlier"}));

    const AuditRule &sig = *again.rules.find({"broadcast", "org.example.Sig", "org.example.Sig.*", "/a/*"});
    EXPECT_TRUE(audit_rule_covers(sig, "org.example.Sig", "Any", "/a/b"));
    EXPECT_FALSE(audit_rule_covers(sig, "org.example.Sig", "Any", "/ab"));
    EXPECT_FALSE(audit_rule_covers(sig, "org.example.Other", "Any", "/a"));

    harness::write_file(file, "allow everything\n");
    EXPECT_FALSE(audit_policy_load(file, &again, &why));
    EXPECT_NE(why.find("line 1"), std::string::npos) << why;
}

namespace {

AuditRule call_at(const std::string &path, const std::string &method = "org.example.I.Get")
{
    return {"call", "org.example.Svc", method, path};
}

std::vector<std::string> paths_of(const AuditPolicy &policy)
{
    std::vector<std::string> paths;
    for (const AuditRule &rule : policy.rules)
        paths.push_back(rule.path);
    return paths;
}

} // namespace

TEST(AuditPolicy, PathsFoldIntoSubtreesPastTheBudgetThenANoteSaysWhatIsLeftOut)
{
    const std::string full = "too much";
    struct Case {
        const char *what;
        std::vector<std::string> paths;
        size_t budget;
        std::vector<std::string> kept;
    } const cases[] = {
        {"within the budget nothing folds", {"/a/b/1", "/a/b/2"}, 4096, {"/a/b/1", "/a/b/2"}},
        {"siblings fold into their parent",
         {"/a/b/1", "/a/b/2", "/a/b/3", "/a/b/4", "/a/b/5"}, 600, {"/a/b/*"}},
        {"the deepest level goes first",
         {"/a/x", "/a/b/c/1", "/a/b/c/2", "/a/b/c/3", "/a/b/c/4"}, 700, {"/a/b/c/*", "/a/x"}},
        {"a rule already covered adds nothing", {"/a/*", "/a/b", "/a/b/c"}, 4096, {"/a/*"}},
        {"a subtree replaces what it covers", {"/a/b", "/a/c/d", "/a/*"}, 4096, {"/a/*"}},
        {"a subtree covers whole elements only", {"/a/*", "/ab"}, 4096, {"/a/*", "/ab"}},
        {"a very long path folds at once",
         {"/long/" + std::string(4000, 'x') + "/y"}, 1024, {"/long/*"}},
        {"siblings of the root fold into every path", {"/1", "/2", "/3", "/4"}, 400, {"/*"}},
    };
    for (const Case &c : cases) {
        AuditPolicy policy;
        for (const std::string &path : c.paths)
            EXPECT_TRUE(audit_policy_add(&policy, call_at(path), c.budget, full)) << c.what;
        EXPECT_EQ(paths_of(policy), c.kept) << c.what;
        EXPECT_TRUE(policy.notes.empty()) << c.what;
        EXPECT_LE(policy.bytes, c.budget) << c.what;
    }

    // Full with other methods: a new one cannot fold and is left out, with
    // one note however often it happens; notes and clients count too.
    AuditPolicy policy;
    size_t methods = 0;
    while (audit_policy_add(&policy, call_at("/p", "org.example.I.M" + std::to_string(methods)),
                            2048, full))
        ++methods;
    EXPECT_GT(methods, 5u);
    EXPECT_FALSE(audit_policy_add(&policy, call_at("/q", "org.example.I.Other"), 2048, full));
    EXPECT_FALSE(audit_policy_add_note(&policy, "a note", 2048, full));
    EXPECT_FALSE(audit_policy_add_client(&policy, "a client", 2048, full));
    EXPECT_EQ(policy.rules.size(), methods);
    EXPECT_EQ(policy.notes, (std::set<std::string>{full}));
    EXPECT_TRUE(policy.clients.empty());
    EXPECT_LE(policy.bytes, 2048u);

    // Merged across clients, a program's policy stays within its budget.
    AuditPolicy program;
    for (int client = 0; client < 30; ++client) {
        AuditPolicy one;
        one.clients.insert("app");
        for (int i = 0; i < 50; ++i)
            audit_policy_add(&one, call_at("/c/" + std::to_string(client) + "/" + std::to_string(i)),
                             64 * 1024, full);
        audit_policy_merge(&program, one, 8 * 1024, full);
    }
    EXPECT_LE(program.bytes, 8 * 1024u);
    EXPECT_EQ(program.clients, (std::set<std::string>{"app"}));
    EXPECT_TRUE(program.notes.empty());
    // Each client's paths folded into its own subtree, or wider.
    EXPECT_LE(program.rules.size(), 30u);
    for (const AuditRule &rule : program.rules)
        EXPECT_TRUE(rule.path.size() >= 2 && rule.path.compare(rule.path.size() - 2, 2, "/*") == 0)
            << rule.path;
}
