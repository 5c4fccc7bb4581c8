// The single-instance guard on the real binary, run confined: it meets only
// the watchdogs it starts itself. Every case has its own TMPDIR, where Qt
// keeps the guard's key files on Unix.

#include "launcher.h"
#include "process_table.h"

#include <QScopeGuard>
#include <QSharedMemory>
#include <QSystemSemaphore>
#include <QTemporaryDir>
#include <QtTest>
#include <list>

#ifdef Q_OS_WIN
#include <string>
#include <windows.h>
#else
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
    QTest::addColumn<bool>("otherTmpDir");
    // Made by someone else beforehand and held at zero.
    QTest::addColumn<bool>("semaphoreHeld");
    QTest::newRow("same TMPDIR") << false << false;
    if (!onWindows) { // where the guard has no files
        QTest::newRow("another TMPDIR") << true << false;
        QTest::newRow("semaphore held at zero") << false << true;
    }
}

void GuardTest::secondInstanceRefused()
{
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
    // Taken beforehand by another user (the test): on Linux the spare user's
    // instance name, bound and listened on with no room for a connection, or
    // only bound; on Windows the segment, which this user may not open, as an
    // elevated watchdog's is to an unelevated one.
    QTest::addColumn<QString>("holder");
    // What every start of the user then says on stderr, ending with status 4.
    QTest::addColumn<QByteArray>("refusal");
    if (onWindows) {
        QTest::newRow("segment that may not be opened")
            << "segment" << QByteArray("held by a watchdog of another user or elevation");
    } else {
        QTest::newRow("name listened on by another user")
            << "listening" << QByteArray("a watchdog of this user; ending");
        QTest::newRow("name bound by another user")
            << "bound" << QByteArray("is held by a program that is not a watchdog of this user");
    }
}

void GuardTest::nameHeldByAnotherUser()
{
    QFETCH(QString, holder);
    QFETCH(QByteArray, refusal);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto stopped = qScopeGuard(stopAll);
#ifdef Q_OS_WIN
    // A DACL that grants nothing.
    SECURITY_DESCRIPTOR descriptor;
    ACL nothing;
    QVERIFY(InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
            InitializeAcl(&nothing, sizeof nothing, ACL_REVISION) &&
            SetSecurityDescriptorDacl(&descriptor, TRUE, &nothing, FALSE));
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    const std::wstring name =
        QSharedMemory(QStringLiteral("<uniq id 2>")).nativeKey().toStdWString();
    const HANDLE segment =
        CreateFileMappingW(INVALID_HANDLE_VALUE, &attributes, PAGE_READWRITE, 0, 1, name.c_str());
    QVERIFY(segment);
    const auto closed = qScopeGuard([&] { CloseHandle(segment); });
    if (const HANDLE opened = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, name.c_str())) {
        CloseHandle(opened);
        QSKIP("this system lets anyone open a segment whose DACL grants nothing");
    }
    const uint uid = 0;
#else
    if (!spareUserAvailable())
        QSKIP(noSpareUser);
    const uint uid = spareUid;
    const int squatter = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const auto closed = qScopeGuard([&] { ::close(squatter); });
    const QByteArray name = "watchdog <uniq id 2> uid " + QByteArray::number(spareUid);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    QCOMPARE(bind(squatter, reinterpret_cast<const sockaddr *>(&address),
                  socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()))),
             0);
    // Its queue takes one connection, which the first start makes.
    if (holder == QLatin1String("listening"))
        QCOMPARE(listen(squatter, 0), 0);
#endif
    // Not taken for another watchdog of this user, which would be silent,
    // however often it is started.
    for (const char *start : {"first", "second", "third", "fourth"}) {
        Launcher &refused = launch(dir, QLatin1String(start), QString(), nullptr, uid);
        VERIFY_SETTLED(settle(refused) == 4 && refused.output().isEmpty() &&
                       refused.errors().contains(refusal));
    }
}

void GuardTest::restartAfterKill_data()
{
    QTest::addColumn<QString>("how"); // a command line that ends a process by id
    if (onWindows) {
        QTest::newRow("taskkill /f") << "taskkill /f /pid";
    } else {
        QTest::newRow("SIGKILL") << "kill -KILL";
        QTest::newRow("SIGTERM") << "kill -TERM";
        QTest::newRow("SIGINT") << "kill -INT";
    }
}

void GuardTest::restartAfterKill()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const auto stopped = qScopeGuard(stopAll); // before their folder goes
    Launcher &first = launch(dir, QStringLiteral("first"));
    VERIFY_RUNNING(first);
    VERIFY_REFUSED(launch(dir, QStringLiteral("refused")));
    stop(first, how);
    QVERIFY(!first.running());
    // Nothing of the guard stays in the system where the kernel would keep it.
    if (const std::optional<int> left = systemVObjects())
        QCOMPARE(*left, 0);

    // The next start runs, and holds the guard in its turn.
    Launcher &next = launch(dir, QStringLiteral("next"));
    VERIFY_RUNNING(next);
    QCOMPARE(next.output(), banner() + firstStart());
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
