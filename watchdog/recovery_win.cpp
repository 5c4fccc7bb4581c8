#include "recovery_platform.h"

#include <QProcess>
#include <windows.h>

void runToCompletion(const char *commandLine)
{
    const QString line = QString::fromLatin1(commandLine);
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QStringList arguments = QProcess::splitCommand(line);
    const QString program = arguments.takeFirst();
    QProcess::execute(program, arguments);
#else
    QProcess::execute(line);
#endif
}

void killByNameWhereNoTaskkill(const char *) {}

bool startDetached(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    // Sharing our console but not our process group, it is not ended by a
    // Ctrl+C that ends the watchdog.
    process.setCreateProcessArgumentsModifier([](QProcess::CreateProcessArguments *create) {
        create->flags |= CREATE_NEW_PROCESS_GROUP;
    });
    return process.startDetached();
}
