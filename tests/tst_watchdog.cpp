// The real watchdog binary, run confined in a scratch folder with its output
// redirected: the kills by name it makes reach only this test's own.

#include "supervision.h"
#include "testsupport.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <climits>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#endif

using namespace testsupport;

namespace
{

#ifdef Q_OS_WIN
using CarelessLauncher = QProcess;
using Launcher = QProcess;
#else
// Starts the watchdog in a folder below its working directory, entered one
// step at a time, and as another user when uid is set.
class Launcher : public ChildSetupProcess
{
  public:
    QByteArrayList descend;
    uid_t uid = 0;

  protected:
    void setupChild() override
    {
        for (const QByteArray &step : descend) {
            if (chdir(step.constData()) != 0)
                _exit(125);
        }
        if (uid != 0 && !switchUser(uid))
            _exit(126);
    }
};

// Starts the watchdog as some launchers leave a program: SIGCHLD and SIGHUP
// ignored, SIGUSR1 blocked.
class CarelessLauncher : public ChildSetupProcess
{
  protected:
    void setupChild() override
    {
        signal(SIGCHLD, SIG_IGN);
        signal(SIGHUP, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        sigprocmask(SIG_BLOCK, &blocked, nullptr);
    }
};

quint64 signalBit(int signal)
{
    return quint64(1) << (signal - 1);
}
#endif

// The environment of a test's watchdog: the stand-in findable on PATH, Qt's
// default log format, the log on stderr also where Windows has no console,
// a UTF-8 locale on Linux.
QProcessEnvironment environment(const QString &standIns = standInDir())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), QFile::decodeName(searchPathWith(standIns)));
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.remove(QStringLiteral("PWD")); // the test's own folder, not the watchdog's
    environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
#ifndef Q_OS_WIN
    // As on most machines: a folder name of other bytes is then no text.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
#endif
    return environment;
}

// Output goes to <name>.err and, unless out is given, <name>.out in the folder.
// The program is the watchdog unless one is set.
void start(QProcess &watchdog, const QTemporaryDir &work,
           const QString &name = QStringLiteral("watchdog"),
           QProcessEnvironment env = environment(), const QString &out = QString())
{
    if (watchdog.program().isEmpty())
        watchdog.setProgram(watchdogBinary());
    // Where PWD names a way to the folder, the watchdog starts there, as from a shell.
    watchdog.setWorkingDirectory(env.value(QStringLiteral("PWD"), work.path()));
    watchdog.setStandardOutputFile(out.isEmpty() ? work.filePath(name + QLatin1String(".out"))
                                                 : out);
    watchdog.setStandardErrorFile(work.filePath(name + QLatin1String(".err")));
    // Qt keeps the guard's key files in TMPDIR: the scratch folder takes them.
    env.insert(QStringLiteral("TMPDIR"), work.path());
    watchdog.setProcessEnvironment(env);
    QVERIFY(startProcess(watchdog));
}

#ifndef Q_OS_WIN
// Fills the file system at dir up to its last byte.
void fill(const QString &dir)
{
    QFile filler(dir + QLatin1String("/filler"));
    QVERIFY(filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    const QByteArray block(4096, 'x');
    while (filler.write(block) == block.size()) {
    }
    filler.close();
    QFile probe(dir + QLatin1String("/probe"));
    QVERIFY(probe.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    QVERIFY2(probe.write("x", 1) != 1, "the file system is not full");
    probe.close();
    QVERIFY(probe.remove());
}
#endif

} // namespace

class WatchdogTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void firstPass_data();
    void firstPass();
    void unusualStandardStreams_data();
    void unusualStandardStreams();
    void secondPassRecovers_data();
    void secondPassRecovers();
};

void WatchdogTest::initTestCase()
{
    REQUIRE_CONFINEMENT();
}

void WatchdogTest::firstPass_data()
{
    QTest::addColumn<bool>("heartbeatExists");
    // Where it runs: "" the scratch folder, "beside" the same with a
    // gorsebright.exe in it; else a folder in it named in Windows-1251 bytes,
    // one whose parent its user may not search, or one whose path is longer
    // than PATH_MAX.
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("asInit");        // as the first process of a PID namespace
    QTest::addColumn<QByteArray>("warning"); // on stderr before the record
#ifdef Q_OS_WIN
    // Where Windows would relaunch the program found beside the watchdog.
    const QByteArray notBeside("gorsebright.exe is not in");
#else
    const QByteArray notBeside;
#endif
    QTest::newRow("no heartbeat file") << false << "" << false << notBeside;
    QTest::newRow("heartbeat file") << true << "" << false << notBeside;
    QTest::newRow("gorsebright.exe beside it") << false << "beside" << false << QByteArray();
#ifndef Q_OS_WIN
    QTest::newRow("Windows-1251 folder name") << false << "cp1251" << false << QByteArray();
    QTest::newRow("unreadable parent") << false << "unreadable parent" << false
                                       << QByteArray("cannot look at the folder it was started in");
    QTest::newRow("path longer than PATH_MAX")
        << false << "long" << false << QByteArray("cannot tell the path");
    QTest::newRow("as PID 1") << false << "" << true << QByteArray();
#endif
}

void WatchdogTest::firstPass()
{
    QFETCH(bool, heartbeatExists);
    QFETCH(QString, folder);
    QFETCH(bool, asInit);
    QFETCH(QByteArray, warning);
    Q_UNUSED(asInit); // Linux rows only
    QTemporaryDir work;
    QVERIFY(work.isValid());
    QByteArray expectedLog = console("\"\"\n");
    if (heartbeatExists) {
        QFile heartbeat(work.filePath(QStringLiteral("is_run.txt")));
        QVERIFY(heartbeat.open(QIODevice::WriteOnly));
        QVERIFY(heartbeat.setFileTime(QDateTime(QDate(2026, 12, 1), QTime(7, 8, 9)),
                                      QFileDevice::FileModificationTime));
        expectedLog = console("\"07:08:09\"\n");
    }

    if (folder == QLatin1String("beside")) {
        QFile program(work.filePath(QStringLiteral("gorsebright.exe")));
        QVERIFY(program.open(QIODevice::WriteOnly));
    }
    Launcher watchdog;
#ifndef Q_OS_WIN
    // Made and entered step by step: a path this long is no path to give.
    const auto removed = qScopeGuard([&] {
        QProcess::execute(QStringLiteral("rm"),
                          {QStringLiteral("-rf"), work.filePath(QStringLiteral("sub"))});
    });
    if (!folder.isEmpty() && folder != QLatin1String("beside")) {
        const int steps = folder == QLatin1String("long") ? PATH_MAX / 200 + 2 : 2;
        const QByteArray name = folder == QLatin1String("cp1251")
                                    ? QByteArray("\xcf\xe0\xef\xea\xe0")
                                    : QByteArray(200, 'd');
        int dir = open(QFile::encodeName(work.path()).constData(), O_DIRECTORY);
        for (int step = 0; step < steps; ++step) {
            const QByteArray component = step == 0 ? QByteArray("sub") : name;
            QCOMPARE(mkdirat(dir, component.constData(), 0777), 0);
            QCOMPARE(fchmodat(dir, component.constData(), 0777, 0), 0);
            const int next = openat(dir, component.constData(), O_DIRECTORY);
            ::close(dir);
            dir = next;
            watchdog.descend << component;
        }
        ::close(dir);
        if (folder == QLatin1String("unreadable parent")) {
            if (!spareUserAvailable())
                QSKIP(noSpareUser);
            watchdog.uid = spareUid; // the scratch folder is root's, mode 0700
        }
    }
#endif
    const QByteArray expected = banner() + firstStart();
    const QString out = work.filePath(QStringLiteral("watchdog.out"));
    const QString err = work.filePath(QStringLiteral("watchdog.err"));
#ifndef Q_OS_WIN
    if (asInit) {
        // In a PID namespace of its own, with a child it never started that
        // has already ended, as orphans are left to a container's first process.
        const QByteArray binary = QFile::encodeName(watchdogBinary());
        const pid_t outer = fork();
        if (outer == 0) {
            dup2(open(QFile::encodeName(out).constData(), O_WRONLY | O_CREAT, 0600), 1);
            dup2(open(QFile::encodeName(err).constData(), O_WRONLY | O_CREAT, 0600), 2);
            setenv("TMPDIR", QFile::encodeName(work.path()).constData(), 1);
            setenv("QT_FORCE_STDERR_LOGGING", "1", 1);
            unsetenv("QT_MESSAGE_PATTERN");
            if (chdir(QFile::encodeName(work.path()).constData()) != 0 ||
                unshare(CLONE_NEWPID) != 0)
                _exit(125);
            const pid_t init = fork();
            if (init == 0) {
                const pid_t orphan = fork();
                if (orphan == 0)
                    _exit(0);
                siginfo_t ended;
                waitid(P_PID, id_t(orphan), &ended, WEXITED | WNOWAIT); // not collected
                execl(binary.constData(), binary.constData(), static_cast<char *>(nullptr));
                _exit(127);
            }
            int status = 0;
            waitpid(init, &status, 0);
            _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status));
        }
        QVERIFY(outer > 0);
        bool collected = false; // its pid then no longer ours to signal
        const auto ended = qScopeGuard([&] {
            if (collected)
                return;
            ::kill(outer, SIGKILL);
            waitpid(outer, nullptr, 0);
        });
        QVERIFY(waitFor([&] { return readAll(out) == expected && readAll(err) == expectedLog; },
                        eventTimeoutMs));
        // Its orphan collected by the first pass, and SIGTERM, which the
        // kernel would let it ignore, ends it.
        const qint64 init =
            readAll(QStringLiteral("/proc/%1/task/%1/children").arg(outer)).trimmed().toLongLong();
        QVERIFY(init > 0);
        QCOMPARE(readAll(QStringLiteral("/proc/%1/task/%1/children").arg(init)), QByteArray());
        QCOMPARE(::kill(pid_t(init), SIGTERM), 0);
        int status = 0;
        QVERIFY(waitFor([&] { return collected = waitpid(outer, &status, WNOHANG) == outer; },
                        eventTimeoutMs));
        QVERIFY(WIFEXITED(status));
        QCOMPARE(WEXITSTATUS(status), 128 + SIGTERM);
        return;
    }
#endif
    start(watchdog, work);
    // Only what was written through to the file by now survives the kill.
    QVERIFY(waitFor([&] { return readAll(out).size() >= expected.size(); }, eventTimeoutMs));
    QVERIFY(waitFor([&] { return readAll(err).endsWith(expectedLog); }, eventTimeoutMs));
    QCOMPARE(watchdog.state(), QProcess::Running);
    watchdog.kill();
    QVERIFY(watchdog.waitForFinished());

    QCOMPARE(readAll(out), expected);
    const QByteArray errors = readAll(err);
    QVERIFY2(errors.contains(warning) && errors.endsWith(expectedLog), errors.constData());
    QCOMPARE(errors.count('\n'), expectedLog.count('\n') + (warning.isEmpty() ? 0 : 1));
}

void WatchdogTest::unusualStandardStreams_data()
{
    QTest::addColumn<bool>("closed"); // all three; else stdout is a pipe with no reader
    QTest::newRow("stdout a pipe with no reader") << false;
    QTest::newRow("all closed") << true;
}

void WatchdogTest::unusualStandardStreams()
{
#ifdef Q_OS_WIN
    QSKIP("a pipe with no reader only kills on Unix, through SIGPIPE, and descriptors are Unix's");
#else
    QFETCH(bool, closed);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    int fds[2];
    QCOMPARE(pipe(fds), 0);
    ::close(fds[0]);
    const QByteArray err = QFile::encodeName(work.filePath(QStringLiteral("watchdog.err")));
    const QByteArray dir = QFile::encodeName(work.path());
    const QByteArray binary = QFile::encodeName(watchdogBinary());
    const pid_t pid = fork();
    if (pid == 0) {
        const int errFd = open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fds[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        for (int fd = STDIN_FILENO; closed && fd <= STDERR_FILENO; ++fd)
            ::close(fd);
        setenv("TMPDIR", dir.constData(), 1);
        unsetenv("QT_MESSAGE_PATTERN");
        if (chdir(dir.constData()) == 0)
            execl(binary.constData(), binary.constData(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(fds[1]);
    QVERIFY(pid > 0);
    const auto fdTarget = [pid](int fd) {
        char target[64] = {};
        const QByteArray link =
            QByteArray("/proc/") + QByteArray::number(pid) + "/fd/" + QByteArray::number(fd);
        return QByteArray(
            target, int(qMax(ssize_t(0), readlink(link.constData(), target, sizeof target - 1))));
    };

    // The banner's write fails; the first pass must still log its record.
    // With nothing open, the guard's socket is the watchdog's first own
    // descriptor: fds 0 to 2 must not be it, nor anything else of its own.
    const bool settled = waitFor(
        [&] {
            if (!closed)
                return readAll(QString::fromLocal8Bit(err)) == "\"\"\n";
            for (int fd = 0; fd < 16; ++fd) {
                if (fdTarget(fd).startsWith("socket:"))
                    return true;
            }
            return false;
        },
        eventTimeoutMs);
    QByteArrayList standardStreams;
    for (int fd = STDIN_FILENO; closed && fd <= STDERR_FILENO; ++fd)
        standardStreams << fdTarget(fd);
    int status = 0;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    QVERIFY2(ended == 0, "the watchdog ended");
    QVERIFY(settled);
    if (closed)
        QCOMPARE(standardStreams, QByteArrayList({"/dev/null", "/dev/null", "/dev/null"}));
#endif
}

void WatchdogTest::secondPassRecovers_data()
{
    QTest::addColumn<bool>("programFound");
    // Until after the first pass, stdout is a file on a "full disk", or a
    // "stopped terminal" (Ctrl+S), which takes nothing; else a file.
    QTest::addColumn<QString>("output");
    // After the first pass, as a deploy does: "folder" renamed and made anew,
    // or "link" (by which it was started) switched to another folder.
    QTest::addColumn<QString>("replaced");
#ifdef Q_OS_WIN
    QTest::newRow("relaunched") << true << QString() << QString();
#else
    QTest::newRow("relaunched, output on a full disk") << true << "full disk" << QString();
    QTest::newRow("relaunched, output to a stopped terminal")
        << true << "stopped terminal" << QString();
    // Where a working folder can be renamed: Windows does not allow it.
    QTest::newRow("folder replaced") << true << QString() << "folder";
    QTest::newRow("link switched") << true << QString() << "link";
#endif
    QTest::newRow("program missing") << false << QString() << QString();
}

void WatchdogTest::secondPassRecovers()
{
    QFETCH(bool, programFound);
    QFETCH(QString, output);
    QFETCH(QString, replaced);
    const bool fullDisk = output == QLatin1String("full disk");
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const QString link = work.path() + QLatin1String(".current");
    const QString moved = work.path() + QLatin1String(".old");
    QString out = work.filePath(QStringLiteral("watchdog.out"));
    const QString err = work.filePath(QStringLiteral("watchdog.err"));
    const QString disk = work.filePath(QStringLiteral("disk"));
#ifndef Q_OS_WIN
    int terminal = -1; // the stopped terminal's master side
    QByteArray shownOnTerminal;
#endif
    const auto cleanUp = qScopeGuard([&] {
        killWatchedProcessesIn(work.path());
        QFile::remove(link);
        QDir(moved).removeRecursively();
#ifndef Q_OS_WIN
        if (fullDisk)
            umount2(QFile::encodeName(disk).constData(), MNT_DETACH);
        if (terminal != -1)
            ::close(terminal);
#endif
    });
    // What the watchdog's stdout has taken so far.
    const auto shown = [&] {
#ifndef Q_OS_WIN
        if (terminal != -1) {
            char buffer[4096];
            for (ssize_t size; (size = read(terminal, buffer, sizeof buffer)) > 0;)
                shownOnTerminal.append(buffer, int(size));
            return shownOnTerminal;
        }
#endif
        return readAll(out);
    };
#ifndef Q_OS_WIN
    if (fullDisk) {
        QVERIFY(QDir().mkpath(disk));
        if (mount("tmpfs", QFile::encodeName(disk).constData(), "tmpfs", 0, "size=64k") != 0)
            QSKIP("cannot mount a small tmpfs here, so no full disk to write to");
        fill(disk);
        out = disk + QLatin1String("/watchdog.out");
    }
    if (output == QLatin1String("stopped terminal")) {
        terminal = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(terminal != -1 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
        out = QFile::decodeName(ptsname(terminal));
        // Bytes unchanged, flow control as a terminal has it.
        termios mode = {};
        QCOMPARE(tcgetattr(terminal, &mode), 0);
        cfmakeraw(&mode);
        mode.c_iflag |= IXON;
        QCOMPARE(tcsetattr(terminal, TCSANOW, &mode), 0);
        QCOMPARE(write(terminal, "\x13", 1), ssize_t(1)); // Ctrl+S
    }
#endif

    CarelessLauncher watchdog;
    // Without the stand-in's folder, only one with nothing to start.
    QProcessEnvironment env =
        environment(programFound ? standInDir() : work.filePath(QStringLiteral("empty")));
    // Seconds since the start, from the watchdog's own clock.
    env.insert(QStringLiteral("QT_MESSAGE_PATTERN"), QStringLiteral("%{time process} %{message}"));
    if (replaced == QLatin1String("link")) {
        QVERIFY(QFile::link(work.path(), link));
        env.insert(QStringLiteral("PWD"), link);
    }
#ifdef Q_OS_WIN
    // A handle the watchdog inherits, which must not reach the relaunched program.
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    const HANDLE probe = CreateFileW(
        reinterpret_cast<const wchar_t *>(work.filePath(QStringLiteral("probe")).utf16()),
        GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS, 0, nullptr);
    QVERIFY(probe != INVALID_HANDLE_VALUE);
    const auto probeClosed = qScopeGuard([&] { CloseHandle(probe); });
    env.insert(QStringLiteral("STANDIN_PROBE_HANDLE"), QString::number(quintptr(probe)));
#endif
    start(watchdog, work, QStringLiteral("watchdog"), env, out);
    // The log records, apart from what the watchdog says once at start (on
    // Windows, that gorsebright.exe is not in its folder).
    const auto records = [&] {
        QList<QByteArray> lines;
        for (const QByteArray &line : readAll(err).trimmed().split('\n')) {
            if (!line.contains(" watchdog: "))
                lines << line.trimmed();
        }
        return lines;
    };
    // Asleep after its first pass: every write of that pass has been tried.
    QVERIFY(waitFor(
        [&] {
            return records().size() == 1 &&
#ifdef Q_OS_WIN
                   readAll(out).endsWith(firstStart());
#else
                   readAll(QStringLiteral("/proc/%1/syscall").arg(watchdog.processId()))
                           .split(' ')
                           .value(0) == QByteArray::number(SYS_clock_nanosleep);
#endif
        },
        eventTimeoutMs));
#ifndef Q_OS_WIN
    const ProcessInfo self = processInfo(watchdog.processId());
    QVERIFY(self.ignoredSignals & signalBit(SIGHUP));
    QVERIFY(self.blockedSignals & signalBit(SIGUSR1));
#endif
    if (fullDisk) {
        QVERIFY(readAll(out).isEmpty());
        QVERIFY(QFile::remove(disk + QLatin1String("/filler")));
    }
#ifndef Q_OS_WIN
    if (terminal != -1) {
        QVERIFY(shown().isEmpty());
        QCOMPARE(write(terminal, "\x11", 1), ssize_t(1)); // Ctrl+Q
    }
#endif

    // A second instance is refused without a word and leaves the first alone.
    QProcess second;
    start(second, work, QStringLiteral("second"));
    QVERIFY(second.waitForFinished(eventTimeoutMs));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(readAll(work.filePath(QStringLiteral("second.out"))).isEmpty());
    QVERIFY(readAll(work.filePath(QStringLiteral("second.err"))).isEmpty());

    if (!replaced.isEmpty()) {
        // The watchdog ends rather than kill and relaunch in a folder that
        // is no longer the one it was started in.
        QString folder = work.path();
        if (replaced == QLatin1String("folder")) {
            QVERIFY(QDir().rename(work.path(), moved));
            QVERIFY(QDir().mkdir(work.path()));
            folder = moved;
        } else {
            // Switched in one step, as deploy tools do.
            QVERIFY(QDir().mkdir(moved));
            QVERIFY(QFile::link(moved, link + QLatin1String(".new")));
            QCOMPARE(::rename(QFile::encodeName(link + QLatin1String(".new")).constData(),
                              QFile::encodeName(link).constData()),
                     0);
        }
        QVERIFY(watchdog.waitForFinished(int(checkIntervalMs) + eventTimeoutMs));
        QCOMPARE(watchdog.exitCode(), 3);
        QCOMPARE(readAll(folder + QLatin1String("/watchdog.out")), banner() + firstStart());
        const QByteArray said = readAll(folder + QLatin1String("/watchdog.err"));
        QVERIFY2(said.contains(
                     QFile::encodeName(replaced == QLatin1String("link") ? link : work.path()) +
                     ", has been deleted or replaced"),
                 said.constData());
        QVERIFY(watchedProcesses().isEmpty());
        return;
    }

    const QByteArray outcome = programFound ? started() : startFailed();
    QVERIFY(waitFor(
        [&] {
            const QByteArray output = withoutStandInLines(shown());
            return output.endsWith(started()) || output.endsWith(startFailed());
        },
        int(checkIntervalMs) + eventTimeoutMs));
    const QList<QByteArray> passes = records();
    QCOMPARE(passes.size(), 2);
    const double interval =
        passes.at(1).split(' ').value(0).toDouble() - passes.at(0).split(' ').value(0).toDouble();
    QVERIFY2(interval >= 40.0 && interval < 41.0, QByteArray::number(interval).constData());
    for (const QByteArray &record : passes)
        QVERIFY2(record.endsWith(" \"\""), record.constData());
#ifdef Q_OS_WIN
    // Said once: the stand-in is found on PATH, not in the watched folder.
    QCOMPARE(readAll(err).count("gorsebright.exe is not in"), 1);
#endif

    // What could not be written was lost, and nothing after it. Between the
    // verdict and the start come the kill tools' own lines: none on Linux,
    // where they are not installed, but taskkill says it finds nothing under Wine.
    const QByteArray beginning =
        (output.isEmpty() ? banner() + firstStart() : QByteArray()) + hung();
    const QByteArray end = starting() + outcome;
    const QByteArray written = withoutStandInLines(shown());
    QVERIFY2(written.startsWith(beginning) && written.endsWith(end), written.constData());
    const QByteArray toolLines =
        written.mid(beginning.size(), written.size() - beginning.size() - end.size());
#ifdef Q_OS_WIN
    QVERIFY2(toolLines.isEmpty() || toolLines.endsWith(console("\n")), toolLines.constData());
#else
    QCOMPARE(toolLines, QByteArray());
#endif
    if (!programFound)
        return;

    const qint64 relaunched = soleWatchedProcess();
    QVERIFY(relaunched != 0);
    const StandInStart program = standInStart(work.path(), relaunched);
    QCOMPARE(program.arguments, QStringLiteral("\"crash_restore\""));
    QCOMPARE(program.directory, QDir(work.path()).canonicalPath());
    // Nothing of what the watchdog inherited is handed on.
#ifdef Q_OS_WIN
    const QByteArray handleLine = QByteArray::number(relaunched) + " has as handle " +
                                  QByteArray::number(quintptr(probe)) + ": ";
    QByteArray said;
    QVERIFY(waitFor(
        [&] {
            said = readAll(work.filePath(QStringLiteral("gorsebright.log")));
            return said.contains(handleLine);
        },
        eventTimeoutMs));
    QVERIFY2(!said.contains("probe"), said.constData());
#else
    QCOMPARE(processInfo(relaunched).ignoredSignals, quint64(0));
    QCOMPARE(processInfo(relaunched).blockedSignals, quint64(0));
#endif

    watchdog.kill();
    QVERIFY(watchdog.waitForFinished());
    QVERIFY(isAlive(relaunched));

    // Nothing of the guard went with the relaunched program: a new watchdog runs.
    QProcess next;
    start(next, work, QStringLiteral("next"));
    const QString nextOut = work.filePath(QStringLiteral("next.out"));
    QVERIFY(waitFor([&] { return readAll(nextOut).size() >= (banner() + firstStart()).size(); },
                    eventTimeoutMs));
    QCOMPARE(readAll(nextOut), banner() + firstStart());
    QCOMPARE(next.state(), QProcess::Running);
    next.kill();
    QVERIFY(next.waitForFinished());
}

QTEST_GUILESS_MAIN(WatchdogTest)
#include "tst_watchdog.moc"
