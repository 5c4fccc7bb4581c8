#include "recovery_platform.h"

#include <QProcess>
#include <algorithm>
#include <string>
#include <vector>
#include <windows.h>

void runToCompletion(const char *commandLine)
{
    const QString line = QString::fromLatin1(commandLine);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QStringList arguments = QProcess::splitCommand(line);
    const QString program = arguments.takeFirst();
    QProcess::execute(program, arguments);
#else
    QProcess::execute(line);
#endif
}

void killByNameInProcess(const char *) {}

// Not QProcess::startDetached, which hands on every inheritable handle, runs
// a program that needs elevation through a UAC prompt, and starts a console
// program with no console at all when the watchdog has none.
bool startDetached(const QString &program, const QStringList &arguments)
{
    // The program's name and our arguments are fixed words: nothing to quote.
    std::wstring commandLine =
        (QStringList{program} + arguments).join(QLatin1Char(' ')).toStdWString();

    // Its own process group: a Ctrl+C that ends the watchdog does not end it.
    DWORD flags = CREATE_NEW_PROCESS_GROUP;
    // Sharing our console, it gets our standard handles and no other of
    // ours; without one, it gets a console of its own and nothing of ours.
    std::vector<HANDLE> handedOn;
    if (GetConsoleWindow() == nullptr) {
        flags |= CREATE_NEW_CONSOLE;
    } else {
        for (const DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
            const HANDLE handle = GetStdHandle(stream);
            DWORD handleFlags = 0;
            // Windows 7's console handles are no kernel handles (their two
            // low bits are set): no list may name them, and a child sharing
            // the console can use them anyway.
            const bool consoleHandle = (reinterpret_cast<ULONG_PTR>(handle) & 3) == 3;
            if (handle != nullptr && handle != INVALID_HANDLE_VALUE && !consoleHandle &&
                GetHandleInformation(handle, &handleFlags) && (handleFlags & HANDLE_FLAG_INHERIT) &&
                std::find(handedOn.begin(), handedOn.end(), handle) == handedOn.end())
                handedOn.push_back(handle);
        }
    }
    STARTUPINFOEXW startup = {};
    startup.StartupInfo.cb = sizeof startup;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    std::vector<char> attributeSpace(size);
    const auto attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(attributeSpace.data());
    const bool listMade =
        !handedOn.empty() && InitializeProcThreadAttributeList(attributes, 1, 0, &size);
    const bool handing =
        listMade &&
        UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handedOn.data(),
                                  handedOn.size() * sizeof(HANDLE), nullptr, nullptr);
    if (handing) {
        startup.lpAttributeList = attributes;
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    }
    PROCESS_INFORMATION process = {};
    // The system's program search, in our working folder. A program that
    // needs elevation fails here (ERROR_ELEVATION_REQUIRED): no UAC prompt.
    const bool started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, handing, flags,
                                        nullptr, nullptr, &startup.StartupInfo, &process);
    if (listMade)
        DeleteProcThreadAttributeList(attributes);
    if (started) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return started;
}
