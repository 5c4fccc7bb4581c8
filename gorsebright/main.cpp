// A stand-in for the watched program, for the demo and the tests. It refreshes
// "is_run.txt" in its working directory every two seconds until the file
// "gorsebright.hang" appears there; then it removes that file and hangs. When
// "gorsebright.ctrl_c" appears, it removes it and presses Ctrl+C on its
// console (on Windows it says so, if its Ctrl+C is not switched off).
// What it says goes to its console and to "gorsebright.log" there, where a
// test finds it whichever console it was given.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <cstdio>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <csignal>
#include <sys/prctl.h>
#endif

namespace
{

void say(const QString &text)
{
    const QByteArray line = QStringLiteral("gorsebright.exe %1 %2\n")
                                .arg(QCoreApplication::applicationPid())
                                .arg(text)
                                .toLocal8Bit();
    QFile log(QStringLiteral("gorsebright.log"));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(line);
    log.close();
    // Last: a stopped terminal holds it here.
    std::fputs(line.constData(), stdout);
    std::fflush(stdout);
}

#ifdef Q_OS_WIN
BOOL WINAPI sayCtrlC(DWORD event)
{
    if (event == CTRL_C_EVENT)
        say(QStringLiteral("got Ctrl+C"));
    return FALSE; // and ends, as by default
}

// For the tests: whether it has a console of its own; which file the handle
// whose number is in STANDIN_PROBE_HANDLE names here, if any.
void describeStart()
{
    DWORD processes[8] = {};
    const DWORD sharing = GetConsoleProcessList(processes, 8);
    say(sharing == 1 ? QStringLiteral("has a console of its own")
                     : QStringLiteral("shares its console with %1 processes").arg(sharing));
    SetConsoleCtrlHandler(sayCtrlC, TRUE);

    bool isNumber = false;
    const qulonglong probe = qEnvironmentVariable("STANDIN_PROBE_HANDLE").toULongLong(&isNumber);
    if (!isNumber)
        return;
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetFinalPathNameByHandleW(HANDLE(probe), path, MAX_PATH, 0);
    say(QStringLiteral("has as handle %1: %2")
            .arg(probe)
            .arg(length > 0 && length < MAX_PATH ? QString::fromWCharArray(path, int(length))
                                                 : QStringLiteral("no file")));
}

// For the tests: Ctrl+C on its console, as a user presses it there.
void pressCtrlC()
{
    GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
}
#else
void pressCtrlC()
{
    raise(SIGINT);
}

// For the tests: a hung program may have renamed its thread, to the name in
// STANDIN_THREAD_NAME.
void describeStart()
{
    const QByteArray threadName = qgetenv("STANDIN_THREAD_NAME");
    if (!threadName.isEmpty())
        prctl(PR_SET_NAME, threadName.constData());
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList quoted;
    for (const QString &argument : application.arguments().mid(1))
        quoted << QLatin1Char('"') + argument + QLatin1Char('"');
    say(QStringLiteral("started in %1, arguments: %2")
            .arg(QDir::currentPath(), quoted.join(QLatin1Char(' '))));
    describeStart();

    for (;;) {
        if (QFile::remove(QStringLiteral("gorsebright.ctrl_c")))
            pressCtrlC();
        if (QFile::remove(QStringLiteral("gorsebright.hang"))) {
            say(QStringLiteral("hangs now"));
            for (;;)
                QThread::sleep(3600);
        }
        QFile heartbeat(QStringLiteral("is_run.txt"));
        if (heartbeat.open(QIODevice::WriteOnly | QIODevice::Truncate))
            heartbeat.write(QDateTime::currentDateTime().toString(Qt::ISODate).toUtf8() + '\n');
        heartbeat.close();
        QThread::sleep(2);
    }
}
