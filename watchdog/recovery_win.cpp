#include "recovery_platform.h"

#include <QProcess>
#include <string>
#include <windows.h>

void runToCompletion(const char *commandLine, Recovery &recovery)
{
    const QString line = QString::fromLatin1(commandLine);
    QProcess tool;
    tool.setInputChannelMode(QProcess::ForwardedInputChannel);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QStringList arguments = QProcess::splitCommand(line);
    const QString program = arguments.takeFirst();
    tool.start(program, arguments);
#else
    tool.start(line);
#endif
    tool.waitForFinished(-1);
    recovery.toolOutput += tool.readAllStandardOutput();
    recovery.toolErrors += tool.readAllStandardError();
}

void killByNameInProcess(const char *) {}

// As a double-click starts it: a console program gets a console of its own
// (a GUI one none), in the watchdog's process group, with nothing of ours.
// Closing the watchdog's window or Ctrl+C there cannot reach it, and Ctrl+C
// in its own window works: CREATE_NEW_PROCESS_GROUP would switch that off
// for it and its children. Not QProcess::startDetached, which hands on
// every inheritable handle, runs a program that needs elevation through a
// UAC prompt, and starts a console program with no console at all when the
// watchdog has none.
bool startDetached(const QString &program, const QStringList &arguments)
{
    // The program's name and our arguments are fixed words: nothing to quote.
    std::wstring commandLine =
        (QStringList{program} + arguments).join(QLatin1Char(' ')).toStdWString();
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    // The system's program search, in our working folder. A program that
    // needs elevation fails here (ERROR_ELEVATION_REQUIRED): no UAC prompt.
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                        nullptr, nullptr, &startup, &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}
