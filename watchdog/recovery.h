#pragma once

// The watched program's file name, as the kill commands and the relaunch name it.
extern const char watchedProgram[];

// Kills every process of the watched program and starts it again, detached,
// with the argument "crash_restore"; reports on stdout whether the start worked.
void recoverWatchedProgram();
