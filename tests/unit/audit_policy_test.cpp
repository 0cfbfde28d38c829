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
