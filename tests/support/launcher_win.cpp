#include "launcher.h"

#include <QDir>
#include <QFile>
#include <windows.h>

namespace testsupport
{

const bool onWindows = true;
const char executableSuffix[] = ".exe";
const char watchdogFileName[] = "gorsebright-watchdog.exe";
const QByteArray systemSearchPath = qgetenv("PATH");
const uint spareUid = 0;
const char noSpareUser[] = "Windows has no user to switch to here";
// Wine's CreateProcess now and then fails under load ("Internal error": in
// Wine 8 NtCreateUserProcess gives STATUS_INTERNAL_ERROR when the new process
// ends before it has reported to the wineserver).
const int systemStartAttempts = 3;

bool confined()
{
    return qEnvironmentVariableIsSet("WATCHDOG_TEST_PRIVATE_PREFIX");
}

bool spareUserAvailable()
{
    return false;
}

void useUpProcessLimit() {}

// A start the system failed to make says nothing of the program: it is tried
// again, a few times, each failure said. Once started, whatever the program
// does is the test's to judge.
bool Launcher::start(Gate *gate)
{
    if (!descend.isEmpty() || uid != 0 || careless || asInit || stdoutFd != -1 ||
        closeStandardStreams || body) {
        qWarning("%s: Linux-only settings given on Windows", qPrintable(name));
        return false;
    }
    process_.setProgram(program);
    process_.setArguments(arguments);
    process_.setWorkingDirectory(folder);
    process_.setProcessEnvironment(environment);
    process_.setStandardOutputFile(out, QIODevice::Append);
    process_.setStandardErrorFile(err, QIODevice::Append);
    if (gate) {
        process_.setCreateProcessArgumentsModifier(
            [this](QProcess::CreateProcessArguments *arguments) {
                arguments->flags |= CREATE_SUSPENDED;
                held_ = arguments->processInformation;
            });
        gate->held_.push_back(this);
    }
    const int attempts = 5;
    for (int attempt = 1;; ++attempt) {
        process_.start();
        // A held process has not run yet: only a failure to create it can be
        // known now.
        if (gate ? process_.state() != QProcess::NotRunning
                 : process_.waitForStarted(eventTimeoutMs))
            return true;
        const bool again = attempt < attempts && process_.error() == QProcess::FailedToStart;
        qWarning("start %d of %d of %s failed: %s%s", attempt, attempts, qPrintable(program),
                 qPrintable(process_.errorString()), again ? "; trying again" : "");
        if (!again)
            return false;
    }
}

bool makeFolders(const QString &, const QByteArrayList &)
{
    return false;
}

std::optional<bool> Launcher::asleep() const
{
    return std::nullopt;
}

qint64 Launcher::pid() const
{
    return process_.processId();
}

bool Launcher::running()
{
    // The state changes only as the process is waited for.
    return process_.state() != QProcess::NotRunning && !process_.waitForFinished(0) &&
           process_.state() != QProcess::NotRunning;
}

int Launcher::exitCode()
{
    return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
}

void Launcher::kill()
{
    if (!running())
        return;
    process_.kill();
    process_.waitForFinished();
}

QString Launcher::describe()
{
    if (running())
        return QStringLiteral("running");
    if (process_.error() == QProcess::FailedToStart)
        return QLatin1String("never started: ") + process_.errorString();
    if (process_.exitStatus() == QProcess::CrashExit)
        return QLatin1String("crashed: ") + process_.errorString();
    return QStringLiteral("exited with code %1").arg(exitCode());
}

Gate::Gate() = default;

void Gate::open()
{
    for (Launcher *held : held_) {
        // A start tried again was held anew; one never made is not running.
        if (held->held_ && held->process_.state() != QProcess::NotRunning)
            ResumeThread(static_cast<const PROCESS_INFORMATION *>(held->held_)->hThread);
    }
    held_.clear();
}

} // namespace testsupport
