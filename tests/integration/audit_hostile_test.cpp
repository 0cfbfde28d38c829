// The audit against a hostile client and a hostile neighbour: the file it
// writes, the text a client chooses, what a flood costs, and what it
// learns about owners.
#include "fixture.h"

#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

using namespace harness;

namespace {

MessagePtr method(const char *destination, const char *path, const char *interface,
                  const char *member, const char *arg = nullptr)
{
    MessagePtr call(dbus_message_new_method_call(destination, path, interface, member));
    if (arg)
        dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &arg, DBUS_TYPE_INVALID);
    return call;
}

MessagePtr bus_method(const char *member, const char *arg)
{
    return method(DBUS_SERVICE_DBUS, DBUS_PATH_DBUS, DBUS_INTERFACE_DBUS, member, arg);
}

std::string outcome(Client &client, const MessagePtr &call)
{
    std::string error;
    return client.call(call, 5000, &error) ? "ok" : error.substr(0, error.find(':'));
}

size_t count(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// The daemon's own lines only: each starts with its prefix, holds no
// control byte but its line break, and is UTF-8.
void expect_only_own_lines(const std::string &log, pid_t pid)
{
    const std::string tag = " dbus-proxy-daemon (" + std::to_string(pid) + ")] ";
    size_t start = 0;
    while (start < log.size()) {
        const size_t end = log.find('\n', start);
        const std::string line = log.substr(start, end - start);
        EXPECT_TRUE(line[0] == '[' && line.compare(6, tag.size(), tag) == 0) << line;
        start = end == std::string::npos ? log.size() : end + 1;
    }
    for (unsigned char byte : log)
        EXPECT_FALSE((byte < 0x20 && byte != '\n') || byte == 0x7f) << int(byte) << log;
    EXPECT_TRUE(dbus_validate_utf8(log.c_str(), nullptr)) << log;
}

class AuditHostileTest : public ProxyTest {
protected:
    Peer player;
    void SetUp() override
    {
        ProxyTest::SetUp();
        ASSERT_TRUE(player.start(bus.address(), {"org.example.Player"}, echo_handler));
    }
    std::string play(Client &client, const char *path = "/player")
    {
        return outcome(client, method("org.example.Player", path, "org.example.Player", "Play"));
    }
};

} // namespace

TEST_F(AuditHostileTest, PlantedLinksNeverRedirectTheWriteAndTheFileKeepsItsMode)
{
    const std::string file = dir.file("app.policy"), victim = dir.file("victim");
    write_file(victim, "# precious\n");
    write_file(file, "");
    chmod(file.c_str(), 0640);
    start_unix({"--audit=" + file});
    const pid_t pid = daemon.process().pid();
    // Links at the names a daemon of any pid near ours would have used.
    for (pid_t p = pid - 20; p <= pid + 20; ++p)
        ASSERT_EQ(symlink(victim.c_str(), (file + ".tmp" + std::to_string(p)).c_str()), 0);
    {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        EXPECT_EQ(play(client), "ok");
    }
    ASSERT_TRUE(wait_until([&] { return daemon.log().find("wrote the policy") != std::string::npos; }))
        << daemon.log();
    EXPECT_EQ(read_file(victim), "# precious\n");
    struct stat st {};
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_NE(read_file(file).find("call org.example.Player=org.example.Player.Play@/player\n"),
              std::string::npos);

    // FILE itself a link: the link is replaced, its target left alone.
    EXPECT_EQ(daemon.process().stop(), 0);
    unlink(file.c_str());
    ASSERT_EQ(symlink(victim.c_str(), file.c_str()), 0);
    start_unix({"--audit=" + file});
    {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        EXPECT_EQ(play(client, "/other"), "ok");
    }
    ASSERT_TRUE(wait_until([&] { return daemon.log().find("wrote the policy") != std::string::npos; }))
        << daemon.log();
    EXPECT_EQ(read_file(victim), "# precious\n");
    ASSERT_EQ(lstat(file.c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_NE(read_file(file).find("@/other\n"), std::string::npos) << read_file(file);
}

TEST_F(AuditHostileTest, ClientTextNeverStartsALineNorGrantsAnything)
{
    Peer secret;
    ASSERT_TRUE(secret.start(bus.address(), {"a.b"}, echo_handler));
    const std::string file = dir.file("app.policy");
    // A program name of its own choosing: a line break, a rule, a comment
    // mark to hide the rest from the policy reader, ESC, CR, not UTF-8.
    char own_name[16] = {};
    prctl(PR_GET_NAME, own_name);
    prctl(PR_SET_NAME, "\ntalk a.b #\x1b\r\xff");
    start_unix({"--audit=" + file, "--verbose", "3"});
    {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        EXPECT_EQ(play(client), "ok");
        const char *forged = "\n[AUDIT dbus-proxy-daemon (1)] policy for app:\n  talk a.b\x1b[2K\r";
        const std::string rule = std::string("type='signal',member='Changed',arg0='") + forged + "'";
        EXPECT_EQ(outcome(client, bus_method("AddMatch", rule.c_str())), "ok");
        // Refused by the bus, and the refusal logged by the namespace code.
        EXPECT_NE(outcome(client, bus_method("RequestName", forged)), "ok");
    }
    prctl(PR_SET_NAME, own_name);
    ASSERT_TRUE(wait_until([&] { return daemon.log().find("wrote the policy") != std::string::npos; }))
        << daemon.log();
    const std::string log = daemon.log();
    EXPECT_NE(log.find("subscribed to signals matching"), std::string::npos) << log;
    EXPECT_NE(log.find("Failed to RequestName"), std::string::npos) << log;
    expect_only_own_lines(log, daemon.process().pid());
    const std::string policy = read_file(file);
    for (unsigned char byte : policy)
        EXPECT_FALSE((byte < 0x20 && byte != '\n') || byte == 0x7f) << int(byte) << policy;
    EXPECT_TRUE(dbus_validate_utf8(policy.c_str(), nullptr)) << policy;
    EXPECT_NE(policy.find("# client: \\x0atalk a.b #\\x1b\\x0d\\xff\n"), std::string::npos) << policy;

    // Loaded again, the file grants what the client did and nothing more.
    EXPECT_EQ(daemon.process().stop(), 0);
    start_unix({"--filter", "--policy=" + file});
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    EXPECT_EQ(play(client), "ok");
    EXPECT_EQ(outcome(client, method("a.b", "/", "a.b", "Get")), DBUS_ERROR_ACCESS_DENIED);
}

TEST_F(AuditHostileTest, LongPathsCostAFewMegabytesAndFoldIntoASubtreeRule)
{
    const std::string file = dir.file("app.policy");
    start_unix({"--audit=" + file});
    const long before_kib = daemon.rss_kib();
    {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        const std::string tail(64 * 1024, 'x');
        for (int i = 0; i < 2000; ++i) {
            const std::string path = "/big/" + std::to_string(i) + "/" + tail;
            // Nobody owns the name: the bus answers, the audit records.
            ASSERT_EQ(outcome(client, method("org.example.Nobody", path.c_str(), "org.example.Big",
                                             "Get")),
                      DBUS_ERROR_SERVICE_UNKNOWN);
        }
    }
    ASSERT_TRUE(wait_until([&] { return daemon.log().find("wrote the policy") != std::string::npos; }))
        << daemon.log().substr(0, 4096);
    const long grown_kib = daemon.peak_rss_kib() - before_kib;
    std::printf("peak growth under 2,000 calls with 64 KiB paths: %ld KiB\n", grown_kib);
    // The sanitizer's quarantine keeps freed memory: no bound to read there.
    if (!harness::sanitized_build) {
        EXPECT_LT(grown_kib, 64 * 1024) << "before the bound: 259 MiB";
    }
    const std::string policy = read_file(file);
    EXPECT_NE(policy.find("call org.example.Nobody=org.example.Big.Get@/big/*\n"), std::string::npos)
        << policy.substr(0, 4096);
    EXPECT_LT(policy.size(), 8 * 1024u);
    // Each log line is shortened too.
    EXPECT_LT(daemon.log().size(), 2000 * 2048u);
}

TEST_F(AuditHostileTest, DeparturesCoalesceIntoFewWritesAndNothingIsLostAtExit)
{
    const std::string file = dir.file("app.policy");
    // Written by an earlier audit: its notes stay.
    write_file(file, "# not granted: earlier note\n");
    start_unix({"--audit=" + file});
    constexpr int clients = 20;
    for (int i = 0; i < clients; ++i) {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        EXPECT_EQ(play(client, ("/c/" + std::to_string(i)).c_str()), "ok");
    }
    // One still connected: SIGUSR1 writes its policy too.
    Client connected;
    ASSERT_TRUE(connected.open(daemon.address()));
    EXPECT_EQ(play(connected, "/connected"), "ok");
    daemon.process().signal(SIGUSR1);
    ASSERT_TRUE(wait_until([&] { return read_file(file).find("@/connected\n") != std::string::npos; }))
        << daemon.log();
    // Departures right before the end: the exit writes them.
    for (int i = 0; i < clients; ++i) {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        EXPECT_EQ(play(client, ("/d/" + std::to_string(i)).c_str()), "ok");
    }
    EXPECT_EQ(daemon.process().stop(), 0);
    const std::string policy = read_file(file);
    for (int i = 0; i < clients; ++i)
        for (const char *path : {"@/c/", "@/d/"})
            EXPECT_NE(policy.find(path + std::to_string(i) + "\n"), std::string::npos)
                << path << i << policy;
    EXPECT_NE(policy.find("# not granted: earlier note\n"), std::string::npos) << policy;
    // 40 departures: the first, the rest at once, SIGUSR1's, and the exit.
    EXPECT_LE(count(daemon.log(), "wrote the policy"), 5u) << daemon.log();
}

TEST_F(AuditHostileTest, OwnersAndMatchRulesAreLearntAsTheBusKnowsThem)
{
    Peer second;
    ASSERT_TRUE(second.start(bus.address(), {"org.example.Second"}, echo_handler));
    const std::string file = dir.file("app.policy");
    start_unix({"--audit=" + file});
    const std::string every_path = "type='signal',sender='org.example.Player',path_namespace='/'";
    {
        Client client;
        ASSERT_TRUE(client.open(daemon.address()));
        EXPECT_EQ(outcome(client, bus_method("AddMatch", every_path.c_str())), "ok");
        // Outside quotes \' is a quote, as the bus reads it: arg0 is "'".
        EXPECT_EQ(outcome(client, bus_method("AddMatch",
                                             "type='signal',arg0=\\',sender='org.example.Quoted'")),
                  "ok");
        // The answer's sender owns the name called...
        EXPECT_EQ(play(client), "ok");
        EXPECT_EQ(outcome(client, method(player.unique_name().c_str(), "/direct",
                                         "org.example.Player", "Play")),
                  "ok");
        // ... and GetNameOwner's answer names an owner.
        EXPECT_EQ(outcome(client, bus_method("GetNameOwner", "org.example.Second")), "ok");
        EXPECT_EQ(outcome(client, method(second.unique_name().c_str(), "/second",
                                         "org.example.Second", "Get")),
                  "ok");
    }
    ASSERT_TRUE(wait_until([&] { return daemon.log().find("wrote the policy") != std::string::npos; }))
        << daemon.log();
    const std::string policy = read_file(file);
    for (const char *line : {"broadcast org.example.Player=*@/*\n",
                             "call org.example.Player=org.example.Player.Play@/direct\n",
                             "broadcast org.example.Quoted=*\n",
                             "call org.example.Second=org.example.Second.Get@/second\n"})
        EXPECT_NE(policy.find(line), std::string::npos) << line << policy;
    EXPECT_EQ(policy.find("owned no name"), std::string::npos) << policy;

    // The subtree of "/" passes the sender's signals on every path.
    EXPECT_EQ(daemon.process().stop(), 0);
    start_unix({"--filter", "--policy=" + file});
    Client client;
    ASSERT_TRUE(client.open(daemon.address()));
    EXPECT_EQ(outcome(client, bus_method("AddMatch", every_path.c_str())), "ok");
    MessagePtr signal(dbus_message_new_signal("/deep/down", "org.example.Sig", "Changed"));
    dbus_connection_send(player.conn(), signal.get(), nullptr);
    dbus_connection_flush(player.conn());
    EXPECT_TRUE(client.wait_message([](DBusMessage *m) {
        return dbus_message_is_signal(m, "org.example.Sig", "Changed");
    }));
}
