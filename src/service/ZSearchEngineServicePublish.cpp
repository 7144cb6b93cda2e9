// What the service serves, published for its clients beside the socket
// (the format is ZPublishedDrives): written to a temporary twin that is
// renamed over the file, so a client reads the old list or the new one.
#include "service/ZSearchEngineService.h"

#include "frame/ZLog.h"
#include "platform/ZDriveTable.h"
#include "volume/ZDriveVolume.h"
#include "wire/ZPublishedDrives.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SearchEngine {

namespace {
constexpr mode_t kPublishedMode = 0644;   // clients read it; only the service writes
const char kTwinSuffix[] = ".new";
} // namespace

void ZService::publishDrives(const ZDriveVolume* leaving) const
{
    ZPublishedDriveMap drives;
    for (const ZDriveVolume* volume : volumes) {
        if (volume == leaving)
            continue;
        ZPublishedDrive d;
        QString root;
        bool image = false;
        if (Platform::ZDriveTable::instance().root(volume->drive(), &root, &image)) {
            d.kind = image ? ZPublishedDrive::Image : ZPublishedDrive::Directory;
            d.root = QFile::encodeName(root);
        }
        drives[char16_t(volume->drive())] = d;
    }
    const QByteArray text = ZPublishedDrives::format(drives);
    const QByteArray path = QFile::encodeName(ZPublishedDrives::filePath());
    const QByteArray twin = path + kTwinSuffix;
    // A planted twin (another user's file or a link) is never followed.
    ::unlink(twin.constData());
    const int fd = ::open(twin.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kPublishedMode);
    bool ok = fd >= 0 && ::fchmod(fd, kPublishedMode) == 0
              && ::write(fd, text.constData(), size_t(text.size())) == text.size();
    if (fd >= 0)
        ok = ::close(fd) == 0 && ok;
    if (!ok || ::rename(twin.constData(), path.constData()) != 0) {
        LOG(WARNING) << "the drive list cannot be published in " << path.constData() << ": " << std::strerror(errno);
        ::unlink(twin.constData());
    }
}

void ZService::withdrawDrives() const
{
    ::unlink(QFile::encodeName(ZPublishedDrives::filePath()).constData());
}

} // namespace SearchEngine
