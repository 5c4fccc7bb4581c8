#include "recovery_platform.h"

#include <QProcess>
#include <windows.h>

void killByNameWhereNoTaskkill() {}

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
