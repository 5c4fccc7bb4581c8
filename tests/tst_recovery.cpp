// The recovery routine in-process: the kill commands with stand-in tools that
// record themselves, a real stand-in program killed and replaced, and a start
// that fails.

#include "recovery.h"
#include "testsupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#ifndef Q_OS_WIN
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#endif

using namespace testsupport;

class RecoveryTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void killsInOrderThenStarts();
    void startFailureIsReported();
    void replacesRunningProgram_data();
    void replacesRunningProgram();

  private:
    QString toolLog() const { return work_->filePath(QStringLiteral("tools.log")); }

    QString savedDir_;
    QByteArray savedPath_;
    QScopedPointer<QTemporaryDir> work_;
    QVector<qint64> started_;
};

void RecoveryTest::initTestCase()
{
    savedDir_ = QDir::currentPath();
    savedPath_ = qgetenv("PATH");
    // The recoveries run in children log through Qt's own handler.
    qputenv("QT_FORCE_STDERR_LOGGING", "1");
}

void RecoveryTest::init()
{
    work_.reset(new QTemporaryDir);
    QVERIFY(work_->isValid());
    // A relative name: a tool that ran anywhere but the working folder would
    // leave no record here.
    qputenv("FAKE_TOOL_LOG", "tools.log");
    qunsetenv("FAKE_TOOL_PAUSE_MS");
    QVERIFY(QDir::setCurrent(work_->path()));
    started_.clear();
}

void RecoveryTest::cleanup()
{
    // End only what this test started.
    for (qint64 pid : started_)
        killProcess(pid);
    killWatchedProcessesIn(work_->path());
    QDir::setCurrent(savedDir_);
    qputenv("PATH", savedPath_);
}

void RecoveryTest::killsInOrderThenStarts()
{
    // The fakes sit in the working folder, where the watched program is found
    // on Windows; on PATH here too, so that the same ones are found elsewhere.
    writeFakeKillTools(work_->path());
    writeFakeTool(work_->path(), QStringLiteral("gorsebright.exe"));
    qputenv("PATH", searchPathWith(work_->path()));
    // Each tool takes a while, so overlapping runs would interleave the log.
    qputenv("FAKE_TOOL_PAUSE_MS", "300");

    const QString stdoutFile = work_->filePath(QStringLiteral("stdout"));
    StdoutCapture capture(stdoutFile);
    recoverWatchedProgram();
    capture.take();
    QByteArray expectedLog = "begin taskkill [/f] [/im] [gorsebright.exe]\n"
                             "end taskkill\n"
                             "begin taskkill [/f] [/im] [gorsebright.exe]\n"
                             "end taskkill\n"
                             "begin tskill [gorsebright] [/a] [/v]\n"
                             "end tskill\n";
    expectedLog += "begin gorsebright [crash_restore]\nend gorsebright\n";
    QVERIFY(
        waitFor([&] { return readAll(toolLog()).size() >= expectedLog.size(); }, eventTimeoutMs));
    QCOMPARE(readAll(toolLog()), expectedLog);

    // The tools' own output reaches our stdout, all of it before the start;
    // the started program's may come before or after "ok". Where we have no
    // console window (Windows), it gets a console of its own instead.
    QByteArray output = readAll(stdoutFile);
#ifdef Q_OS_WIN
    const int programLines = GetConsoleWindow() ? 1 : 0;
#else
    const int programLines = 1;
#endif
    QCOMPARE(output.count(console("output of gorsebright\n")), programLines);
    output.replace(console("output of gorsebright\n"), "");
    QCOMPARE(output, fakeKillToolOutput() + starting() + started());
}

void RecoveryTest::startFailureIsReported()
{
    writeFakeKillTools(work_->path());
    qputenv("PATH", searchPathWith(work_->path()));

    StdoutCapture capture(work_->filePath(QStringLiteral("stdout")));
    recoverWatchedProgram();
    QVERIFY(capture.take().endsWith(starting() + startFailed()));
    QCOMPARE(readAll(toolLog()).count("begin "), fakeKillToolOutput().count('\n'));

#ifndef Q_OS_WIN
    // A program that is not installed (taskkill and tskill here) is not
    // worth a word; one that cannot be started for another reason is.
    QFile program(work_->filePath(QStringLiteral("gorsebright.exe")));
    QVERIFY(program.open(QIODevice::WriteOnly));
    program.close();
    qputenv("PATH", QFile::encodeName(work_->path() + QLatin1String("/none:") + work_->path()));
    QTest::ignoreMessage(QtWarningMsg,
                         "watchdog: cannot start \"gorsebright.exe\": Permission denied");
    StdoutCapture again(work_->filePath(QStringLiteral("stdout again")));
    recoverWatchedProgram();
    QVERIFY(again.take().endsWith(starting() + startFailed()));
#endif
}

void RecoveryTest::replacesRunningProgram_data()
{
    // As a user whose process limit the running copies use up: only a kill
    // that needs no new process can then make room for the relaunch.
    QTest::addColumn<bool>("limited");
    QTest::newRow("plain") << false;
#ifndef Q_OS_WIN
    QTest::newRow("process limit used up") << true;
#endif
}

void RecoveryTest::replacesRunningProgram()
{
    // Real kill by name: only where every such process is this test's own.
    REQUIRE_CONFINEMENT();
    QFETCH(bool, limited);
    qputenv("PATH", searchPathWith(standInDir()));
    const QString standIn = standInDir() + QLatin1String("/gorsebright.exe");
    const QString stdoutFile = work_->filePath(QStringLiteral("stdout"));
    QVector<qint64> oldPids;
#ifdef Q_OS_WIN
    Q_UNUSED(limited); // one row only
    QProcess process;
    process.setProgram(standIn);
    process.setWorkingDirectory(work_->path());
    qint64 oldPid = 0;
    QVERIFY(startProcess(process, Start::Detached, &oldPid));
    started_ << oldPid;
    oldPids << oldPid;
    QVERIFY(waitFor([&] { return QFile::exists(QStringLiteral("is_run.txt")); }, eventTimeoutMs));
    StdoutCapture capture(stdoutFile);
    recoverWatchedProgram();
    const QByteArray output = withoutStandInLines(capture.take());
    QVERIFY2(output.endsWith(starting() + started()), output.constData());
#else
    if (limited && !spareUserAvailable())
        QSKIP(noSpareUser);
    const uid_t uid = limited ? spareUid : 0;
    QCOMPARE(chmod(QFile::encodeName(work_->path()).constData(), 0777), 0);
    // Two copies, each holding a place under the limit, and programs whose
    // names only begin like its, which must be left alone.
    QStringList programs{standIn, standIn};
    for (const char *suffix : {"-updater", ".previous"}) {
        programs << work_->filePath(QLatin1String("gorsebright.exe") + QLatin1String(suffix));
        QVERIFY(QFile::copy(standIn, programs.last()));
    }
    QVector<qint64> bystanders;
    for (const QString &program : programs) {
        const qint64 pid = startAs(uid, program, work_->filePath(QStringLiteral("others")));
        QVERIFY(pid > 0);
        started_ << pid;
        (program == standIn ? oldPids : bystanders) << pid;
        const QByteArray name = QFile::encodeName(QFileInfo(program).fileName()).left(15) + '\n';
        QVERIFY(waitFor([&] { return readAll(QStringLiteral("/proc/%1/comm").arg(pid)) == name; },
                        eventTimeoutMs));
    }

    const QString stderrFile = work_->filePath(QStringLiteral("stderr"));
    const pid_t recovery = fork();
    if (recovery == 0) {
        dup2(open(QFile::encodeName(stdoutFile).constData(), O_WRONLY | O_CREAT, 0600), 1);
        dup2(open(QFile::encodeName(stderrFile).constData(), O_WRONLY | O_CREAT, 0600), 2);
        qInstallMessageHandler(nullptr);
        if (limited) {
            if (!switchUser(uid))
                _exit(126);
            const rlimit used{rlim_t(tasksOf(uid)), rlim_t(tasksOf(uid))};
            setrlimit(RLIMIT_NPROC, &used);
        }
        recoverWatchedProgram();
        _exit(0);
    }
    // The killed copies are ours to collect, as a service manager would.
    int status = -1;
    QVERIFY(waitFor(
        [&] {
            for (qint64 pid : started_)
                waitpid(pid_t(pid), nullptr, WNOHANG);
            return waitpid(recovery, &status, WNOHANG) == recovery;
        },
        eventTimeoutMs));
    QCOMPARE(status, 0);
    const QByteArray output = withoutStandInLines(readAll(stdoutFile));
    const QByteArray errors = readAll(stderrFile);
    QVERIFY2(output.endsWith(starting() + started()), output + errors);
    QVERIFY2(errors.contains("cannot start \"taskkill /f /im gorsebright.exe\"") == limited,
             errors + readAll(work_->filePath(QStringLiteral("others"))));
    for (qint64 pid : bystanders)
        QVERIFY(isAlive(pid));
#endif

    for (qint64 pid : oldPids)
        QVERIFY(waitFor([&] { return !isAlive(pid); }, eventTimeoutMs));
    const qint64 newPid = soleWatchedProcess();
    QVERIFY(newPid != 0);
    started_ << newPid;
    const StandInStart relaunched = standInStart(work_->path(), newPid);
    QCOMPARE(relaunched.arguments, QStringLiteral("\"crash_restore\""));
    QCOMPARE(relaunched.directory, QDir(work_->path()).canonicalPath());
#ifndef Q_OS_WIN
    // Detached: in a session of its own (as the first process of its PID
    // namespace, this test also adopts orphans, so the parent proves nothing).
    const ProcessInfo program = processInfo(newPid);
    QVERIFY(program.sessionId != processInfo(QCoreApplication::applicationPid()).sessionId);
    QCOMPARE(program.ignoredSignals, quint64(0));
#endif
}

QTEST_GUILESS_MAIN(RecoveryTest)
#include "tst_recovery.moc"
