#include "single_instance_guard.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QtDebug>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

const char namePrefix[] = "watchdog ";
const char nameUserPart[] = " uid ";

// Whether a process of this user holds the socket bound to the name:
// /proc/net/unix tells the socket's inode, and a process's descriptors show
// it. Those of other users' processes are not looked at.
bool heldByOwnProcess(const QByteArray &name)
{
    QFile table(QStringLiteral("/proc/net/unix"));
    QByteArray socketLink;
    for (const QByteArray &line :
         table.open(QIODevice::ReadOnly) ? table.readAll().split('\n') : QList<QByteArray>()) {
        if (line.endsWith(" @" + name))
            socketLink = "socket:[" + line.simplified().split(' ').value(6) + ']';
    }
    if (socketLink.isEmpty())
        return false;
    for (const QString &pid : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QByteArray fds =
            QFile::encodeName(QLatin1String("/proc/") + pid + QLatin1String("/fd"));
        struct stat owner = {};
        if (pid.toInt() <= 0 || stat(fds.constData(), &owner) != 0 || owner.st_uid != geteuid())
            continue;
        for (const QString &fd : QDir(QFile::decodeName(fds)).entryList(QDir::System)) {
            char target[64] = {};
            const QByteArray link = fds + '/' + QFile::encodeName(fd);
            if (readlink(link.constData(), target, sizeof target - 1) > 0 && socketLink == target)
                return true;
        }
    }
    return false;
}

// Who holds the name, when the bind found it taken: a watchdog of this user,
// said by nothing, or anyone else, said on stderr. A watchdog listens on it
// and never accepts, so a connection tells a holder's process and user. One
// that takes no connection (it does not listen, or does not yet, or its queue
// is full) is told by its descriptors.
InstanceName::Outcome whoHolds(const sockaddr_un &address, socklen_t length)
{
    const char *const name = address.sun_path + 1;
    const int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (probe != -1 && connect(probe, reinterpret_cast<const sockaddr *>(&address), length) == 0) {
        ucred peer = {};
        socklen_t size = sizeof peer;
        const bool told = getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0;
        close(probe);
        if (!told || peer.uid == geteuid())
            return InstanceName::HeldByAnother;
        qWarning("watchdog: its instance name \"@%s\" is held by process %d of user %u, "
                 "not by a watchdog of this user; ending",
                 name, int(peer.pid), unsigned(peer.uid));
        return InstanceName::HeldByStranger;
    }
    if (probe != -1)
        close(probe);
    if (heldByOwnProcess(name))
        return InstanceName::HeldByAnother;
    qWarning("watchdog: its instance name \"@%s\" is held by a program that is not a watchdog "
             "of this user; ending",
             name);
    return InstanceName::HeldByStranger;
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
