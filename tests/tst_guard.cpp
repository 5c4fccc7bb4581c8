// The single-instance guard on the real binary, run confined: it meets only
// the watchdogs it starts itself. Every case has its own TMPDIR, where Qt
// keeps the guard's key files on Unix.

#include "launcher.h"
#include "process_table.h"

#include <QScopeGuard>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QtTest>
#include <list>
#include <sys/stat.h>

#ifndef Q_OS_WIN
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

using namespace testsupport;

namespace
{

// Every watchdog started and not yet cleaned up.
std::list<Launcher> instances;

// A watchdog to start in dir, with tmpDir as TMPDIR (dir when empty), as
// user uid when one is given.
Launcher &prepare(const QTemporaryDir &dir, const QString &name, const QString &tmpDir = QString(),
                  uint uid = 0)
{
    Launcher &instance = instances.emplace_back(dir.path(), name);
    if (!tmpDir.isEmpty())
        instance.environment.insert(QStringLiteral("TMPDIR"), tmpDir);
    // No kill tool or watched program to be found, should a pass recover
    // (Windows still searches its own folders).
    instance.environment.insert(QStringLiteral("PATH"),
                                dir.filePath(QStringLiteral("nonexistent")));
    instance.uid = uid;
    return instance;
}

// Starts a watchdog as prepare() does, held at gate when one is given.
Launcher &launch(const QTemporaryDir &dir, const QString &name, const QString &tmpDir = QString(),
                 Gate *gate = nullptr, uint uid = 0)
{
    Launcher &instance = prepare(dir, name, tmpDir, uid);
    instance.start(gate);
    return instance;
}

// Waits until the instance has either ended or finished its first pass.
// Returns its exit code, -1 while it runs, -2 if it never settled, -3 if it
// crashed.
int settle(Launcher &instance)
{
    // The verdict is the last thing the first pass writes.
    if (!waitFor([&] { return !instance.running() || instance.output().endsWith(firstStart()); }))
        return -2;
    if (instance.running())
        return -1;
    return instance.exitCode() < 0 ? -3 : instance.exitCode();
}

// Ends the instance with the command line how and its process id, or at once.
void stop(Launcher &instance, const QString &how = QString())
{
    if (!instance.running())
        return;
    if (how.isEmpty()) {
        instance.kill();
    } else {
        QStringList command = how.split(QLatin1Char(' '));
        Launcher killer(instance.folder, QStringLiteral("killer"));
        killer.program = command.takeFirst();
        killer.arguments = command << QString::number(instance.pid());
        QVERIFY(killer.start());
        QVERIFY(killer.waitForExit());
    }
    QVERIFY(instance.waitForExit());
}

// Stops every instance and removes its output files. Under Wine a process
// counts as ended a moment before its files are closed, and an open file
// cannot be removed, so this waits for that too.
void stopAll()
{
    QStringList files;
    for (Launcher &instance : instances) {
        instance.kill();
        files << instance.out << instance.err;
    }
    instances.clear();
    for (const QString &file : files)
        QVERIFY(waitFor([&] { return QFile::remove(file) || !QFile::exists(file); }));
}

quint64 inode(const QString &path)
{
    struct stat status = {};
    return stat(QFile::encodeName(path).constData(), &status) == 0 ? quint64(status.st_ino) : 0;
}

bool refusedSilently(Launcher &instance)
{
    return settle(instance) == 1 && instance.output().isEmpty() && instance.errors().isEmpty();
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
    for (Launcher &instance : instances)
        lines += "\n  " + instance.name.toLocal8Bit() + ": " + instance.describe().toLocal8Bit() +
                 ", stdout " + shown(instance.output()) + ", stderr " + shown(instance.errors());
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
    void nameHeldByAnotherUser_data();
    void nameHeldByAnotherUser();
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
    // Made by someone else beforehand and held at zero.
    QTest::addColumn<bool>("semaphoreHeld");
    QTest::newRow("same TMPDIR") << false << false << false;
    if (!onWindows) { // where the guard has no files
        QTest::newRow("key files moved away") << true << false << false;
        QTest::newRow("another TMPDIR") << false << true << false;
        QTest::newRow("semaphore held at zero") << false << false << true;
    }
}

void GuardTest::secondInstanceRefused()
{
    QFETCH(bool, moveKeyFiles);
    QFETCH(bool, otherTmpDir);
    QFETCH(bool, semaphoreHeld);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray savedTmpDir = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(dir.path())); // where Qt puts its key file
    QSystemSemaphore heldSemaphore(semaphoreHeld ? QStringLiteral("<uniq id>") : QString(), 0,
                                   QSystemSemaphore::Create);
    savedTmpDir.isNull() ? qunsetenv("TMPDIR") : qputenv("TMPDIR", savedTmpDir);
    const auto stopped = qScopeGuard(stopAll); // before their folder goes
    Launcher &first = launch(dir, QStringLiteral("first"));
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
    QVERIFY(first.running());
    QCOMPARE(first.output(), banner() + firstStart());
}

void GuardTest::nameHeldByAnotherUser_data()
{
    if (onWindows)
        QSKIP("the instance name, an abstract socket name, is Linux's");
    // The spare user's instance name, bound beforehand by another user (the
    // test), who listens on it or not.
    QTest::addColumn<bool>("listening");
    // What the first start of the spare user then says on stderr, ending with status 4.
    QTest::addColumn<QByteArray>("refusal");
    QTest::newRow("name listened on by another user")
        << true << QByteArray("of user 0, not by a watchdog of this user");
    QTest::newRow("name bound by another user")
        << false << QByteArray("is held by a program that is not a watchdog");
}

void GuardTest::nameHeldByAnotherUser()
{
#ifndef Q_OS_WIN
    QFETCH(bool, listening);
    QFETCH(QByteArray, refusal);
    if (!spareUserAvailable())
        QSKIP(noSpareUser);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto stopped = qScopeGuard(stopAll);
    const int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto closed = qScopeGuard([&] { ::close(squatter); });
    const QByteArray name = "watchdog <uniq id 2> uid " + QByteArray::number(spareUid);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    QCOMPARE(bind(squatter, reinterpret_cast<const sockaddr *>(&address),
                  socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()))),
             0);
    if (listening)
        QCOMPARE(listen(squatter, 1), 0);
    // Not taken for another watchdog of this user, which would be silent.
    Launcher &refused = launch(dir, QStringLiteral("refused"), QString(), nullptr, spareUid);
    VERIFY_SETTLED(settle(refused) == 4 && refused.output().isEmpty() &&
                   refused.errors().contains(refusal));
#endif
}

void GuardTest::restartAfterKill_data()
{
    QTest::addColumn<QString>("how"); // a command line that ends a process by id
    QTest::addColumn<bool>("loseKeyFile");
    if (onWindows) {
        QTest::newRow("taskkill /f") << "taskkill /f /pid" << false;
    } else {
        QTest::newRow("SIGKILL") << "kill -KILL" << false;
        QTest::newRow("SIGTERM") << "kill -TERM" << false;
        QTest::newRow("SIGINT") << "kill -INT" << false;
        // The key file made anew tends to get the old one's inode, so its
        // key names the abandoned segment.
        QTest::newRow("SIGKILL, key file lost") << "kill -KILL" << true;
    }
}

void GuardTest::restartAfterKill()
{
    QFETCH(QString, how);
    QFETCH(bool, loseKeyFile);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto stopped = qScopeGuard(stopAll); // before their folder goes
    Launcher &first = launch(dir, QStringLiteral("first"));
    VERIFY_RUNNING(first);
    VERIFY_REFUSED(launch(dir, QStringLiteral("refused")));
    stop(first, how);
    QVERIFY(!first.running());
    // Whatever the first left behind must not refuse its successor, and the
    // successor must hold the guard in its turn.
    Launcher &next = prepare(dir, QStringLiteral("next"));
    const QStringList keyFiles =
        QDir(dir.path()).entryList({QStringLiteral("qipc_sharedmemory_*")}, QDir::Files);
    const QString keyFile = dir.filePath(keyFiles.value(0));
    const quint64 keyInode = inode(keyFile);
    if (loseKeyFile) {
        QCOMPARE(keyFiles.size(), 1);
        // Made beforehand, its output files take no inode: the key file made
        // anew may get the lost one's.
        for (const QString &output : {next.out, next.err})
            QVERIFY(QFile(output).open(QIODevice::WriteOnly));
        QVERIFY(QFile::remove(keyFile));
    }
    QVERIFY(next.start());
    VERIFY_RUNNING(next);
    QCOMPARE(next.output(), banner() + firstStart());
    if (loseKeyFile && inode(keyFile) != keyInode)
        QSKIP("the key file made anew got another inode: its key names no abandoned segment");
    // The segment under the key is its own, not the one the first left behind.
    if (const std::optional<qint64> creator = sharedMemoryCreator(keyFile))
        QCOMPARE(*creator, next.pid());
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
        gate.open(); // lets them all go

        // Judged only once all have settled: a survivor stopped early would
        // let a slower one through.
        QVector<int> statuses;
        for (Launcher &instance : instances)
            statuses << settle(instance);
        int running = 0;
        int refused = 0;
        int i = 0;
        for (Launcher &instance : instances) {
            if (statuses.at(i) == 1 && instance.output().isEmpty())
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
