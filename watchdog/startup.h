#pragma once

// The process's set-up at start and its upkeep between passes, which differ
// per platform (startup_linux.cpp, startup_win.cpp); each does nothing where
// it is not needed.

#include <QByteArray>
#include <QtGlobal>

// False, said on stderr, where this build is not the one for the system: a
// 32-bit Windows build on a 64-bit Windows.
bool fitsTheSystem();

// The exit status when it is not.
const int wrongBuildExitStatus = 5;

// Before anything opens a file: a closed standard stream gets a stand-in.
void fillClosedStandardStreams();

// Signal dispositions that the watchdog and the programs it starts need.
void prepareSignals();

// The folder the watchdog was started in, as a path and as the folder it
// named then.
struct StartFolder {
    QByteArray path; // empty where it cannot be told
    quint64 device = 0;
    quint64 inode = 0;
    int lastError = 0; // the last error said about it
};

StartFolder startFolder();

// False, said on stderr, once the folder has been deleted or the path names
// another folder, which only some systems allow while a process works in it.
// Any other error in looking is said once and counts as still there.
bool stillThere(StartFolder &folder);

// The exit status when the start folder has gone.
const int folderGoneExitStatus = 3;
