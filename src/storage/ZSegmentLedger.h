// Shared-memory segments outlive a crashed process on Linux (System V
// segments stay until removed). Every segment this process creates is noted
// in a ledger file in the temporary folder, locked for the life of the
// process; the next start removes the unattached segments that the ledgers
// of dead processes name.
#pragma once

#include <QString>

namespace SearchEngine {

// Notes a segment just created through QSharedMemory with this native key
// (and the lock semaphore Qt keeps beside it). Thread-safe.
void noteCreatedSegment(const QString& nativeKey);

// Removes what crashed runs left: for every ledger no live process holds,
// each named segment that still exists and has no attachment is removed
// with its key files; the ledger goes when nothing of it is left. Segments
// still attached by a reader are kept for a later start. Returns the number
// of segments removed. The service calls it at start, once it holds its
// single-instance lock.
int removeStaleSharedSegments();

} // namespace SearchEngine
