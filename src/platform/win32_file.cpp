#include "platform/win32_file.h"

#include "platform/ZDriveTable.h"
#include "win32/win32_handle.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

// Files and folders made here are the service's own: no access for other users.
constexpr mode_t kNewFileMode = 0600;
constexpr mode_t kNewFolderMode = 0700;

// Every HANDLE this layer hands out points at one of these.
using Platform::HandleObject;

struct FileHandle : HandleObject {
    int fd = -1;
    ~FileHandle() override
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct VolumeHandle : HandleObject {
    std::shared_ptr<Platform::ZVolumeDevice> device;
    ULONGLONG filePointer = 0;
};

DWORD errorFromErrno(int e)
{
    switch (e) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EROFS: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    case ENOSPC: return ERROR_DISK_FULL;
    default: return ERROR_INVALID_FUNCTION;
    }
}

BOOL failWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

BOOL failFromErrno()
{
    return failWith(errorFromErrno(errno));
}

HandleObject* object(HANDLE h)
{
    if (h == nullptr || h == INVALID_HANDLE_VALUE)
        return nullptr;
    return static_cast<HandleObject*>(h);
}

QByteArray nativeBytes(LPCWSTR path)
{
    return QFile::encodeName(Platform::toNativePath(QString::fromUtf16(path)));
}

HANDLE openVolume(char16_t letter, DWORD access)
{
    auto device = Platform::ZDriveTable::instance().device(letter);
    if (!device) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (!device->open(access))
        return INVALID_HANDLE_VALUE;
    auto* h = new VolumeHandle;
    h->device = std::move(device);
    return h;
}

} // namespace

namespace Platform {

QString toNativePath(const QString& windowsPath)
{
    QString p = windowsPath;
    p.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return p;
}

char16_t driveLetterOfVolumePath(const QString& path)
{
    auto letterAt = [&](int i) -> char16_t {
        const QChar c = path.at(i).toUpper();
        return (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ? char16_t(c.unicode()) : 0;
    };
    if (path.size() == 6 && path.startsWith(QLatin1String("\\\\.\\")) && path.at(5) == QLatin1Char(':'))
        return letterAt(4);
    if (path.size() == 3 && path.at(1) == QLatin1Char(':') && path.at(2) == QLatin1Char('\\'))
        return letterAt(0);
    return 0;
}

} // namespace Platform

HANDLE CreateFileW(LPCWSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   SECURITY_ATTRIBUTES*, DWORD creationDisposition,
                   DWORD, HANDLE)
{
    if (!fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const QString path = QString::fromUtf16(fileName);
    if (path.startsWith(QLatin1String("\\\\.\\"))) {
        const char16_t letter = Platform::driveLetterOfVolumePath(path);
        if (!letter) {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return openVolume(letter, desiredAccess);
    }

    int flags = O_CLOEXEC;
    const bool wantRead = desiredAccess & GENERIC_READ;
    const bool wantWrite = desiredAccess & GENERIC_WRITE;
    flags |= (wantRead && wantWrite) ? O_RDWR : wantWrite ? O_WRONLY : O_RDONLY;
    switch (creationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING: flags |= O_TRUNC; break;
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    const QByteArray native = nativeBytes(fileName);
    const bool existed = ::access(native.constData(), F_OK) == 0;
    const int fd = ::open(native.constData(), flags, kNewFileMode);
    if (fd < 0) {
        failFromErrno();
        return INVALID_HANDLE_VALUE;
    }
    auto* h = new FileHandle;
    h->fd = fd;
    // Windows reports an opened existing file for OPEN_ALWAYS/CREATE_ALWAYS.
    SetLastError((existed && (creationDisposition == OPEN_ALWAYS || creationDisposition == CREATE_ALWAYS))
                     ? ERROR_ALREADY_EXISTS
                     : ERROR_SUCCESS);
    return h;
}

BOOL CloseHandle(HANDLE handle)
{
    HandleObject* o = object(handle);
    if (!o)
        return failWith(ERROR_INVALID_HANDLE);
    delete o;
    return TRUE;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, OVERLAPPED*)
{
    HandleObject* o = object(handle);
    if (bytesRead)
        *bytesRead = 0;
    if (auto* v = dynamic_cast<VolumeHandle*>(o)) {
        DWORD got = 0;
        if (!v->device->read(v->filePointer, buffer, bytesToRead, &got))
            return FALSE;
        v->filePointer += got;
        if (bytesRead)
            *bytesRead = got;
        return TRUE;
    }
    auto* f = dynamic_cast<FileHandle*>(o);
    if (!f)
        return failWith(ERROR_INVALID_HANDLE);
    ssize_t n;
    do {
        n = ::read(f->fd, buffer, bytesToRead);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return failFromErrno();
    if (bytesRead)
        *bytesRead = DWORD(n);
    return TRUE;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, OVERLAPPED*)
{
    auto* f = dynamic_cast<FileHandle*>(object(handle));
    if (bytesWritten)
        *bytesWritten = 0;
    if (!f)
        return failWith(dynamic_cast<VolumeHandle*>(object(handle)) ? ERROR_ACCESS_DENIED : ERROR_INVALID_HANDLE);
    const char* p = static_cast<const char*>(buffer);
    DWORD done = 0;
    while (done < bytesToWrite) {
        const ssize_t n = ::write(f->fd, p + done, bytesToWrite - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (bytesWritten)
                *bytesWritten = done;
            return failFromErrno();
        }
        done += DWORD(n);
    }
    if (bytesWritten)
        *bytesWritten = done;
    return TRUE;
}

BOOL SetFilePointerEx(HANDLE handle, LARGE_INTEGER distance, PLARGE_INTEGER newPointer, DWORD moveMethod)
{
    HandleObject* o = object(handle);
    if (auto* v = dynamic_cast<VolumeHandle*>(o)) {
        LONGLONG base = 0;
        if (moveMethod == FILE_CURRENT)
            base = LONGLONG(v->filePointer);
        else if (moveMethod != FILE_BEGIN)
            return failWith(ERROR_INVALID_PARAMETER);
        const LONGLONG target = base + distance.QuadPart;
        if (target < 0)
            return failWith(ERROR_NEGATIVE_SEEK);
        v->filePointer = ULONGLONG(target);
        if (newPointer)
            newPointer->QuadPart = target;
        return TRUE;
    }
    auto* f = dynamic_cast<FileHandle*>(o);
    if (!f)
        return failWith(ERROR_INVALID_HANDLE);
    const int whence = moveMethod == FILE_BEGIN ? SEEK_SET : moveMethod == FILE_CURRENT ? SEEK_CUR : SEEK_END;
    const off_t pos = ::lseek(f->fd, off_t(distance.QuadPart), whence);
    if (pos < 0)
        return failFromErrno();
    if (newPointer)
        newPointer->QuadPart = pos;
    return TRUE;
}

BOOL GetFileSizeEx(HANDLE handle, PLARGE_INTEGER size)
{
    auto* f = dynamic_cast<FileHandle*>(object(handle));
    if (!f)
        return failWith(ERROR_INVALID_HANDLE);
    struct stat st{};
    if (::fstat(f->fd, &st) != 0)
        return failFromErrno();
    size->QuadPart = st.st_size;
    return TRUE;
}

BOOL SetEndOfFile(HANDLE handle)
{
    auto* f = dynamic_cast<FileHandle*>(object(handle));
    if (!f)
        return failWith(ERROR_INVALID_HANDLE);
    const off_t pos = ::lseek(f->fd, 0, SEEK_CUR);
    if (pos < 0 || ::ftruncate(f->fd, pos) != 0)
        return failFromErrno();
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE handle)
{
    auto* f = dynamic_cast<FileHandle*>(object(handle));
    if (!f)
        return failWith(ERROR_INVALID_HANDLE);
    if (::fsync(f->fd) != 0)
        return failFromErrno();
    return TRUE;
}

BOOL CreateDirectoryW(LPCWSTR pathName, SECURITY_ATTRIBUTES*)
{
    if (!pathName)
        return failWith(ERROR_INVALID_PARAMETER);
    QByteArray native = nativeBytes(pathName);
    while (native.size() > 1 && native.endsWith('/'))
        native.chop(1);
    if (::mkdir(native.constData(), kNewFolderMode) != 0)
        return failFromErrno();
    return TRUE;
}

BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, LPVOID inBuffer, DWORD inBufferSize,
                     LPVOID outBuffer, DWORD outBufferSize, LPDWORD bytesReturned, OVERLAPPED*)
{
    auto* v = dynamic_cast<VolumeHandle*>(object(device));
    DWORD returned = 0;
    if (!v) {
        if (bytesReturned)
            *bytesReturned = 0;
        return failWith(ERROR_INVALID_HANDLE);
    }
    const BOOL ok = v->device->deviceIoControl(ioControlCode, inBuffer, inBufferSize,
                                               outBuffer, outBufferSize, &returned);
    if (bytesReturned)
        *bytesReturned = returned;
    return ok;
}

BOOL CancelIoEx(HANDLE handle, OVERLAPPED*)
{
    auto* v = dynamic_cast<VolumeHandle*>(object(handle));
    if (!v)
        return failWith(ERROR_INVALID_HANDLE);
    v->device->cancelIo();
    return TRUE;
}

BOOL GetVolumeInformationW(LPCWSTR rootPathName, LPWSTR volumeNameBuffer, DWORD volumeNameSize,
                           LPDWORD volumeSerialNumber, LPDWORD maximumComponentLength,
                           LPDWORD fileSystemFlags, LPWSTR fileSystemNameBuffer, DWORD fileSystemNameSize)
{
    const char16_t letter = rootPathName ? Platform::driveLetterOfVolumePath(QString::fromUtf16(rootPathName)) : 0;
    auto device = letter ? Platform::ZDriveTable::instance().device(letter) : nullptr;
    if (!device)
        return failWith(ERROR_PATH_NOT_FOUND);
    Platform::VolumeInformation info;
    if (!device->volumeInformation(info))
        return FALSE;
    auto copyOut = [](const std::u16string& s, LPWSTR buffer, DWORD size) -> bool {
        if (!buffer)
            return true;
        if (s.size() + 1 > size)
            return false;
        std::copy(s.begin(), s.end(), buffer);
        buffer[s.size()] = 0;
        return true;
    };
    if (!copyOut(info.label, volumeNameBuffer, volumeNameSize)
        || !copyOut(info.fileSystemName, fileSystemNameBuffer, fileSystemNameSize))
        return failWith(ERROR_INSUFFICIENT_BUFFER);
    if (volumeSerialNumber)
        *volumeSerialNumber = info.serialNumber;
    if (maximumComponentLength)
        *maximumComponentLength = info.maxComponentLength;
    if (fileSystemFlags)
        *fileSystemFlags = info.fileSystemFlags;
    return TRUE;
}

DWORD GetLogicalDriveStringsW(DWORD bufferLength, LPWSTR buffer)
{
    std::u16string all;
    for (char16_t letter : Platform::ZDriveTable::instance().letters()) {
        all.push_back(letter);
        all.append(u":\\");
        all.push_back(0);
    }
    const DWORD needed = DWORD(all.size()) + 1;
    if (!buffer || bufferLength < needed)
        return needed;
    std::copy(all.begin(), all.end(), buffer);
    buffer[all.size()] = 0;
    return DWORD(all.size());
}
