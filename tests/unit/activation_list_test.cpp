// Reading the activation list from real files in a temporary directory.
#include "log/log.h"
#include "main/command_line.h"
#include "namespace/activation_list.h"
#include "util/overrides.h"

#include "harness.h"
#include "list_dir_fixture.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

using namespace std::chrono_literals;

namespace {

class ActivationList : public ListDirTest {
protected:
    void TearDown() override
    {
        ListDirTest::TearDown();
        log_verbosity = 0;
    }

    std::string session_list() const { return dir.file("dbus-sess-proxy.list"); }
    std::string system_list() const { return dir.file("dbus-sys-proxy.list"); }

    // The value stored for `service`, or nothing; checks that a miss leaves
    // the caller's pointer alone.
    std::optional<std::string> lookup(const char *service)
    {
        char untouched = 0;
        char *value = &untouched;
        if (lookup_activation_list(&config, service, &value) != 1) {
            EXPECT_EQ(value, &untouched);
            return std::nullopt;
        }
        std::string copy = value;
        std::free(value);
        return copy;
    }

    std::string captured(const char *service)
    {
        testing::internal::CaptureStdout();
        lookup(service);
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }
};

} // namespace

TEST_F(ActivationList, ReadingRulesOfExistingListFiles)
{
    const struct {
        const char *text;
        std::optional<std::string> value;
    } cases[] = {
        {"org.example.Player=org.example.Player.docker\n", "org.example.Player.docker\n"},
        {"org.example.Player=org.example.Player.docker", "org.example.Player.docker"},
        {"org.example.Player=first\norg.example.Player=second\n", "first\n"},
        {"org.example.Player =org.example.Player.docker\n", std::nullopt},
        {"org.example.player=x\n", std::nullopt},
        {"org.example.Player=a=b c\n", "a=b c\n"},
        {"\n=\n===\nother.Service=y\norg.example.Player=x\n", "x\n"},
        {"=\norg.example.Player=x", "x"},
        // Leading "=" are skipped for the key but the value still starts at
        // the key's length plus one, so it begins one character early.
        {"=org.example.Player=org.example.Player.docker\n", "=org.example.Player.docker\n"},
        {"other=1\norg.example.Player", ""},
        {"org.example.Player\n", std::nullopt},
        {"", std::nullopt},
    };
    // Read afresh (with --trace) and from the parsed copy alike.
    for (int trace : {0, 1}) {
        config.trace = trace;
        testing::internal::CaptureStdout();
        for (const auto &c : cases) {
            harness::write_file(session_list(), c.text);
            EXPECT_EQ(lookup("org.example.Player"), c.value) << '"' << c.text << '"' << trace;
        }
        testing::internal::GetCapturedStdout();
    }
}

TEST_F(ActivationList, LongLinesAreReadInPiecesOf254Characters)
{
    // 254 + 46 characters: the second piece is a line of its own.
    const std::string head(254, 'x');
    const std::string tail = "org.example.Player=org.example.Player.docker42";
    ASSERT_EQ(tail.size(), 46u);
    harness::write_file(session_list(), head + tail + "\n");

    EXPECT_EQ(lookup("org.example.Player"), "org.example.Player.docker42\n");
    EXPECT_EQ(lookup(head.c_str()), "");
    EXPECT_EQ(lookup((head + "o").c_str()), std::nullopt);
}

TEST_F(ActivationList, EachBusReadsOnlyItsOwnFileAfreshEveryTime)
{
    harness::write_file(session_list(), "org.example.Player=session\n");
    config.use_system_bus = 1;
    EXPECT_EQ(lookup("org.example.Player"), std::nullopt);

    harness::write_file(system_list(), "org.example.Player=system\n");
    EXPECT_EQ(lookup("org.example.Player"), "system\n");
    config.use_system_bus = 0;
    EXPECT_EQ(lookup("org.example.Player"), "session\n");

    harness::write_file(session_list(), "org.example.Player=edited\n");
    EXPECT_EQ(lookup("org.example.Player"), "edited\n");
}

TEST_F(ActivationList, MissingFileIsReportedOnlyAtDebug)
{
    log_verbosity = 2;
    EXPECT_EQ(captured("org.example.Player"), "");
    log_verbosity = 3;
    EXPECT_EQ(captured("org.example.Player"),
              log_prefix("DEBUG") + "Cannot open activate list " + session_list() + "\n");
}

TEST_F(ActivationList, TraceAndVerboseLines)
{
    harness::write_file(session_list(), "x=y\na=b\n");
    const std::string opened = "open activation file list " + session_list() + " succeed\n";

    // The unprefixed line is printed whatever the level.
    config.trace = 1;
    EXPECT_EQ(captured("a"), opened);

    log_verbosity = 3;
    config.verbose = 1;
    EXPECT_EQ(captured("a"), opened + log_prefix("DEBUG") + "file line x=y\n\n" +
                                 log_prefix("DEBUG") + "file line a=b\n\n" + log_prefix("DEBUG") +
                                 "service a is namespaced as b\n\n");

    // A miss reads on to the end, including the empty read after the last
    // newline.
    EXPECT_EQ(captured("c"), opened + log_prefix("DEBUG") + "file line x=y\n\n" +
                                 log_prefix("DEBUG") + "file line a=b\n\n" + log_prefix("DEBUG") +
                                 "file line \n");

    config.trace = 0;
    EXPECT_EQ(captured("a"), log_prefix("DEBUG") + "service a is namespaced as b\n\n");
}

static size_t count_lines(const std::string &text, const std::string &line)
{
    size_t count = 0;
    for (size_t at = text.find(line + "\n"); at != std::string::npos;
         at = text.find(line + "\n", at + 1))
        ++count;
    return count;
}

// An unchanged file is served from its parsed copy; any change to it is
// seen at the next lookup, however quickly it follows.
class ParsedCopy : public ActivationList {
protected:
    unsigned long reads_during(const std::function<void()> &what)
    {
        const unsigned long before = activation_list_reads;
        what();
        return activation_list_reads - before;
    }
    // A file changed within 2 s of a read is read again at every lookup;
    // wait until a lookup is served from the copy.
    bool settles(const char *service)
    {
        return harness::wait_until([&] { return reads_during([&] { lookup(service); }) == 0; },
                                   10000ms);
    }
    static struct stat file_stat(const std::string &path)
    {
        struct stat st {};
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        return st;
    }
};

TEST_F(ParsedCopy, UnchangedFileIsReadOnceAndEditsAreSeen)
{
    harness::write_file(session_list(), "org.example.Player=org.example.Player.docker\n"
                                        "org.example.Player=second\n");
    ASSERT_TRUE(settles("org.example.Player"));
    EXPECT_EQ(reads_during([&] {
                  for (int i = 0; i < 5; ++i)
                      EXPECT_EQ(lookup("org.example.Player"), "org.example.Player.docker\n");
                  EXPECT_EQ(lookup("org.example.Other"), std::nullopt);
              }),
              0u);

    // Same size and inode, written at once: the change time tells.
    const struct stat before = file_stat(session_list());
    harness::write_file(session_list(), "org.example.Player=org.example.Player.podman\n"
                                        "org.example.Player=second\n");
    const struct stat after = file_stat(session_list());
    ASSERT_EQ(after.st_size, before.st_size);
    ASSERT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(lookup("org.example.Player"), "org.example.Player.podman\n");
    ASSERT_TRUE(settles("org.example.Player"));

    // Edited in place with its old times put back (touch -r, rsync -t): the
    // change time alone tells.
    const struct stat kept = file_stat(session_list());
    harness::write_file(session_list(), "org.example.Player=org.example.Player.lxc123\n"
                                        "org.example.Player=second\n");
    const timespec times[2] = {kept.st_atim, kept.st_mtim};
    ASSERT_EQ(utimensat(AT_FDCWD, session_list().c_str(), times, 0), 0);
    ASSERT_EQ(file_stat(session_list()).st_size, kept.st_size);
    EXPECT_EQ(lookup("org.example.Player"), "org.example.Player.lxc123\n");
    ASSERT_TRUE(settles("org.example.Player"));

    // Replaced by another file (a new inode), as editors and installers do.
    harness::write_file(list_dir + "new", "org.example.Player=replaced\n");
    ASSERT_EQ(std::rename((list_dir + "new").c_str(), session_list().c_str()), 0);
    EXPECT_EQ(lookup("org.example.Player"), "replaced\n");

    std::remove(session_list().c_str());
    EXPECT_EQ(lookup("org.example.Player"), std::nullopt);
}

TEST_F(ParsedCopy, EditsInQuickSuccessionAreAllSeen)
{
    // Writes within one tick of the file clock leave the same times and
    // size behind; none of them may be missed.
    for (int i = 0; i < 200; ++i) {
        const std::string value = std::to_string(1000 + i);
        harness::write_file(session_list(), "org.example.Player=" + value + "\n");
        ASSERT_EQ(lookup("org.example.Player"), value + "\n") << i;
    }
}

TEST_F(ParsedCopy, TraceReadsTheFileOnEveryLookup)
{
    harness::write_file(session_list(), "org.example.Player=x\n");
    ASSERT_TRUE(settles("org.example.Player"));
    config.trace = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(reads_during([&] {
                  lookup("org.example.Player");
                  lookup("org.example.Player");
              }),
              2u);
    EXPECT_EQ(count_lines(testing::internal::GetCapturedStdout(),
                          "open activation file list " + session_list() + " succeed"),
              2u);
}

TEST(TrustRule, CopyIsTrustedOnlyWhenItsFileTimesAreTwoSecondsOlderThanItsRead)
{
    const timespec read{1000, 500000000};
    const timespec old_enough{998, 500000000};
    const timespec just_too_new{998, 500000001};
    const timespec whole_second_of_read{1000, 0};
    EXPECT_TRUE(activation_list_copy_trusted(old_enough, old_enough, read));
    EXPECT_TRUE(activation_list_copy_trusted({100, 0}, {997, 999999999}, read));
    EXPECT_FALSE(activation_list_copy_trusted(just_too_new, old_enough, read));
    EXPECT_FALSE(activation_list_copy_trusted(old_enough, just_too_new, read));
    // Whole-second times: a time that reads as earlier than the read may
    // still be the read's own second.
    EXPECT_FALSE(activation_list_copy_trusted(whole_second_of_read, whole_second_of_read, read));
    EXPECT_FALSE(activation_list_copy_trusted({999, 0}, {999, 0}, read));
    // A clock set back leaves times in the future: never trusted.
    EXPECT_FALSE(activation_list_copy_trusted({2000, 0}, {2000, 0}, read));
}

TEST_F(ActivationList, FilesThatAreNotWhatTheySeemNeitherStallNorGrowTheDaemon)
{
    // A FIFO in the list's place: no writer, yet the lookup returns at once.
    ASSERT_EQ(mkfifo(session_list().c_str(), 0600), 0);
    const std::string fifo_log = captured_log([&] {
        for (int trace : {0, 1, 0}) {
            config.trace = trace;
            EXPECT_EQ(lookup("org.example.Player"), std::nullopt);
        }
        config.trace = 0;
    }, LOG_LEVEL_WARN);
    EXPECT_EQ(fifo_log, "WARN  Activation list " + session_list() +
                            " is not a regular file: no service is namespaced\n");
    std::remove(session_list().c_str());

    // Past 1 MiB: the first MiB is used, with the same 254-character pieces.
    constexpr size_t mib = 1024 * 1024;
    std::string text = "org.example.Early=org.example.Early.docker\n";
    const std::string filler = std::string(300, 'x') + "\n";
    while (text.size() + filler.size() < mib - 400)
        text += filler;
    text += std::string(mib - 8 - text.size(), 'y') + "\n";
    text += "org.x=cut\norg.example.Late=org.example.Late.docker\n"; // "org.x=c" is within
    harness::write_file(session_list(), text);
    const std::string big_log = captured_log([&] {
        EXPECT_EQ(lookup("org.example.Early"), "org.example.Early.docker\n");
        EXPECT_EQ(lookup("org.example.Late"), std::nullopt);
        EXPECT_EQ(lookup("org.x"), "c");
        // A line without '=' is all key: each piece of the 300 x's is one.
        EXPECT_EQ(lookup(std::string(254, 'x').c_str()), "");
        EXPECT_EQ(lookup((std::string(46, 'x') + "\n").c_str()), "");
        EXPECT_EQ(lookup(std::string(300, 'x').c_str()), std::nullopt);
    }, LOG_LEVEL_WARN);
    EXPECT_EQ(big_log, "WARN  Activation list " + session_list() +
                           " is larger than 1 MiB: only its first MiB is read\n");

    // One byte past 1 MiB is one WARN line however many lookups follow;
    // exactly 1 MiB is read whole without a word.
    for (const size_t size : {mib + 1, mib}) {
        SCOPED_TRACE(size);
        const std::string last = "org.example.Last=z\n";
        std::string exact = filler;
        while (exact.size() + filler.size() + last.size() < size)
            exact += filler;
        exact += std::string(size - exact.size() - last.size() - 1, 'y') + "\n" + last;
        ASSERT_EQ(exact.size(), size);
        // Renamed into place: another file than the one warned about.
        harness::write_file(list_dir + "next", exact);
        ASSERT_EQ(std::rename((list_dir + "next").c_str(), session_list().c_str()), 0);
        const std::string log = captured_log([&] {
            for (int i = 0; i < 3; ++i)
                EXPECT_EQ(lookup("org.example.Last"), size == mib ? "z\n" : "z");
        }, LOG_LEVEL_WARN);
        EXPECT_EQ(log, size == mib ? "" : "WARN  Activation list " + session_list() +
                                              " is larger than 1 MiB: only its first MiB is read\n");
    }
}
