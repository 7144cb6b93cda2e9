// Names the index holds lossily: a name whose bytes on disk are not UTF-8
// reaches the pool with U+FFFD for each byte that is not part of a valid
// sequence. The bytes it has on disk are found by reading its folder.
#pragma once

#include <QByteArray>

namespace SearchEngine {

// Whether a stored name may stand for other bytes on disk.
bool mayBeLossy(const QByteArray& storedName);
// Whether disk bytes read as storedName once every invalid byte is U+FFFD.
bool lossyEquals(const QByteArray& diskName, const QByteArray& storedName);
// The one entry of folder whose name reads as storedName; false when none
// does, and when several do (which of them is meant is not known).
bool findOnDisk(const QByteArray& folder, const QByteArray& storedName, QByteArray* diskName);

} // namespace SearchEngine
