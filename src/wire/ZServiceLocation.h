// Where the service's local socket, single-instance lock, segment ledgers and
// segment key files live, for the service and for its clients.
//
// The runtime folder is, in this order:
//  1. $RUNTIME_DIRECTORY (its first entry): set by systemd from the unit's
//     RuntimeDirectory=, so the system service uses /run/searchservice;
//  2. $TMPDIR, when set: a run of one's own in a folder one chose (tests, the
//     build-and-run from the checkout);
//  3. the system service's folder, /run/searchservice, when it exists or the
//     process is root: clients find the system service without setting
//     anything;
//  4. $XDG_RUNTIME_DIR/searchservice: a user's own run in a login session;
//  5. /tmp/searchservice-<uid>.
// The service uses the folder only when it is its user's and no one else can
// write it (makeRuntimeFolder): a TMPDIR of /tmp is refused, with the reason.
#pragma once

#include <QString>

namespace SearchEngine {

struct ZServiceLocation {
    // The system service's runtime folder.
    static constexpr const char* kSystemRuntimeFolder = "/run/searchservice";

    // The folder that holds the socket.
    static QString runtimeFolder();
    // The socket's full path: ServiceServerName in the runtime folder.
    static QString socketPath();
    // For the service: makes the runtime folder when it is missing (0755,
    // missing parents 0700) and checks it: a folder, not a link, owned by the
    // effective user and writable by no one else. False with a reason when
    // it cannot be used.
    static bool makeRuntimeFolder(QString* error);
};

} // namespace SearchEngine
