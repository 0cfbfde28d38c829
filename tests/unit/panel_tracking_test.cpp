#include "panel/tracking.h"

#include "harness.h"
#include "log_capture.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>

using harness::TempDir;

TEST(PanelTracking, CommandLineIsReadAsOneWordAcrossItsZeroBytes)
{
    TempDir dir;
    const std::string path = dir.file("cmdline");
    char buf[panel_cmdline_size];

    const std::string panel("/usr/bin/osra-panel\0--tray\0", 27);
    harness::write_file(path, panel);
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(read_process_cmdline(path.c_str(), buf), 0);
    EXPECT_EQ(std::string(buf, panel.size()), panel);

    // At most 255 bytes, and the buffer stays terminated.
    harness::write_file(path, std::string(400, 'x'));
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(read_process_cmdline(path.c_str(), buf), 0);
    EXPECT_EQ(std::strlen(buf), 255u);

    // A kernel thread's or a zombie's command line is empty.
    harness::write_file(path, "");
    std::memset(buf, 0, sizeof buf);
    EXPECT_EQ(read_process_cmdline(path.c_str(), buf), 0);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string(sizeof buf, '\0'));
}

TEST(PanelTracking, UnreadableCommandLinesAreWarnedAbout)
{
    TempDir dir;
    char buf[panel_cmdline_size] = {};
    const std::string gone = dir.file("gone");
    std::string log =
        captured_log([&] { EXPECT_EQ(read_process_cmdline(gone.c_str(), buf), -1); });
    EXPECT_EQ(log, "WARN  [Modify for panel]cmdline文件: " + gone +
                       " 打开失败,退出 No such file or directory\n");

    // There, but not a file anyone can open: a bound unix socket.
    const std::string socket_path = dir.file("sock");
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socket_path.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
    log = captured_log([&] { EXPECT_EQ(read_process_cmdline(socket_path.c_str(), buf), -1); });
    close(fd);
    EXPECT_EQ(log, "WARN  [Modify for panel]读取cmdline: " + socket_path +
                       " 文件失败,退出 No such device or address\n");
}
