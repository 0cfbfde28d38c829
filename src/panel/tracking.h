// Telling whether a GetAll call comes from the host's tray panel.
#pragma once

// The panel is known by the first bytes of its command line.
inline constexpr char panel_executable[] = "/usr/bin/osra-panel";
inline constexpr int panel_cmdline_size = 256;

// Reads the first word (up to 255 bytes, zero bytes included) of the file at
// `path` into `cmdline`, which holds panel_cmdline_size zeroed bytes.
// 0 when the file was read, -1 when it could not be opened.
int read_process_cmdline(const char *path, char *cmdline);
