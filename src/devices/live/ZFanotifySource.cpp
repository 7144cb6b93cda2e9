#include "devices/live/ZFanotifySource.h"

#include <fcntl.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace Platform {

namespace {

constexpr uint64_t kMarkMask = FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_MODIFY | FAN_ATTRIB | FAN_CLOSE_WRITE
    | FAN_DELETE_SELF | FAN_MOVE_SELF | FAN_ONDIR;
constexpr size_t kReadBufferBytes = 256 * 1024;
constexpr size_t kHandleRoom = MAX_HANDLE_SZ;

// A directory handle as a map key: its type, then its bytes.
std::string handleKey(int type, const unsigned char* bytes, size_t length)
{
    std::string key(reinterpret_cast<const char*>(&type), sizeof type);
    key.append(reinterpret_cast<const char*>(bytes), length);
    return key;
}

// One file-id info record: the directory handle's key and the name after it.
struct FidInfo {
    std::string key;
    std::string name;
    bool valid = false;
};

FidInfo parseFid(const unsigned char* p, size_t length, bool withName)
{
    FidInfo out;
    const size_t handleAt = offsetof(struct fanotify_event_info_fid, handle);
    if (length < handleAt + sizeof(struct file_handle))
        return out;
    struct file_handle fh;
    memcpy(&fh, p + handleAt, sizeof fh);
    const size_t bytesAt = handleAt + sizeof(struct file_handle);
    if (fh.handle_bytes > length - bytesAt)
        return out;
    out.key = handleKey(fh.handle_type, p + bytesAt, fh.handle_bytes);
    if (withName) {
        const size_t nameAt = bytesAt + fh.handle_bytes;
        const char* name = reinterpret_cast<const char*>(p + nameAt);
        out.name.assign(name, strnlen(name, length - nameAt));
    }
    out.valid = true;
    return out;
}

} // namespace

ZFanotifySource::~ZFanotifySource()
{
    if (fd_ >= 0)
        ::close(fd_);
}

bool ZFanotifySource::start(const std::string& root)
{
    fd_ = fanotify_init(FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME, O_RDONLY | O_LARGEFILE);
    if (fd_ < 0)
        return false;
    if (fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMarkMask, AT_FDCWD, root.c_str()) != 0) {
        const int err = errno;
        ::close(fd_);
        fd_ = -1;
        errno = err;
        return false;
    }
    return true;
}

bool ZFanotifySource::watchDirectory(int dirFd, DWORD record)
{
    union {
        struct file_handle fh;
        unsigned char room[sizeof(struct file_handle) + kHandleRoom];
    } h;
    h.fh.handle_bytes = kHandleRoom;
    int mountId = 0;
    if (name_to_handle_at(dirFd, "", &h.fh, &mountId, AT_EMPTY_PATH) != 0)
        return false;
    const std::string key = handleKey(h.fh.handle_type, h.fh.f_handle, h.fh.handle_bytes);
    directories_.dropKeyOf(record, key);
    directories_.bind(key, record);
    return true;
}

void ZFanotifySource::renumberDirectory(DWORD provisional, DWORD record)
{
    directories_.renumber(provisional, record);
}

void ZFanotifySource::forgetDirectory(DWORD record)
{
    directories_.forgetRecord(record);
}

void ZFanotifySource::readEvents(std::vector<LiveEvent>& out)
{
    alignas(struct fanotify_event_metadata) static thread_local unsigned char buffer[kReadBufferBytes];
    for (;;) {
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            break;
        }
        size_t at = 0;
        while (at + sizeof(struct fanotify_event_metadata) <= size_t(n)) {
            struct fanotify_event_metadata m;
            memcpy(&m, buffer + at, sizeof m);
            if (m.event_len < sizeof m || at + m.event_len > size_t(n) || m.metadata_len < sizeof m
                || m.metadata_len > m.event_len || m.vers != FANOTIFY_METADATA_VERSION)
                break;
            const unsigned char* event = buffer + at;
            at += m.event_len;
            if (m.fd >= 0)
                ::close(m.fd);
            if (m.mask & FAN_Q_OVERFLOW) {
                LiveEvent e;
                e.kind = LiveEvent::Overflow;
                out.push_back(std::move(e));
                continue;
            }
            FidInfo dir, oldDir, newDir;
            for (size_t i = m.metadata_len; i + sizeof(struct fanotify_event_info_header) <= m.event_len;) {
                struct fanotify_event_info_header h;
                memcpy(&h, event + i, sizeof h);
                if (h.len < sizeof h || i + h.len > m.event_len)
                    break;
                const unsigned char* info = event + i;
                switch (h.info_type) {
                case FAN_EVENT_INFO_TYPE_DFID_NAME: dir = parseFid(info, h.len, true); break;
                case FAN_EVENT_INFO_TYPE_DFID:
                case FAN_EVENT_INFO_TYPE_FID: dir = parseFid(info, h.len, false); break;
                case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME: oldDir = parseFid(info, h.len, true); break;
                case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME: newDir = parseFid(info, h.len, true); break;
                default: break;
                }
                i += h.len;
            }
            LiveEvent e;
            if (m.mask & FAN_RENAME) {
                e.kind = LiveEvent::Renamed;
                if (oldDir.valid) {
                    e.directory = directories_.recordOf(oldDir.key);
                    e.name = oldDir.name;
                }
                if (newDir.valid) {
                    e.newDirectory = directories_.recordOf(newDir.key);
                    e.newName = newDir.name;
                }
                if (e.directory || e.newDirectory)
                    out.push_back(std::move(e));
                continue;
            }
            if (!dir.valid)
                continue;
            e.directory = directories_.recordOf(dir.key);
            if (!e.directory)
                continue;   // outside the tree
            e.name = dir.name;
            const bool self = e.name.empty() || e.name == ".";
            if (m.mask & (FAN_DELETE_SELF | FAN_MOVE_SELF)) {
                if (!(m.mask & FAN_ONDIR))
                    continue;
                e.kind = (m.mask & FAN_DELETE_SELF) ? LiveEvent::DirectoryDeleted : LiveEvent::DirectoryGone;
                e.name.clear();
            } else if (m.mask & (FAN_CREATE | FAN_DELETE)) {
                e.kind = LiveEvent::NameChanged;
            } else if (m.mask & (FAN_MODIFY | FAN_CLOSE_WRITE)) {
                e.kind = LiveEvent::DataChanged;
            } else if (m.mask & FAN_ATTRIB) {
                e.kind = LiveEvent::InfoChanged;
            } else {
                continue;
            }
            if (self)
                e.name = ".";   // the folder itself: the volume looks it up under its parent
            out.push_back(std::move(e));
        }
    }
}

} // namespace Platform
