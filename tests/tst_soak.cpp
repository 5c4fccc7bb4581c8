// A long run without the pause: 100 000 passes, 500 of them recoveries, while
// open descriptors, memory and child processes must stay flat.

#include "process_table.h"
#include "supervision.h"
#include "support.h"

#include <QtTest>
#include <algorithm>
#include <sys/wait.h>

using namespace testsupport;

namespace
{

int logRecords = 0;

void countLog(QtMsgType, const QMessageLogContext &, const QString &)
{
    ++logRecords;
}

int openDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd"))
        .entryList(QDir::NoDotAndDotDot | QDir::System)
        .size();
}

qint64 residentBytes()
{
    const QList<QByteArray> fields = readAll(QStringLiteral("/proc/self/statm")).split(' ');
    return fields.value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

// Our own children, zombies included: every one should be gone between passes.
// The relaunched programs are not ours but left to us, the first process of
// the test's namespace, and are collected here.
int childProcesses()
{
    const qint64 self = QCoreApplication::applicationPid();
    int children = 0;
    for (const ProcessInfo &process : processes()) {
        if (process.parentPid != self)
            continue;
        if (process.name == QLatin1String("gorsebright.exe"))
            waitpid(pid_t(process.pid), nullptr, 0);
        else
            ++children;
    }
    return children;
}

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

  private slots:
    void passesAndRecoveries();
};

void SoakTest::passesAndRecoveries()
{
    // Each recovery kills every gorsebright.exe by name.
    REQUIRE_CONFINEMENT();
    const int passes = 100000;
    const int recoveryEvery = 200; // 500 recoveries
    const int sampleEvery = 10000;

    QTemporaryDir work;
    QVERIFY(work.isValid());
    // A quick stand-in: the relaunch starts and ends at once; taskkill and
    // tskill are absent, as on any Linux machine.
    const QString bin = work.filePath(QStringLiteral("bin"));
    QVERIFY(QDir().mkpath(bin));
    QVERIFY(QFile::link(QStringLiteral("/bin/true"), bin + QLatin1String("/gorsebright.exe")));
    const QByteArray savedPath = qgetenv("PATH");
    const QString savedDir = QDir::currentPath();
    qputenv("PATH", QFile::encodeName(bin));
    QVERIFY(QDir::setCurrent(work.path()));

    QFile heartbeat(work.filePath(QStringLiteral("is_run.txt")));
    QVERIFY(heartbeat.open(QIODevice::WriteOnly));
    const QDateTime base(QDate(2026, 12, 1), QTime(0, 0));

    QVector<int> descriptors;
    QVector<int> children;
    QVector<qint64> resident;
    int recoveries = 0;
    QString previousStamp;
    logRecords = 0;
    {
        StdoutCapture quiet(QStringLiteral("/dev/null"));
        qInstallMessageHandler(countLog);
        for (int pass = 0; pass < passes; ++pass) {
            // A new time every pass but every 200th, which stays the same.
            const int second = pass - (pass % recoveryEvery == recoveryEvery - 1 ? 1 : 0);
            heartbeat.setFileTime(base.addSecs(second), QFileDevice::FileModificationTime);
            if (superviseOnce(previousStamp, pass == 0) == Verdict::HungOrNotRunning)
                ++recoveries;
            if (pass % sampleEvery == sampleEvery - 1) {
                descriptors << openDescriptors();
                children << childProcesses();
                resident << residentBytes();
            }
        }
        qInstallMessageHandler(nullptr);
    }
    qputenv("PATH", savedPath);
    QDir::setCurrent(savedDir);

    QCOMPARE(recoveries, passes / recoveryEvery);
    QCOMPARE(logRecords, passes);
    qInfo() << "descriptors" << descriptors << "children" << children << "resident KiB" << [&] {
        QVector<qint64> kib;
        for (qint64 bytes : resident)
            kib << bytes / 1024;
        return kib;
    }();
    for (int sample : descriptors)
        QCOMPARE(sample, descriptors.first());
    for (int sample : children)
        QCOMPARE(sample, 0);
    // Measured: passes alone stay within a few KiB; recoveries make the heap
    // grow by about 0.5 KiB each until it settles near 350 KiB after some
    // 1 000 of them (valgrind finds nothing lost). A leak of a few bytes a
    // pass, or of 1 KiB a recovery, would cross this bound.
    const qint64 growth = *std::max_element(resident.begin(), resident.end()) - resident.first();
    QVERIFY2(growth < 512 * 1024, QByteArray::number(growth).constData());
}

QTEST_GUILESS_MAIN(SoakTest)
#include "tst_soak.moc"
