// The recovery routine: the kill commands with stand-in tools that record
// themselves, real stand-in programs killed and replaced, and a start that
// fails.

#include "launcher.h"
#include "process_table.h"
#include "recovery.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>
#include <list>
#include <thread>

using namespace testsupport;

class RecoveryTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void init();
    void cleanup();
    void killsInOrderThenStarts_data();
    void killsInOrderThenStarts();
    void startFailureIsReported();
    void replacesRunningProgram_data();
    void replacesRunningProgram();

  private:
    QString toolLog() const { return work_->filePath(QStringLiteral("tools.log")); }

    QString savedDir_;
    QByteArray savedPath_;
    QScopedPointer<QTemporaryDir> work_;
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
    // A relative name: a tool that ran anywhere but the working folder would
    // leave no record here.
    qputenv("FAKE_TOOL_LOG", "tools.log");
    qunsetenv("FAKE_TOOL_PAUSE_MS");
    QVERIFY(QDir::setCurrent(work_->path()));
}

void RecoveryTest::cleanup()
{
    killWatchedProcessesIn(work_->path());
    QDir::setCurrent(savedDir_);
    qputenv("PATH", savedPath_);
}

void RecoveryTest::killsInOrderThenStarts_data()
{
    QTest::addColumn<bool>("held");
    QTest::newRow("stdout a file") << false;
    // As a console window paused by a selection or a full "| more": no
    // write gets through until after the start. Writes here are bounded.
    if (onWindows)
        QTest::newRow("stdout held up") << true;
}

void RecoveryTest::killsInOrderThenStarts()
{
    QFETCH(bool, held);
    // The fakes sit in the working folder, where the watched program is found
    // on Windows; on PATH here too, so that the same ones are found elsewhere.
    writeFakeKillTools(work_->path());
    writeFakeTool(work_->path(), QStringLiteral("gorsebright.exe"));
    qputenv("PATH", searchPathWith(work_->path()));
    // Each tool takes a while, so overlapping runs would interleave the log.
    qputenv("FAKE_TOOL_PAUSE_MS", "300");

    const QString stdoutFile = work_->filePath(QStringLiteral("stdout"));
    StdoutCapture capture(stdoutFile, held);
    QVERIFY(capture.held() == held);
    std::thread recovery([] { reportRecovery(recoverWatchedProgram()); });
    // The start does not wait for stdout.
    const bool startedHeld =
        !held || waitFor([&] { return readAll(toolLog()).contains("begin gorsebright"); });
    capture.release();
    recovery.join();
    capture.take();
    QVERIFY(startedHeld);
    QByteArray expectedLog = "begin taskkill [/f] [/im] [gorsebright.exe]\n"
                             "end taskkill\n"
                             "begin taskkill [/f] [/im] [gorsebright.exe]\n"
                             "end taskkill\n"
                             "begin tskill [gorsebright] [/a] [/v]\n"
                             "end tskill\n";
    expectedLog += "begin gorsebright [crash_restore]\nend gorsebright\n";
    QVERIFY(waitFor([&] { return readAll(toolLog()).size() >= expectedLog.size(); }));
    QCOMPARE(readAll(toolLog()), expectedLog);

    // The tools' own output reaches our stdout, all of it before the start;
    // the started program's may come before or after "ok". On Windows it
    // gets a console of its own instead.
    QByteArray output = readAll(stdoutFile);
    const int programLines = onWindows ? 0 : 1;
    QCOMPARE(output.count(console("output of gorsebright\n")), programLines);
    output.replace(console("output of gorsebright\n"), "");
    QCOMPARE(output, fakeKillToolOutput() + starting() + started());
}

void RecoveryTest::startFailureIsReported()
{
    writeFakeKillTools(work_->path());
    qputenv("PATH", searchPathWith(work_->path()));

    StdoutCapture capture(work_->filePath(QStringLiteral("stdout")));
    reportRecovery(recoverWatchedProgram());
    QVERIFY(capture.take().endsWith(starting() + startFailed()));
    QCOMPARE(readAll(toolLog()).count("begin "), fakeKillToolOutput().count('\n'));

    if (onWindows)
        return; // where a start tells no reason
    // A program that is not installed (taskkill and tskill here) is not
    // worth a word, also where a folder on PATH cannot be searched, for which
    // glibc says "Permission denied"; one that cannot be started for another
    // reason is. As the spare user where there is one: root searches anything.
    const QString bin = work_->filePath(QStringLiteral("bin"));
    const QString locked = work_->filePath(QStringLiteral("locked"));
    QVERIFY(QDir().mkpath(bin) && QDir().mkpath(locked));
    QVERIFY(QFile::setPermissions(work_->path(), QFileDevice::Permissions(0x7777)));
    QVERIFY(QFile::setPermissions(bin, QFileDevice::Permissions(0x7777)));
    QVERIFY(QFile::setPermissions(locked, QFileDevice::Permissions(0x7000)));
    QFile program(bin + QLatin1String("/gorsebright.exe"));
    QVERIFY(program.open(QIODevice::WriteOnly));
    program.close();
    Launcher recovery(work_->path(), QStringLiteral("recovery"));
    recovery.uid = spareUserAvailable() ? spareUid : 0;
    const QByteArray path = QFile::encodeName(locked + QLatin1Char(':') + bin);
    recovery.body = [&] {
        qInstallMessageHandler(nullptr);
        qputenv("QT_FORCE_STDERR_LOGGING", "1");
        qputenv("PATH", path);
        reportRecovery(recoverWatchedProgram());
    };
    QVERIFY(recovery.start());
    QVERIFY(recovery.waitForExit());
    QVERIFY(recovery.output().endsWith(starting() + startFailed()));
    QCOMPARE(recovery.errors(),
             QByteArray("watchdog: cannot start \"gorsebright.exe\": Permission denied\n"));
}

void RecoveryTest::replacesRunningProgram_data()
{
    // As a user whose process limit the running copies use up: only a kill
    // that needs no new process can then make room for the relaunch.
    QTest::addColumn<bool>("limited");
    QTest::newRow("plain") << false;
    if (!onWindows)
        QTest::newRow("process limit used up") << true;
}

void RecoveryTest::replacesRunningProgram()
{
    // Real kill by name: only where every such process is this test's own.
    REQUIRE_CONFINEMENT();
    QFETCH(bool, limited);
    if (limited && !spareUserAvailable())
        QSKIP(noSpareUser);
    const uint uid = limited ? spareUid : 0;
    qputenv("PATH", searchPathWith(standInDir()));
    // Open to every user (0777 in Qt's permission bits).
    QVERIFY(QFile::setPermissions(work_->path(), QFileDevice::Permissions(0x7777)));
    // What runs beforehand, each until the kernel names it as given: what a
    // user calls gorsebright.exe, to be killed, two stand-ins first, holding
    // places under the limit; and, where the kill by name is the watchdog's
    // own (not Windows' taskkill), what they do not, to be left alone.
    struct Program {
        QString file;
        QStringList arguments;
        QByteArray kernelName;
        bool killed;
        uint uid;
        QByteArray threadName; // it renames its thread to this
    };
    const QString standIn = standInDir() + QLatin1String("/gorsebright.exe");
    QList<Program> programs{{standIn, {}, "gorsebright.exe", true, uid, {}},
                            {standIn, {}, "hung-worker", true, uid, "hung-worker"}};
    const auto place = [&](const QString &name, const QByteArray &script) {
        const QString path = work_->filePath(name);
        QFile file(path);
        const bool placed =
            QDir().mkpath(QFileInfo(path).path()) &&
            (script.isNull()
                 ? QFile::copy(standIn, path)
                 : file.open(QIODevice::WriteOnly) && file.write(script) == script.size() &&
                       file.setPermissions(QFileDevice::Permissions(0x7755))); // 0755
        return placed ? path : QString();
    };
    const QByteArray waits = "while :; do sleep 3600; done\n";
    if (!onWindows) {
        const uint otherUser = uid == 0 ? spareUid : 0;
        programs
            << Program{place(QStringLiteral("script/gorsebright.exe"), "#!/bin/sh\n" + waits),
                       {},
                       "gorsebright.exe",
                       true,
                       uid,
                       {}}
            << Program{place(QStringLiteral("option/gorsebright.exe"), "#!/bin/sh -e\n" + waits),
                       {},
                       "gorsebright.exe",
                       true,
                       uid,
                       {}}
            << Program{place(QStringLiteral("C:\\G\\GORSEBRIGHT.EXE"), {}), // as Wine names it
                       {},
                       "C:\\G\\GORSEBRIGH",
                       true,
                       uid,
                       {}}
            << Program{place(QStringLiteral("gorsebright.exe-updater"), {}),
                       {QStringLiteral("gorsebright.exe")},
                       "gorsebright.exe",
                       false,
                       uid,
                       {}}
            << Program{place(QStringLiteral("gorsebright.exe.previous"), {}),
                       {},
                       "gorsebright.exe",
                       false,
                       uid,
                       {}}
            << Program{place(QStringLiteral("script/gorsebright.exe-updater"),
                             "#!/bin/sh\n" + waits),
                       {},
                       "gorsebright.exe",
                       false,
                       uid,
                       {}}
            << Program{QStringLiteral("tail"),
                       {QStringLiteral("-f"), place(QStringLiteral("viewed/gorsebright.exe"), "")},
                       "tail",
                       false,
                       uid,
                       {}};
        if (spareUserAvailable())
            programs << Program{standIn, {}, "gorsebright.exe", false, otherUser, {}};
    }
    std::list<Launcher> running;
    for (const Program &program : programs) {
        QVERIFY(!program.file.isEmpty() && !program.arguments.contains(QString()));
        Launcher &started = running.emplace_back(work_->path(), QStringLiteral("others"));
        started.program = program.file;
        started.arguments = program.arguments;
        started.uid = program.uid;
        started.environment.insert(QStringLiteral("STANDIN_THREAD_NAME"), program.threadName);
        QVERIFY(started.start());
        const QString kernelName = QStringLiteral("/proc/%1/comm").arg(started.pid());
        QVERIFY2(onWindows
                     ? !standInStart(work_->path(), started.pid()).directory.isEmpty()
                     : waitFor([&] { return readAll(kernelName).trimmed() == program.kernelName; }),
                 program.kernelName.constData());
    }

    QByteArray output;
    QByteArray errors;
    if (onWindows) {
        StdoutCapture capture(work_->filePath(QStringLiteral("recovery.out")));
        reportRecovery(recoverWatchedProgram());
        output = capture.take();
    } else {
        // In a child, as the user the copies run as, with its output in files.
        Launcher recovery(work_->path(), QStringLiteral("recovery"));
        recovery.uid = uid;
        recovery.body = [&] {
            qInstallMessageHandler(nullptr);
            qputenv("QT_FORCE_STDERR_LOGGING", "1");
            // One more copy, its own child, as every relaunched one is to a
            // container's first process: the kill must collect it, or its
            // place stays taken.
            Launcher own(work_->path(), QStringLiteral("own"));
            own.program = standIn;
            const QString kernelName = QStringLiteral("/proc/%1/comm");
            if (!own.start() ||
                !waitFor([&] { return readAll(kernelName.arg(own.pid())) == "gorsebright.exe\n"; }))
                std::_Exit(3);
            if (limited)
                useUpProcessLimit();
            reportRecovery(recoverWatchedProgram());
            if (processInfo(own.pid()).pid != 0) // running, or ended and not collected
                std::_Exit(4);
        };
        QVERIFY(recovery.start());
        // The test's killed children are its to collect, as a service
        // manager would.
        QVERIFY(waitFor([&] {
            for (Launcher &program : running)
                program.running();
            return !recovery.running();
        }));
        QCOMPARE(recovery.describe(), QStringLiteral("exited with code 0"));
        output = recovery.output();
        errors = recovery.errors();
    }
    output = withoutStandInLines(output);
    QVERIFY2(output.endsWith(starting() + started()), output + errors);
    QVERIFY2(errors.contains("cannot start \"taskkill /f /im gorsebright.exe\"") == limited,
             errors + readAll(work_->filePath(QStringLiteral("others.err"))));
    auto program = programs.cbegin();
    for (Launcher &started : running) {
        QVERIFY2(program->killed ? started.waitForExit() : started.running(),
                 qPrintable(program->file));
        started.kill(); // the relaunched one alone is left
        ++program;
    }

    const qint64 newPid = soleWatchedProcess();
    QVERIFY(newPid != 0);
    const StandInStart relaunched = standInStart(work_->path(), newPid);
    QCOMPARE(relaunched.arguments, QStringLiteral("\"crash_restore\""));
    QCOMPARE(relaunched.directory, QDir(work_->path()).canonicalPath());
    // Detached: in a session of its own (as the first process of its PID
    // namespace, this test also adopts orphans, so the parent proves nothing).
    // Windows tells no sessions here.
    if (!onWindows) {
        const ProcessInfo program = processInfo(newPid);
        QVERIFY(program.sessionId != processInfo(QCoreApplication::applicationPid()).sessionId);
        QCOMPARE(program.ignoredSignals, quint64(0));
    }
}

QTEST_GUILESS_MAIN(RecoveryTest)
#include "tst_recovery.moc"
