#include "wire/ZServiceLocation.h"

#include "wire/ZWireProtocol.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace SearchEngine {

namespace {

constexpr mode_t kRuntimeFolderMode = 0755;
constexpr mode_t kParentFolderMode = 0700;
const QLatin1String kOwnFolderName("searchservice");

QString environmentPath(const char* name)
{
    return QFile::decodeName(qgetenv(name));
}

bool isDirectory(const QString& path)
{
    struct stat st = {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

QString ZServiceLocation::runtimeFolder()
{
    const QString systemd = environmentPath("RUNTIME_DIRECTORY").section(QLatin1Char(':'), 0, 0);
    if (!systemd.isEmpty())
        return systemd;
    if (!qEnvironmentVariableIsEmpty("TMPDIR"))
        return QDir::cleanPath(QDir::tempPath());
    const QString system = QLatin1String(kSystemRuntimeFolder);
    if (::geteuid() == 0 || isDirectory(system))
        return system;
    const QString session = environmentPath("XDG_RUNTIME_DIR");
    if (!session.isEmpty())
        return session + QLatin1Char('/') + kOwnFolderName;
    return QStringLiteral("/tmp/searchservice-%1").arg(::geteuid());
}

QString ZServiceLocation::socketPath()
{
    return runtimeFolder() + QLatin1Char('/') + QLatin1String(ServiceServerName);
}

namespace {

// The first folder above `native` that another user could change: owned by
// someone else than root or this user, or writable by others without the
// sticky bit. Such a user could move the runtime folder away and put a link
// in its place after it was checked. Empty when there is none.
QByteArray changeableAbove(const QByteArray& native)
{
    for (int i = native.lastIndexOf('/'); i >= 0; i = i > 0 ? native.lastIndexOf('/', i - 1) : -1) {
        const QByteArray above = i == 0 ? QByteArray("/") : native.left(i);
        struct stat st = {};
        if (::stat(above.constData(), &st) != 0)
            return above;
        const bool owner = st.st_uid == 0 || st.st_uid == ::geteuid();
        const bool shared = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (st.st_mode & S_ISVTX) == 0;
        if (!owner || shared)
            return above;
    }
    return QByteArray();
}

} // namespace

bool ZServiceLocation::makeRuntimeFolder(QString* error)
{
    const QString folder = runtimeFolder();
    const QByteArray native = QFile::encodeName(folder);
    const auto fail = [&](const QString& why) {
        if (error)
            *error = QStringLiteral("runtime folder %1 %2").arg(folder, why);
        return false;
    };
    // Missing parents (a session folder's own) are private; the folder itself
    // must be open for search, or clients could not reach the socket.
    for (int i = 1; i < native.size(); ++i) {
        if (native.at(i) == '/')
            ::mkdir(native.left(i).constData(), kParentFolderMode);
    }
    if (::mkdir(native.constData(), kRuntimeFolderMode) != 0 && errno != EEXIST)
        return fail(QStringLiteral("cannot be made: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    const int fd = ::open(native.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return fail(QStringLiteral("is not a folder: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
    struct stat st = {};
    const bool ours = ::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
    ::close(fd);
    if (!ours)
        return fail(QStringLiteral("is not a folder of this user's that no one else can write"));
    const QByteArray changeable = changeableAbove(native);
    if (!changeable.isEmpty())
        return fail(QStringLiteral("lies in %1, which another user can change").arg(QFile::decodeName(changeable)));
    return true;
}

} // namespace SearchEngine
