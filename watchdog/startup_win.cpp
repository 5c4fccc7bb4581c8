#include "startup.h"

#include "watched_program.h"

#include <QDir>
#include <QFileInfo>
#include <QtDebug>

// Windows gives a console program valid standard handles or none, has no
// signals of the Unix kind, hands orphans to nobody, and keeps a process's
// working folder from being deleted or renamed.

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
