// Shared-memory segments outlive a crashed process on Linux (System V
// segments stay until removed). Every segment this process creates is noted
// in a ledger file in this user's key folder, locked for the life of the
// process; the next start removes the unattached segments that the ledgers
// of dead processes name. Only this user's own ledgers are read, and only
// this user's key files and segments, made by the ledger's process, are
// ever removed.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace SearchEngine {

// Notes a segment just created, by its key file (ZSharedSegment::keyFile()).
// Thread-safe.
void noteCreatedSegment(const QString& keyFile);

// Removes what crashed runs left: for every ledger of this user's that no
// live process holds, each named segment that still exists, was made by the
// ledger's process for this user and has no attachment is removed with its
// key file; the ledger goes when nothing of it is left. Segments still
// attached by a reader are kept for a later start. Returns the number of
// segments removed. The service calls it at start, once it holds its
// single-instance lock.
int removeStaleSharedSegments();

// At an orderly end, once this process's pools are gone: its own ledger is
// settled as a dead process's would be (what readers still hold is kept for
// a later start) and goes when nothing of it is left.
void retireOwnSegmentLedger();

// No run makes enough segments to fill a ledger this long: a longer one is
// not read.
constexpr int kMaxLedgerBytes = 1 << 20;

// The key files a ledger's bytes name: each complete line that is the path
// of a key file of the segment form directly inside keyFolder, once, in
// order. Every other line is dropped. False, with no key files, for a
// ledger longer than kMaxLedgerBytes.
bool parseSegmentLedger(const QByteArray& bytes, const QString& keyFolder, QStringList* keyFiles);

} // namespace SearchEngine
