// The single-instance guard on the real binary, run through confined.sh: it
// meets only the watchdogs it starts itself. Every case has its own TMPDIR,
// where Qt keeps the guard's key files.

#include "testsupport.h"

#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <sys/wait.h>

using namespace testsupport;

namespace
{

// Started and not yet reaped: only these pids are still surely ours to kill.
QVector<pid_t> unreaped;

struct Instance {
    pid_t pid = -1;
    QString out;
    QString err;
};

// Starts a watchdog in dir, with tmpDir as TMPDIR (dir when empty). It waits
// on gate (when given) until every copy of its write end is closed, so that
// several can be let go at the same moment.
Instance launch(const QTemporaryDir &dir, const QString &name, const QString &tmpDir = QString(),
                int gate = -1, int gateWriter = -1)
{
    Instance instance;
    instance.out = dir.filePath(name + QLatin1String(".out"));
    instance.err = dir.filePath(name + QLatin1String(".err"));
    const QByteArray out = QFile::encodeName(instance.out);
    const QByteArray err = QFile::encodeName(instance.err);
    const QByteArray path = QFile::encodeName(dir.path());
    const QByteArray tmp = tmpDir.isEmpty() ? path : QFile::encodeName(tmpDir);
    instance.pid = fork();
    if (instance.pid == 0) {
        if (gate != -1) {
            ::close(gateWriter);
            char byte;
            while (read(gate, &byte, 1) > 0) {
            }
        }
        dup2(open(out.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDOUT_FILENO);
        dup2(open(err.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600), STDERR_FILENO);
        setenv("TMPDIR", tmp.constData(), 1);
        // No kill tool or watched program to be found, should a pass recover.
        setenv("PATH", "/nonexistent", 1);
        if (chdir(path.constData()) == 0)
            execl(WATCHDOG_BINARY, WATCHDOG_BINARY, static_cast<char *>(nullptr));
        _exit(127);
    }
    unreaped << instance.pid;
    return instance;
}

// Waits until the instance has either ended or finished its first pass.
// Returns its exit status, or -1 while it runs.
int settle(const Instance &instance)
{
    int status = -1;
    const bool settled = waitFor(
        [&] {
            int raw = 0;
            if (waitpid(instance.pid, &raw, WNOHANG) == instance.pid) {
                unreaped.removeAll(instance.pid);
                status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
                return true;
            }
            // The verdict is the last thing the first pass writes.
            return readAll(instance.out).endsWith(firstStart());
        },
        eventTimeoutMs);
    return settled ? status : -2;
}

void stop(pid_t pid, int signal = SIGKILL)
{
    if (!unreaped.contains(pid))
        return;
    ::kill(pid, signal);
    waitpid(pid, nullptr, 0);
    unreaped.removeAll(pid);
}

bool refusedSilently(const Instance &instance)
{
    return settle(instance) == 1 && readAll(instance.out).isEmpty() &&
           readAll(instance.err).isEmpty();
}

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
    for (pid_t pid : QVector<pid_t>(unreaped))
        stop(pid);
}

void GuardTest::secondInstanceRefused_data()
{
    // What happens between the first start and the later ones.
    QTest::addColumn<bool>("moveKeyFiles"); // as a temp cleaner would, inodes kept taken
    QTest::addColumn<bool>("otherTmpDir");
    QTest::newRow("same TMPDIR") << false << false;
    QTest::newRow("key files moved away") << true << false;
    QTest::newRow("another TMPDIR") << false << true;
}

void GuardTest::secondInstanceRefused()
{
    QFETCH(bool, moveKeyFiles);
    QFETCH(bool, otherTmpDir);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Instance first = launch(dir, QStringLiteral("first"));
    QCOMPARE(settle(first), -1);
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

    QVERIFY(refusedSilently(launch(dir, QStringLiteral("second"), tmpDir)));
    QVERIFY(refusedSilently(launch(dir, QStringLiteral("third"), tmpDir)));
    // The refused ones left the running one's guard in place.
    QVERIFY(refusedSilently(launch(dir, QStringLiteral("fourth"), tmpDir)));
    QCOMPARE(waitpid(first.pid, nullptr, WNOHANG), 0);
    QCOMPARE(readAll(first.out), banner() + firstStart());
    stop(first.pid);
}

void GuardTest::restartAfterKill_data()
{
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("loseKeyFile");
    QTest::newRow("SIGKILL") << int(SIGKILL) << false;
    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    // The key file made anew tends to get the old one's inode, so its key
    // names the abandoned segment.
    QTest::newRow("SIGKILL, key file lost") << int(SIGKILL) << true;
}

void GuardTest::restartAfterKill()
{
    QFETCH(int, signal);
    QFETCH(bool, loseKeyFile);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const Instance first = launch(dir, QStringLiteral("first"));
    QCOMPARE(settle(first), -1);
    QVERIFY(refusedSilently(launch(dir, QStringLiteral("refused"))));
    stop(first.pid, signal);
    if (loseKeyFile) {
        const QStringList keyFiles =
            QDir(dir.path()).entryList({QStringLiteral("qipc_sharedmemory_*")}, QDir::Files);
        QCOMPARE(keyFiles.size(), 1);
        QVERIFY(QFile::remove(dir.filePath(keyFiles.first())));
    }

    // Whatever the first left behind must not refuse its successor, and the
    // successor must hold the guard in its turn.
    const Instance next = launch(dir, QStringLiteral("next"));
    QCOMPARE(settle(next), -1);
    QCOMPARE(readAll(next.out), banner() + firstStart());
    QVERIFY(refusedSilently(launch(dir, QStringLiteral("refused again"))));
    stop(next.pid);
}

void GuardTest::simultaneousStarts_data()
{
    QTest::addColumn<int>("instances");
    QTest::addColumn<int>("rounds");
    QTest::newRow("two at once") << 2 << 20;
    QTest::newRow("eight at once") << 8 << 3;
}

void GuardTest::simultaneousStarts()
{
    QFETCH(int, instances);
    QFETCH(int, rounds);
    for (int round = 0; round < rounds; ++round) {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        int gate[2];
        QCOMPARE(pipe(gate), 0);
        QVector<Instance> started;
        for (int i = 0; i < instances; ++i)
            started << launch(dir, QString::number(i), QString(), gate[0], gate[1]);
        ::close(gate[0]);
        ::close(gate[1]); // lets them all go

        // Judged only once all have settled: a survivor stopped early would
        // let a slower one through.
        QVector<int> statuses;
        for (const Instance &instance : started)
            statuses << settle(instance);
        int running = 0;
        int refused = 0;
        for (int i = 0; i < instances; ++i) {
            if (statuses.at(i) == 1 && readAll(started.at(i).out).isEmpty())
                ++refused;
            if (statuses.at(i) == -1)
                ++running;
            stop(started.at(i).pid);
        }
        QCOMPARE(running, 1);
        QCOMPARE(refused, instances - 1);
    }
}

QTEST_GUILESS_MAIN(GuardTest)
#include "tst_guard.moc"
