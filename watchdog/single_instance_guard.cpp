#include "single_instance_guard.h"

namespace
{

const char semaphoreKey[] = "<uniq id>";
const char sharedMemoryKey[] = "<uniq id 2>";

// True when another instance holds the segment; otherwise this one now holds
// it, or tried to create it.
bool findOrCreateSegment(QSharedMemory &memory)
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
    bool anotherInstanceRunning = false;
    for (int round = 0; round < 2; ++round) {
        if (memory.attach(QSharedMemory::ReadWrite))
            memory.detach();
        anotherInstanceRunning = memory.attach(QSharedMemory::ReadWrite);
        if (anotherInstanceRunning || memory.create(1, QSharedMemory::ReadWrite) ||
            memory.error() != QSharedMemory::AlreadyExists)
            break;
    }
    return anotherInstanceRunning;
}

} // namespace

SingleInstanceGuard::SingleInstanceGuard()
    : semaphore_(QString::fromLatin1(semaphoreKey), 1, QSystemSemaphore::Open),
      memory_(QString::fromLatin1(sharedMemoryKey))
{
}

bool SingleInstanceGuard::isAnotherInstanceRunning()
{
    // The name decides, in one step, so the semaphore is not waited for:
    // any local user can make one under our key and hold it at zero.
    switch (name_.take(sharedMemoryKey)) {
    case InstanceName::HeldByAnother:
        return true;
    case InstanceName::HeldByStranger:
        refusalExitStatus_ = nameTakenExitStatus;
        return true;
    case InstanceName::Taken:
        // The segment is still made for whoever looks for it, but one found
        // there belongs to another user or temporary folder.
        findOrCreateSegment(memory_);
        return false;
    case InstanceName::Unavailable:
        break;
    }
    semaphore_.acquire();
    const bool anotherInstanceRunning = findOrCreateSegment(memory_);
    semaphore_.release();
    return anotherInstanceRunning;
}
