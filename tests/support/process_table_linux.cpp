#include "process_table.h"

#include "support.h"

#include <QDir>
#include <QFile>
#include <csignal>

namespace testsupport
{

namespace
{

quint64 statusField(const QByteArray &status, const QByteArray &field, int base)
{
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1)
                .simplified()
                .split(' ')
                .value(0)
                .toULongLong(nullptr, base);
    }
    return 0;
}

} // namespace

ProcessInfo processInfo(qint64 pid)
{
    ProcessInfo info;
    const QString base = QStringLiteral("/proc/%1/").arg(pid);
    const QByteArray stat = readAll(base + QLatin1String("stat"));
    const int close = stat.lastIndexOf(')');
    if (close < 0)
        return info;
    info.pid = pid;
    const QList<QByteArray> fields = stat.mid(close + 2).split(' ');
    info.state = fields.value(0).isEmpty() ? '?' : fields.value(0).at(0);
    info.parentPid = fields.value(1).toLongLong();
    info.sessionId = fields.value(3).toLongLong();
    info.name = QFile::decodeName(readAll(base + QLatin1String("comm")).trimmed());
    info.file = QFile::symLinkTarget(base + QLatin1String("exe"));
    info.workingDirectory = QFile::symLinkTarget(base + QLatin1String("cwd"));
    const QByteArray status = readAll(base + QLatin1String("status"));
    info.uid = uint(statusField(status, "Uid", 10));
    info.tasks = int(statusField(status, "Threads", 10));
    info.ignoredSignals = statusField(status, "SigIgn", 16);
    info.blockedSignals = statusField(status, "SigBlk", 16);
    return info;
}

QVector<ProcessInfo> processes()
{
    QVector<ProcessInfo> all;
    // Not "self": a link to one of them.
    for (const QString &entry :
         QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoSymLinks)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const ProcessInfo info = processInfo(pid);
        if (info.pid != 0)
            all << info;
    }
    return all;
}

bool isAlive(qint64 pid)
{
    const char state = processInfo(pid).state;
    return state != '?' && state != 'Z';
}

void killProcess(qint64 pid)
{
    ::kill(pid_t(pid), SIGKILL);
}

void killWatchedProcessesIn(const QString &dir)
{
    const QString canonical = QDir(dir).canonicalPath();
    for (qint64 pid : watchedProcesses()) {
        if (processInfo(pid).workingDirectory == canonical)
            killProcess(pid);
    }
}

std::optional<int> systemVObjects()
{
    int objects = 0;
    for (const char *table : {"/proc/sysvipc/shm", "/proc/sysvipc/sem"})
        objects += readAll(QLatin1String(table)).trimmed().count('\n'); // after a heading
    return objects;
}

} // namespace testsupport
