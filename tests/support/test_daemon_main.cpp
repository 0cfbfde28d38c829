// The daemon as the integration tests run it: identical to the installed
// one, except that the activation lists are read from the directory named
// by DPD_TEST_ACTIVATION_LIST_DIR, so that no test touches the fixed one.
#include "main/daemon.h"
#include "namespace/activation_list.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    if (const char *dir = std::getenv("DPD_TEST_ACTIVATION_LIST_DIR"))
        activation_list_dir = dir;
    return run_daemon(argc, argv);
}
