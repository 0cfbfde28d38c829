// The whole daemon: start-up and the main loop. Shared by the installed
// executable and the one the tests run.
#pragma once

// Runs until SIGTERM or SIGINT (then returns 0), or start-up ends it.
int run_daemon(int argc, char **argv);
