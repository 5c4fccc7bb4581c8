#pragma once

// The parts of the recovery that differ per platform (recovery_unix.cpp,
// recovery_win.cpp).

#include <QString>
#include <QStringList>

struct KillCommand {
    const char *line;
    bool required; // said on stderr when it cannot be run
};

// Runs a command line through the program search, with its output on our
// console, and waits for it without a time limit.
void runToCompletion(const KillCommand &command);

// Kills what the system's kill commands do not reach here: nothing where
// taskkill and tskill exist.
void killByNameWhereNoTaskkill();

// Starts the program detached in our working directory, found through the
// system's program search; false when it could not be started.
bool startDetached(const QString &program, const QStringList &arguments);
