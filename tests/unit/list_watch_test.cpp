// The activation list kept current by directory events, and the stat rule
// on a filesystem with whole-second file times.
#include "loop/loop.h"
#include "main/command_line.h"
#include "namespace/activation_list.h"
#include "util/overrides.h"

#include "harness.h"
#include "list_dir_fixture.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Runs what the main loop has to do now, bounded.
void pump()
{
    for (int i = 0; i < 1000 && g_main_context_iteration(nullptr, FALSE); ++i) {
    }
}

class ListLookups : public ListDirTest {
protected:
    ListLookups() { list_dir = dir.path() + "/config/bus/"; }
    void TearDown() override
    {
        activation_list_watch_stop();
        ListDirTest::TearDown();
    }
    std::string list() const { return list_dir + "dbus-sess-proxy.list"; }
    void make_dir() { std::filesystem::create_directories(list_dir); }

    std::optional<std::string> lookup(const char *service = "org.example.Player")
    {
        char *value = nullptr;
        if (lookup_activation_list(&config, service, &value) != 1)
            return std::nullopt;
        std::string copy = value;
        std::free(value);
        return copy;
    }
    // What the next lookup answers once the loop has handled what is queued.
    std::optional<std::string> next_lookup()
    {
        pump();
        return lookup();
    }
};

using WatchedList = ListLookups;

} // namespace

TEST_F(WatchedList, UnchangedOrMissingListCostsNoSystemCall)
{
    make_dir();
    ASSERT_EQ(activation_list_watch_init(), 0);
    harness::write_file(list(), "org.example.Player=a\n");
    EXPECT_EQ(next_lookup(), "a\n");
    unsigned long before = activation_list_syscalls;
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(lookup(), "a\n") << i;
    EXPECT_EQ(lookup("org.example.Other"), std::nullopt);
    EXPECT_EQ(activation_list_syscalls, before);

    std::remove(list().c_str());
    EXPECT_EQ(next_lookup(), std::nullopt);
    before = activation_list_syscalls;
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(lookup(), std::nullopt) << i;
    EXPECT_EQ(activation_list_syscalls, before);

    // Changes to other files in the directory cost nothing either.
    harness::write_file(list_dir + "unrelated", "x");
    pump();
    before = activation_list_syscalls;
    EXPECT_EQ(lookup(), std::nullopt);
    EXPECT_EQ(activation_list_syscalls, before);
}

TEST_F(WatchedList, EveryKindOfChangeIsSeenByTheNextLookup)
{
    make_dir();
    ASSERT_EQ(activation_list_watch_init(), 0);
    harness::write_file(list(), "org.example.Player=aaaa\n");
    EXPECT_EQ(next_lookup(), "aaaa\n");

    // Same size and inode, in the same instant as the read.
    for (const char *value : {"bbbb", "cccc", "dddd"}) {
        harness::write_file(list(), std::string("org.example.Player=") + value + "\n");
        EXPECT_EQ(next_lookup(), std::string(value) + "\n");
    }

    harness::write_file(list_dir + "new", "org.example.Player=renamed\n");
    ASSERT_EQ(std::rename((list_dir + "new").c_str(), list().c_str()), 0);
    EXPECT_EQ(next_lookup(), "renamed\n");

    ASSERT_EQ(std::rename(list().c_str(), (list_dir + "away").c_str()), 0);
    EXPECT_EQ(next_lookup(), std::nullopt);
    ASSERT_EQ(std::rename((list_dir + "away").c_str(), list().c_str()), 0);
    EXPECT_EQ(next_lookup(), "renamed\n");

    std::remove(list().c_str());
    EXPECT_EQ(next_lookup(), std::nullopt);
    harness::write_file(list(), "org.example.Player=recreated\n");
    EXPECT_EQ(next_lookup(), "recreated\n");

    // The directory removed and made again, twice, its parent too.
    std::filesystem::remove_all(list_dir);
    EXPECT_EQ(next_lookup(), std::nullopt);
    make_dir();
    harness::write_file(list(), "org.example.Player=new dir\n");
    EXPECT_EQ(next_lookup(), "new dir\n");
    std::filesystem::remove_all(dir.path() + "/config");
    EXPECT_EQ(next_lookup(), std::nullopt);
    make_dir();
    EXPECT_EQ(next_lookup(), std::nullopt);
    harness::write_file(list(), "org.example.Player=again\n");
    EXPECT_EQ(next_lookup(), "again\n");

    // The directory replaced by another one moved in its place.
    const std::string other = dir.path() + "/other/";
    std::filesystem::create_directories(other);
    harness::write_file(other + "dbus-sess-proxy.list", "org.example.Player=moved in\n");
    std::filesystem::remove_all(list_dir);
    ASSERT_EQ(std::rename(other.c_str(), list_dir.c_str()), 0);
    EXPECT_EQ(next_lookup(), "moved in\n");
    // ... and moved away: the old directory's events no longer count.
    ASSERT_EQ(std::rename(list_dir.c_str(), other.c_str()), 0);
    EXPECT_EQ(next_lookup(), std::nullopt);
    harness::write_file(other + "dbus-sess-proxy.list", "org.example.Player=elsewhere\n");
    EXPECT_EQ(next_lookup(), std::nullopt);
    make_dir();
    harness::write_file(list(), "org.example.Player=back\n");
    EXPECT_EQ(next_lookup(), "back\n");

    // Still no system call once all that has settled.
    const unsigned long before = activation_list_syscalls;
    EXPECT_EQ(lookup(), "back\n");
    EXPECT_EQ(activation_list_syscalls, before);
}

TEST_F(WatchedList, DirectoryMadeAfterStartIsWatched)
{
    ASSERT_EQ(activation_list_watch_init(), 0);
    EXPECT_EQ(next_lookup(), std::nullopt);
    const unsigned long before = activation_list_syscalls;
    EXPECT_EQ(lookup(), std::nullopt);
    EXPECT_EQ(activation_list_syscalls, before);

    make_dir();
    harness::write_file(list(), "org.example.Player=late\n");
    EXPECT_EQ(next_lookup(), "late\n");
    harness::write_file(list(), "org.example.Player=edit\n");
    EXPECT_EQ(next_lookup(), "edit\n");
}

TEST_F(WatchedList, EventIsHandledBeforeAMessageQueuedAfterIt)
{
    // A pipe stands for a client's socket, in the loop's epoll set as the
    // sockets are (a message's dispatch coming after the pass's descriptors
    // is Loop's test); watched first, so that only the order in which the
    // two became ready can put the edit first.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::optional<std::string> seen;
    struct Call {
        ProxyConfig *config;
        std::optional<std::string> *seen;
        int fd;
    } call{&config, &seen, fds[0]};
    ASSERT_TRUE(loop_watch_fd(
        fds[0],
        [](void *data) {
            auto *c = static_cast<Call *>(data);
            char byte;
            if (read(c->fd, &byte, 1) != 1)
                return;
            char *value = nullptr;
            *c->seen = lookup_activation_list(c->config, "org.example.Player", &value) == 1
                           ? std::optional<std::string>(value)
                           : std::nullopt;
            std::free(value);
        },
        &call));

    make_dir();
    ASSERT_EQ(activation_list_watch_init(), 0);
    harness::write_file(list(), "org.example.Player=before\n");
    EXPECT_EQ(next_lookup(), "before\n");

    // The edit first, then the message.
    harness::write_file(list(), "org.example.Player=after!\n");
    ASSERT_EQ(write(fds[1], "m", 1), 1);
    pump();
    EXPECT_EQ(seen, "after!\n");

    loop_unwatch_fd(fds[0]);
    close(fds[0]);
    close(fds[1]);
}

TEST_F(WatchedList, SymlinkedListIsCheckedWithStat)
{
    make_dir();
    ASSERT_EQ(activation_list_watch_init(), 0);
    const std::string target = dir.path() + "/target";
    harness::write_file(target, "org.example.Player=one\n");
    ASSERT_EQ(symlink(target.c_str(), list().c_str()), 0);
    EXPECT_EQ(next_lookup(), "one\n");
    harness::write_file(target, "org.example.Player=two\n");
    EXPECT_EQ(next_lookup(), "two\n");
}

namespace {

// An ext4 image with 128-byte inodes, whose file times count whole
// seconds, loop-mounted under the test's directory.
class WholeSecondTimes : public ListLookups {
protected:
    std::string mount_point = dir.path() + "/mnt";
    bool mounted = false;

    void SetUp() override
    {
        ListLookups::SetUp();
        const std::string image = dir.path() + "/ext4.img";
        std::filesystem::create_directories(mount_point);
        std::string out, err;
        if (harness::run_command({"truncate", "-s", "8M", image}, {}, &out, &err) != 0 ||
            harness::run_command({"mkfs.ext4", "-q", "-F", "-I", "128", image}, {}, &out, &err) !=
                0)
            GTEST_SKIP() << "cannot make an ext4 image (mkfs.ext4 from e2fsprogs): " << err;
        if (harness::run_command({"mount", "-o", "loop", image, mount_point}, {}, &out, &err) !=
            0)
            GTEST_SKIP() << "loop devices or mount unavailable here: " << err;
        mounted = true;
        use_list_dir(mount_point + "/bus/");
        make_dir();
    }
    void TearDown() override
    {
        ListLookups::TearDown();
        std::string out, err;
        if (mounted && harness::run_command({"umount", mount_point}, {}, &out, &err) != 0)
            harness::run_command({"umount", "-l", mount_point}, {}, &out, &err);
    }

    // Six rounds, spread over more than two seconds: a lookup, at once a
    // same-size edit in place, then the lookup that must see it.
    void same_size_edits_are_seen(bool watched)
    {
        harness::write_file(list(), "org.example.Player=round0\n");
        EXPECT_EQ(watched ? next_lookup() : lookup(), "round0\n");
        struct stat first {};
        ASSERT_EQ(stat(list().c_str(), &first), 0);
        ASSERT_EQ(first.st_mtim.tv_nsec, 0) << "file times are not whole seconds";
        for (int round = 1; round <= 6; ++round) {
            EXPECT_EQ(watched ? next_lookup() : lookup(), "round" + std::to_string(round - 1) + "\n");
            harness::write_file(list(), "org.example.Player=round" + std::to_string(round) + "\n");
            struct stat st {};
            ASSERT_EQ(stat(list().c_str(), &st), 0);
            ASSERT_EQ(st.st_ino, first.st_ino);
            ASSERT_EQ(st.st_size, first.st_size);
            EXPECT_EQ(watched ? next_lookup() : lookup(), "round" + std::to_string(round) + "\n")
                << "round " << round;
            std::this_thread::sleep_for(450ms);
        }
    }
};

} // namespace

TEST_F(WholeSecondTimes, SameSizeEditsRightAfterALookupAreSeenWithStat)
{
    same_size_edits_are_seen(false);
}

TEST_F(WholeSecondTimes, SameSizeEditsRightAfterALookupAreSeenWithTheWatch)
{
    ASSERT_EQ(activation_list_watch_init(), 0);
    same_size_edits_are_seen(true);
}

TEST_F(WatchedList, ChangesAnywhereOnThePathToTheListAreSeen)
{
    // The list directory reached through a symlink to a versioned tree.
    const std::string root = dir.path() + "/root";
    for (const char *version : {"v1", "v2"}) {
        std::filesystem::create_directories(root + "/" + version);
        harness::write_file(root + "/" + version + "/dbus-sess-proxy.list",
                            std::string("org.example.Player=") + version + "\n");
    }
    ASSERT_EQ(symlink("v1", (root + "/current").c_str()), 0);
    use_list_dir(root + "/current/");
    ASSERT_EQ(activation_list_watch_init(), 0);
    EXPECT_EQ(next_lookup(), "v1\n");

    // Switched as deployment tools do: ln -sfn v2 current.new && mv -T current.new current
    auto switch_to = [&](const char *version) {
        ASSERT_EQ(symlink(version, (root + "/current.new").c_str()), 0);
        ASSERT_EQ(std::rename((root + "/current.new").c_str(), (root + "/current").c_str()), 0);
    };
    switch_to("v2");
    EXPECT_EQ(next_lookup(), "v2\n");
    switch_to("v1");
    EXPECT_EQ(next_lookup(), "v1\n");

    // The tree holding the link replaced by another one.
    const std::string other = dir.path() + "/other";
    std::filesystem::create_directories(other + "/v3");
    harness::write_file(other + "/v3/dbus-sess-proxy.list", "org.example.Player=v3\n");
    ASSERT_EQ(symlink("v3", (other + "/current").c_str()), 0);
    ASSERT_EQ(std::rename(root.c_str(), (root + ".old").c_str()), 0);
    ASSERT_EQ(std::rename(other.c_str(), root.c_str()), 0);
    EXPECT_EQ(next_lookup(), "v3\n");

    // Edits in the new tree are seen, and once settled lookups are free.
    harness::write_file(root + "/v3/dbus-sess-proxy.list", "org.example.Player=edited\n");
    EXPECT_EQ(next_lookup(), "edited\n");
    const unsigned long before = activation_list_syscalls;
    EXPECT_EQ(lookup(), "edited\n");
    EXPECT_EQ(activation_list_syscalls, before);
}

// A container's own list: beside the daemon's under a watched name, its
// changes come as events; elsewhere, stat() tells. Its parsed copy is its
// own, apart from the daemon's.
TEST_F(WatchedList, ContainersOwnListsKeepCopiesOfTheirOwn)
{
    make_dir();
    ASSERT_EQ(activation_list_watch_init(), 0);
    harness::write_file(list(), "org.example.Player=daemon\n");
    const std::string beside = list_dir + "c1.dbus-sess-proxy.list";
    const std::string elsewhere = dir.path() + "/c2.list";
    harness::write_file(beside, "org.example.Player=c1\n");
    harness::write_file(elsewhere, "org.example.Player=c2\n");
    ProxyConfig c1 = config, c2 = config;
    c1.activation_list_path = beside.c_str();
    c2.activation_list_path = elsewhere.c_str();
    auto lookup_in = [](const ProxyConfig &c) -> std::string {
        char *value = nullptr;
        if (lookup_activation_list(&c, "org.example.Player", &value) != 1)
            return "-";
        std::string copy = value;
        std::free(value);
        return copy;
    };
    pump();
    EXPECT_EQ(lookup_in(c1), "c1\n");
    EXPECT_EQ(lookup_in(c2), "c2\n");
    EXPECT_EQ(lookup_in(config), "daemon\n");

    // Beside the daemon's: no system call while it stays unchanged.
    unsigned long before = activation_list_syscalls;
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(lookup_in(c1), "c1\n");
    EXPECT_EQ(activation_list_syscalls, before);
    harness::write_file(beside, "org.example.Player=c1 again\n");
    pump();
    EXPECT_EQ(lookup_in(c1), "c1 again\n");
    EXPECT_EQ(lookup_in(config), "daemon\n");

    // Elsewhere: one stat() per lookup, and an edit is seen all the same.
    before = activation_list_syscalls;
    EXPECT_EQ(lookup_in(c2), "c2\n");
    EXPECT_GT(activation_list_syscalls, before);
    std::remove(elsewhere.c_str());
    EXPECT_EQ(lookup_in(c2), "-");
    activation_list_forget(&c1);
    activation_list_forget(&c2);
}
