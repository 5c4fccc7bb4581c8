#include "startup.h"

#include <QtDebug>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// Not SIG_IGN: a caught signal is reset to the default in the programs we
// exec, an ignored one would be inherited by them.
void discardSignal(int) {}

// The first process of a PID namespace (a container's entry point) gets no
// default action for SIGTERM and SIGINT from the kernel, and every orphan of
// the namespace.
bool isNamespaceInit()
{
    static const bool init = getpid() == 1;
    return init;
}

// Ended by a signal, a shell would report 128 + its number.
void endOnSignal(int signalNumber)
{
    _exit(128 + signalNumber);
}

bool sameFolder(const struct stat &status, const StartFolder &folder)
{
    return S_ISDIR(status.st_mode) && status.st_dev == folder.device &&
           status.st_ino == folder.inode;
}

// A path as a message shows it: Qt takes a message's %s as UTF-8, so a path
// that is not (a folder named in Windows-1251, say) shows its other bytes as
// \xHH rather than as replacement characters.
QByteArray shown(const QByteArray &path)
{
    if (QString::fromUtf8(path).toUtf8() == path)
        return path;
    QByteArray escaped;
    for (const char byte : path)
        escaped +=
            uchar(byte) < 0x80 ? QByteArray(1, byte) : "\\x" + QByteArray::number(uchar(byte), 16);
    return escaped;
}

void sayGone(const StartFolder &folder)
{
    qCritical("watchdog: the folder it was started in, %s, has been deleted or replaced; "
              "ending, so as not to kill and relaunch Gorsebright there",
              folder.path.isEmpty() ? "(its path unknown)" : shown(folder.path).constData());
}

} // namespace

bool fitsTheSystem()
{
    return true;
}

// Started with fd 0, 1 or 2 closed, our own descriptors would take their
// numbers and be handed on as the kill tools' and the relaunched program's
// standard streams; /dev/null holds the place, as daemons do.
void fillClosedStandardStreams()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
            open("/dev/null", O_RDWR); // takes the lowest free number: fd
    }
}

// As a namespace's first process, every orphan is left to us, the
// relaunched Gorsebright above all: each is collected as it ends. Our own
// children are waited for where they are started, which finds one collected
// here already gone.
void collectEnded(int)
{
    const int savedErrno = errno;
    while (waitpid(-1, nullptr, WNOHANG) > 0) {
    }
    errno = savedErrno;
}

void prepareSignals()
{
    // A write to a pipe whose reader has gone must fail, as it does on
    // Windows, rather than kill the watchdog.
    struct sigaction action = {};
    action.sa_handler = discardSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
    // An ignored SIGCHLD, left by some launchers, makes the system reap our
    // children itself, so waiting for a kill tool or the relaunch would fail.
    signal(SIGCHLD, SIG_DFL);
    if (isNamespaceInit()) {
        struct sigaction end = {};
        end.sa_handler = endOnSignal;
        sigemptyset(&end.sa_mask);
        sigaction(SIGTERM, &end, nullptr);
        sigaction(SIGINT, &end, nullptr);
        struct sigaction collect = {};
        collect.sa_handler = collectEnded;
        sigemptyset(&collect.sa_mask);
        collect.sa_flags = SA_RESTART | SA_NOCLDSTOP;
        sigaction(SIGCHLD, &collect, nullptr);
        collectEnded(0); // those that ended before
    }
}

// Unlike on Windows, the folder can be deleted or renamed while we work in
// it; going on would then kill Gorsebright by name and relaunch it in a
// folder that is gone or no longer the one configured. The path is kept as
// the system's bytes: a folder name need not be valid in any encoding.
StartFolder startFolder()
{
    StartFolder folder;
    struct stat here = {};
    if (stat(".", &here) == 0) {
        folder.device = here.st_dev;
        folder.inode = here.st_ino;
        // The path the operator used, links and all, while the shell's PWD
        // still names this folder (as get_current_dir_name() does): a link
        // switched to another folder is then seen.
        const char *const shellPath = getenv("PWD");
        struct stat there = {};
        if (shellPath && shellPath[0] == '/' && stat(shellPath, &there) == 0 &&
            sameFolder(there, folder)) {
            folder.path = shellPath;
        } else {
            QByteArray buffer(PATH_MAX, '\0');
            if (getcwd(buffer.data(), size_t(buffer.size())))
                folder.path = buffer.constData();
        }
    }
    if (folder.path.isEmpty())
        qWarning("watchdog: cannot tell the path of the folder it was started in (%s); it "
                 "notices only that folder's deletion",
                 std::strerror(errno));
    return folder;
}

bool stillThere(StartFolder &folder)
{
    struct stat status = {};
    int error = 0;
    if (!folder.path.isEmpty()) {
        if (stat(folder.path.constData(), &status) == 0) {
            folder.lastError = 0;
            if (sameFolder(status, folder))
                return true;
            sayGone(folder);
            return false;
        }
        error = errno;
        if (error == ENOENT || error == ENOTDIR) {
            sayGone(folder);
            return false;
        }
    }
    // The path tells nothing now (a parent made unreadable, a network file
    // system's hiccup): the folder itself may still have been deleted.
    if (stat(".", &status) == 0 && status.st_nlink == 0) {
        sayGone(folder);
        return false;
    }
    if (error != 0 && error != folder.lastError)
        qWarning("watchdog: cannot look at the folder it was started in, %s (%s); watching it "
                 "all the same",
                 shown(folder.path).constData(), std::strerror(error));
    folder.lastError = error;
    return true;
}
