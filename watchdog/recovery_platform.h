#pragma once

// The parts of the recovery that differ per platform (recovery_unix.cpp,
// recovery_win.cpp).

#include <QString>
#include <QStringList>

// Runs a command line through the program search, with its output on our
// console, and waits for it without a time limit. Its status does not matter.
void runToCompletion(const char *commandLine);

// Kills what the system's kill commands do not reach here: nothing where
// taskkill and tskill exist.
void killByNameWhereNoTaskkill(const char *programName);

// Starts the program detached in our working directory, found through the
// system's program search; false when it could not be started.
bool startDetached(const QString &program, const QStringList &arguments);
