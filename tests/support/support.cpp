#include "support.h"

#include "launcher.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRegularExpression>
#include <QTextCodec>
#include <QThread>
#include <cstdio>
#include <fcntl.h>
#include <iostream>

#ifdef Q_OS_WIN
#include <io.h>
#else
#include <unistd.h>
#endif

namespace testsupport
{

QByteArray cp1251(const char *utf8)
{
    return console(QTextCodec::codecForName("Windows-1251")->fromUnicode(QString::fromUtf8(utf8)));
}

QByteArray banner()
{
    return cp1251(" === Программа восстанавливает Gorsebright в случае зависания === \n"
                  " === Проверяет каждые 40 секунд \n");
}
QByteArray firstStart()
{
    return cp1251("Первый запуск, ждем 40 сек\n");
}
QByteArray worksNormally()
{
    return cp1251("Gorsebright работает нормально\n");
}
QByteArray hung()
{
    return cp1251("Зависла или не запущена\n");
}
QByteArray starting()
{
    return cp1251("Запускаем...");
}
QByteArray started()
{
    return console("ok\n");
}
QByteArray startFailed()
{
    return cp1251("ошибка\n");
}

QByteArray fakeKillToolOutput()
{
    return console("output of taskkill\noutput of taskkill\noutput of tskill\n");
}

QString builtFile(const QString &relativePath)
{
    return QDir::cleanPath(QCoreApplication::applicationDirPath() + QLatin1String("/../") +
                           relativePath);
}

QProcessEnvironment testEnvironment(const QString &dir)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("PATH"), QFile::decodeName(searchPathWith(dir)));
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.remove(QStringLiteral("PWD")); // the test's own folder, not the program's
    environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    // As on most Linux machines: a folder name of other bytes is then no text.
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    return environment;
}

Launcher::Launcher(const QString &folder, const QString &name)
    : name(name), program(watchdogBinary()), folder(folder), environment(testEnvironment()),
      out(folder + QLatin1Char('/') + name + QLatin1String(".out")),
      err(folder + QLatin1Char('/') + name + QLatin1String(".err"))
{
    environment.insert(QStringLiteral("TMPDIR"), folder);
}

bool Launcher::waitForExit(int timeoutMs)
{
    return waitFor([&] { return !running(); }, timeoutMs);
}

void Launcher::findProgramsIn(const QString &dir)
{
    environment.insert(QStringLiteral("PATH"), QFile::decodeName(searchPathWith(dir)));
}

QString executable(const QString &name)
{
    return name + QLatin1String(executableSuffix);
}

QString watchdogBinary()
{
    return builtFile(QLatin1String(watchdogFileName));
}

QByteArray searchPathWith(const QString &dir)
{
    return QFile::encodeName(QDir::toNativeSeparators(dir)) + QDir::listSeparator().toLatin1() +
           systemSearchPath;
}

QString standInDir()
{
    return builtFile(QStringLiteral("standin"));
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray printable(const QByteArray &bytes)
{
    QByteArray text;
    for (const char byte : bytes)
        text += byte >= ' ' && byte <= '~' ? QByteArray(1, byte)
                                           : "\\x" + QByteArray::number(uchar(byte), 16);
    return text;
}

void writeFakeTool(const QString &dir, const QString &fileName)
{
    const QString path = dir + QLatin1Char('/') + fileName;
    QFile::remove(path);
    QVERIFY(QFile::copy(
        builtFile(QLatin1String("tests/") + executable(QStringLiteral("fake_tool"))), path));
}

void writeFakeKillTools(const QString &dir)
{
    for (const char *tool : {"taskkill", "tskill"})
        writeFakeTool(dir, executable(QLatin1String(tool)));
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

StdoutCapture::StdoutCapture(const QString &path, bool held) : path_(path)
{
    std::cout.flush();
    std::fflush(stdout);
    saved_ = dup(fileno(stdout));
    // The C library's own open: in text mode on Windows, as stdout is.
    const int file = open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int pipe[2] = {-1, -1};
    if (held && (filler_ = fullPipe(pipe)) >= 0) {
        dup2(pipe[1], fileno(stdout));
        close(pipe[1]);
        pipeEnd_ = pipe[0];
    } else {
        dup2(file, fileno(stdout));
    }
    close(file);
}

StdoutCapture::~StdoutCapture()
{
    release();
    restore();
    if (drain_.joinable())
        drain_.join();
}

// What comes through after the filler goes on to the file, until every
// writer has closed the pipe.
void StdoutCapture::release()
{
    if (pipeEnd_ == -1 || drain_.joinable())
        return;
    drain_ = std::thread([this] {
        QFile file(path_);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Append))
            return;
        char buffer[4096];
        qint64 skip = filler_;
        for (;;) {
            const int got = int(read(pipeEnd_, buffer, sizeof buffer));
            if (got <= 0)
                break;
            const qint64 skipped = qMin<qint64>(skip, got);
            skip -= skipped;
            file.write(buffer + skipped, got - skipped);
        }
        close(pipeEnd_);
    });
}

QByteArray StdoutCapture::take()
{
    release();
    restore();
    if (drain_.joinable())
        drain_.join();
    return readAll(path_);
}

void StdoutCapture::restore()
{
    if (saved_ == -1)
        return;
    std::cout.flush();
    std::fflush(stdout);
    dup2(saved_, fileno(stdout));
    close(saved_);
    saved_ = -1;
}

QByteArray withoutStandInLines(const QByteArray &output)
{
    static const QRegularExpression standIn(QStringLiteral("gorsebright\\.exe \\d+ [^\n]*\n"));
    return QString::fromLatin1(output).remove(standIn).toLatin1();
}

StandInStart standInStart(const QString &dir, qint64 pid)
{
    const QRegularExpression line(
        QStringLiteral("gorsebright\\.exe %1 started in ([^\r\n]*), arguments: ([^\r\n]*)")
            .arg(pid));
    QRegularExpressionMatch match;
    waitFor([&] {
        match =
            line.match(QString::fromLocal8Bit(readAll(dir + QLatin1String("/gorsebright.log"))));
        return match.hasMatch();
    });
    return match.hasMatch() ? StandInStart{match.captured(1), match.captured(2)} : StandInStart{};
}

} // namespace testsupport
