// Stands in for a command-line tool (taskkill, tskill, or a program to
// start) under whatever name it is copied to. It appends "begin NAME [ARG]..."
// to the file $FAKE_TOOL_LOG when it begins and "end NAME" when it ends,
// prints "output of NAME", and in between waits $FAKE_TOOL_PAUSE_MS.
// NAME is its file name without ".exe".

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <cstdio>

namespace
{

void record(const QByteArray &line)
{
    QFile log(QFile::decodeName(qgetenv("FAKE_TOOL_LOG")));
    if (log.open(QIODevice::WriteOnly | QIODevice::Append))
        log.write(line + '\n');
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QString name = QFileInfo(QCoreApplication::applicationFilePath()).fileName();
    if (name.endsWith(QLatin1String(".exe"), Qt::CaseInsensitive))
        name.chop(4);
    QByteArray begin = "begin " + name.toLocal8Bit();
    for (const QString &argument : application.arguments().mid(1))
        begin += " [" + argument.toLocal8Bit() + ']';
    record(begin);
    std::printf("output of %s\n", qPrintable(name));
    std::fflush(stdout);
    QThread::msleep(qEnvironmentVariableIntValue("FAKE_TOOL_PAUSE_MS"));
    record("end " + name.toLocal8Bit());
    return 0;
}
