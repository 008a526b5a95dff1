// Placeholder until the daemon monitor lands.
#include "monitor/daemon_monitor.h"

void runDaemonMonitor() {}
