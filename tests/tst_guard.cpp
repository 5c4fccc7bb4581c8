// The single-instance guard on the real binary. Every case runs with its own
// TMPDIR, where Qt keeps the guard's key files, so it meets only the
// watchdogs it starts itself.

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

// Starts watchdogs in dir; each waits on gate (when given) until every copy
// of its write end is closed, so several can be let go at the same moment.
Instance launch(const ScratchDir &dir, const QString &name, int gate = -1, int gateWriter = -1)
{
    Instance instance;
    instance.out = dir.filePath(name + QLatin1String(".out"));
    instance.err = dir.filePath(name + QLatin1String(".err"));
    const QByteArray out = QFile::encodeName(instance.out);
    const QByteArray err = QFile::encodeName(instance.err);
    const QByteArray path = QFile::encodeName(dir.path());
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
        setenv("TMPDIR", path.constData(), 1);
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
            return readAll(instance.err).endsWith('\n');
        },
        5000);
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
    void cleanup();
    void secondInstanceRefused();
    void restartAfterKill_data();
    void restartAfterKill();
    void simultaneousStarts_data();
    void simultaneousStarts();
};

void GuardTest::cleanup()
{
    // A failed check must not leave watchdogs behind.
    for (pid_t pid : QVector<pid_t>(unreaped))
        stop(pid);
}

void GuardTest::secondInstanceRefused()
{
    ScratchDir dir;
    QVERIFY(dir.isValid());
    const Instance first = launch(dir, QStringLiteral("first"));
    QCOMPARE(settle(first), -1);

    QVERIFY(refusedSilently(launch(dir, QStringLiteral("second"))));
    QVERIFY(refusedSilently(launch(dir, QStringLiteral("third"))));
    // The refused ones left the running one's segment in place.
    QVERIFY(refusedSilently(launch(dir, QStringLiteral("fourth"))));
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
    ScratchDir dir;
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
        ScratchDir dir;
        QVERIFY(dir.isValid());
        int gate[2];
        QCOMPARE(pipe(gate), 0);
        QVector<Instance> started;
        for (int i = 0; i < instances; ++i)
            started << launch(dir, QString::number(i), gate[0], gate[1]);
        ::close(gate[0]);
        ::close(gate[1]); // lets them all go

        int running = 0;
        int refused = 0;
        for (const Instance &instance : started) {
            const int status = settle(instance);
            if (status == 1 && readAll(instance.out).isEmpty())
                ++refused;
            if (status < 0) {
                ++running;
                stop(instance.pid);
            }
        }
        QCOMPARE(running, 1);
        QCOMPARE(refused, instances - 1);
    }
}

QTEST_GUILESS_MAIN(GuardTest)
#include "tst_guard.moc"
