#include "ZNtfsFixture.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}
// libntfs-3g's headers define these as macros.
#undef min
#undef max

namespace SearchEngine {

namespace {

constexpr size_t kWriteChunk = 64 * 1024;
constexpr uint64_t kJournalPage = 4096;
constexpr uint32_t kUsnRecordHeader = 60;
constexpr uint32_t kFileAttributeDirectory = 0x10;
constexpr uint64_t kFiletimeUnixEpoch = 116444736000000000ull;
constexpr unsigned kMaxFillFiles = 1u << 20;

// A UTF-16 copy of a UTF-8 name, freed with the object.
struct Utf16Name {
    explicit Utf16Name(const std::string& s) { length = ntfs_mbstoucs(s.c_str(), &chars); }
    ~Utf16Name() { free(chars); }
    ntfschar* chars = nullptr;
    int length = -1;
};

std::string parentOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

std::string baseOf(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

uint64_t nowFiletime()
{
    return uint64_t(time(nullptr)) * 10000000ull + kFiletimeUnixEpoch;
}

template <typename T>
void put(std::vector<uint8_t>& b, size_t at, T v)
{
    std::memcpy(b.data() + at, &v, sizeof v);
}

} // namespace

ZNtfsFixture::~ZNtfsFixture()
{
    close();
}

bool ZNtfsFixture::fail(const std::string& what)
{
    error_ = what + (errno ? std::string(": ") + std::strerror(errno) : std::string());
    return false;
}

bool ZNtfsFixture::format(const std::string& image, uint64_t sizeBytes, unsigned clusterSize,
                          const std::string& label, std::string* error)
{
    const int fd = ::open(image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || ::ftruncate(fd, off_t(sizeBytes)) != 0) {
        if (fd >= 0)
            ::close(fd);
        if (error)
            *error = "cannot create " + image;
        return false;
    }
    ::close(fd);
    const std::string cluster = std::to_string(clusterSize);
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int devnull = ::open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            ::dup2(devnull, STDOUT_FILENO);
            ::dup2(devnull, STDERR_FILENO);
        }
        ::execlp("mkntfs", "mkntfs", "-F", "-f", "-q", "-c", cluster.c_str(), "-L", label.c_str(),
                 image.c_str(), static_cast<char*>(nullptr));
        ::execl("/usr/sbin/mkntfs", "mkntfs", "-F", "-f", "-q", "-c", cluster.c_str(), "-L", label.c_str(),
                image.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        if (error)
            *error = "mkntfs failed on " + image;
        return false;
    }
    return true;
}

bool ZNtfsFixture::open(const std::string& image)
{
    close();
    ntfs_log_clear_levels(~0u);
    volume_ = ntfs_mount(image.c_str(), NTFS_MNT_NONE);
    return volume_ ? true : fail("cannot open " + image);
}

bool ZNtfsFixture::close()
{
    if (!volume_)
        return true;
    const int rc = ntfs_umount(volume_, FALSE);
    volume_ = nullptr;
    return rc == 0 ? true : fail("unmount failed");
}

uint64_t ZNtfsFixture::recordOf(const std::string& path)
{
    ntfs_inode* ni = ntfs_pathname_to_inode(volume_, nullptr, path.c_str());
    if (!ni)
        return 0;
    const uint64_t r = ni->mft_no;
    ntfs_inode_close(ni);
    return r;
}

bool ZNtfsFixture::makeDirectory(const std::string& path)
{
    if (path == "/" || path.empty())
        return true;
    if (ntfs_inode* existing = ntfs_pathname_to_inode(volume_, nullptr, path.c_str())) {
        ntfs_inode_close(existing);
        return true;
    }
    if (!makeDirectory(parentOf(path)))
        return false;
    ntfs_inode* dir = ntfs_pathname_to_inode(volume_, nullptr, parentOf(path).c_str());
    if (!dir)
        return fail("no folder " + parentOf(path));
    Utf16Name name(baseOf(path));
    ntfs_inode* ni = name.length > 0 ? ntfs_create(dir, 0, name.chars, u8(name.length), S_IFDIR) : nullptr;
    const bool ok = ni != nullptr;
    if (ni)
        ntfs_inode_close(ni);
    ntfs_inode_close(dir);
    return ok ? true : fail("cannot make folder " + path);
}

bool ZNtfsFixture::makeFile(const std::string& path, uint64_t size)
{
    if (!makeDirectory(parentOf(path)))
        return false;
    ntfs_inode* dir = ntfs_pathname_to_inode(volume_, nullptr, parentOf(path).c_str());
    if (!dir)
        return fail("no folder " + parentOf(path));
    Utf16Name name(baseOf(path));
    ntfs_inode* ni = name.length > 0 ? ntfs_create(dir, 0, name.chars, u8(name.length), S_IFREG) : nullptr;
    ntfs_inode_close(dir);
    if (!ni)
        return fail("cannot make file " + path);
    bool ok = true;
    if (size) {
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, AT_UNNAMED, 0);
        ok = na != nullptr;
        std::vector<uint8_t> chunk(kWriteChunk);
        for (size_t i = 0; i < chunk.size(); ++i)
            chunk[i] = uint8_t('a' + i % 26);
        for (uint64_t at = 0; ok && at < size; at += chunk.size()) {
            const s64 n = s64(std::min<uint64_t>(chunk.size(), size - at));
            ok = ntfs_attr_pwrite(na, s64(at), n, chunk.data()) == n;
        }
        if (na)
            ntfs_attr_close(na);
    }
    ntfs_inode_close(ni);
    return ok ? true : fail("cannot write " + path);
}

bool ZNtfsFixture::link(const std::string& existing, const std::string& newPath)
{
    if (!makeDirectory(parentOf(newPath)))
        return false;
    ntfs_inode* ni = ntfs_pathname_to_inode(volume_, nullptr, existing.c_str());
    ntfs_inode* dir = ntfs_pathname_to_inode(volume_, nullptr, parentOf(newPath).c_str());
    Utf16Name name(baseOf(newPath));
    const bool ok = ni && dir && name.length > 0 && ntfs_link(ni, dir, name.chars, u8(name.length)) == 0;
    if (ni)
        ntfs_inode_close(ni);
    if (dir)
        ntfs_inode_close(dir);
    return ok ? true : fail("cannot link " + newPath);
}

bool ZNtfsFixture::remove(const std::string& path)
{
    ntfs_inode* ni = ntfs_pathname_to_inode(volume_, nullptr, path.c_str());
    ntfs_inode* dir = ntfs_pathname_to_inode(volume_, nullptr, parentOf(path).c_str());
    Utf16Name name(baseOf(path));
    if (!ni || !dir || name.length <= 0) {
        if (ni)
            ntfs_inode_close(ni);
        if (dir)
            ntfs_inode_close(dir);
        return fail("cannot find " + path);
    }
    // ntfs_delete closes both inodes.
    return ntfs_delete(volume_, path.c_str(), ni, dir, name.chars, u8(name.length)) == 0
               ? true
               : fail("cannot delete " + path);
}

bool ZNtfsFixture::setDosName(const std::string& path, const std::string& shortName)
{
    ntfs_inode* ni = ntfs_pathname_to_inode(volume_, nullptr, path.c_str());
    ntfs_inode* dir = ntfs_pathname_to_inode(volume_, nullptr, parentOf(path).c_str());
    if (!ni || !dir) {
        if (ni)
            ntfs_inode_close(ni);
        if (dir)
            ntfs_inode_close(dir);
        return fail("cannot find " + path);
    }
    // ntfs_set_ntfs_dos_name closes both inodes.
    return ntfs_set_ntfs_dos_name(ni, dir, shortName.c_str(), shortName.size(), 0) == 0
               ? true
               : fail("cannot give " + path + " a DOS name");
}

bool ZNtfsFixture::addStreams(const std::string& path, unsigned count, uint64_t size)
{
    ntfs_inode* ni = ntfs_pathname_to_inode(volume_, nullptr, path.c_str());
    if (!ni)
        return fail("cannot find " + path);
    std::vector<uint8_t> value(size_t(size), 's');
    bool ok = true;
    for (unsigned i = 0; ok && i < count; ++i) {
        Utf16Name name("stream" + std::to_string(i));
        ok = ntfs_attr_add(ni, AT_DATA, name.chars, u8(name.length), value.data(), s64(value.size())) == 0;
    }
    ntfs_inode_close(ni);
    return ok ? true : fail("cannot add streams to " + path);
}

bool ZNtfsFixture::makeMany(const std::string& dirPath, uint64_t count)
{
    if (!makeDirectory(dirPath))
        return false;
    ntfs_inode* dir = ntfs_pathname_to_inode(volume_, nullptr, dirPath.c_str());
    if (!dir)
        return fail("no folder " + dirPath);
    bool ok = true;
    for (uint64_t i = 0; ok && i < count; ++i) {
        Utf16Name name("f" + std::to_string(i));
        ntfs_inode* ni = ntfs_create(dir, 0, name.chars, u8(name.length), S_IFREG);
        ok = ni != nullptr;
        if (ni)
            ntfs_inode_close(ni);
    }
    ntfs_inode_close(dir);
    return ok ? true : fail("cannot make files in " + dirPath);
}

bool ZNtfsFixture::fragmentFreeSpace()
{
    if (!makeDirectory("/fill"))
        return false;
    const uint64_t cluster = volume_->cluster_size;
    unsigned made = 0;
    for (; made < kMaxFillFiles; ++made) {
        errno = 0;
        if (!makeFile("/fill/c" + std::to_string(made), cluster))
            break;
    }
    // The last attempt may have left an empty or partial file: fine.
    for (unsigned i = 0; i < made; i += 2) {
        if (!remove("/fill/c" + std::to_string(i)))
            return false;
    }
    error_.clear();
    return made > 0 ? true : fail("could not fill the volume");
}

bool ZNtfsFixture::createJournal(uint64_t maximumSize, uint64_t firstUsn, uint64_t journalId)
{
    ntfs_inode* extend = ntfs_inode_open(volume_, FILE_Extend);
    if (!extend)
        return fail("no $Extend");
    Utf16Name name("$UsnJrnl");
    ntfs_inode* ni = ntfs_create(extend, 0, name.chars, u8(name.length), S_IFREG);
    ntfs_inode_close(extend);
    if (!ni)
        return fail("cannot make $UsnJrnl");
    ni->flags = FILE_ATTR_FLAGS(ni->flags | FILE_ATTR_HIDDEN | FILE_ATTR_SYSTEM);
    ntfs_inode_mark_dirty(ni);
    struct {
        uint64_t maximumSize, allocationDelta, journalId;
        int64_t lowestValidUsn;
    } max = {maximumSize, maximumSize / 8, journalId, int64_t(firstUsn)};
    Utf16Name maxName("$Max");
    Utf16Name jName("$J");
    bool ok = ntfs_attr_add(ni, AT_DATA, maxName.chars, u8(maxName.length), reinterpret_cast<u8*>(&max),
                            sizeof max) == 0
              && ntfs_attr_add(ni, AT_DATA, jName.chars, u8(jName.length), nullptr, 0) == 0;
    if (ok && firstUsn) {
        ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, jName.chars, u32(jName.length));
        ok = na && ntfs_attr_truncate(na, s64(firstUsn)) == 0;
        if (na)
            ntfs_attr_close(na);
    }
    ntfs_inode_close(ni);
    return ok ? true : fail("cannot make the journal streams");
}

bool ZNtfsFixture::appendRawUsn(const std::vector<uint8_t>& bytes)
{
    ntfs_inode* ni = ntfs_pathname_to_inode(volume_, nullptr, "/$Extend/$UsnJrnl");
    if (!ni)
        return fail("no journal");
    Utf16Name jName("$J");
    ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, jName.chars, u32(jName.length));
    bool ok = na != nullptr;
    if (ok) {
        const s64 at = (na->data_size + 7) & ~s64(7);
        ok = ntfs_attr_pwrite(na, at, s64(bytes.size()), bytes.data()) == s64(bytes.size());
        ntfs_attr_close(na);
    }
    ntfs_inode_close(ni);
    return ok ? true : fail("cannot append to the journal");
}

bool ZNtfsFixture::appendUsn(const std::string& path, uint32_t reason, int64_t* usnOut)
{
    ntfs_inode* file = ntfs_pathname_to_inode(volume_, nullptr, path.c_str());
    ntfs_inode* parent = ntfs_pathname_to_inode(volume_, nullptr, parentOf(path).c_str());
    ntfs_inode* ni = ntfs_pathname_to_inode(volume_, nullptr, "/$Extend/$UsnJrnl");
    Utf16Name name(baseOf(path));
    Utf16Name jName("$J");
    ntfs_attr* na = ni ? ntfs_attr_open(ni, AT_DATA, jName.chars, u32(jName.length)) : nullptr;
    bool ok = file && parent && na && name.length > 0;
    if (ok) {
        const uint32_t nameBytes = uint32_t(name.length) * 2;
        const uint32_t length = (kUsnRecordHeader + nameBytes + 7) & ~7u;
        s64 at = (na->data_size + 7) & ~s64(7);
        // Records do not cross a journal page.
        if (uint64_t(at) % kJournalPage + length > kJournalPage)
            at = s64((uint64_t(at) / kJournalPage + 1) * kJournalPage);
        uint32_t attributes = le32_to_cpu(file->flags) & 0xFFFF;
        if (file->mrec->flags & MFT_RECORD_IS_DIRECTORY)
            attributes |= kFileAttributeDirectory;
        std::vector<uint8_t> r(length, 0);
        put<uint32_t>(r, 0, length);
        put<uint16_t>(r, 4, 2);
        put<uint16_t>(r, 6, 0);
        put<uint64_t>(r, 8, MK_MREF(file->mft_no, le16_to_cpu(file->mrec->sequence_number)));
        put<uint64_t>(r, 16, MK_MREF(parent->mft_no, le16_to_cpu(parent->mrec->sequence_number)));
        put<int64_t>(r, 24, at);
        put<uint64_t>(r, 32, nowFiletime());
        put<uint32_t>(r, 40, reason);
        put<uint32_t>(r, 52, attributes);
        put<uint16_t>(r, 56, uint16_t(nameBytes));
        put<uint16_t>(r, 58, uint16_t(kUsnRecordHeader));
        std::memcpy(r.data() + kUsnRecordHeader, name.chars, nameBytes);
        ok = ntfs_attr_pwrite(na, at, s64(r.size()), r.data()) == s64(r.size());
        if (ok) {
            file->usn = cpu_to_le64(uint64_t(at));
            ntfs_inode_mark_dirty(file);
            if (usnOut)
                *usnOut = at;
        }
    }
    if (na)
        ntfs_attr_close(na);
    if (ni)
        ntfs_inode_close(ni);
    if (parent)
        ntfs_inode_close(parent);
    if (file)
        ntfs_inode_close(file);
    return ok ? true : fail("cannot append a record for " + path);
}

bool ZNtfsFixture::runScript(const std::string& script)
{
    std::istringstream lines(script);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::istringstream words(line);
        std::string command;
        if (!(words >> command) || command[0] == '#')
            continue;
        std::string a, b;
        uint64_t n = 0, m = 0, k = 0;
        bool ok = false;
        if (command == "mkdir" && (words >> a))
            ok = makeDirectory(a);
        else if (command == "file" && (words >> a >> n))
            ok = makeFile(a, n);
        else if (command == "link" && (words >> a >> b))
            ok = link(a, b);
        else if (command == "delete" && (words >> a))
            ok = remove(a);
        else if (command == "dosname" && (words >> a >> b))
            ok = setDosName(a, b);
        else if (command == "streams" && (words >> a >> n >> m))
            ok = addStreams(a, unsigned(n), m);
        else if (command == "many" && (words >> a >> n))
            ok = makeMany(a, n);
        else if (command == "fragment")
            ok = fragmentFreeSpace();
        else if (command == "journal" && (words >> n >> m >> k))
            ok = createJournal(n, m, k);
        else if (command == "usn" && (words >> a >> std::hex >> n))
            ok = appendUsn(a, uint32_t(n));
        else
            error_ = "bad command";
        if (!ok) {
            error_ = "line " + std::to_string(number) + " (" + line + "): " + error_;
            return false;
        }
    }
    return true;
}

} // namespace SearchEngine
