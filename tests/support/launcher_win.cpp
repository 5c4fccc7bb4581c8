#include "launcher.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <windows.h>

namespace testsupport
{

const bool onWindows = true;

const uint spareUid = 0;
const char noSpareUser[] = "Windows has no user to switch to here";
// Wine's CreateProcess now and then fails under load ("Internal error": in
// Wine 8 NtCreateUserProcess gives STATUS_INTERNAL_ERROR when the new process
// ends before it has reported to the wineserver).
const int systemStartAttempts = 3;

QString executable(const QString &name)
{
    return name + QLatin1String(".exe");
}

QString watchdogBinary()
{
    return builtFile(QStringLiteral("gorsebright-watchdog.exe"));
}

QByteArray searchPathWith(const QString &dir)
{
    static const QByteArray system = qgetenv("PATH");
    return QFile::encodeName(QDir::toNativeSeparators(dir)) + ';' + system;
}

bool confined()
{
    return qEnvironmentVariableIsSet("WATCHDOG_TEST_PRIVATE_PREFIX");
}

bool spareUserAvailable()
{
    return false;
}

struct Launcher::Private {
    QProcess process;
    const PROCESS_INFORMATION *suspended = nullptr;
};

struct Gate::Private {
    std::vector<Launcher::Private *> held;
};

Launcher::Launcher(const QString &folder, const QString &name)
    : name(name), program(watchdogBinary()), folder(folder), environment(testEnvironment()),
      out(folder + QLatin1Char('/') + name + QLatin1String(".out")),
      err(folder + QLatin1Char('/') + name + QLatin1String(".err")), d(std::make_unique<Private>())
{
    environment.insert(QStringLiteral("TMPDIR"), folder);
}

Launcher::~Launcher()
{
    kill();
}

bool Launcher::start()
{
    return launch(nullptr);
}

bool Launcher::start(Gate &gate)
{
    return launch(&gate);
}

// A start the system failed to make says nothing of the program: it is tried
// again, a few times, each failure said. Once started, whatever the program
// does is the test's to judge.
bool Launcher::launch(Gate *gate)
{
    if (!descend.isEmpty() || uid != 0 || careless || asInit || stdoutFd != -1 ||
        closeStandardStreams || body || processLimitUsedUp) {
        qWarning("%s: the launcher's Linux-only settings were given on Windows", qPrintable(name));
        return false;
    }
    QProcess &process = d->process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(folder);
    process.setProcessEnvironment(environment);
    process.setStandardOutputFile(out, QIODevice::Append);
    process.setStandardErrorFile(err, QIODevice::Append);
    if (gate) {
        Private *const self = d.get();
        process.setCreateProcessArgumentsModifier(
            [self](QProcess::CreateProcessArguments *arguments) {
                arguments->flags |= CREATE_SUSPENDED;
                self->suspended = arguments->processInformation;
            });
        gate->d->held.push_back(self);
    }
    const int attempts = 5;
    for (int attempt = 1;; ++attempt) {
        process.start();
        // A held process has not run yet: only a failure to create it can be
        // known now.
        if (gate ? process.state() != QProcess::NotRunning : process.waitForStarted(eventTimeoutMs))
            return true;
        const bool again = attempt < attempts && process.error() == QProcess::FailedToStart;
        qWarning("start %d of %d of %s failed: %s%s", attempt, attempts, qPrintable(program),
                 qPrintable(process.errorString()), again ? "; trying again" : "");
        if (!again)
            return false;
    }
}

bool Launcher::makeFolders(const QByteArrayList &)
{
    return false;
}

std::optional<bool> Launcher::asleep() const
{
    return std::nullopt;
}

qint64 Launcher::pid() const
{
    return d->process.processId();
}

bool Launcher::running()
{
    // The state changes only as the process is waited for.
    if (d->process.state() != QProcess::NotRunning)
        d->process.waitForFinished(0);
    return d->process.state() != QProcess::NotRunning;
}

bool Launcher::waitForExit(int timeoutMs)
{
    return d->process.waitForFinished(timeoutMs) || !running();
}

int Launcher::exitCode()
{
    return d->process.exitStatus() == QProcess::NormalExit ? d->process.exitCode() : -1;
}

void Launcher::kill()
{
    if (!running())
        return;
    d->process.kill();
    d->process.waitForFinished();
}

QString Launcher::describe()
{
    if (running())
        return QStringLiteral("running");
    if (d->process.error() == QProcess::FailedToStart)
        return QLatin1String("never started: ") + d->process.errorString();
    if (d->process.exitStatus() == QProcess::CrashExit)
        return QLatin1String("crashed: ") + d->process.errorString();
    return QStringLiteral("exited with code %1").arg(exitCode());
}

Gate::Gate() : d(std::make_unique<Private>()) {}

Gate::~Gate() = default;

void Gate::open()
{
    for (Launcher::Private *held : d->held) {
        // A start tried again was held anew; one never made is not running.
        if (held->suspended && held->process.state() != QProcess::NotRunning)
            ResumeThread(held->suspended->hThread);
    }
    d->held.clear();
}

} // namespace testsupport
