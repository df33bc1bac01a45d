/* daemon.h and daemon_paths.h are C contracts: this file must compile as C. */
#include "vx7daemon/daemon.h"
#include "vx7daemon/daemon_paths.h"

int vx7_daemon_header_is_c(void)
{
    dmn_handler h = 0;
    long pid = 0;
    char lock[DMN_PATH_SIZE];
    return (h == 0) + dmn_lock_state(DMN_LOCK_FILE, "x", &pid) + (int)sizeof DMN_LOG_FILE +
           dmn_lock_path("x", lock, sizeof lock) + (dmn_home_directory() != 0) + DMN_LOCK_UNKNOWN;
}
