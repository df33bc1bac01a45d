/* daemon.h is a C contract: this file must compile as C. */
#include "daemon.h"

int vx7_daemon_header_is_c(void)
{
    dmn_handler h = 0;
    long pid = 0;
    return (h == 0) + dmn_lock_state(DMN_LOCK_FILE, "x", &pid) + (int)sizeof DMN_LOG_FILE;
}
