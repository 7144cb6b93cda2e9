// Where the service's local socket lives, for the service that listens on it
// and the clients that connect to it.
#pragma once

#include <QString>

namespace SearchEngine {

struct ZServiceLocation {
    // The folder that holds the socket.
    static QString runtimeFolder();
    // The socket's full path: ServiceServerName in the runtime folder.
    static QString socketPath();
};

} // namespace SearchEngine
