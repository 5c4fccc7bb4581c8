#include "single_instance_guard.h"

namespace
{

const char semaphoreKey[] = "<uniq id>";
const char sharedMemoryKey[] = "<uniq id 2>";

} // namespace

SingleInstanceGuard::SingleInstanceGuard()
    : semaphore_(QString::fromLatin1(semaphoreKey), 1, QSystemSemaphore::Open),
      memory_(QString::fromLatin1(sharedMemoryKey))
{
}

bool SingleInstanceGuard::isAnotherInstanceRunning()
{
    semaphore_.acquire();

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
        if (memory_.attach(QSharedMemory::ReadWrite))
            memory_.detach();
        anotherInstanceRunning = memory_.attach(QSharedMemory::ReadWrite);
        if (anotherInstanceRunning || memory_.create(1, QSharedMemory::ReadWrite) ||
            memory_.error() != QSharedMemory::AlreadyExists)
            break;
    }

    semaphore_.release();
    return anotherInstanceRunning;
}
