#pragma once

// The parts of the recovery that differ per platform (recovery_linux.cpp,
// recovery_win.cpp).

#include "recovery.h"

#include <QString>
#include <QStringList>

// Runs a command line through the program search and waits for it without a
// time limit; what it writes is added to the recovery's tool output and
// errors. Its status does not matter.
void runToCompletion(const char *commandLine, Recovery &recovery);

// Kills every process of the program by name without starting a command. A
// no-op on Windows: the taskkill lines run before it have done the work
// there. On Linux, which has neither taskkill nor tskill, it is the kill.
void killByNameInProcess(const char *programName);

// Starts the program detached in our working directory, found through the
// system's program search; false when it could not be started.
bool startDetached(const QString &program, const QStringList &arguments);
