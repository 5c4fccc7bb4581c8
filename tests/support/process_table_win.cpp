#include "process_table.h"

#include "support.h"

#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>

namespace testsupport
{

QVector<ProcessInfo> processes()
{
    QVector<ProcessInfo> all;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return all;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (bool more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        ProcessInfo info;
        info.pid = qint64(entry.th32ProcessID);
        info.parentPid = qint64(entry.th32ParentProcessID);
        info.state = 'R';
        info.tasks = int(entry.cntThreads);
        info.name = info.file = QString::fromWCharArray(entry.szExeFile);
        all << info;
    }
    CloseHandle(snapshot);
    return all;
}

ProcessInfo processInfo(qint64 pid)
{
    for (const ProcessInfo &info : processes()) {
        if (info.pid == pid)
            return info;
    }
    return {};
}

bool isAlive(qint64 pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

void killProcess(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (process) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

void killWatchedProcessesIn(const QString &)
{
    if (!confined())
        return;
    for (qint64 pid : watchedProcesses())
        killProcess(pid);
}

std::optional<int> systemVObjects()
{
    return std::nullopt;
}

} // namespace testsupport
