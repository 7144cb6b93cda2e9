#include "devices/live/ZLiveDriveState.h"

#include "devices/live/ZLiveAtomicFile.h"
#include "win32/ZDriveLetterFiles.h"

#include <QFile>

namespace Platform {

namespace {

const char kJournalName[] = "/LiveJournal%1.dat";
const char kIdentityName[] = "/LiveIdentities%1.dat";

} // namespace

void ZLiveDriveState::removeDeparted(const QString& folder, const std::vector<char16_t>& served)
{
    // "LiveJournal?.dat": the name's one letter is the drive's.
    for (const char* form : {kJournalName, kIdentityName})
        removeFilesOfDepartedDrives(folder, QString::fromLatin1(form + 1).arg(QLatin1Char('?')),
                                    QLatin1String(kLiveTempSuffix), served);
}

ZLiveDriveState::ZLiveDriveState(const QString& folder, const QString& name, const ZLiveJournalLog::Limits& limits)
    : journalPath_(folder + QString::fromLatin1(kJournalName).arg(name)),
      identityPath_(folder + QString::fromLatin1(kIdentityName).arg(name)), limits_(limits)
{
}

void ZLiveDriveState::setWriteFault(const ZLiveWriteFault& fault)
{
    fault_ = fault;
    log_.setWriteFault(fault);
}

bool ZLiveDriveState::exists() const
{
    return QFile::exists(identityPath_) || QFile::exists(journalPath_);
}

bool ZLiveDriveState::load(ULONGLONG rootDevice, ULONGLONG rootInode, DWORD rootTag,
                           ZLiveIdentitySnapshot::Image& table, QString* reason)
{
    if (!ZLiveIdentitySnapshot::read(identityPath_, rootDevice, rootInode, table, reason))
        return false;
    if (!log_.load(journalPath_, rootDevice, rootInode, limits_, reason, rootTag))
        return false;
    if (table.journalId != log_.identity().journalId || table.usn != log_.nextUsn()) {
        if (reason)
            *reason = QStringLiteral("the identity table was not taken at the journal file's end (a run was cut short)");
        table = ZLiveIdentitySnapshot::Image();
        return false;
    }
    return true;
}

bool ZLiveDriveState::startFresh(const ZLiveJournalLog::Identity& identity, USN firstUsn, QString* error)
{
    QFile::remove(identityPath_);
    broken_ = !log_.create(journalPath_, identity, firstUsn, limits_, error);
    killed_ = log_.killed();
    return !broken_;
}

void ZLiveDriveState::append(const USN_RECORD_V2* record)
{
    if (broken_ || killed_)
        return;
    broken_ = !log_.append(record);
    killed_ = log_.killed();
}

void ZLiveDriveState::restartAt(USN usn)
{
    if (killed_)
        return;
    broken_ = !log_.create(journalPath_, log_.identity(), usn, limits_, nullptr);
    killed_ = log_.killed();
}

bool ZLiveDriveState::close(ULONGLONG rootDevice, ULONGLONG rootInode, DWORDLONG journalId, USN usn,
                            const std::function<void(ZLiveIdentitySnapshot::Writer&)>& fill, QString* error)
{
    if (killed_)
        return false;
    if (broken_ || !fill || !log_.isOpen() || !log_.flush() || usn != log_.nextUsn()
        || journalId != log_.identity().journalId) {
        if (error)
            *error = QStringLiteral("the journal file does not hold every record");
        removeFiles();
        return false;
    }
    ZLiveIdentitySnapshot::Writer table(identityPath_, fault_);
    fill(table);
    return table.finish(rootDevice, rootInode, journalId, usn, error);
}

void ZLiveDriveState::removeFiles()
{
    QFile::remove(identityPath_);
    QFile::remove(journalPath_);
}

} // namespace Platform
