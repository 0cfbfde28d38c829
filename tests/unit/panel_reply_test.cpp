// adapt_panel_reply between a real panel connection and a real client
// connection on a private bus.
#include "panel/panel.h"
#include "panel/records.h"

#include "harness.h"
#include "log_capture.h"
#include "property_dict.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using namespace harness;

namespace {

class PanelReply : public testing::Test {
protected:
    static std::unique_ptr<TempDir> dir;
    static std::unique_ptr<HostBus> bus;

    static void SetUpTestSuite()
    {
        dir = std::make_unique<TempDir>();
        bus = std::make_unique<HostBus>(dir->path());
        ASSERT_TRUE(bus->start());
    }
    static void TearDownTestSuite()
    {
        bus.reset();
        dir.reset();
    }

    Client panel, app;
    ConnectionPair pair{};

    void SetUp() override
    {
        ASSERT_TRUE(panel.open(bus->address()));
        ASSERT_TRUE(app.open(bus->address()));
        pair.server = app.conn();
    }
    void TearDown() override { panel_record_forget_pair(&pair); }

    struct Outcome {
        int adapted = -1;
        dbus_uint32_t serial = 0;
        std::string log;
        bool still_recorded = true;
        std::vector<std::string> panel_got; // what the panel's call returned
    };

    // The panel calls GetAll on the app; the app answers with `fill` as the
    // client filter would: through adapt_panel_reply, then forwarding its
    // own reply unless a substitute went out.
    Outcome exchange(const std::function<void(DictWriter &)> &fill, bool record = true,
                     const char *record_caller = nullptr)
    {
        Outcome outcome;
        MessagePtr call(dbus_message_new_method_call(app.unique_name(), "/item",
                                                     DBUS_INTERFACE_PROPERTIES, "GetAll"));
        const char *iface = "org.example.Item";
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &iface, DBUS_TYPE_INVALID);
        DBusPendingCall *pending = nullptr;
        dbus_connection_send_with_reply(panel.conn(), call.get(), &pending, 5000);
        dbus_connection_flush(panel.conn());

        MessagePtr received =
            app.wait_message([](DBusMessage *m) { return dbus_message_has_member(m, "GetAll"); });
        EXPECT_TRUE(received);
        if (!received) {
            dbus_pending_call_unref(pending);
            return outcome;
        }
        const dbus_uint32_t serial = outcome.serial = dbus_message_get_serial(received.get());
        const std::string caller = record_caller ? record_caller : panel.unique_name();
        if (record)
            panel_record_add(&pair, serial, caller.c_str());

        MessagePtr reply(dbus_message_new_method_return(received.get()));
        if (fill) {
            DictWriter w(reply.get());
            fill(w);
            w.close();
        }
        // Messages from a connection always carry a serial.
        dbus_message_set_serial(reply.get(), 900);

        outcome.log =
            captured_log([&] { outcome.adapted = adapt_panel_reply(&pair, reply.get()); });
        if (outcome.adapted == 0)
            dbus_connection_send(app.conn(), reply.get(), nullptr);
        dbus_connection_flush(app.conn());
        outcome.still_recorded = panel_record_contains(&pair, serial, caller.c_str());

        dbus_pending_call_block(pending);
        if (MessagePtr answer{dbus_pending_call_steal_reply(pending)}) {
            EXPECT_EQ(dbus_message_get_type(answer.get()), DBUS_MESSAGE_TYPE_METHOD_RETURN);
            EXPECT_STREQ(dbus_message_get_sender(answer.get()), app.unique_name());
            outcome.panel_got = dump_properties(answer.get());
        }
        dbus_pending_call_unref(pending);
        return outcome;
    }

    static std::function<void(DictWriter &)> item(const char *icon)
    {
        return [icon](DictWriter &w) {
            w.str("Category", "ApplicationStatus").str("IconName", icon).boolean("ItemIsMenu", false)
                .i32("WindowId", 7);
        };
    }
    static std::vector<std::string> item_dump(const std::string &icon)
    {
        return {"Category=s:ApplicationStatus", "IconName=s:" + icon, "ItemIsMenu=b:false",
                "WindowId=i:7"};
    }
};

std::unique_ptr<TempDir> PanelReply::dir;
std::unique_ptr<HostBus> PanelReply::bus;

} // namespace

TEST_F(PanelReply, IconPathsAreRewrittenAndOthersPassUnchanged)
{
    struct Case {
        const char *icon;
        const char *sent; // null: the reply goes out unchanged
    } cases[] = {
        {"/usr/share/icons/app.png", "/opt/tolm/usr/share/icons/app.png"},
        {"icons/app.png", "/opt/tolmicons/app.png"},
        {"/run", "/opt/tolm/run"},
        {"/runner/app.png", "/opt/tolm/runner/app.png"},
        {"app-theme-icon", nullptr},
        {"/run/user/1000/app.png", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.icon);
        Outcome o = exchange(item(c.icon));
        EXPECT_EQ(o.panel_got, item_dump(c.sent ? c.sent : c.icon));
        EXPECT_EQ(o.adapted, c.sent ? 1 : 0);
        // Answered either way: nothing stays behind.
        EXPECT_FALSE(o.still_recorded);
        const std::string found = std::string("TRACE [Modify for panel]  IconName = ") + c.icon + "\n";
        if (c.sent)
            EXPECT_EQ(o.log, found + "INFO  [Modify for panel] - remove panel serial 11111\n"
                                     "TRACE [modifying IconThemePath]\n"
                                     "INFO  [Modify for panel] - change dbus message for panel "
                                     "and send fake message\n"
                                     "INFO  [Modify for panel] - remove panel serial " +
                                 std::to_string(o.serial) + "\n");
        else
            EXPECT_EQ(o.log, found + "INFO  [Modify for panel] - remove panel serial 0000\n");
    }
    EXPECT_EQ(panel_call_serials, nullptr);
}

TEST_F(PanelReply, FailedRebuildForwardsTheReplyAndEndsTheRecord)
{
    Outcome o = exchange([](DictWriter &w) {
        w.str("IconName", "/a.png").strings("Names", {"x"}).u32("IconName", 1);
    });
    EXPECT_EQ(o.adapted, 0);
    EXPECT_EQ(o.panel_got,
              (std::vector<std::string>{"IconName=s:/a.png", "Names=as:[x]", "IconName=u:1"}));
    EXPECT_FALSE(o.still_recorded);
    EXPECT_EQ(o.log, "TRACE [Modify for panel]  IconName = /a.png\n"
                     "INFO  [Modify for panel] - remove panel serial 11111\n"
                     "TRACE [modifying IconThemePath]\n"
                     "TRACE [modifying IconThemePath]\n"
                     "TRACE [Modify for panel] IconName is NULL!!!!!!\n"
                     "INFO  [Modify for panel] - remove panel serial " +
                         std::to_string(o.serial) + "\n");
}

TEST_F(PanelReply, OnlyTheRecordedCallersReplyIsTouched)
{
    // Not recorded at all: passed on without a word.
    Outcome o = exchange(item("/a.png"), /*record=*/false);
    EXPECT_EQ(o.adapted, 0);
    EXPECT_EQ(o.log, "");
    EXPECT_EQ(o.panel_got, item_dump("/a.png"));

    // The same serial recorded for another caller: not this reply's call,
    // and that record stays.
    o = exchange(item("/a.png"), true, ":1.9999");
    EXPECT_EQ(o.adapted, 0);
    EXPECT_EQ(o.log, "");
    EXPECT_TRUE(o.still_recorded);
    EXPECT_EQ(o.panel_got, item_dump("/a.png"));
}

TEST_F(PanelReply, RepliesWithoutAPropertyDictionaryPassUnchanged)
{
    Outcome o = exchange(nullptr);
    EXPECT_EQ(o.adapted, 0);
    EXPECT_EQ(o.panel_got, (std::vector<std::string>{"signature="}));
    EXPECT_EQ(o.log, "TRACE [Modify for panel]Reply is not an array\n"
                     "INFO  [Modify for panel] - remove panel serial 0000\n");
    EXPECT_FALSE(o.still_recorded);

    o = exchange([](DictWriter &w) { w.str("Title", "t"); });
    EXPECT_EQ(o.adapted, 0);
    EXPECT_EQ(o.panel_got, (std::vector<std::string>{"Title=s:t"}));
    EXPECT_FALSE(o.still_recorded);
}

TEST_F(PanelReply, AContainersOwnPrefixIsUsed)
{
    ProxyConfig config;
    config_init(&config);
    config.panel_prefix = "/var/lib/c1/rootfs";
    pair.config = &config;
    Outcome o = exchange(item("/usr/share/icons/app.png"));
    EXPECT_EQ(o.adapted, 1);
    EXPECT_EQ(o.panel_got, item_dump("/var/lib/c1/rootfs/usr/share/icons/app.png"));

    // Prefix and icon are cut together at 511 bytes, never within a character.
    const std::string prefix = "/" + std::string(254, 'p');
    config.panel_prefix = prefix.c_str();
    const std::string icon = "/" + std::string(254, 'i') + "\xc3\xa9" + std::string(10, 'x');
    o = exchange(item(icon.c_str()));
    EXPECT_EQ(o.adapted, 1);
    EXPECT_EQ(o.panel_got, item_dump(prefix + icon.substr(0, 255)));
    pair.config = nullptr;
}
