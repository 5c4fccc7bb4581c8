#include "recovery.h"

#include "console.h"
#include "recovery_platform.h"

#include <QProcess>
#include <QStringList>
#include <QtDebug>
#include <QtGlobal>

namespace
{

const char watchedProgram[] = "gorsebright.exe";
const char restoreArgument[] = "crash_restore";

const KillCommand killCommands[] = {
    // tskill is missing from some Windows editions: the taskkill lines do the work.
    {"taskkill /f /im gorsebright.exe", false},
    {"taskkill /f /im gorsebright.exe", false},
    {"tskill gorsebright /a /v", false},
};

// "Запускаем..."
const char startingMessage[] = "\xc7\xe0\xef\xf3\xf1\xea\xe0\xe5\xec...";
const char startedMessage[] = "ok\n";
// "ошибка\n"
const char startFailedMessage[] = "\xee\xf8\xe8\xe1\xea\xe0\n";

} // namespace

// Its status does not matter, but a required tool that cannot be run at all
// leaves the hung program running beside its replacement, so that is said.
void runToCompletion(const KillCommand &command)
{
    const QString commandLine = QString::fromLatin1(command.line);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = arguments.takeFirst();
    const int status = QProcess::execute(program, arguments);
#else
    const int status = QProcess::execute(commandLine);
#endif
    if (status == -2 && command.required)
        qWarning("watchdog: cannot run \"%s\" (is it installed and on PATH?), so a hung %s "
                 "was not killed",
                 command.line, watchedProgram);
}

void recoverWatchedProgram()
{
    for (const KillCommand &command : killCommands)
        runToCompletion(command);
    killByNameWhereNoTaskkill();

    writeConsole(startingMessage);
    const bool started = startDetached(QString::fromLatin1(watchedProgram),
                                       QStringList{QString::fromLatin1(restoreArgument)});
    writeConsole(started ? startedMessage : startFailedMessage);
}
