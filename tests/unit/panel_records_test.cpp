#include "panel/panel.h"
#include "panel/records.h"
#include "relay/accept.h"
#include "session/pair.h"
#include "util/overrides.h"

#include "harness.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

class PanelRecords : public testing::Test {
protected:
    ConnectionPair a{}, b{};
    void TearDown() override
    {
        panel_record_forget_pair(&a);
        panel_record_forget_pair(&b);
        EXPECT_EQ(panel_call_serials, nullptr);
        EXPECT_EQ(panel_record_count(), 0u);
        overrides.panel_record_timeout_ms = 25000;
    }
};

} // namespace

TEST_F(PanelRecords, MatchOnSerialCallerAndPair)
{
    ASSERT_EQ(panel_record_add(&a, 7, ":1.5"), 0);
    EXPECT_EQ(panel_record_contains(&a, 7, ":1.5"), 1);
    // The same serial from another sender, or answered by another client,
    // is a different call.
    EXPECT_EQ(panel_record_contains(&a, 7, ":1.6"), 0);
    EXPECT_EQ(panel_record_contains(&b, 7, ":1.5"), 0);
    EXPECT_EQ(panel_record_contains(&a, 8, ":1.5"), 0);
    EXPECT_EQ(panel_record_contains(&a, 7, nullptr), 0);
    EXPECT_EQ(panel_record_add(&a, 9, nullptr), -1);

    panel_record_remove(&a, 7, ":1.6");
    panel_record_remove(&b, 7, ":1.5");
    EXPECT_EQ(panel_record_count(), 1u);
    EXPECT_EQ(panel_record_contains(&a, 7, ":1.5"), 1);
}

TEST_F(PanelRecords, DuplicatesLeaveOneAtATimeOldestFirst)
{
    overrides.panel_record_timeout_ms = 1000;
    const gint64 start = g_get_monotonic_time();
    panel_record_add(&a, 3, ":1.1");
    panel_record_add(&b, 3, ":1.1");
    panel_record_add(&a, 4, ":1.1");
    g_usleep(5000);
    const gint64 between = g_get_monotonic_time();
    panel_record_add(&a, 3, ":1.1");
    EXPECT_EQ(panel_record_count(), 4u);

    panel_record_remove(&a, 3, ":1.1");
    EXPECT_EQ(panel_record_contains(&a, 3, ":1.1"), 1);
    EXPECT_EQ(panel_record_count(), 3u);
    // The one left is the younger: it outlives the others' time. (It may
    // have been added in the very microsecond `between` was read.)
    panel_record_expire(between + 1000 * 1000 - 1);
    EXPECT_EQ(panel_record_count(), 1u);
    EXPECT_EQ(panel_record_contains(&a, 3, ":1.1"), 1);
    EXPECT_EQ(panel_record_contains(&b, 3, ":1.1"), 0);
    panel_record_remove(&a, 3, ":1.1");
    EXPECT_EQ(panel_record_contains(&a, 3, ":1.1"), 0);
    EXPECT_EQ(panel_call_serials, nullptr);
    EXPECT_GT(between, start);
}

TEST_F(PanelRecords, MatchingAReplyCostsTheSameWhateverTheNumberOfRecords)
{
    const auto comparisons_to_match = [&](dbus_uint32_t serial) {
        const unsigned long before = panel_record_key_comparisons;
        EXPECT_EQ(panel_record_contains(&a, serial, ":1.5"), 1);
        EXPECT_EQ(panel_record_contains(&a, serial + 1000000, ":1.5"), 0);
        panel_record_remove(&a, serial, ":1.5");
        return panel_record_key_comparisons - before;
    };
    for (dbus_uint32_t serial = 1; serial <= 10; ++serial)
        panel_record_add(&a, serial, ":1.5");
    const unsigned long few = comparisons_to_match(5);
    for (dbus_uint32_t serial = 11; serial <= 40000; ++serial)
        panel_record_add(serial % 2 ? &a : &b, serial, serial % 3 ? ":1.5" : ":1.6");
    unsigned long most = 0;
    // Serials 6k + 1 were recorded for (a, ":1.5").
    for (dbus_uint32_t serial = 20005; serial <= 20605; serial += 60)
        most = std::max(most, comparisons_to_match(serial));
    EXPECT_LE(few, 4u);
    EXPECT_LE(most, 4u);
}

TEST_F(PanelRecords, UnansweredCallsLeaveAfterTheTimeout)
{
    overrides.panel_record_timeout_ms = 300;
    const gint64 start = g_get_monotonic_time();
    for (dbus_uint32_t serial = 1; serial <= 10000; ++serial)
        ASSERT_EQ(panel_record_add(serial % 2 ? &a : &b, serial, ":1.5"), 0);
    EXPECT_EQ(panel_record_count(), 10000u);

    // The main loop's timeout removes them, not earlier than their time.
    const bool gone = harness::wait_until([] {
        g_main_context_iteration(nullptr, FALSE);
        return panel_record_count() == 0;
    });
    EXPECT_TRUE(gone);
    EXPECT_GE(g_get_monotonic_time() - start, 300 * 1000);
    EXPECT_EQ(panel_call_serials, nullptr);
    // With no records, no timeout is left to wake the loop.
    EXPECT_FALSE(g_main_context_pending(nullptr));

    // A record made now is not taken by an old deadline.
    panel_record_add(&a, 1, ":1.5");
    panel_record_expire(g_get_monotonic_time());
    EXPECT_EQ(panel_record_contains(&a, 1, ":1.5"), 1);
}

TEST_F(PanelRecords, ErrorRepliesAndFreedPairsEndTheirRecords)
{
    panel_record_add(&a, 10, ":1.9");
    panel_record_add(&b, 10, ":1.9");

    // The client answers the call with an error.
    DBusMessage *error = dbus_message_new(DBUS_MESSAGE_TYPE_ERROR);
    dbus_message_set_error_name(error, "org.example.Error.Failed");
    dbus_message_set_reply_serial(error, 10);
    dbus_message_set_destination(error, ":1.9");
    panel_call_failed(&a, error);
    dbus_message_unref(error);
    EXPECT_EQ(panel_record_contains(&a, 10, ":1.9"), 0);
    EXPECT_EQ(panel_record_contains(&b, 10, ":1.9"), 1);

    // A pair that goes takes its unanswered calls along, and only those.
    ConnectionPair *gone = pair_new(nullptr);
    ASSERT_NE(gone, nullptr);
    panel_record_add(gone, 11, ":1.9");
    panel_record_add(gone, 12, ":1.9");
    pair_free(gone);
    EXPECT_EQ(panel_record_count(), 1u);
    EXPECT_EQ(panel_record_contains(&b, 10, ":1.9"), 1);
}
