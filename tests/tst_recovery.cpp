// The recovery routine in-process: the kill commands with stand-in tools that
// record themselves, a real stand-in program killed and replaced, and a start
// that fails.

#include "recovery.h"
#include "testsupport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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
    void replacesRunningProgram();

  private:
    QString fakeBin() const { return work_->filePath(QStringLiteral("bin")); }
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
}

void RecoveryTest::init()
{
    work_.reset(new QTemporaryDir);
    QVERIFY(work_->isValid());
    QVERIFY(QDir().mkpath(fakeBin()));
    qputenv("FAKE_TOOL_LOG", toolLog().toLocal8Bit());
    QVERIFY(QDir::setCurrent(work_->path()));
    started_.clear();
}

void RecoveryTest::cleanup()
{
    // End only what this test started.
    for (qint64 pid : started_)
        ::kill(pid_t(pid), SIGKILL);
    killWatchedProcessesIn(work_->path());
    QDir::setCurrent(savedDir_);
    qputenv("PATH", savedPath_);
}

void RecoveryTest::killsInOrderThenStarts()
{
    // Each tool takes a while, so overlapping runs would interleave the log.
    writeFakeKillTools(fakeBin(), QStringLiteral("0.3"));
    writeExecutable(fakeBin() + QLatin1String("/gorsebright.exe"),
                    "#!/bin/sh\necho \"start $# [$1] $(pwd)\" >> \"$FAKE_TOOL_LOG\"\n");
    qputenv("PATH", (fakeBin() + QLatin1String(":/usr/bin:/bin")).toLocal8Bit());

    StdoutCapture capture(work_->filePath(QStringLiteral("stdout")));
    recoverWatchedProgram();
    const QByteArray output = capture.take();

    // The tools' own output reaches our stdout, all of it before the start.
    QCOMPARE(output, QByteArray("output of taskkill\noutput of taskkill\noutput of tskill\n"
                                "output of pkill\n") +
                         starting() + "ok\n");
    const QByteArray expectedLog = "begin taskkill /f /im gorsebright.exe\n"
                                   "end taskkill\n"
                                   "begin taskkill /f /im gorsebright.exe\n"
                                   "end taskkill\n"
                                   "begin tskill gorsebright /a /v\n"
                                   "end tskill\n"
                                   "begin pkill -KILL -x gorsebright.exe\n"
                                   "end pkill\n"
                                   "start 1 [crash_restore] " +
                                   QFile::encodeName(work_->path()) + "\n";
    QVERIFY(
        waitFor([&] { return readAll(toolLog()).size() >= expectedLog.size(); }, eventTimeoutMs));
    QCOMPARE(readAll(toolLog()), expectedLog);
}

void RecoveryTest::startFailureIsReported()
{
    writeFakeKillTools(fakeBin());
    qputenv("PATH", (fakeBin() + QLatin1String(":/usr/bin:/bin")).toLocal8Bit());

    StdoutCapture capture(work_->filePath(QStringLiteral("stdout")));
    recoverWatchedProgram();
    QVERIFY(capture.take().endsWith(starting() + startFailed()));
    QCOMPARE(readAll(toolLog()).count("begin "), 4);
}

void RecoveryTest::replacesRunningProgram()
{
    // Real kill by name: only where every such process is this test's own.
    REQUIRE_CONFINEMENT();
    qputenv("PATH", QByteArray(STANDIN_DIR) + ":/usr/bin:/bin");

    qint64 oldPid = 0;
    QVERIFY(QProcess::startDetached(QStringLiteral(STANDIN_DIR "/gorsebright.exe"), {},
                                    work_->path(), &oldPid));
    started_ << oldPid;
    QVERIFY(waitFor([&] { return QFile::exists(QStringLiteral("is_run.txt")); }, eventTimeoutMs));

    StdoutCapture capture(work_->filePath(QStringLiteral("stdout")));
    recoverWatchedProgram();
    const QByteArray output = withoutStandInLines(capture.take());
    QVERIFY2(output.endsWith(starting() + "ok\n"), output.constData());

    QVERIFY(waitFor([&] { return !isAlive(oldPid); }, eventTimeoutMs));
    const qint64 newPid = soleWatchedProcess();
    QVERIFY(newPid != 0);
    started_ << newPid;
    const ProcessInfo relaunched = processInfo(newPid);
    QCOMPARE(relaunched.arguments, QStringList{QStringLiteral("crash_restore")});
    QCOMPARE(relaunched.workingDirectory, QDir(work_->path()).canonicalPath());
    // Detached: in a session of its own (as the first process of its PID
    // namespace, this test also adopts orphans, so the parent proves nothing).
    QVERIFY(relaunched.sessionId != processInfo(QCoreApplication::applicationPid()).sessionId);
    QCOMPARE(relaunched.ignoredSignals, quint64(0));
}

QTEST_GUILESS_MAIN(RecoveryTest)
#include "tst_recovery.moc"
