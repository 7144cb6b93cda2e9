// Gives a test process its own HOME, XDG folders and TMPDIR, so no test
// touches the machine's real registry files, caches, sockets or shared memory.
#pragma once

#include <QString>

namespace TestSupport {

// The root of this process's private folders (made on first use).
QString testRoot();
// A fresh empty folder under the root.
QString freshDir(const QString& name);

} // namespace TestSupport
