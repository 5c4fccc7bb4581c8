#include "single_instance_guard.h"

#ifdef Q_OS_LINUX
#include <QByteArray>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

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

#ifdef Q_OS_LINUX
enum class InstanceName { Taken, HeldByAnother, Unavailable };

const char namePrefix[] = "watchdog ";
const char nameUserPart[] = " uid ";
// The leading zero byte, the name's parts and the longest user id.
static_assert(1 + sizeof namePrefix - 1 + sizeof sharedMemoryKey - 1 + sizeof nameUserPart - 1 +
                      10 <=
                  sizeof sockaddr_un::sun_path,
              "the instance name must fit in sun_path");

// Qt keys its objects on Unix by files in the temporary folder: a cleaner
// that removes them, or another TMPDIR, would let a second instance miss the
// first. An abstract socket name has no file, and the kernel drops it with
// the process however that ends. The user id in the name keeps users apart,
// as logon sessions are kept apart on Windows.
InstanceName takeInstanceName(int &nameSocket)
{
    nameSocket = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (nameSocket == -1)
        return InstanceName::Unavailable;
    const QByteArray name =
        QByteArray(namePrefix) + sharedMemoryKey + nameUserPart + QByteArray::number(geteuid());
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    // A leading zero byte puts the name in the abstract namespace.
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
    if (bind(nameSocket, reinterpret_cast<const sockaddr *>(&address), length) == 0)
        return InstanceName::Taken;
    return errno == EADDRINUSE ? InstanceName::HeldByAnother : InstanceName::Unavailable;
}
#endif

} // namespace

SingleInstanceGuard::SingleInstanceGuard()
    : semaphore_(QString::fromLatin1(semaphoreKey), 1, QSystemSemaphore::Open),
      memory_(QString::fromLatin1(sharedMemoryKey))
{
}

SingleInstanceGuard::~SingleInstanceGuard()
{
#ifdef Q_OS_LINUX
    if (nameSocket_ != -1)
        close(nameSocket_);
#endif
}

bool SingleInstanceGuard::isAnotherInstanceRunning()
{
#ifdef Q_OS_LINUX
    // The name decides, in one step, so the semaphore is not waited for:
    // any local user can make one under our key and hold it at zero.
    switch (takeInstanceName(nameSocket_)) {
    case InstanceName::HeldByAnother:
        return true;
    case InstanceName::Taken:
        // The segment is still made for whoever looks for it, but one found
        // there belongs to another user or temporary folder.
        findOrCreateSegment(memory_);
        return false;
    case InstanceName::Unavailable:
        break;
    }
#endif
    semaphore_.acquire();
    const bool anotherInstanceRunning = findOrCreateSegment(memory_);
    semaphore_.release();
    return anotherInstanceRunning;
}
