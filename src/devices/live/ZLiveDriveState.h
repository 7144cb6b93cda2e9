// The state a directory drive keeps between runs: its journal file
// (ZLiveJournalLog) and its identity table (ZLiveIdentitySnapshot), two
// files in the drive's state folder, and the rule that ties them: the table
// is usable only when it was taken at the journal file's NextUsn, in the
// same journal. A run appends each journal record as it is written and, at
// an orderly close, writes the table at the last one; a kill leaves the
// journal past the table, and the next start refuses both.
#pragma once

#include "devices/live/ZLiveIdentitySnapshot.h"
#include "devices/live/ZLiveJournalLog.h"

#include <QString>

#include <functional>

namespace Platform {

class ZLiveDriveState {
public:
    // The files <folder>/LiveJournal<name>.dat and LiveIdentities<name>.dat.
    ZLiveDriveState(const QString& folder, const QString& name, const ZLiveJournalLog::Limits& limits);

    // Loads both for the tree; false with the reason (the files missing,
    // damaged, of another tree, or not of one moment). On success the
    // journal file is open for appends and the table is in `table`.
    // Removes the files of drives no longer served (letters upper case).
    static void removeDeparted(const QString& folder, const std::vector<char16_t>& served);
    // Whether a last run left either file.
    bool exists() const;
    bool load(ULONGLONG rootDevice, ULONGLONG rootInode, DWORD rootTag, ZLiveIdentitySnapshot::Image& table,
              QString* reason);
    // A fresh journal file at firstUsn; the identity table of an earlier
    // journal is removed. False with *error (nothing will be kept).
    bool startFresh(const ZLiveJournalLog::Identity& identity, USN firstUsn, QString* error);
    // Each record the journal writes, in order.
    void append(const USN_RECORD_V2* record);
    // The journal's entries were dropped and it goes on at usn: the file is made anew there.
    void restartAt(USN usn);
    // At an orderly close: the table of the tree, taken at the journal's
    // NextUsn `usn`, is written (`fill` gives the writer every entry) when
    // the journal file holds every record up to it; otherwise both files
    // are removed, so that the next start is a fresh one.
    bool close(ULONGLONG rootDevice, ULONGLONG rootInode, DWORDLONG journalId, USN usn,
               const std::function<void(ZLiveIdentitySnapshot::Writer&)>& fill, QString* error);

    const ZLiveJournalLog& journal() const { return log_; }
    // Tests: kills in every write of the two files (ZLiveAtomicFile.h).
    void setWriteFault(const ZLiveWriteFault& fault);

private:
    void removeFiles();

    QString journalPath_;
    QString identityPath_;
    ZLiveJournalLog::Limits limits_;
    ZLiveJournalLog log_;
    ZLiveWriteFault fault_;
    bool broken_ = false;   // an append failed: the file no longer holds every record
    bool killed_ = false;   // the fault seam fired: the files stay as the "kill" left them
};

} // namespace Platform
