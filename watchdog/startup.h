#pragma once

// The start-up steps that differ per platform (startup_unix.cpp,
// startup_win.cpp); each does nothing where it is not needed.

#include <QByteArray>
#include <QtGlobal>

// Before anything opens a file: a closed standard stream gets a stand-in.
void fillClosedStandardStreams();

// Signal dispositions that the watchdog and the programs it starts need.
void prepareSignals();

// The folder the watchdog was started in, as a path and as the folder it
// named then.
struct StartFolder {
    QByteArray path;
    quint64 device = 0;
    quint64 inode = 0;
};

StartFolder startFolder();

// False once the folder has been deleted, renamed or replaced, which only
// some systems allow while a process works in it.
bool stillThere(const StartFolder &folder);

// The exit status when the start folder has gone.
const int folderGoneExitStatus = 3;
