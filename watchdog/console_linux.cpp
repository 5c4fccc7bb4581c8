#include "console.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// How long a message may wait for a stream that takes nothing (a terminal
// stopped with Ctrl+S, a pipe nobody reads) before it is dropped: the check
// must keep its rhythm. A stream that ran out of time gets no wait until it
// takes a message again, so a pass loses at most this once.
const int writeBoundMs = 1000;
bool stalled[STDERR_FILENO + 1] = {};
// Files and devices such as /dev/null take a write at once: no wait is
// looked for (one system call fewer per message).
bool mayStall[STDERR_FILENO + 1] = {true, true, true};

// Writes all of text to fd (stdout or stderr), waiting at most the bound
// whenever the stream takes nothing. A failed write (a full disk, a closed
// pipe) loses only the message it hit.
void writeBounded(int fd, const char *text, size_t size)
{
    while (size > 0) {
        if (mayStall[fd]) {
            pollfd stream = {fd, POLLOUT, 0};
            const int ready = poll(&stream, 1, stalled[fd] ? 0 : writeBoundMs);
            if (ready == -1 && errno == EINTR)
                continue;
            if (ready != 1) {
                stalled[fd] = true;
                return;
            }
            stalled[fd] = false;
        }
        const ssize_t written = write(fd, text, size);
        if (written == -1) {
            if (errno == EINTR)
                continue;
            return;
        }
        text += written;
        size -= size_t(written);
    }
}

// Qt's own handler on Linux writes the same line with stdio, which would
// wait for the stream as long as it takes.
void writeRecord(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString line = qFormatLogMessage(type, context, message);
    if (line.isNull()) // a pattern that leaves nothing to print
        return;
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    writeBounded(STDERR_FILENO, bytes.constData(), size_t(bytes.size()));
    if (type == QtFatalMsg)
        std::abort();
}

} // namespace

void writeConsole(const char *message)
{
    writeBounded(STDOUT_FILENO, message, std::strlen(message));
}

void prepareConsole()
{
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        struct stat status = {};
        mayStall[fd] = fstat(fd, &status) != 0 || S_ISFIFO(status.st_mode) ||
                       S_ISSOCK(status.st_mode) || isatty(fd);
    }
    qInstallMessageHandler(writeRecord);
}
