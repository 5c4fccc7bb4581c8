#pragma once

// Helpers shared by the tests: expected console bytes, fake command-line
// tools, stdout capture, confinement and a look at running processes
// through /proc.

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QVector>
#include <QtTest>
#include <functional>
#include <iostream>
#include <signal.h>
#include <unistd.h>

namespace testsupport
{

// The console bytes of a message, encoded here independently of the program.
inline QByteArray cp1251(const char *utf8)
{
    return QTextCodec::codecForName("Windows-1251")->fromUnicode(QString::fromUtf8(utf8));
}

inline QByteArray banner()
{
    return cp1251(" === Программа восстанавливает Gorsebright в случае зависания === \n"
                  " === Проверяет каждые 40 секунд \n");
}
inline QByteArray firstStart()
{
    return cp1251("Первый запуск, ждем 40 сек\n");
}
inline QByteArray worksNormally()
{
    return cp1251("Gorsebright работает нормально\n");
}
inline QByteArray hung()
{
    return cp1251("Зависла или не запущена\n");
}
inline QByteArray starting()
{
    return cp1251("Запускаем...");
}
inline QByteArray startFailed()
{
    return cp1251("ошибка\n");
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeExecutable(const QString &path, const QByteArray &text)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}

// Shell scripts standing in for taskkill, tskill and pkill: each appends its
// arguments to $FAKE_TOOL_LOG when it begins and when it ends, and prints one
// line of its own so its output can be found on the caller's stdout.
inline void writeFakeKillTools(const QString &dir, const QString &pause = QStringLiteral("0"))
{
    for (const char *tool : {"taskkill", "tskill", "pkill"}) {
        writeExecutable(dir + QLatin1Char('/') + QLatin1String(tool),
                        QStringLiteral("#!/bin/sh\n"
                                       "echo \"begin %1 $*\" >> \"$FAKE_TOOL_LOG\"\n"
                                       "echo \"output of %1\"\n"
                                       "sleep %2\n"
                                       "echo \"end %1\" >> \"$FAKE_TOOL_LOG\"\n")
                            .arg(QLatin1String(tool), pause)
                            .toUtf8());
    }
}

// Points fd 1 at a file for the life of the object, so in-process output can
// be compared byte for byte.
class StdoutCapture
{
  public:
    explicit StdoutCapture(const QString &path) : path_(path)
    {
        std::cout.flush();
        saved_ = dup(STDOUT_FILENO);
        file_.setFileName(path);
        file_.open(QIODevice::WriteOnly | QIODevice::Truncate);
        dup2(file_.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }
    QByteArray take()
    {
        restore();
        return readAll(path_);
    }

  private:
    void restore()
    {
        if (saved_ == -1)
            return;
        std::cout.flush();
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        saved_ = -1;
        file_.close();
    }
    QString path_;
    QFile file_;
    int saved_ = -1;
};

// Tests that run the real binary, or kill by name, run through confined.sh as
// the first process of private namespaces: all they can see is their own.
inline bool confined()
{
    return getpid() == 1;
}
#define REQUIRE_CONFINEMENT()                                                                      \
    do {                                                                                           \
        if (!testsupport::confined())                                                              \
            QSKIP("not in private namespaces (run it through ctest): it would meet processes "     \
                  "and guard names it did not make");                                              \
    } while (false)

// How long a test waits for something that is bound to happen: generous,
// since a loaded machine may be slow, and waitFor returns as soon as it does.
constexpr int eventTimeoutMs = 20000;

inline bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

// A running process as /proc shows it.
struct ProcessInfo {
    qint64 pid = 0;
    qint64 parentPid = 0;
    qint64 sessionId = 0;
    char state = '?';
    QStringList arguments; // without argv[0]
    QString workingDirectory;
    quint64 ignoredSignals = 0; // bit n - 1 for signal n
    quint64 blockedSignals = 0;
};

inline ProcessInfo processInfo(qint64 pid)
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
    const QList<QByteArray> argv = readAll(base + QLatin1String("cmdline")).split('\0');
    for (int i = 1; i + 1 < argv.size(); ++i)
        info.arguments << QString::fromLocal8Bit(argv.at(i));
    info.workingDirectory = QFile::symLinkTarget(base + QLatin1String("cwd"));
    for (const QByteArray &line : readAll(base + QLatin1String("status")).split('\n')) {
        if (line.startsWith("SigIgn:"))
            info.ignoredSignals = line.mid(7).trimmed().toULongLong(nullptr, 16);
        if (line.startsWith("SigBlk:"))
            info.blockedSignals = line.mid(7).trimmed().toULongLong(nullptr, 16);
    }
    return info;
}

// Live (not zombie) processes whose name is "gorsebright.exe".
inline QVector<qint64> watchedProcesses()
{
    QVector<qint64> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QByteArray comm = readAll(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed();
        if (comm == "gorsebright.exe" && processInfo(pid).state != 'Z')
            pids << pid;
    }
    return pids;
}

// Waits for exactly one live gorsebright.exe; its pid, or 0 if none came.
inline qint64 soleWatchedProcess()
{
    QVector<qint64> pids;
    waitFor(
        [&] {
            pids = watchedProcesses();
            return pids.size() == 1;
        },
        eventTimeoutMs);
    return pids.size() == 1 ? pids.first() : 0;
}

// Ends the gorsebright.exe processes working in dir: only a test's own, since
// the dir is its private scratch folder. A relaunched one left running would
// also hold the test's output pipes open and keep ctest waiting.
inline void killWatchedProcessesIn(const QString &dir)
{
    const QString canonical = QDir(dir).canonicalPath();
    for (qint64 pid : watchedProcesses()) {
        if (processInfo(pid).workingDirectory == canonical)
            ::kill(pid_t(pid), SIGKILL);
    }
}

// The stand-in prints a line of its own when it starts, on the console it
// shares with the watchdog, so it can land anywhere in the watchdog's output.
inline QByteArray withoutStandInLines(const QByteArray &output)
{
    static const QRegularExpression standIn(QStringLiteral("gorsebright\\.exe \\d+ [^\n]*\n"));
    return QString::fromLatin1(output).remove(standIn).toLatin1();
}

inline bool isAlive(qint64 pid)
{
    const char state = processInfo(pid).state;
    return state != '?' && state != 'Z';
}

} // namespace testsupport
