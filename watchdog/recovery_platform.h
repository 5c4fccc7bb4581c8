#pragma once

// The parts of the recovery that differ per platform (recovery_linux.cpp,
// recovery_win.cpp).

#include <QString>
#include <QStringList>

// Runs a command line through the program search, with its output on our
// console, and waits for it without a time limit. Its status does not matter.
void runToCompletion(const char *commandLine);

// Kills every process of the program by name without starting a command. A
// no-op on Windows: the taskkill lines run before it have done the work
// there. On Linux, which has neither taskkill nor tskill, it is the kill.
void killByNameInProcess(const char *programName);

// Starts the program detached in our working directory, found through the
// system's program search; false when it could not be started.
bool startDetached(const QString &program, const QStringList &arguments);
