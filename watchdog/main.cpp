#include "console.h"
#include "single_instance_guard.h"
#include "supervision.h"

#include <QCoreApplication>
#include <QThread>
#include <clocale>

#ifdef Q_OS_UNIX
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QtDebug>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace
{

#ifdef Q_OS_UNIX
const int folderGoneExitStatus = 3;
#endif

// " === Программа восстанавливает Gorsebright в случае зависания === \n"
const char bannerFirstLine[] =
    " === \xcf\xf0\xee\xe3\xf0\xe0\xec\xec\xe0 "
    "\xe2\xee\xf1\xf1\xf2\xe0\xed\xe0\xe2\xeb\xe8\xe2\xe0\xe5\xf2 Gorsebright \xe2 "
    "\xf1\xeb\xf3\xf7\xe0\xe5 \xe7\xe0\xe2\xe8\xf1\xe0\xed\xe8\xff === \n";
// " === Проверяет каждые 40 секунд \n"
const char bannerSecondLine[] = " === \xcf\xf0\xee\xe2\xe5\xf0\xff\xe5\xf2 "
                                "\xea\xe0\xe6\xe4\xfb\xe5 40 \xf1\xe5\xea\xf3\xed\xe4 \n";

#ifdef Q_OS_UNIX
void ignoreSignal(int) {}

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

// The folder the watchdog was started in, as a path and as the folder it
// named then. Unlike on Windows, it can be deleted or renamed while we work
// in it; going on would then kill Gorsebright by name and relaunch it in a
// folder that is gone or no longer the one configured.
struct StartFolder {
    QByteArray path;
    dev_t device = 0;
    ino_t inode = 0;
};

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
#endif

} // namespace

int main(int argc, char *argv[])
{
#ifdef Q_OS_UNIX
    fillClosedStandardStreams();
#endif
    QCoreApplication application(argc, argv);
    std::setlocale(LC_ALL, "Russian");

    SingleInstanceGuard guard;
    if (guard.isAnotherInstanceRunning())
        return 1;
#ifdef Q_OS_UNIX
    prepareSignals();
    const StartFolder folder = startFolder();
#endif

    writeConsole(bannerFirstLine);
    writeConsole(bannerSecondLine);

    QString previousStamp;
    bool firstPass = true;
    for (;;) {
#ifdef Q_OS_UNIX
        if (!stillThere(folder)) {
            qCritical("watchdog: the folder it was started in, %s, has been deleted or "
                      "replaced; ending, so as not to kill and relaunch Gorsebright there",
                      folder.path.constData());
            return folderGoneExitStatus;
        }
#endif
        superviseOnce(previousStamp, firstPass);
        QThread::msleep(checkIntervalMs);
        firstPass = false;
    }
}
