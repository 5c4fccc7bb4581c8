#include "support.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/mount.h>
#include <termios.h>
#include <unistd.h>

namespace testsupport
{

namespace
{

// Fills the file system at dir up to its last byte; false if it would not fill.
bool fill(const QString &dir)
{
    QFile filler(dir + QLatin1String("/filler"));
    if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return false;
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size()) {
    }
    filler.close();
    QFile probe(dir + QLatin1String("/probe"));
    const bool full =
        probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered) && probe.write("x", 1) != 1;
    probe.close();
    return probe.remove() && full;
}

} // namespace

Output::Output(const QString &dir, const QString &kind) : path(dir + QLatin1String("/watchdog.out"))
{
    if (kind == QLatin1String("full disk")) {
        disk_ = dir + QLatin1String("/disk");
        if (!QDir().mkpath(disk_) ||
            mount("tmpfs", QFile::encodeName(disk_).constData(), "tmpfs", 0, "size=64k") != 0) {
            disk_.clear();
            skipReason =
                QStringLiteral("cannot mount a small tmpfs here, so no full disk to write to");
            return;
        }
        if (!fill(disk_))
            failure = QStringLiteral("the small tmpfs does not fill up");
        path = disk_ + QLatin1String("/watchdog.out");
    } else if (kind == QLatin1String("stopped terminal")) {
        terminal_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        termios mode = {};
        if (terminal_ == -1 || grantpt(terminal_) != 0 || unlockpt(terminal_) != 0 ||
            tcgetattr(terminal_, &mode) != 0) {
            failure = QStringLiteral("cannot open a terminal");
            return;
        }
        path = QFile::decodeName(ptsname(terminal_));
        // Bytes unchanged, flow control as a terminal has it.
        cfmakeraw(&mode);
        mode.c_iflag |= IXON;
        if (tcsetattr(terminal_, TCSANOW, &mode) != 0 || write(terminal_, "\x13", 1) != 1) // Ctrl+S
            failure = QStringLiteral("cannot stop the terminal");
    } else if (!kind.isEmpty()) {
        failure = QLatin1String("no such output: ") + kind;
    }
}

Output::~Output()
{
    if (!disk_.isEmpty())
        umount2(QFile::encodeName(disk_).constData(), MNT_DETACH);
    if (terminal_ != -1)
        close(terminal_);
}

bool Output::release()
{
    if (!disk_.isEmpty())
        return QFile::remove(disk_ + QLatin1String("/filler"));
    return terminal_ == -1 || write(terminal_, "\x11", 1) == 1; // Ctrl+Q
}

QByteArray Output::shown()
{
    if (terminal_ == -1)
        return readAll(path);
    char buffer[4096];
    for (ssize_t size; (size = read(terminal_, buffer, sizeof buffer)) > 0;)
        shownOnTerminal_.append(buffer, int(size));
    return shownOnTerminal_;
}

QByteArray console(QByteArray text)
{
    return text;
}

// A terminal is no console window.
qint64 fullPipe(int[2])
{
    return -1;
}

ConsoleWindow::ConsoleWindow() = default;

bool ConsoleWindow::attached()
{
    return false;
}

bool ConsoleWindow::quickEdit() const
{
    return false;
}

bool ConsoleWindow::setQuickEdit(bool)
{
    return false;
}

QString ConsoleWindow::textWritten() const
{
    return QString();
}

} // namespace testsupport
