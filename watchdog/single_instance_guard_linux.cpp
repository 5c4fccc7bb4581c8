#include "single_instance_guard.h"

#include <QByteArray>
#include <QtDebug>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

const char namePrefix[] = "watchdog ";
const char nameUserPart[] = " uid ";

// Who holds the name, when the bind found it taken. A watchdog listens on it,
// so a connection tells its process and user; a name of this user's is
// another watchdog's, as the name says.
InstanceName::Outcome whoHolds(const sockaddr_un &address, socklen_t length)
{
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe == -1)
        return InstanceName::HeldByAnother;
    InstanceName::Outcome outcome = InstanceName::HeldByAnother;
    const char *const name = address.sun_path + 1;
    if (connect(probe, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
        ucred peer = {};
        socklen_t size = sizeof peer;
        if (getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
            peer.uid != geteuid()) {
            qWarning("watchdog: its instance name \"@%s\" is held by process %d of user %u, "
                     "not by a watchdog of this user; ending",
                     name, int(peer.pid), unsigned(peer.uid));
            outcome = InstanceName::HeldByStranger;
        }
    } else if (errno == ECONNREFUSED) {
        qWarning("watchdog: its instance name \"@%s\" is held by a program that is not a "
                 "watchdog; ending",
                 name);
        outcome = InstanceName::HeldByStranger;
    }
    // EAGAIN: a watchdog whose queue is full of earlier probes, never taken.
    close(probe);
    return outcome;
}

} // namespace

InstanceName::~InstanceName()
{
    if (handle_ != -1)
        close(handle_);
}

// Qt keys its objects on Unix by files in the temporary folder: a cleaner
// that removes them, or another TMPDIR, would let a second instance miss the
// first. An abstract socket name (Linux) has no file, and the kernel drops it
// with the process however that ends. The user id in the name keeps users
// apart, as logon sessions are kept apart on Windows.
InstanceName::Outcome InstanceName::take(const char *key)
{
    handle_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle_ == -1)
        return Unavailable;
    const QByteArray name =
        QByteArray(namePrefix) + key + nameUserPart + QByteArray::number(geteuid());
    // The leading zero byte and the name must fit.
    if (size_t(name.size()) + 1 > sizeof sockaddr_un::sun_path)
        return Unavailable;
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    // A leading zero byte puts the name in the abstract namespace.
    std::memcpy(address.sun_path + 1, name.constData(), size_t(name.size()));
    const socklen_t length = socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size_t(name.size()));
    if (bind(handle_, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
        // Listening lets a later start learn who holds the name; nothing
        // is ever accepted.
        listen(handle_, 1);
        return Taken;
    }
    return errno == EADDRINUSE ? whoHolds(address, length) : Unavailable;
}
