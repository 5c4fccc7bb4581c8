// The real watchdog binary, run confined in a scratch folder with its output
// in files: the kills by name it makes reach only this test's own.

#include "launcher.h"
#include "process_table.h"
#include "supervision.h"

#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QtTest>
#include <climits>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

using namespace testsupport;

namespace
{

// The log records, apart from what the watchdog says once at start (on
// Windows, that gorsebright.exe is not in its folder).
QList<QByteArray> logRecords(const QByteArray &errors)
{
    QList<QByteArray> lines;
    for (const QByteArray &line : errors.trimmed().split('\n')) {
        if (!line.contains(" watchdog: "))
            lines << line.trimmed();
    }
    return lines;
}

[[maybe_unused]] quint64 signalBit(int signal)
{
    return quint64(1) << (signal - 1);
}

} // namespace

class WatchdogTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void firstPass_data();
    void firstPass();
    void firstPassAsInit();
    void unusualStandardStreams_data();
    void unusualStandardStreams();
    void secondPassRecovers_data();
    void secondPassRecovers();
    void folderReplaced_data();
    void folderReplaced();
};

void WatchdogTest::initTestCase()
{
    REQUIRE_CONFINEMENT();
}

void WatchdogTest::firstPass_data()
{
    QTest::addColumn<bool>("heartbeatExists");
    // Where it runs: "" the scratch folder, "beside" the same with a
    // gorsebright.exe in it; else below it a folder named in Windows-1251
    // bytes, one whose parent its user may not search, or one whose path is
    // longer than PATH_MAX.
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QByteArray>("warning"); // on stderr before the record
    // Where Windows would relaunch the program found beside the watchdog.
    const QByteArray notBeside = onWindows ? "gorsebright.exe is not in" : "";
    QTest::newRow("no heartbeat file") << false << "" << notBeside;
    QTest::newRow("heartbeat file") << true << "" << notBeside;
    if (onWindows) {
        QTest::newRow("gorsebright.exe beside it") << false << "beside" << QByteArray();
        // Under ProgramData, an older Gorsebright's heartbeat, which Windows
        // keeps in the user's VirtualStore, beside one in the folder: the
        // newer of the two counts.
        const QByteArray redirected("Windows redirects for older programs");
        QTest::newRow("virtualized heartbeat newer")
            << true << "ProgramData 09:10:11" << redirected;
        QTest::newRow("virtualized heartbeat older")
            << true << "ProgramData 05:06:07" << redirected;
    } else {
        QTest::newRow("Windows-1251 folder name") << false << "cp1251" << QByteArray();
        QTest::newRow("unreadable parent")
            << false << "unreadable parent"
            << QByteArray("cannot look at the folder it was started in");
        QTest::newRow("path longer than PATH_MAX")
            << false << "long" << QByteArray("cannot tell the path");
    }
}

void WatchdogTest::firstPass()
{
    QFETCH(bool, heartbeatExists);
    QFETCH(QString, folder);
    QFETCH(QByteArray, warning);
    QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    // A folder Windows virtualizes, and where it would keep the heartbeat.
    QScopedPointer<QTemporaryDir> programData;
    QTime newest;
    QString copyFolder;
    const auto copyRemoved = qScopeGuard([&] {
        if (!copyFolder.isEmpty()) // QDir("") is the working folder
            QDir(copyFolder).removeRecursively();
    });
    if (folder.startsWith(QLatin1String("ProgramData"))) {
        programData.reset(
            new QTemporaryDir(QDir::fromNativeSeparators(qEnvironmentVariable("ProgramData")) +
                              QLatin1String("/watchdog-test-XXXXXX")));
        QVERIFY(programData->isValid());
        copyFolder = QDir::fromNativeSeparators(qEnvironmentVariable("LOCALAPPDATA")) +
                     QLatin1String("/VirtualStore/") +
                     QDir(programData->path()).canonicalPath().mid(3);
        QVERIFY(QDir().mkpath(copyFolder));
        QFile copy(copyFolder + QLatin1String("/is_run.txt"));
        QVERIFY(copy.open(QIODevice::WriteOnly));
        const QTime copyTime = QTime::fromString(folder.split(QLatin1Char(' ')).at(1));
        QVERIFY(copy.setFileTime(QDateTime(QDate(2026, 12, 1), copyTime),
                                 QFileDevice::FileModificationTime));
        folder = QStringLiteral("beside");
        newest = qMax(newest, copyTime);
    }
    const QTemporaryDir &work = programData ? *programData : scratch;
    Launcher watchdog(work.path());
    if (heartbeatExists) {
        QFile heartbeat(work.filePath(QStringLiteral("is_run.txt")));
        QVERIFY(heartbeat.open(QIODevice::WriteOnly));
        QVERIFY(heartbeat.setFileTime(QDateTime(QDate(2026, 12, 1), QTime(7, 8, 9)),
                                      QFileDevice::FileModificationTime));
        newest = qMax(newest, QTime(7, 8, 9));
    }
    const QByteArray expectedLog =
        console('"' + newest.toString(QStringLiteral("HH:mm:ss")).toLatin1() + "\"\n");
    if (folder == QLatin1String("beside")) {
        QFile program(work.filePath(QStringLiteral("gorsebright.exe")));
        QVERIFY(program.open(QIODevice::WriteOnly));
    }
    // Beyond PATH_MAX, only rm removes it.
    const auto removed = qScopeGuard([&] {
        if (!watchdog.descend.isEmpty())
            QProcess::execute(QStringLiteral("rm"),
                              {QStringLiteral("-rf"), work.filePath(QStringLiteral("sub"))});
    });
    if (folder != QLatin1String("beside") && !folder.isEmpty()) {
        QByteArrayList below{"sub"};
        const int more = folder == QLatin1String("long") ? PATH_MAX / 200 + 1 : 1;
        for (int step = 0; step < more; ++step)
            below << (folder == QLatin1String("cp1251") ? QByteArray("\xcf\xe0\xef\xea\xe0")
                                                        : QByteArray(200, 'd'));
        QVERIFY(makeFolders(work.path(), below));
        watchdog.descend = below;
        if (folder == QLatin1String("unreadable parent")) {
            if (!spareUserAvailable())
                QSKIP(noSpareUser);
            watchdog.uid = spareUid; // the scratch folder is root's, mode 0700
        }
    }
    const QByteArray expected = banner() + firstStart();
    QVERIFY(watchdog.start());
    // Only what was written through to the file by now survives the kill.
    QVERIFY(waitFor([&] { return watchdog.output().size() >= expected.size(); }));
    QVERIFY(waitFor([&] { return watchdog.errors().endsWith(expectedLog); }));
    QVERIFY(watchdog.running());
    watchdog.kill();

    QCOMPARE(watchdog.output(), expected);
    const QByteArray errors = watchdog.errors();
    QVERIFY2(errors.contains(warning) && errors.endsWith(expectedLog), errors.constData());
    QCOMPARE(errors.count('\n'), expectedLog.count('\n') + (warning.isEmpty() ? 0 : 1));
}

// In a PID namespace of its own, with a child it never started that has
// already ended, as orphans are left to a container's first process.
void WatchdogTest::firstPassAsInit()
{
#ifdef Q_OS_WIN
    QSKIP("the first process of a PID namespace is Linux's");
#else
    QTemporaryDir work;
    QVERIFY(work.isValid());
    Launcher watchdog(work.path());
    watchdog.asInit = true;
    QVERIFY(watchdog.start());
    QVERIFY(waitFor([&] {
        return watchdog.output() == banner() + firstStart() && watchdog.errors() == "\"\"\n";
    }));
    // The orphan that had ended is collected by now, and one that ends
    // later as it ends, not 40 s later, at the next pass. SIGTERM, which the
    // kernel would let it ignore, ends it.
    const QString children = QStringLiteral("/proc/%1/task/%1/children");
    const qint64 init = readAll(children.arg(watchdog.pid())).trimmed().toLongLong();
    QVERIFY(init > 0);
    QCOMPARE(readAll(children.arg(init)).trimmed().split(' ').size(), 1);
    QVERIFY(QFile(work.filePath(QStringLiteral("orphan.ends"))).open(QIODevice::WriteOnly));
    QVERIFY(waitFor([&] { return readAll(children.arg(init)).isEmpty(); }));
    QCOMPARE(::kill(pid_t(init), SIGTERM), 0);
    QVERIFY(watchdog.waitForExit());
    QCOMPARE(watchdog.describe(), QStringLiteral("exited with code %1").arg(128 + SIGTERM));
#endif
}

void WatchdogTest::unusualStandardStreams_data()
{
    if (onWindows)
        QSKIP("a pipe with no reader only kills on Unix, through SIGPIPE, and descriptors are "
              "Unix's");
    QTest::addColumn<bool>("closed"); // all three; else stdout is a pipe with no reader
    QTest::newRow("stdout a pipe with no reader") << false;
    QTest::newRow("all closed") << true;
}

void WatchdogTest::unusualStandardStreams()
{
#ifndef Q_OS_WIN
    QFETCH(bool, closed);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    Launcher watchdog(work.path());
    int fds[2];
    QCOMPARE(pipe2(fds, O_CLOEXEC), 0);
    ::close(fds[0]);
    watchdog.stdoutFd = fds[1];
    watchdog.closeStandardStreams = closed;
    const bool started = watchdog.start();
    ::close(fds[1]);
    QVERIFY(started);
    const auto fdTarget = [&](int fd) {
        char target[64] = {};
        const QByteArray link =
            QFile::encodeName(QStringLiteral("/proc/%1/fd/%2").arg(watchdog.pid()).arg(fd));
        return QByteArray(
            target, int(qMax(ssize_t(0), readlink(link.constData(), target, sizeof target - 1))));
    };

    // The banner's write fails; the first pass must still log its record.
    // With nothing open, the guard's socket is the watchdog's first own
    // descriptor: fds 0 to 2 must not be it, nor anything else of its own.
    const bool settled = waitFor([&] {
        if (!closed)
            return watchdog.errors() == "\"\"\n";
        for (int fd = 0; fd < 16; ++fd) {
            if (fdTarget(fd).startsWith("socket:"))
                return true;
        }
        return false;
    });
    QByteArrayList standardStreams;
    for (int fd = 0; closed && fd <= 2; ++fd)
        standardStreams << fdTarget(fd);
    const bool ran = watchdog.running();
    watchdog.kill();
    QVERIFY2(ran, "the watchdog ended");
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
    if (onWindows) {
        QTest::newRow("relaunched") << true << QString();
    } else {
        QTest::newRow("relaunched, output on a full disk") << true << "full disk";
        QTest::newRow("relaunched, output to a stopped terminal") << true << "stopped terminal";
    }
    QTest::newRow("program missing") << false << QString();
}

void WatchdogTest::secondPassRecovers()
{
    QFETCH(bool, programFound);
    QFETCH(QString, output);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const auto relaunchedKilled = qScopeGuard([&] { killWatchedProcessesIn(work.path()); });
    Output stdoutTarget(work.path(), output);
    if (!stdoutTarget.skipReason.isEmpty())
        QSKIP(qPrintable(stdoutTarget.skipReason));
    QVERIFY2(stdoutTarget.failure.isEmpty(), qPrintable(stdoutTarget.failure));

    Launcher watchdog(work.path());
    watchdog.out = stdoutTarget.path;
    // Without the stand-in's folder, only one with nothing to start.
    watchdog.findProgramsIn(programFound ? standInDir() : work.filePath(QStringLiteral("empty")));
    // Seconds since the start, from the watchdog's own clock.
    watchdog.environment.insert(QStringLiteral("QT_MESSAGE_PATTERN"),
                                QStringLiteral("%{time process} %{message}"));
    // What the watchdog inherits, which must not reach the relaunched program:
    // on Windows a handle, on Linux signals ignored and blocked.
#ifdef Q_OS_WIN
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    const HANDLE probe = CreateFileW(
        reinterpret_cast<const wchar_t *>(work.filePath(QStringLiteral("probe")).utf16()),
        GENERIC_WRITE, 0, &inheritable, CREATE_ALWAYS, 0, nullptr);
    QVERIFY(probe != INVALID_HANDLE_VALUE);
    const auto probeClosed = qScopeGuard([&] { CloseHandle(probe); });
    watchdog.environment.insert(QStringLiteral("STANDIN_PROBE_HANDLE"),
                                QString::number(quintptr(probe)));
#else
    watchdog.careless = true;
#endif
    QVERIFY(watchdog.start());
    const auto records = [&] { return logRecords(watchdog.errors()); };
    // Asleep after its first pass: every write of that pass has been tried.
    QVERIFY(waitFor([&] {
        const std::optional<bool> asleep = watchdog.asleep();
        return records().size() == 1 &&
               (asleep ? *asleep : stdoutTarget.shown().endsWith(firstStart()));
    }));
#ifndef Q_OS_WIN
    const ProcessInfo self = processInfo(watchdog.pid());
    QVERIFY(self.ignoredSignals & signalBit(SIGHUP));
    QVERIFY(self.blockedSignals & signalBit(SIGUSR1));
#endif
    if (!output.isEmpty()) {
        QVERIFY(stdoutTarget.shown().isEmpty());
        QVERIFY(stdoutTarget.release());
    }

    // A second instance is refused without a word and leaves the first alone.
    Launcher second(work.path(), QStringLiteral("second"));
    QVERIFY(second.start());
    QVERIFY(second.waitForExit());
    QCOMPARE(second.describe(), QStringLiteral("exited with code 1"));
    QVERIFY(second.output().isEmpty());
    QVERIFY(second.errors().isEmpty());

    const QByteArray outcome = programFound ? started() : startFailed();
    QVERIFY(waitFor(
        [&] {
            const QByteArray shown = withoutStandInLines(stdoutTarget.shown());
            return shown.endsWith(started()) || shown.endsWith(startFailed());
        },
        int(checkIntervalMs) + eventTimeoutMs));
    const QList<QByteArray> passes = records();
    QCOMPARE(passes.size(), 2);
    const double interval =
        passes.at(1).split(' ').value(0).toDouble() - passes.at(0).split(' ').value(0).toDouble();
    // The second record comes after the recovery: on Windows after taskkill
    // and tskill, which Wine starts slowly under load.
    const double recoveryAllowance = onWindows ? 10.0 : 1.0;
    QVERIFY2(interval >= 40.0 && interval < 40.0 + recoveryAllowance,
             QByteArray::number(interval).constData());
    for (const QByteArray &record : passes)
        QVERIFY2(record.endsWith(" \"\""), record.constData());
    // Said once on Windows: the stand-in is found on PATH, not in the watched folder.
    QCOMPARE(watchdog.errors().count("gorsebright.exe is not in"), onWindows ? 1 : 0);

    // What could not be written was lost, and nothing after it. Between the
    // verdict and the start come the kill tools' own lines: none on Linux,
    // where they are not installed, but taskkill says it finds nothing under Wine.
    const QByteArray beginning =
        (output.isEmpty() ? banner() + firstStart() : QByteArray()) + hung();
    const QByteArray end = starting() + outcome;
    const QByteArray written = withoutStandInLines(stdoutTarget.shown());
    QVERIFY2(written.startsWith(beginning) && written.endsWith(end), written.constData());
    const QByteArray toolLines =
        written.mid(beginning.size(), written.size() - beginning.size() - end.size());
    QVERIFY2(toolLines.isEmpty() || (onWindows && toolLines.endsWith(console("\n"))),
             toolLines.constData());
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
    QVERIFY(waitFor([&] {
        said = readAll(work.filePath(QStringLiteral("gorsebright.log")));
        return said.contains(handleLine);
    }));
    QVERIFY2(!said.contains("probe"), said.constData());
#else
    QCOMPARE(processInfo(relaunched).ignoredSignals, quint64(0));
    QCOMPARE(processInfo(relaunched).blockedSignals, quint64(0));
#endif

    watchdog.kill();
    QVERIFY(isAlive(relaunched));

    // Nothing of the guard went with the relaunched program: a new watchdog runs.
    Launcher next(work.path(), QStringLiteral("next"));
    QVERIFY(next.start());
    QVERIFY(waitFor([&] { return next.output().size() >= (banner() + firstStart()).size(); }));
    QCOMPARE(next.output(), banner() + firstStart());
    QVERIFY(next.running());
}

void WatchdogTest::folderReplaced_data()
{
    // Windows does not let a working folder be renamed.
    if (onWindows)
        QSKIP("Windows keeps a working folder from being renamed");
    // After the first pass, as a deploy does: "folder" renamed and made anew,
    // or "link" (by which it was started) switched to another folder.
    QTest::addColumn<QString>("replaced");
    QTest::newRow("folder replaced") << "folder";
    QTest::newRow("link switched") << "link";
}

// The watchdog ends rather than kill and relaunch in a folder that is no
// longer the one it was started in, and names it.
void WatchdogTest::folderReplaced()
{
    QFETCH(QString, replaced);
    QTemporaryDir work;
    QVERIFY(work.isValid());
    const auto cleanUp = qScopeGuard([&] {
        killWatchedProcessesIn(work.path());
        // Qt cannot name what is in a folder named in other bytes than the
        // locale's.
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), work.path()});
    });
    Launcher watchdog(work.path());
    const QByteArray base = QFile::encodeName(work.path()) + '/';
    // Started in a folder named in Windows-1251 bytes, which the message
    // shows as escapes; or through a link, as from a shell, which tells the
    // way in PWD.
    const QByteArray folder = "\xcf\xe0\xef\xea\xe0";
    const QString link = work.filePath(QStringLiteral("current"));
    if (replaced == QLatin1String("folder")) {
        QVERIFY(makeFolders(work.path(), {folder}));
        watchdog.descend = {folder};
    } else {
        QVERIFY(QDir(work.path()).mkdir(QStringLiteral("1.0")));
        QVERIFY(QFile::link(work.filePath(QStringLiteral("1.0")), link));
        watchdog.folder = link;
        watchdog.environment.insert(QStringLiteral("PWD"), link);
    }
    QVERIFY(watchdog.start());
    QVERIFY(waitFor([&] { return watchdog.output().endsWith(firstStart()); }));

    // As a deploy does it, in one step: the folder renamed and made anew, or
    // the link switched to another folder.
    if (replaced == QLatin1String("folder")) {
        QCOMPARE(std::rename((base + folder).constData(), (base + "old").constData()), 0);
        QVERIFY(makeFolders(work.path(), {folder}));
    } else {
        QVERIFY(QFile::link(work.filePath(QStringLiteral("1.1")), link + QLatin1String(".new")));
        QVERIFY(QDir(work.path()).mkdir(QStringLiteral("1.1")));
        QCOMPARE(std::rename(QFile::encodeName(link + QLatin1String(".new")).constData(),
                             QFile::encodeName(link).constData()),
                 0);
    }
    QVERIFY(watchdog.waitForExit(int(checkIntervalMs) + eventTimeoutMs));
    QCOMPARE(watchdog.describe(), QStringLiteral("exited with code 3"));
    QCOMPARE(watchdog.output(), banner() + firstStart());
    const QByteArray shownPath = replaced == QLatin1String("folder")
                                     ? base + "\\xcf\\xe0\\xef\\xea\\xe0"
                                     : QFile::encodeName(link);
    QVERIFY2(watchdog.errors().contains(shownPath + ", has been deleted or replaced"),
             watchdog.errors().constData());
    QVERIFY(watchedProcesses().isEmpty());
}

QTEST_GUILESS_MAIN(WatchdogTest)
#include "tst_watchdog.moc"
