// Calls awaiting an answer, as the drain at SIGTERM counts them: the
// client's calls beyond the few kept inline, reused serials, and answers
// in any order.
#include "relay/in_flight.h"
#include "util/dbus_ptr.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

MessagePtr call_with_serial(dbus_uint32_t serial, bool no_reply = false)
{
    MessagePtr call(dbus_message_new_method_call("org.example.S", "/", "org.example.I", "M"));
    dbus_message_set_serial(call.get(), serial);
    dbus_message_set_no_reply(call.get(), no_reply);
    return call;
}

MessagePtr answer_to(dbus_uint32_t serial, bool error = false)
{
    MessagePtr call = call_with_serial(serial);
    return MessagePtr(error ? dbus_message_new_error(call.get(), "org.example.E", "no")
                            : dbus_message_new_method_return(call.get()));
}

} // namespace

TEST(InFlight, ClientCallsAreCountedUntilAnsweredWhateverTheirNumberAndOrder)
{
    // The connections are only compared, never used.
    ConnectionPair pair{};
    pair.client = reinterpret_cast<DBusConnection *>(0x10);
    pair.server = reinterpret_cast<DBusConnection *>(0x20);

    struct Case {
        std::vector<dbus_uint32_t> calls;   // sent to the bus, in order
        std::vector<dbus_uint32_t> answers; // answered, in order
        unsigned left;
    } cases[] = {
        {{1}, {1}, 0},
        {{1, 2, 3}, {2}, 2},
        // Beyond what is kept inline, answered from both ends.
        {{1, 2, 3, 4, 5, 6, 7}, {7, 1, 5, 2}, 3},
        {{1, 2, 3, 4, 5, 6, 7}, {1, 2, 3, 4, 5, 6, 7}, 0},
        // A serial reused while awaited is one call; a second answer or one
        // to nothing counts for nothing.
        {{9, 9, 1, 2, 3, 4, 9}, {9, 9, 42}, 4},
        {{1, 2, 3, 4, 5}, {5, 5, 1}, 3},
    };
    for (const Case &c : cases) {
        for (dbus_uint32_t serial : c.calls)
            in_flight_call_sent(&pair, pair.server, call_with_serial(serial).get());
        // Calls without a reply wanted are never waited for.
        in_flight_call_sent(&pair, pair.server, call_with_serial(77, true).get());
        for (size_t i = 0; i < c.answers.size(); ++i)
            in_flight_reply_seen(&pair, pair.client, answer_to(c.answers[i], i % 2).get());
        EXPECT_EQ(in_flight_calls(&pair), c.left) << "case with " << c.calls.size() << " calls";
        in_flight_forget(&pair);
        EXPECT_EQ(in_flight_calls(&pair), 0u);
    }
}

TEST(InFlight, HostCallsAreToldApartByCaller)
{
    ConnectionPair pair{};
    pair.client = reinterpret_cast<DBusConnection *>(0x10);
    pair.server = reinterpret_cast<DBusConnection *>(0x20);
    for (const char *caller : {":1.5", ":1.6"}) {
        MessagePtr call = call_with_serial(3);
        dbus_message_set_sender(call.get(), caller);
        in_flight_call_sent(&pair, pair.client, call.get());
    }
    MessagePtr answer = answer_to(3);
    dbus_message_set_destination(answer.get(), ":1.6");
    in_flight_reply_seen(&pair, pair.server, answer.get());
    EXPECT_EQ(in_flight_calls(&pair), 1u);
    in_flight_reply_seen(&pair, pair.server, answer.get());
    EXPECT_EQ(in_flight_calls(&pair), 1u);
    dbus_message_set_destination(answer.get(), ":1.5");
    in_flight_reply_seen(&pair, pair.server, answer.get());
    EXPECT_EQ(in_flight_calls(&pair), 0u);
    in_flight_forget(&pair);
}
