#pragma once

// Where the heartbeat may be besides the working folder, which differs per
// platform (heartbeat_linux.cpp, heartbeat_win.cpp).

#include <QString>

// Windows keeps a file that an older program (32-bit, without a manifest,
// not elevated) writes under Program Files, Windows or ProgramData in that
// user's VirtualStore folder instead, and the program reads it from there
// too. This is where that copy of fileName in the working folder would be;
// empty where no such place exists. Said once on stderr.
QString virtualizedCopy(const QString &fileName);
