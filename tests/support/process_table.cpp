#include "process_table.h"

#include "support.h"

#include <QFileInfo>

namespace testsupport
{

QVector<qint64> watchedProcesses()
{
    const QString program = QStringLiteral("gorsebright.exe");
    QVector<qint64> pids;
    for (const ProcessInfo &process : processes()) {
        if (process.name.compare(program, Qt::CaseInsensitive) == 0 &&
            QFileInfo(process.file).fileName().compare(program, Qt::CaseInsensitive) == 0 &&
            process.state != 'Z')
            pids << process.pid;
    }
    return pids;
}

qint64 soleWatchedProcess()
{
    QVector<qint64> pids;
    waitFor([&] {
        pids = watchedProcesses();
        return pids.size() == 1;
    });
    return pids.size() == 1 ? pids.first() : 0;
}

int tasksOf(uint uid)
{
    int tasks = 0;
    for (const ProcessInfo &process : processes()) {
        if (process.uid == uid)
            tasks += process.tasks;
    }
    return tasks;
}

} // namespace testsupport
