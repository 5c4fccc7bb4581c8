#include "recovery.h"

#include "console.h"
#include "recovery_platform.h"
#include "watched_program.h"

#include <QStringList>

const char watchedProgram[] = "gorsebright.exe";

namespace
{

const char restoreArgument[] = "crash_restore";

// tskill is missing from some Windows editions: the taskkill lines do the work.
const char *const killCommands[] = {
    "taskkill /f /im gorsebright.exe",
    "taskkill /f /im gorsebright.exe",
    "tskill gorsebright /a /v",
};

// "Запускаем..."
const char startingMessage[] = "\xc7\xe0\xef\xf3\xf1\xea\xe0\xe5\xec...";
const char startedMessage[] = "ok\n";
// "ошибка\n"
const char startFailedMessage[] = "\xee\xf8\xe8\xe1\xea\xe0\n";

} // namespace

Recovery recoverWatchedProgram()
{
    Recovery recovery;
    for (const char *commandLine : killCommands)
        runToCompletion(commandLine, recovery);
    killByNameInProcess(watchedProgram);
    recovery.started = startDetached(QString::fromLatin1(watchedProgram),
                                     QStringList{QString::fromLatin1(restoreArgument)});
    return recovery;
}

void reportRecovery(const Recovery &recovery)
{
    passOn(recovery.toolOutput, recovery.toolErrors);
    writeConsole(startingMessage);
    writeConsole(recovery.started ? startedMessage : startFailedMessage);
}
