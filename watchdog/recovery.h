#pragma once

// Kills every process of the watched program and starts it again, detached,
// with the argument "crash_restore"; reports on stdout whether the start worked.
void recoverWatchedProgram();
