#include "support.h"

#include <fcntl.h>
#include <io.h>
#include <string>
#include <windows.h>

namespace testsupport
{

QByteArray console(QByteArray text)
{
    text.replace("\n", "\r\n");
    return text;
}

// Only a plain file here.
Output::Output(const QString &dir, const QString &kind) : path(dir + QLatin1String("/watchdog.out"))
{
    if (!kind.isEmpty())
        failure = QLatin1String("no such output on Windows: ") + kind;
}

Output::~Output() = default;

bool Output::release()
{
    return true;
}

QByteArray Output::shown()
{
    return readAll(path);
}

// Written in text mode, as stdout is. Filled without waiting (PIPE_NOWAIT), then
// waiting again for its writers.
qint64 fullPipe(int fds[2])
{
    if (_pipe(fds, 4096, _O_TEXT | _O_NOINHERIT) != 0)
        return -1;
    _setmode(fds[0], _O_BINARY); // read as written
    const HANDLE in = HANDLE(_get_osfhandle(fds[1]));
    DWORD mode = PIPE_NOWAIT;
    if (!SetNamedPipeHandleState(in, &mode, nullptr, nullptr)) {
        _close(fds[0]);
        _close(fds[1]);
        return -1;
    }
    qint64 filled = 0;
    const char filler[256] = {};
    for (DWORD size = sizeof filler; size > 0; size /= 2) {
        DWORD written = 0;
        while (WriteFile(in, filler, size, &written, nullptr) && written > 0)
            filled += written;
    }
    mode = PIPE_WAIT;
    SetNamedPipeHandleState(in, &mode, nullptr, nullptr);
    return filled;
}

ConsoleWindow::ConsoleWindow()
{
    CONSOLE_SCREEN_BUFFER_INFO screen = {};
    exists_ = GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &screen);
    column_ = screen.dwCursorPosition.X;
    row_ = screen.dwCursorPosition.Y;
    width_ = screen.dwSize.X;
}

bool ConsoleWindow::attached()
{
    return GetConsoleWindow() != nullptr;
}

bool ConsoleWindow::quickEdit() const
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) && (mode & ENABLE_QUICK_EDIT_MODE);
}

bool ConsoleWindow::setQuickEdit(bool on)
{
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode))
        return false;
    mode |= ENABLE_EXTENDED_FLAGS;
    return SetConsoleMode(in, on ? mode | ENABLE_QUICK_EDIT_MODE
                                 : mode & ~DWORD(ENABLE_QUICK_EDIT_MODE));
}

QString ConsoleWindow::textWritten() const
{
    std::wstring shown(size_t(width_) * 3, L' ');
    DWORD read = 0;
    const COORD from = {SHORT(column_), SHORT(row_)};
    if (!ReadConsoleOutputCharacterW(GetStdHandle(STD_OUTPUT_HANDLE), &shown[0],
                                     DWORD(shown.size()), from, &read))
        return QString();
    return QString::fromWCharArray(shown.data(), int(read)).simplified();
}

} // namespace testsupport
