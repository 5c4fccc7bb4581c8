#include "console.h"

#include <QString>
#include <QtGlobal>
#include <cstdlib>
#include <iostream>
#include <string>
#include <windows.h>

namespace
{

const UINT messageCodePage = 1251;

// A console shows the bytes it is given in its own code page (866 for
// Russian), whichever C runtime passes them on: it is given UTF-16 instead.
// False where standard output is no console.
bool writeUnicodeToConsoleWindow(const char *message)
{
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode))
        return false;
    std::string bytes;
    for (const char *c = message; *c; ++c) {
        if (*c == '\n')
            bytes += '\r'; // as the C runtime's text mode writes it
        bytes += *c;
    }
    const int size = int(bytes.size());
    std::wstring text(size_t(size), L'\0'); // one UTF-16 unit per byte
    const int length = MultiByteToWideChar(messageCodePage, 0, bytes.data(), size, &text[0], size);
    DWORD written = 0;
    WriteConsoleW(out, text.data(), DWORD(length), &written, nullptr);
    return true;
}

QtMessageHandler qtHandler = nullptr;

// Qt 5 writes a record to a console in the ANSI code page, which the console
// shows in its OEM one: a Cyrillic folder name came out wrong. A console gets
// it as UTF-16, as the messages do; anything else Qt's own handler takes.
void writeRecord(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(err, &mode)) {
        qtHandler(type, context, message);
        return;
    }
    const std::wstring line =
        (qFormatLogMessage(type, context, message) + QLatin1String("\r\n")).toStdWString();
    DWORD written = 0;
    WriteConsoleW(err, line.data(), DWORD(line.size()), &written, nullptr);
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

void writeConsole(const char *message)
{
    if (writeUnicodeToConsoleWindow(message))
        return;
    // Files and pipes get the bytes unchanged. A failed write (a full disk,
    // a closed pipe) leaves the stream failed, and a failed stream drops
    // everything after it: each message gets its own try.
    std::cout.clear();
    // Flushed at once: child processes write straight to the same stdout,
    // and the watchdog only ever ends by being killed.
    std::cout << message << std::flush;
}

// A tool writes to a pipe in the console's own code page, which the console
// shows as it is: the bytes go on unchanged, line ends and all.
void passOn(const QByteArray &output, const QByteArray &errors)
{
    DWORD written = 0;
    if (!output.isEmpty())
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), output.constData(), DWORD(output.size()),
                  &written, nullptr);
    if (!errors.isEmpty())
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), errors.constData(), DWORD(errors.size()),
                  &written, nullptr);
}

// A click into a console window with QuickEdit on starts a selection, which
// holds every write to the console, and so the check, until a key is
// pressed. Off for this console while the watchdog runs: a selection begun
// from the window's menu is still the user's own pause.
namespace
{

DWORD inputModeBefore = 0;
bool quickEditTaken = false;

void giveQuickEditBack()
{
    if (quickEditTaken)
        SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), inputModeBefore | ENABLE_EXTENDED_FLAGS);
}

// The window outlives the watchdog when Ctrl+C or Ctrl+Break ends it (a cmd
// window it was started from): the window's setting comes back. Then the
// default handler ends the process.
BOOL WINAPI endedByKey(DWORD event)
{
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT)
        giveQuickEditBack();
    return FALSE;
}

} // namespace

void prepareConsole()
{
    qtHandler = qInstallMessageHandler(writeRecord);
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(in, &inputModeBefore) ||
        !SetConsoleMode(in,
                        (inputModeBefore | ENABLE_EXTENDED_FLAGS) & ~DWORD(ENABLE_QUICK_EDIT_MODE)))
        return;
    quickEditTaken = true;
    // Also when it ends by itself: a second watchdog refused.
    std::atexit(giveQuickEditBack);
    SetConsoleCtrlHandler(endedByKey, TRUE);
}
