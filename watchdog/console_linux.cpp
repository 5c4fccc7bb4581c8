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
// Whose stall a stream's is: stdout's for stderr where both are one stream
// (2>&1), so that a pass loses the bound once, not once for each.
int stallOf[STDERR_FILENO + 1] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
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
            bool &streamStalled = stalled[stallOf[fd]];
            const int ready = poll(&stream, 1, streamStalled ? 0 : writeBoundMs);
            if (ready == -1 && errno == EINTR)
                continue;
            if (ready != 1) {
                streamStalled = true;
                return;
            }
            streamStalled = false;
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

void passOn(const QByteArray &output, const QByteArray &errors)
{
    writeBounded(STDOUT_FILENO, output.constData(), size_t(output.size()));
    writeBounded(STDERR_FILENO, errors.constData(), size_t(errors.size()));
}

void prepareConsole()
{
    struct stat status[STDERR_FILENO + 1] = {};
    for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
        mayStall[fd] = fstat(fd, &status[fd]) != 0 || S_ISFIFO(status[fd].st_mode) ||
                       S_ISSOCK(status[fd].st_mode) || isatty(fd);
    }
    if (status[STDOUT_FILENO].st_ino != 0 &&
        status[STDOUT_FILENO].st_dev == status[STDERR_FILENO].st_dev &&
        status[STDOUT_FILENO].st_ino == status[STDERR_FILENO].st_ino)
        stallOf[STDERR_FILENO] = STDOUT_FILENO;
    qInstallMessageHandler(writeRecord);
}
