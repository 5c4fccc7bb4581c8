// The real watchdog binary, run in a scratch folder with its output redirected.

#include "testsupport.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/wait.h>

using namespace testsupport;

class WatchdogTest : public QObject
{
    Q_OBJECT

  private slots:
    void firstPass_data();
    void firstPass();
    void survivesLostOutput();
    void secondPassRecovers();

  private:
    // Output goes to <name>.out and <name>.err in the scratch folder.
    static void start(QProcess &watchdog, const ScratchDir &work,
                      const QString &name = QStringLiteral("watchdog"));
};

void WatchdogTest::start(QProcess &watchdog, const ScratchDir &work, const QString &name)
{
    watchdog.setProgram(QStringLiteral(WATCHDOG_BINARY));
    watchdog.setWorkingDirectory(work.path());
    watchdog.setStandardOutputFile(work.filePath(name + QLatin1String(".out")));
    watchdog.setStandardErrorFile(work.filePath(name + QLatin1String(".err")));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), QStringLiteral(STANDIN_DIR ":/usr/bin:/bin"));
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    // Qt keeps the guard's key files in TMPDIR: this keeps the test's watchdog
    // apart from any other one on the machine.
    environment.insert(QStringLiteral("TMPDIR"), work.path());
    watchdog.setProcessEnvironment(environment);
    watchdog.start();
    QVERIFY(watchdog.waitForStarted());
}

void WatchdogTest::firstPass_data()
{
    QTest::addColumn<bool>("heartbeatExists");
    QTest::newRow("no heartbeat file") << false;
    QTest::newRow("heartbeat file") << true;
}

void WatchdogTest::firstPass()
{
    QFETCH(bool, heartbeatExists);
    ScratchDir work;
    QVERIFY(work.isValid());
    QByteArray expectedLog = "\"\"\n";
    if (heartbeatExists) {
        QFile heartbeat(work.filePath(QStringLiteral("is_run.txt")));
        QVERIFY(heartbeat.open(QIODevice::WriteOnly));
        QVERIFY(heartbeat.setFileTime(QDateTime(QDate(2026, 12, 1), QTime(7, 8, 9)),
                                      QFileDevice::FileModificationTime));
        expectedLog = "\"07:08:09\"\n";
    }

    QProcess watchdog;
    start(watchdog, work);
    const QByteArray expected = banner() + firstStart();
    const QString out = work.filePath(QStringLiteral("watchdog.out"));
    const QString err = work.filePath(QStringLiteral("watchdog.err"));
    // Only what was written through to the file by now survives the kill.
    QVERIFY(waitFor([&] { return readAll(out).size() >= expected.size(); }, 5000));
    QVERIFY(waitFor([&] { return !readAll(err).isEmpty(); }, 5000));
    QCOMPARE(watchdog.state(), QProcess::Running);
    watchdog.kill();
    QVERIFY(watchdog.waitForFinished());

    QCOMPARE(readAll(out), expected);
    QCOMPARE(readAll(err), expectedLog);
}

void WatchdogTest::survivesLostOutput()
{
    ScratchDir work;
    QVERIFY(work.isValid());
    // Standard output is a pipe whose reader is already gone.
    int fds[2];
    QCOMPARE(pipe(fds), 0);
    ::close(fds[0]);
    const QByteArray err = QFile::encodeName(work.filePath(QStringLiteral("watchdog.err")));
    const QByteArray dir = QFile::encodeName(work.path());
    const pid_t pid = fork();
    if (pid == 0) {
        const int errFd = open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fds[1], STDOUT_FILENO);
        dup2(errFd, STDERR_FILENO);
        setenv("TMPDIR", dir.constData(), 1);
        if (chdir(dir.constData()) == 0)
            execl(WATCHDOG_BINARY, WATCHDOG_BINARY, static_cast<char *>(nullptr));
        _exit(127);
    }
    ::close(fds[1]);
    QVERIFY(pid > 0);

    // The banner's write fails; the first pass must still log its record.
    const bool logged =
        waitFor([&] { return readAll(QString::fromLocal8Bit(err)) == "\"\"\n"; }, 5000);
    int status = 0;
    const pid_t ended = waitpid(pid, &status, WNOHANG);
    ::kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    QVERIFY2(ended == 0, "the watchdog ended when its output was lost");
    QVERIFY(logged);
}

void WatchdogTest::secondPassRecovers()
{
    // Real kill by name: it would hit every such process of this user.
    if (!watchedProcesses().isEmpty())
        QSKIP("another gorsebright.exe runs on this machine; not killing it");
    ScratchDir work;
    QVERIFY(work.isValid());
    const QString out = work.filePath(QStringLiteral("watchdog.out"));
    const QString err = work.filePath(QStringLiteral("watchdog.err"));
    const auto endRelaunched = qScopeGuard([&] { killWatchedProcessesIn(work.path()); });

    QProcess watchdog;
    start(watchdog, work);
    QElapsedTimer sinceFirstPass;
    QVERIFY(waitFor([&] { return readAll(err).count('\n') == 1; }, 5000));
    sinceFirstPass.start();

    // A second instance is refused without a word and leaves the first alone.
    QProcess second;
    start(second, work, QStringLiteral("second"));
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    QVERIFY(readAll(work.filePath(QStringLiteral("second.out"))).isEmpty());
    QVERIFY(readAll(work.filePath(QStringLiteral("second.err"))).isEmpty());

    QVERIFY(waitFor([&] { return readAll(err).count('\n') == 2; }, 45000));
    const qint64 interval = sinceFirstPass.elapsed();
    QVERIFY2(interval >= 39900 && interval < 41000, QByteArray::number(interval).constData());
    QVERIFY(waitFor([&] { return readAll(out).contains("ok\n"); }, 5000));

    const qint64 relaunched = soleWatchedProcess();
    QVERIFY(relaunched != 0);
    const ProcessInfo program = processInfo(relaunched);
    QCOMPARE(program.arguments, QStringList{QStringLiteral("crash_restore")});
    QCOMPARE(program.workingDirectory, QDir(work.path()).canonicalPath());
    QVERIFY(!program.ignoresSigpipe);

    watchdog.kill();
    QVERIFY(watchdog.waitForFinished());
    QThread::msleep(500);
    const bool outlived = isAlive(program.pid);
    ::kill(pid_t(program.pid), SIGKILL);
    QVERIFY(outlived);

    QCOMPARE(withoutStandInLines(readAll(out)),
             banner() + firstStart() + hung() + starting() + "ok\n");
    QCOMPARE(readAll(err), QByteArray("\"\"\n\"\"\n"));
}

QTEST_GUILESS_MAIN(WatchdogTest)
#include "tst_watchdog.moc"
