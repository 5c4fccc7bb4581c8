#include "console.h"
#include "single_instance_guard.h"
#include "startup.h"
#include "supervision.h"

#include <QCoreApplication>
#include <QThread>
#include <clocale>

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

} // namespace

int main(int argc, char *argv[])
{
    fillClosedStandardStreams();
    QCoreApplication application(argc, argv);
    std::setlocale(LC_ALL, "Russian");
    prepareConsole();
    if (!fitsTheSystem())
        return wrongBuildExitStatus;

    // Before the guard, which may have a refusal to say on a pipe nobody reads.
    prepareSignals();
    SingleInstanceGuard guard;
    if (guard.isAnotherInstanceRunning())
        return guard.refusalExitStatus();
    StartFolder folder = startFolder();

    writeConsole(bannerFirstLine);
    writeConsole(bannerSecondLine);

    QString previousStamp;
    bool firstPass = true;
    for (;;) {
        if (!stillThere(folder))
            return folderGoneExitStatus;
        superviseOnce(previousStamp, firstPass);
        QThread::msleep(checkIntervalMs);
        firstPass = false;
    }
}
