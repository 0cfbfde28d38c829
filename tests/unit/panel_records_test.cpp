#include "panel/panel.h"
#include "panel/records.h"
#include "session/pair.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> records()
{
    std::vector<std::string> out;
    for (GList *l = panel_call_serials; l; l = l->next) {
        auto *call = static_cast<const PanelCall *>(l->data);
        out.push_back(std::to_string(call->serial) + "@" + call->caller);
    }
    return out;
}

class PanelRecords : public testing::Test {
protected:
    ConnectionPair a{}, b{};
    void TearDown() override
    {
        panel_serial_forget_pair(&a);
        panel_serial_forget_pair(&b);
        EXPECT_EQ(panel_call_serials, nullptr);
    }
};

} // namespace

TEST_F(PanelRecords, MatchOnSerialCallerAndPair)
{
    ASSERT_EQ(panel_serial_add(&a, 7, ":1.5"), 0);
    EXPECT_EQ(panel_serial_contains(&a, 7, ":1.5"), 1);
    // The same serial from another sender, or answered by another client,
    // is a different call.
    EXPECT_EQ(panel_serial_contains(&a, 7, ":1.6"), 0);
    EXPECT_EQ(panel_serial_contains(&b, 7, ":1.5"), 0);
    EXPECT_EQ(panel_serial_contains(&a, 8, ":1.5"), 0);
    EXPECT_EQ(panel_serial_contains(&a, 7, nullptr), 0);
    EXPECT_EQ(panel_serial_add(&a, 9, nullptr), -1);

    panel_serial_remove(&a, 7, ":1.6");
    panel_serial_remove(&b, 7, ":1.5");
    EXPECT_EQ(records(), (std::vector<std::string>{"7@:1.5"}));
}

TEST_F(PanelRecords, DuplicatesLeaveOldestFirst)
{
    panel_serial_add(&a, 3, ":1.1");
    panel_serial_add(&b, 3, ":1.1");
    panel_serial_add(&a, 4, ":1.1");
    panel_serial_add(&a, 3, ":1.1");
    EXPECT_EQ(records(), (std::vector<std::string>{"3@:1.1", "3@:1.1", "4@:1.1", "3@:1.1"}));

    panel_serial_remove(&a, 3, ":1.1");
    EXPECT_EQ(panel_serial_contains(&a, 3, ":1.1"), 1);
    EXPECT_EQ(static_cast<const PanelCall *>(panel_call_serials->data)->pair, &b);
    panel_serial_remove(&a, 3, ":1.1");
    EXPECT_EQ(panel_serial_contains(&a, 3, ":1.1"), 0);
    EXPECT_EQ(records(), (std::vector<std::string>{"3@:1.1", "4@:1.1"}));
}

TEST_F(PanelRecords, ErrorRepliesAndFreedPairsEndTheirRecords)
{
    panel_serial_add(&a, 10, ":1.9");
    panel_serial_add(&b, 10, ":1.9");

    // The client answers the call with an error.
    DBusMessage *error = dbus_message_new(DBUS_MESSAGE_TYPE_ERROR);
    dbus_message_set_error_name(error, "org.example.Error.Failed");
    dbus_message_set_reply_serial(error, 10);
    dbus_message_set_destination(error, ":1.9");
    panel_call_failed(&a, error);
    dbus_message_unref(error);
    EXPECT_EQ(panel_serial_contains(&a, 10, ":1.9"), 0);
    EXPECT_EQ(panel_serial_contains(&b, 10, ":1.9"), 1);

    // A pair that goes takes its unanswered calls along, and only those.
    ConnectionPair *gone = pair_new(nullptr);
    ASSERT_NE(gone, nullptr);
    panel_serial_add(gone, 11, ":1.9");
    panel_serial_add(gone, 12, ":1.9");
    pair_free(gone);
    EXPECT_EQ(records(), (std::vector<std::string>{"10@:1.9"}));
}
