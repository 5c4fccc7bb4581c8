#include "single_instance_guard.h"

#include <QtDebug>

namespace
{

const char semaphoreKey[] = "<uniq id>";
const char sharedMemoryKey[] = "<uniq id 2>";

// Taken when this instance now holds the segment, or could not make it;
// HeldByAnother when another instance holds it; HeldByStranger, said on
// stderr, when it is there but may not be opened: an elevated watchdog's
// objects, say, whose default DACL an unelevated one does not pass.
InstanceName::Outcome findOrCreateSegment(QSharedMemory &memory)
{
    // On Unix a segment outlives an instance that was killed and would refuse
    // every later start. Qt removes a segment when its last attachment goes,
    // so attaching and detaching once clears an abandoned segment and leaves a
    // live instance's alone. Where the system drops a segment with its last
    // holder (Windows) this changes nothing.
    //
    // The second round is for a key file that went missing and was made anew
    // by create(): its key can name an older abandoned segment, which makes
    // create() fail with AlreadyExists. That segment is cleared the same way.
    for (int round = 0; round < 2; ++round) {
        if (memory.attach(QSharedMemory::ReadWrite))
            memory.detach();
        if (memory.attach(QSharedMemory::ReadWrite))
            return InstanceName::HeldByAnother;
        if (memory.error() != QSharedMemory::PermissionDenied) {
            if (memory.create(1, QSharedMemory::ReadWrite) ||
                (memory.error() != QSharedMemory::AlreadyExists &&
                 memory.error() != QSharedMemory::PermissionDenied))
                return InstanceName::Taken;
        }
    }
    qWarning("watchdog: its guard \"%s\" is held by a watchdog of another user or elevation, "
             "which this one may not open (%s); ending",
             sharedMemoryKey, qUtf8Printable(memory.errorString()));
    return InstanceName::HeldByStranger;
}

} // namespace

SingleInstanceGuard::SingleInstanceGuard() : memory_(QString::fromLatin1(sharedMemoryKey)) {}

bool SingleInstanceGuard::isAnotherInstanceRunning()
{
    // The name decides, in one step, so the semaphore is not waited for:
    // any local user can make one under our key and hold it at zero. Where
    // it decides, the semaphore and the segment are not made at all.
    InstanceName::Outcome outcome = name_.take(sharedMemoryKey);
    if (outcome == InstanceName::Unavailable) {
        semaphore_.setKey(QString::fromLatin1(semaphoreKey), 1, QSystemSemaphore::Open);
        semaphore_.acquire();
        outcome = findOrCreateSegment(memory_);
        semaphore_.release();
    }
    if (outcome == InstanceName::HeldByStranger)
        refusalExitStatus_ = nameTakenExitStatus;
    return outcome != InstanceName::Taken;
}
