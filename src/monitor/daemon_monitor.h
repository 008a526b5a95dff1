// The RAID daemon monitor (-m, -ml).
#pragma once

void runDaemonMonitor();
