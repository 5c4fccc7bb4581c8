#include "startup.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

void ignoreSignal(int) {}

} // namespace

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

void prepareSignals()
{
    // A write to a pipe whose reader has gone must fail, as it does on
    // Windows, rather than kill the watchdog. A handler, unlike SIG_IGN, is
    // reset to the default in every program we start.
    struct sigaction action = {};
    action.sa_handler = ignoreSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
    // An ignored SIGCHLD, left by some launchers, makes the system reap our
    // children itself, so waiting for a kill tool or the relaunch would fail.
    signal(SIGCHLD, SIG_DFL);
}

// Unlike on Windows, the folder can be deleted or renamed while we work in
// it; going on would then kill Gorsebright by name and relaunch it in a
// folder that is gone or no longer the one configured.
StartFolder startFolder()
{
    StartFolder folder;
    struct stat status = {};
    if (stat(".", &status) == 0) {
        folder.path = QFile::encodeName(QDir::currentPath());
        folder.device = status.st_dev;
        folder.inode = status.st_ino;
    }
    return folder;
}

bool stillThere(const StartFolder &folder)
{
    struct stat status = {};
    return stat(folder.path.constData(), &status) == 0 && status.st_dev == folder.device &&
           status.st_ino == folder.inode;
}
