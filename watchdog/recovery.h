#pragma once

#include <QByteArray>

// What a recovery did, said only once it is done: a console that holds
// every write (a selection in its window, the Pause key, a full pipe) may
// then delay the words but never the relaunch.
struct Recovery {
    QByteArray toolOutput; // what the kill tools wrote, byte for byte
    QByteArray toolErrors;
    bool started = false;
};

// Kills every process of the watched program and starts it again, detached,
// with the argument "crash_restore". Writes nothing on stdout.
Recovery recoverWatchedProgram();

// Writes what the kill tools wrote, then "Запускаем..." and whether the
// start worked.
void reportRecovery(const Recovery &recovery);
