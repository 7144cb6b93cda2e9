#include "client/ZServicePeer.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace SearchEngine {

bool trustedServicePeer(qintptr socketDescriptor, SegmentOwner* peer, QString* error)
{
    struct ucred cred {};
    socklen_t length = sizeof cred;
    if (::getsockopt(int(socketDescriptor), SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0 || length != sizeof cred) {
        if (error)
            *error = QStringLiteral("the service's credentials cannot be read: %1")
                         .arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    if (cred.uid != 0 && cred.uid != geteuid()) {
        if (error)
            *error = QStringLiteral("the process serving the search service's name runs as uid %1, "
                                    "neither root nor you: not trusted")
                         .arg(cred.uid);
        return false;
    }
    if (peer) {
        peer->uid = cred.uid;
        peer->pid = cred.pid;
    }
    return true;
}

} // namespace SearchEngine
