// The single-instance guard on the real binary, run confined: it meets only
// the watchdogs it starts itself. Every case has its own TMPDIR, where Qt
// keeps the guard's key files on Unix.

#include "testsupport.h"

#include <QProcess>
#include <QScopeGuard>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QtTest>
#include <list>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#include <sys/un.h>
#endif

using namespace testsupport;

namespace
{

// A watchdog started by the test, its output in files. One held at a gate
// does not run until the gate opens, so that several can be let go at once.
class Instance : public ChildSetupProcess
{
  public:
    QString name;
    QString out;
    QString err;
#ifdef Q_OS_WIN
    const PROCESS_INFORMATION *suspended = nullptr;
#else
    uid_t uid = 0;

  protected:
    void setupChild() override
    {
        if (uid != 0 && !switchUser(uid))
            _exit(126);
    }
#endif
};

// On Unix each child waits, before it becomes the watchdog, for a pipe to be
// closed: a shell reads it to its end, then executes the watchdog. (Not
// between fork and exec: Qt 6.4 keeps the parent waiting there.) On Windows
// each is created suspended and resumed.
class Gate
{
  public:
    Gate()
    {
#ifndef Q_OS_WIN
        QCOMPARE(pipe(fds_), 0);
#endif
    }
    void hold(Instance &instance)
    {
#ifdef Q_OS_WIN
        instance.setCreateProcessArgumentsModifier(
            [&instance](QProcess::CreateProcessArguments *arguments) {
                arguments->flags |= CREATE_SUSPENDED;
                instance.suspended = arguments->processInformation;
            });
#else
        // Bash, whose redirections take descriptors above 9.
        instance.setArguments({QStringLiteral("-c"),
                               QStringLiteral("exec %1>&-; cat <&%2 >/dev/null; exec \"$0\"")
                                   .arg(fds_[1])
                                   .arg(fds_[0]),
                               instance.program()});
        instance.setProgram(QStringLiteral("/bin/bash"));
#endif
    }
    void open(const std::list<Instance> &held)
    {
#ifdef Q_OS_WIN
        for (const Instance &instance : held) {
            // A start tried again was held anew; one never made is not running.
            if (instance.suspended && instance.state() != QProcess::NotRunning)
                ResumeThread(instance.suspended->hThread);
        }
#else
        Q_UNUSED(held);
        ::close(fds_[0]);
        ::close(fds_[1]);
#endif
    }

  private:
#ifndef Q_OS_WIN
    int fds_[2] = {-1, -1};
#endif
};

// Every watchdog started and not yet cleaned up.
std::list<Instance> instances;

// Starts a watchdog in dir, with tmpDir as TMPDIR (dir when empty), held at
// gate when one is given, as the spare user when asked.
Instance &launch(const QTemporaryDir &dir, const QString &name, const QString &tmpDir = QString(),
                 Gate *gate = nullptr, bool asSpareUser = false)
{
    Instance &instance = instances.emplace_back();
#ifndef Q_OS_WIN
    if (asSpareUser)
        instance.uid = spareUid;
#else
    Q_UNUSED(asSpareUser);
#endif
    instance.name = name;
    instance.out = dir.filePath(name + QLatin1String(".out"));
    instance.err = dir.filePath(name + QLatin1String(".err"));
    instance.setProgram(watchdogBinary());
    instance.setWorkingDirectory(dir.path());
    instance.setStandardOutputFile(instance.out);
    instance.setStandardErrorFile(instance.err);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TMPDIR"), tmpDir.isEmpty() ? dir.path() : tmpDir);
    // No kill tool or watched program to be found, should a pass recover
    // (Windows still searches its own folders).
    environment.insert(QStringLiteral("PATH"), dir.filePath(QStringLiteral("nonexistent")));
    instance.setProcessEnvironment(environment);
    if (gate)
        gate->hold(instance);
    startProcess(instance, gate ? Start::Held : Start::Running);
    return instance;
}

// Waits until the instance has either ended or finished its first pass.
// Returns its exit code, -1 while it runs, -2 if it never settled, -3 if it
// crashed.
int settle(Instance &instance)
{
    const bool settled = waitFor(
        [&] {
            // The verdict is the last thing the first pass writes.
            return instance.waitForFinished(0) || instance.state() == QProcess::NotRunning ||
                   readAll(instance.out).endsWith(firstStart());
        },
        eventTimeoutMs);
    if (!settled)
        return -2;
    if (instance.state() != QProcess::NotRunning)
        return -1;
    return instance.exitStatus() == QProcess::NormalExit ? instance.exitCode() : -3;
}

// Ends the instance with the command line how and its process id, or at once.
void stop(Instance &instance, const QString &how = QString())
{
    if (instance.state() == QProcess::NotRunning)
        return;
    if (how.isEmpty()) {
        instance.kill();
    } else {
        QStringList command = how.split(QLatin1Char(' '));
        QProcess killer;
        killer.setProgram(command.takeFirst());
        killer.setArguments(command << QString::number(instance.processId()));
        QVERIFY(startProcess(killer));
        QVERIFY(killer.waitForFinished(eventTimeoutMs));
    }
    QVERIFY(instance.waitForFinished(eventTimeoutMs));
}

// Stops every instance and removes its output files. Under Wine a process
// counts as ended a moment before its files are closed, and an open file
// cannot be removed, so this waits for that too.
void stopAll()
{
    QStringList files;
    for (Instance &instance : instances) {
        stop(instance);
        files << instance.out << instance.err;
    }
    instances.clear();
    for (const QString &file : files)
        QVERIFY(
            waitFor([&] { return QFile::remove(file) || !QFile::exists(file); }, eventTimeoutMs));
}

bool refusedSilently(Instance &instance)
{
    return settle(instance) == 1 && readAll(instance.out).isEmpty() &&
           readAll(instance.err).isEmpty();
}

// What every instance did, a line each, for the message of a failed check.
QByteArray report()
{
    const auto shown = [](const QByteArray &output) {
        if (output == banner() + firstStart())
            return QByteArray("banner and first verdict");
        return output.isEmpty() ? QByteArray("nothing") : '"' + printable(output) + '"';
    };
    QByteArray lines;
    for (const Instance &instance : instances)
        lines += "\n  " + instance.name.toLocal8Bit() + ": " + describe(instance).toLocal8Bit() +
                 ", stdout " + shown(readAll(instance.out)) + ", stderr " +
                 shown(readAll(instance.err));
    return lines;
}

// Checks on one instance that, when they fail, tell what every one did.
#define VERIFY_SETTLED(condition)                                                                  \
    do {                                                                                           \
        const bool met = (condition);                                                              \
        if (!QTest::qVerify(met, #condition, report().constData(), __FILE__, __LINE__))            \
            return;                                                                                \
    } while (false)
#define VERIFY_REFUSED(instance) VERIFY_SETTLED(refusedSilently(instance))
#define VERIFY_RUNNING(instance) VERIFY_SETTLED(settle(instance) == -1)

} // namespace

class GuardTest : public QObject
{
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanup();
    void secondInstanceRefused_data();
    void secondInstanceRefused();
    void restartAfterKill_data();
    void restartAfterKill();
    void simultaneousStarts_data();
    void simultaneousStarts();
};

void GuardTest::initTestCase()
{
    REQUIRE_CONFINEMENT();
}

void GuardTest::cleanup()
{
    // A failed check must not leave watchdogs behind.
    stopAll();
}

void GuardTest::secondInstanceRefused_data()
{
    // What happens between the first start and the later ones.
    QTest::addColumn<bool>("moveKeyFiles"); // as a temp cleaner would, inodes kept taken
    QTest::addColumn<bool>("otherTmpDir");
    // Made and held by someone else beforehand: the semaphore at zero, or
    // the spare user's instance name, by another user that listens on it or not.
    QTest::addColumn<QString>("heldBeforehand");
    // What the first start then says on stderr, ending with status 4.
    QTest::addColumn<QByteArray>("refusal");
    QTest::newRow("same TMPDIR") << false << false << QString() << QByteArray();
#ifndef Q_OS_WIN // where the guard has no files
    QTest::newRow("key files moved away") << true << false << QString() << QByteArray();
    QTest::newRow("another TMPDIR") << false << true << QString() << QByteArray();
    QTest::newRow("semaphore held at zero") << false << false << "semaphore" << QByteArray();
    QTest::newRow("name listened on by another user")
        << false << false << "listening" << QByteArray("of user 0, not by a watchdog of this user");
    QTest::newRow("name bound by another user")
        << false << false << "bound" << QByteArray("is held by a program that is not a watchdog");
#endif
}

void GuardTest::secondInstanceRefused()
{
    QFETCH(bool, moveKeyFiles);
    QFETCH(bool, otherTmpDir);
    QFETCH(QString, heldBeforehand);
    QFETCH(QByteArray, refusal);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray savedTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(dir.path())); // where Qt puts its key file
    QSystemSemaphore heldSemaphore(
        heldBeforehand == QLatin1String("semaphore") ? QStringLiteral("<uniq id>") : QString(), 0,
        QSystemSemaphore::Create);
    savedTmpDir.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTmpDir);
    const auto stopped = qScopeGuard(stopAll); // before their folder goes
#ifndef Q_OS_WIN
    if (!refusal.isEmpty()) {
        if (!spareUserAvailable())
            QSKIP(noSpareUser);
        const int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const auto closed = qScopeGuard([&] { ::close(squatter); });
        const QByteArray name = "watchdog <uniq id 2> uid " + QByteArray::number(spareUid);
        sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
        QCOMPARE(bind(squatter, reinterpret_cast<const sockaddr *>(&address),
                      socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()))),
                 0);
        if (heldBeforehand == QLatin1String("listening"))
            QCOMPARE(listen(squatter, 1), 0);
        // Not taken for another watchdog of this user, which would be silent.
        Instance &refused = launch(dir, QStringLiteral("refused"), QString(), nullptr, true);
        VERIFY_SETTLED(settle(refused) == 4 && readAll(refused.out).isEmpty() &&
                       readAll(refused.err).contains(refusal));
        return;
    }
#endif
    Instance &first = launch(dir, QStringLiteral("first"));
    VERIFY_RUNNING(first);
    if (moveKeyFiles) {
        QDir keys(dir.path());
        QVERIFY(keys.mkdir(QStringLiteral("moved")));
        const QStringList keyFiles = keys.entryList({QStringLiteral("qipc_*")}, QDir::Files);
        QVERIFY(!keyFiles.isEmpty());
        for (const QString &file : keyFiles)
            QVERIFY(keys.rename(file, QLatin1String("moved/") + file));
    }
    QString tmpDir;
    if (otherTmpDir) {
        tmpDir = dir.filePath(QStringLiteral("tmp"));
        QVERIFY(QDir().mkpath(tmpDir));
    }

    VERIFY_REFUSED(launch(dir, QStringLiteral("second"), tmpDir));
    VERIFY_REFUSED(launch(dir, QStringLiteral("third"), tmpDir));
    // The refused ones left the running one's guard in place.
    VERIFY_REFUSED(launch(dir, QStringLiteral("fourth"), tmpDir));
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(readAll(first.out), banner() + firstStart());
}

void GuardTest::restartAfterKill_data()
{
    QTest::addColumn<QString>("how"); // a command line that ends a process by id
    QTest::addColumn<bool>("loseKeyFile");
#ifdef Q_OS_WIN
    QTest::newRow("taskkill /f") << "taskkill /f /pid" << false;
#else
    QTest::newRow("SIGKILL") << "kill -KILL" << false;
    QTest::newRow("SIGTERM") << "kill -TERM" << false;
    QTest::newRow("SIGINT") << "kill -INT" << false;
    // The key file made anew tends to get the old one's inode, so its key
    // names the abandoned segment.
    QTest::newRow("SIGKILL, key file lost") << "kill -KILL" << true;
#endif
}

void GuardTest::restartAfterKill()
{
    QFETCH(QString, how);
    QFETCH(bool, loseKeyFile);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto stopped = qScopeGuard(stopAll); // before their folder goes
    Instance &first = launch(dir, QStringLiteral("first"));
    VERIFY_RUNNING(first);
    VERIFY_REFUSED(launch(dir, QStringLiteral("refused")));
    stop(first, how);
    QCOMPARE(first.state(), QProcess::NotRunning);
    if (loseKeyFile) {
        const QStringList keyFiles =
            QDir(dir.path()).entryList({QStringLiteral("qipc_sharedmemory_*")}, QDir::Files);
        QCOMPARE(keyFiles.size(), 1);
        QVERIFY(QFile::remove(dir.filePath(keyFiles.first())));
    }

    // Whatever the first left behind must not refuse its successor, and the
    // successor must hold the guard in its turn.
    Instance &next = launch(dir, QStringLiteral("next"));
    VERIFY_RUNNING(next);
    QCOMPARE(readAll(next.out), banner() + firstStart());
    VERIFY_REFUSED(launch(dir, QStringLiteral("refused again")));
}

void GuardTest::simultaneousStarts_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("rounds");
    QTest::newRow("two at once") << 2 << 20;
    QTest::newRow("eight at once") << 8 << 3;
}

void GuardTest::simultaneousStarts()
{
    QFETCH(int, count);
    QFETCH(int, rounds);
    for (int round = 0; round < rounds; ++round) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const auto stopped = qScopeGuard(stopAll);
        Gate gate;
        for (int i = 0; i < count; ++i)
            launch(dir, QString::number(i), QString(), &gate);
        gate.open(instances); // lets them all go

        // Judged only once all have settled: a survivor stopped early would
        // let a slower one through.
        QVector<int> statuses;
        for (Instance &instance : instances)
            statuses << settle(instance);
        int running = 0;
        int refused = 0;
        int i = 0;
        for (const Instance &instance : instances) {
            if (statuses.at(i) == 1 && readAll(instance.out).isEmpty())
                ++refused;
            if (statuses.at(i++) == -1)
                ++running;
        }
        const QByteArray what = "round " + QByteArray::number(round) + report();
        QVERIFY2(running == 1, what.constData());
        QVERIFY2(refused == count - 1, what.constData());
    }
}

QTEST_GUILESS_MAIN(GuardTest)
#include "tst_guard.moc"
