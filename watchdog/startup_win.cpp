#include "startup.h"

#include "watched_program.h"

#include <QDir>
#include <QFileInfo>
#include <QtDebug>
#include <windows.h>

// Windows gives a console program valid standard handles or none, has no
// signals of the Unix kind, hands orphans to nobody, and keeps a process's
// working folder from being deleted or renamed.

// A 32-bit build on a 64-bit Windows runs under WOW64, whose file system
// redirection would run the kill commands from SysWOW64, which may lack
// tskill; untried, so the 64-bit build is the one to take there.
bool fitsTheSystem()
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64)
        return true;
    qCritical("watchdog: this is the watchdog for 32-bit Windows, and this Windows is 64-bit; "
              "take the 64-bit one, from the release zip whose name ends in -win64.zip");
    return false;
}

void fillClosedStandardStreams() {}

void prepareSignals() {}

// Started in another folder than Gorsebright's (a zip unpacked into a
// subfolder, a shortcut to the exe), it would watch a heartbeat that never
// changes and relaunch the program that Windows finds beside the exe.
StartFolder startFolder()
{
    if (!QFileInfo::exists(QString::fromLatin1(watchedProgram)))
        qWarning("watchdog: %s is not in %s, the folder it watches; start it from "
                 "Gorsebright's own folder, by start-watchdog.cmd there",
                 watchedProgram, qUtf8Printable(QDir::toNativeSeparators(QDir::currentPath())));
    return {};
}

bool stillThere(StartFolder &)
{
    return true;
}
