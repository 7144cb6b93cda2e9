// Whom a client is talking to: the credentials of the process at the other
// end of its socket, and whether it may be taken for the search service.
// The service's name is a file in a shared folder, so anyone may be
// listening on it; only root or the client's own user are trusted.
#pragma once

#include "storage/ZSharedSegment.h"

#include <QString>

namespace SearchEngine {

// The peer of a connected local socket as the owner of the segments it
// announces (its uid and pid). False with a reason when it cannot be read
// or is neither root nor this process's user.
bool trustedServicePeer(qintptr socketDescriptor, SegmentOwner* peer, QString* error);

} // namespace SearchEngine
