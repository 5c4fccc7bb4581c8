#include "support.h"

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
