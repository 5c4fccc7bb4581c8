#pragma once

// Helpers shared by the tests: expected console bytes, the programs the
// build made, fake command-line tools, stdout capture, confinement and a look
// at running processes (/proc on Linux, a process snapshot on Windows).

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTextCodec>
#include <QThread>
#include <QVector>
#include <QtTest>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <iostream>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
// after windows.h, which it needs
#include <tlhelp32.h>
#else
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace testsupport
{

// Text as a console program writes it: on Windows stdout and stderr are in
// text mode, which ends lines with CR LF.
inline QByteArray console(QByteArray text)
{
#ifdef Q_OS_WIN
    text.replace("\n", "\r\n");
#endif
    return text;
}

// A process that runs setupChild() in the child between fork and exec (on
// Unix): Qt 5 calls a virtual there, Qt 6 a function given beforehand.
class ChildSetupProcess : public QProcess
{
  public:
    ChildSetupProcess()
    {
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0) && !defined(Q_OS_WIN)
        setChildProcessModifier([this] { setupChild(); });
#endif
    }

  protected:
    virtual void setupChild() {}
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    void setupChildProcess() override
    {
        setupChild();
    }
#endif
};

// The console bytes of a message, encoded here independently of the program.
inline QByteArray cp1251(const char *utf8)
{
    return console(QTextCodec::codecForName("Windows-1251")->fromUnicode(QString::fromUtf8(utf8)));
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
inline QByteArray started()
{
    return console("ok\n");
}
inline QByteArray startFailed()
{
    return cp1251("ошибка\n");
}

// Programs of this build, found beside the test's own folder.
inline QString builtFile(const QString &relativePath)
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1String("/../") +
                           relativePath);
}
#ifdef Q_OS_WIN
const char executableSuffix[] = ".exe";
#else
const char executableSuffix[] = "";
#endif
inline QString watchdogBinary()
{
#ifdef Q_OS_WIN
    return builtFile(QStringLiteral("gorsebright-watchdog.exe"));
#else
    return builtFile(QStringLiteral("watchdog"));
#endif
}
inline QString standInDir()
{
    return builtFile(QStringLiteral("standin"));
}

// A search path with dir first, then the system's own folders.
inline QByteArray searchPathWith(const QString &dir)
{
#ifdef Q_OS_WIN
    static const QByteArray system = qgetenv("PATH");
#else
    static const QByteArray system = "/usr/bin:/bin";
#endif
    return QFile::encodeName(QDir::toNativeSeparators(dir)) + QDir::listSeparator().toLatin1() +
           system;
}

inline QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A copy of the fake tool (fake_tool.cpp) in dir, as fileName. Windows looks
// for programs in the working folder before its own, so a copy there comes
// first; elsewhere dir must come first on PATH.
inline void writeFakeTool(const QString &dir, const QString &fileName)
{
    const QString path = dir + QLatin1Char('/') + fileName;
    QFile::remove(path);
    QVERIFY(QFile::copy(
        builtFile(QLatin1String("tests/fake_tool") + QLatin1String(executableSuffix)), path));
}

// The kill tools the recovery runs: taskkill and tskill.
inline void writeFakeKillTools(const QString &dir)
{
    for (const char *tool : {"taskkill", "tskill"})
        writeFakeTool(dir, QLatin1String(tool) + QLatin1String(executableSuffix));
}

// What the fake kill tools print over one recovery: a line per run, taskkill
// running twice.
inline QByteArray fakeKillToolOutput()
{
    return console("output of taskkill\noutput of taskkill\noutput of tskill\n");
}

// Points fd 1 at a file for the life of the object, so in-process output can
// be compared byte for byte.
class StdoutCapture
{
  public:
    explicit StdoutCapture(const QString &path) : path_(path)
    {
        std::cout.flush();
        std::fflush(stdout);
        saved_ = dup(fileno(stdout));
        // The C library's own open: in text mode on Windows, as stdout is.
        const int file =
            open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, fileno(stdout));
        close(file);
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
        std::fflush(stdout);
        dup2(saved_, fileno(stdout));
        close(saved_);
        saved_ = -1;
    }
    QString path_;
    int saved_ = -1;
};

// Tests that run the real binary, or kill by name, run confined: on Linux
// through confined.sh as the first process of private namespaces, under Wine
// through wine.sh in a Wine prefix of their own. All they can see is their own.
inline bool confined()
{
#ifdef Q_OS_WIN
    return qEnvironmentVariableIsSet("WATCHDOG_TEST_PRIVATE_PREFIX");
#else
    return getpid() == 1;
#endif
}
#define REQUIRE_CONFINEMENT()                                                                      \
    do {                                                                                           \
        if (!testsupport::confined())                                                              \
            QSKIP("not confined (run it through ctest): it would meet processes "                  \
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

// How a test starts a process: and waits until it runs, held before it runs
// (by the test's own means), or detached.
enum class Start { Running, Held, Detached };

// Starts process as set up; pid takes a detached one's id. A process that
// the system failed to create says nothing of the program under test (Wine's
// CreateProcess now and then fails under load), so the start is tried again,
// a few times, each failure logged. False, logged, if it never started; once
// started, whatever the program does is the test's to judge.
inline bool startProcess(QProcess &process, Start how = Start::Running, qint64 *pid = nullptr)
{
    constexpr int attempts = 5;
    for (int attempt = 1;; ++attempt) {
        bool started = false;
        if (how == Start::Detached) {
            started = process.startDetached(pid);
        } else {
            process.start();
            // A held process has not run yet: only a failure to create it
            // can be known now.
            started = how == Start::Held ? process.state() != QProcess::NotRunning
                                         : process.waitForStarted(eventTimeoutMs);
        }
        if (started)
            return true;
        // A detached start tells no reason on every platform.
        const bool again = attempt < attempts &&
                           (how == Start::Detached || process.error() == QProcess::FailedToStart);
        qWarning("start %d of %d of %s failed: %s%s", attempt, attempts,
                 qPrintable(process.program()), qPrintable(process.errorString()),
                 again ? "; trying again" : "");
        if (!again)
            return false;
    }
}

// What became of a process, for the message of a failed check.
inline QString describe(const QProcess &process)
{
    if (process.state() != QProcess::NotRunning)
        return QStringLiteral("running");
    if (process.error() == QProcess::FailedToStart)
        return QLatin1String("never started: ") + process.errorString();
    if (process.exitStatus() == QProcess::CrashExit)
        return QLatin1String("crashed: ") + process.errorString();
    return QStringLiteral("exited with code %1").arg(process.exitCode());
}

// Bytes as text for a message: printable ASCII as it is, the rest escaped.
inline QByteArray printable(const QByteArray &bytes)
{
    QByteArray text;
    for (const char byte : bytes)
        text += byte >= ' ' && byte <= '~' ? QByteArray(1, byte)
                                           : "\\x" + QByteArray::number(uchar(byte), 16);
    return text;
}

#ifdef Q_OS_WIN
// Live processes whose name is "gorsebright.exe".
inline QVector<qint64> watchedProcesses()
{
    QVector<qint64> pids;
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return pids;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (bool more = Process32FirstW(snapshot, &entry); more;
         more = Process32NextW(snapshot, &entry)) {
        if (QString::fromWCharArray(entry.szExeFile)
                .compare(QLatin1String("gorsebright.exe"), Qt::CaseInsensitive) == 0)
            pids << qint64(entry.th32ProcessID);
    }
    CloseHandle(snapshot);
    return pids;
}

inline bool isAlive(qint64 pid)
{
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, DWORD(pid));
    if (!process)
        return false;
    const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

inline void killProcess(qint64 pid)
{
    const HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, DWORD(pid));
    if (process) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

// Ends the gorsebright.exe processes a test started in dir. Windows does not
// tell another process's working folder, so this ends all of them, and only
// where every one is the test's own.
inline void killWatchedProcessesIn(const QString &)
{
    if (!confined())
        return;
    for (qint64 pid : watchedProcesses())
        killProcess(pid);
}
#else
// A running process as /proc shows it.
struct ProcessInfo {
    qint64 pid = 0;
    qint64 parentPid = 0;
    qint64 sessionId = 0;
    char state = '?';
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
    info.workingDirectory = QFile::symLinkTarget(base + QLatin1String("cwd"));
    for (const QByteArray &line : readAll(base + QLatin1String("status")).split('\n')) {
        if (line.startsWith("SigIgn:"))
            info.ignoredSignals = line.mid(7).trimmed().toULongLong(nullptr, 16);
        if (line.startsWith("SigBlk:"))
            info.blockedSignals = line.mid(7).trimmed().toULongLong(nullptr, 16);
    }
    return info;
}

inline bool isAlive(qint64 pid)
{
    const char state = processInfo(pid).state;
    return state != '?' && state != 'Z';
}

// Live (not zombie) processes of the program file "gorsebright.exe": not
// those whose longer name the kernel cuts to the same 15 bytes.
inline QVector<qint64> watchedProcesses()
{
    QVector<qint64> pids;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        const QByteArray comm = readAll(QStringLiteral("/proc/%1/comm").arg(pid)).trimmed();
        const QString file = QFile::symLinkTarget(QStringLiteral("/proc/%1/exe").arg(pid));
        if (comm == "gorsebright.exe" &&
            QFileInfo(file).fileName() == QLatin1String("gorsebright.exe") && isAlive(pid))
            pids << pid;
    }
    return pids;
}

inline void killProcess(qint64 pid)
{
    ::kill(pid_t(pid), SIGKILL);
}

// A user id that nothing else on the machine runs as.
const uid_t spareUid = 3999999990u;

// Whether this test may switch to spareUid and run the build's programs as
// it: as root, outside a user namespace that maps only a few ids, with every
// folder above the build tree open to other users (not so under /root).
inline bool spareUserAvailable()
{
    if (geteuid() != 0 || !readAll(QStringLiteral("/proc/self/uid_map")).contains("4294967295"))
        return false;
    for (QString dir = builtFile(QStringLiteral(".")); dir != QLatin1String("/");
         dir = QFileInfo(dir).path()) {
        struct stat status = {};
        if (stat(QFile::encodeName(dir).constData(), &status) != 0 || !(status.st_mode & S_IXOTH))
            return false;
    }
    return true;
}
const char noSpareUser[] = "no user to switch to here, or the build tree is out of other "
                           "users' reach (below a folder such as /root, mode 0700)";

// In a child before exec: the process becomes uid's, with no other groups.
inline bool switchUser(uid_t uid)
{
    return setgroups(0, nullptr) == 0 && setgid(gid_t(uid)) == 0 && setuid(uid) == 0;
}

// The tasks (threads included) that the kernel counts against uid's process limit.
inline int tasksOf(uid_t uid)
{
    int tasks = 0;
    // Not "self": a link to one of them.
    for (const QString &entry :
         QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoSymLinks)) {
        const QString taskDir = QStringLiteral("/proc/%1/task").arg(entry);
        for (const QString &task : QDir(taskDir).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            for (const QByteArray &line :
                 readAll(taskDir + QLatin1Char('/') + task + QLatin1String("/status"))
                     .split('\n')) {
                if (line.startsWith("Uid:") &&
                    line.mid(4).simplified().split(' ').value(0).toUInt() == uid)
                    ++tasks;
            }
        }
    }
    return tasks;
}

// Starts program as a child of ours, run by uid (0: as we are), in our
// working folder with its output appended to outputFile; its pid.
inline qint64 startAs(uid_t uid, const QString &program, const QString &outputFile)
{
    const QByteArray path = QFile::encodeName(program);
    const QByteArray output = QFile::encodeName(outputFile);
    const pid_t pid = fork();
    if (pid == 0) {
        const int fd = open(output.constData(), O_WRONLY | O_CREAT | O_APPEND, 0666);
        dup2(fd, STDOUT_FILENO);
        dup2(fd, STDERR_FILENO);
        if (uid == 0 || switchUser(uid))
            execl(path.constData(), path.constData(), static_cast<char *>(nullptr));
        _exit(127);
    }
    return pid;
}

// Ends the gorsebright.exe processes working in dir: only a test's own, since
// the dir is its private scratch folder. A relaunched one left running would
// also hold the test's output pipes open and keep ctest waiting.
inline void killWatchedProcessesIn(const QString &dir)
{
    const QString canonical = QDir(dir).canonicalPath();
    for (qint64 pid : watchedProcesses()) {
        if (processInfo(pid).workingDirectory == canonical)
            killProcess(pid);
    }
}
#endif

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

// The start line of a stand-in: its working folder and its arguments, each
// in double quotes and separated by spaces; empty if it never appeared.
struct StandInStart {
    QString directory;
    QString arguments;
};
// The start line of stand-in pid, from the log it keeps in dir, once there.
inline StandInStart standInStart(const QString &dir, qint64 pid)
{
    const QRegularExpression line(
        QStringLiteral("gorsebright\\.exe %1 started in ([^\r\n]*), arguments: ([^\r\n]*)")
            .arg(pid));
    QRegularExpressionMatch match;
    waitFor(
        [&] {
            match = line.match(
                QString::fromLocal8Bit(readAll(dir + QLatin1String("/gorsebright.log"))));
            return match.hasMatch();
        },
        eventTimeoutMs);
    return match.hasMatch() ? StandInStart{match.captured(1), match.captured(2)} : StandInStart{};
}

// The stand-in prints a line of its own when it starts, on the console it
// shares with the watchdog, so it can land anywhere in the watchdog's output.
inline QByteArray withoutStandInLines(const QByteArray &output)
{
    static const QRegularExpression standIn(QStringLiteral("gorsebright\\.exe \\d+ [^\n]*\n"));
    return QString::fromLatin1(output).remove(standIn).toLatin1();
}

} // namespace testsupport
