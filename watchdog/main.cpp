#include "console.h"
#include "single_instance_guard.h"
#include "supervision.h"

#include <QCoreApplication>
#include <QThread>
#include <clocale>

#ifdef Q_OS_UNIX
#include <csignal>
#endif

namespace
{

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
#endif

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    std::setlocale(LC_ALL, "Russian");

    SingleInstanceGuard guard;
    if (guard.isAnotherInstanceRunning())
        return 1;
#ifdef Q_OS_UNIX
    prepareSignals();
#endif

    writeConsole(bannerFirstLine);
    writeConsole(bannerSecondLine);

    QString previousStamp;
    bool firstPass = true;
    for (;;) {
        superviseOnce(previousStamp, firstPass);
        QThread::msleep(checkIntervalMs);
        firstPass = false;
    }
}
