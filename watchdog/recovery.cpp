#include "recovery.h"

#include "console.h"

#include <QProcess>
#include <QStringList>
#include <QtGlobal>

#ifdef Q_OS_UNIX
#include <QFile>
#include <cerrno>
#include <csignal>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
extern char **environ;
#endif

namespace
{

const char watchedProgram[] = "gorsebright.exe";
const char restoreArgument[] = "crash_restore";
const char *const killCommandLines[] = {
    "taskkill /f /im gorsebright.exe",
    "taskkill /f /im gorsebright.exe",
    "tskill gorsebright /a /v",
#ifdef Q_OS_UNIX
    // taskkill and tskill do not exist here; without this the hung program
    // would keep running beside its replacement.
    "pkill -KILL -x gorsebright.exe",
#endif
};

// "Запускаем..."
const char startingMessage[] = "\xc7\xe0\xef\xf3\xf1\xea\xe0\xe5\xec...";
const char startedMessage[] = "ok\n";
// "ошибка\n"
const char startFailedMessage[] = "\xee\xf8\xe8\xe1\xea\xe0\n";

// Runs a command line through the program search, with its output on our
// console, and waits for it without a time limit. Its status does not matter.
void runToCompletion(const QString &commandLine)
{
#if QT_VERSION >= QT_VERSION_CHECK(5, 15, 0)
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = arguments.takeFirst();
    QProcess::execute(program, arguments);
#else
    QProcess::execute(commandLine);
#endif
}

#ifdef Q_OS_UNIX
// Qt 5's QProcess::startDetached hands SIGPIPE to the new program ignored.
// This starts it the same way otherwise (own session, not our child, found
// through PATH, in our working directory) but with the default dispositions:
// the exec resets what we catch, and SIGPIPE is reset explicitly.
bool startDetached(const QString &program, const QStringList &arguments)
{
    std::vector<QByteArray> encoded{QFile::encodeName(program)};
    for (const QString &argument : arguments)
        encoded.push_back(QFile::encodeName(argument));
    std::vector<char *> argv;
    for (QByteArray &item : encoded)
        argv.push_back(item.data());
    argv.push_back(nullptr);

    const pid_t child = fork();
    if (child == -1)
        return false;
    if (child == 0) {
        // The intermediate child only detaches the program and reports
        // through its exit status whether the program could be started.
        setsid();
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
        pid_t grandchild;
        const int error =
            posix_spawnp(&grandchild, argv[0], nullptr, &attributes, argv.data(), environ);
        _exit(error == 0 ? 0 : 1);
    }
    int status = 0;
    while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
#else
bool startDetached(const QString &program, const QStringList &arguments)
{
    return QProcess::startDetached(program, arguments);
}
#endif

} // namespace

void recoverWatchedProgram()
{
    for (const char *commandLine : killCommandLines)
        runToCompletion(QString::fromLatin1(commandLine));

    writeConsole(startingMessage);
    const bool started = startDetached(QString::fromLatin1(watchedProgram),
                                       QStringList{QString::fromLatin1(restoreArgument)});
    writeConsole(started ? startedMessage : startFailedMessage);
}
