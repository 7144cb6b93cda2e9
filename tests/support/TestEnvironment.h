// Gives a test process its own HOME, XDG folders and TMPDIR, so no test
// touches the machine's real registry files, caches, sockets or shared memory.
// TMPDIR set (and RUNTIME_DIRECTORY unset) keeps the service's runtime folder
// in it, never in /run or the session's XDG_RUNTIME_DIR (ZServiceLocation).
#pragma once

#include <QString>

namespace TestSupport {

// The root of this process's private folders (made on first use).
QString testRoot();
// A fresh empty folder under the root.
QString freshDir(const QString& name);

} // namespace TestSupport
