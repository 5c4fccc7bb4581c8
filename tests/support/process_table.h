#pragma once

// The running processes as the system shows them (/proc on Linux, a process
// snapshot on Windows: process_table_linux.cpp, process_table_win.cpp).

#include <QString>
#include <QVector>
#include <optional>

namespace testsupport
{

// What Windows does not tell stays zero or empty there.
struct ProcessInfo {
    qint64 pid = 0; // 0: no such process
    qint64 parentPid = 0;
    qint64 sessionId = 0;
    char state = '?'; // Z for a zombie on Linux
    uint uid = 0;
    int tasks = 0; // its threads
    QString name;  // the kernel's (15 bytes on Linux) or the image name
    QString file;  // its program file
    QString workingDirectory;
    quint64 ignoredSignals = 0; // bit n - 1 for signal n
    quint64 blockedSignals = 0;
};

QVector<ProcessInfo> processes();
ProcessInfo processInfo(qint64 pid);
bool isAlive(qint64 pid);
void killProcess(qint64 pid);

// Live processes of the program file "gorsebright.exe": not those whose longer
// name the kernel cuts to the same 15 bytes.
QVector<qint64> watchedProcesses();
// Waits for exactly one live gorsebright.exe; its pid, or 0 if none came.
qint64 soleWatchedProcess();
// Ends the gorsebright.exe processes a test started in dir, its private
// scratch folder. A relaunched one left running would also hold the test's
// output open. Where the system does not tell a process's folder (Windows),
// all of them, and only where every one is the test's own.
void killWatchedProcessesIn(const QString &dir);

// The tasks (threads included) that the kernel counts against uid's process limit.
int tasksOf(uint uid);

// The System V semaphores and shared-memory segments there are, where the
// system lists them (Linux).
std::optional<int> systemVObjects();

} // namespace testsupport
