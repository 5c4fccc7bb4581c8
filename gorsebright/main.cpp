// A stand-in for the watched program, for the demo and the tests. It refreshes
// "is_run.txt" in its working directory every two seconds until the file
// "gorsebright.hang" appears there; then it removes that file and hangs.

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QStringList quoted;
    for (const QString &argument : application.arguments().mid(1))
        quoted << QLatin1Char('"') + argument + QLatin1Char('"');
    std::printf("gorsebright.exe %lld started in %s, arguments: %s\n", application.applicationPid(),
                qPrintable(QDir::currentPath()), qPrintable(quoted.join(QLatin1Char(' '))));
    std::fflush(stdout);

    for (;;) {
        if (QFile::remove(QStringLiteral("gorsebright.hang"))) {
            std::printf("gorsebright.exe %lld hangs now\n", application.applicationPid());
            std::fflush(stdout);
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
