#include "support/ZLiveDifferential.h"
#include "support/ZUsnRecordParse.h"

#include "client/ZSharedPoolReader.h"
#include "win32/ZClock.h"
#include "platform/ZDriveTable.h"
#include "devices/live/ZLiveNameCodec.h"
#include "volume/ZDriveVolume.h"

#include <QFile>

#include <dirent.h>
#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <chrono>
#include <map>
#include <random>
#include <sstream>
#include <thread>

namespace LiveDifferential {

namespace {

using Platform::ZLiveDirectoryVolume;

constexpr char16_t kDrive = u'L';
constexpr int kSettleMs = 20000;
constexpr int kCatchUpMs = 30000;
constexpr int kInitMs = 30000;
// A During op's changes start at most this long into the drive's open.
constexpr unsigned kDuringDelayUs = 4000;
// The clock seam moves this far every real millisecond, so the volume
// thread's five-second journal waits end at once.
constexpr ULONGLONG kClockStepMs = 250;
const char kOutside = '@';

// ---------------------------------------------------------------------------
// The model the generator draws paths from: what it expects the tree to hold.

enum class NodeKind { Dir, File, Link };

// A path's kind, and for files the inode it names (hard links share it).
struct Node {
    NodeKind kind = NodeKind::File;
    unsigned id = 0;
};

struct Model {
    std::map<std::string, Node> nodes{{"", {NodeKind::Dir}}, {"@", {NodeKind::Dir}}};
    unsigned lastId = 0;

    // A file with more than one name, counting names outside the tree.
    bool linked(const std::string& p) const
    {
        auto it = nodes.find(p);
        if (it == nodes.end() || it->second.kind != NodeKind::File)
            return false;
        return std::count_if(nodes.begin(), nodes.end(), [&](const auto& n) {
                   return n.second.kind == NodeKind::File && n.second.id == it->second.id;
               }) > 1;
    }

    static std::string parentOf(const std::string& p)
    {
        const size_t slash = p.rfind('/');
        return slash == std::string::npos ? std::string() : p.substr(0, slash);
    }
    static std::string join(const std::string& dir, const std::string& name)
    {
        return dir.empty() ? name : dir + "/" + name;
    }
    static bool within(const std::string& p, const std::string& dir)
    {
        return p == dir || (p.size() > dir.size() && p.compare(0, dir.size(), dir) == 0 && p[dir.size()] == '/');
    }
    bool is(const std::string& p, NodeKind k) const
    {
        auto it = nodes.find(p);
        return it != nodes.end() && it->second.kind == k;
    }
    bool empty(const std::string& dir) const
    {
        auto it = nodes.upper_bound(dir + "/");
        return it == nodes.end() || !within(it->first, dir);
    }
    std::map<std::string, Node> takeTree(const std::string& from, const std::string& to)
    {
        std::map<std::string, Node> moved;
        for (auto it = nodes.lower_bound(from); it != nodes.end() && within(it->first, from);) {
            moved[to + it->first.substr(from.size())] = it->second;
            it = nodes.erase(it);
        }
        return moved;
    }

    void apply(const Op& op)
    {
        const bool parentOk = is(parentOf(op.kind == Op::Link || op.kind == Op::Symlink ? op.b : op.a), NodeKind::Dir);
        switch (op.kind) {
        case Op::Mkdir:
            if (parentOk && !nodes.count(op.a))
                nodes[op.a] = {NodeKind::Dir};
            break;
        case Op::Create:
            if (parentOk && !is(op.a, NodeKind::Dir) && !is(op.a, NodeKind::File))
                nodes[op.a] = {NodeKind::File, ++lastId};
            break;
        case Op::Ballast:
            if (parentOk && !nodes.count(op.a)) {
                nodes[op.a] = {NodeKind::Dir};
                for (unsigned i = 0; i < op.n; ++i)
                    nodes[join(op.a, std::to_string(i))] = {NodeKind::File, ++lastId};
            }
            break;
        case Op::Subtree:
            if (parentOk && !nodes.count(op.a)) {
                std::string at = op.a;
                for (unsigned level = 0; level < op.n; ++level, at += "/s") {
                    nodes[at] = {NodeKind::Dir};
                    nodes[at + "/f"] = {NodeKind::File, ++lastId};
                }
            }
            break;
        case Op::Rename: {
            auto from = nodes.find(op.a);
            if (from == nodes.end() || op.a.empty() || op.a == "@" || !is(parentOf(op.b), NodeKind::Dir)
                || within(op.b, op.a))
                break;
            auto to = nodes.find(op.b);
            if (to != nodes.end()) {
                if ((to->second.kind == NodeKind::Dir) != (from->second.kind == NodeKind::Dir)
                    || (to->second.kind == NodeKind::Dir && !empty(op.b)))
                    break;
                nodes.erase(to);
            }
            auto moved = takeTree(op.a, op.b);
            nodes.insert(moved.begin(), moved.end());
            break;
        }
        case Op::Exchange: {
            if (!nodes.count(op.a) || !nodes.count(op.b) || within(op.a, op.b) || within(op.b, op.a))
                break;
            auto left = takeTree(op.a, op.b);
            auto right = takeTree(op.b, op.a);
            nodes.insert(left.begin(), left.end());
            nodes.insert(right.begin(), right.end());
            break;
        }
        case Op::Link:
            if (is(op.a, NodeKind::File) && parentOk && !nodes.count(op.b))
                nodes[op.b] = nodes[op.a];
            break;
        case Op::Symlink:
            if (parentOk && !nodes.count(op.b))
                nodes[op.b] = {NodeKind::Link};
            break;
        case Op::Unlink:
            if (nodes.count(op.a) && !is(op.a, NodeKind::Dir))
                nodes.erase(op.a);
            break;
        case Op::Rmdir:
            if (is(op.a, NodeKind::Dir) && empty(op.a) && !op.a.empty() && op.a != "@")
                nodes.erase(op.a);
            break;
        case Op::RmTree:
            if (!op.a.empty() && op.a != "@")
                takeTree(op.a, op.a);
            break;
        default:
            break;
        }
    }
};

class Generator {
public:
    explicit Generator(uint64_t seed) : random_(seed) {}

    Sequence draw(bool restart, bool during)
    {
        const unsigned firstTree = pick(7);
        for (unsigned i = 0; i < firstTree; ++i)
            add(pick(3) ? Op{Op::Mkdir, newPath(false)} : Op{Op::Create, newPath(false), {}, pick(5000)});
        if (during) {
            // Folders the walk takes a while over, then changes as it runs,
            // to them too. The kernel reports nothing of a write through a
            // name that goes before it is read, so such writes are left out.
            for (unsigned i = 1 + pick(3); i > 0; --i)
                add(Op{Op::Ballast, newPath(false), {}, 200 + pick(1500)});
            add(Op{Op::During, {}, {}, pick(kDuringDelayUs)});
            paused_ = true;
            for (unsigned i = 3 + pick(12); i > 0; --i)
                change();
            paused_ = false;
        }
        add(Op{Op::Open});
        const unsigned bursts = 2 + pick(4);
        for (unsigned b = 0; b < bursts; ++b) {
            // 0: held in the kernel, 1: as fast as it comes, 2: one at a time,
            // 3: applied by the live volume but read by the drive only later.
            const unsigned mode = pick(4);
            paused_ = mode == 0;
            if (mode == 0)
                add(Op{Op::Pause});
            if (mode == 3)
                add(Op{Op::Hold});
            const unsigned count = 1 + pick(8);
            for (unsigned i = 0; i < count; ++i) {
                change();
                if (mode == 2 || (mode == 3 && chance(50)))
                    add(Op{Op::Settle});
            }
            if (mode == 0)
                add(Op{Op::Resume});
            paused_ = false;
            if (mode == 3)
                add(Op{Op::Release});
        }
        if (restart) {
            add(Op{Op::Restart});
            const unsigned count = 1 + pick(10);
            paused_ = true;   // nothing follows a write while the drive is down
            for (unsigned i = 0; i < count; ++i)
                change();
            paused_ = false;
            add(Op{Op::Open});
            for (unsigned i = pick(3); i > 0; --i)
                change();
        }
        return std::move(ops_);
    }

private:
    unsigned pick(unsigned n) { return n ? unsigned(random_() % n) : 0; }
    bool chance(unsigned percent) { return pick(100) < percent; }

    void add(const Op& op)
    {
        model_.apply(op);
        ops_.push_back(op);
    }

    // A write through one name of a file with several is seen only in that
    // name's folder: while that name lasts until the event is read it is
    // followed; once it has gone (or lies outside the tree) the kernel says
    // nothing to the other names' folders. Such writes are made only where
    // they can be followed, and read at once.
    void write(const Op& op)
    {
        if (!model_.linked(op.a)) {
            add(op);
        } else if (op.a[0] != kOutside && !paused_) {
            add(op);
            add(Op{Op::Settle});
        }
    }

    std::vector<std::string> of(std::initializer_list<NodeKind> kinds, bool outsideToo) const
    {
        std::vector<std::string> out;
        for (const auto& [path, node] : model_.nodes) {
            const bool wanted = std::find(kinds.begin(), kinds.end(), node.kind) != kinds.end();
            if (wanted && !path.empty() && path != "@" && (outsideToo || path[0] != kOutside))
                out.push_back(path);
        }
        return out;
    }
    std::string any(const std::vector<std::string>& from, const std::string& otherwise)
    {
        return from.empty() ? otherwise : from[pick(unsigned(from.size()))];
    }
    std::string folder(bool outsideToo)
    {
        std::vector<std::string> dirs = of({NodeKind::Dir}, outsideToo);
        dirs.push_back("");
        if (outsideToo)
            dirs.push_back("@");
        return any(dirs, "");
    }
    std::string name()
    {
        static const char* const names[] = {"a", "b", "c", "d", "e", "f", "g", "h", "long name.txt", "caf\xc3\xa9",
                                            ".dot"};
        return names[pick(unsigned(std::size(names)))];
    }
    // A path in a folder, outside the tree now and then.
    std::string newPath(bool outsideToo) { return Model::join(folder(outsideToo && chance(20)), name()); }

    void change()
    {
        const std::string file = any(of({NodeKind::File}, false), "x");
        const std::string entry = any(of({NodeKind::File, NodeKind::Dir, NodeKind::Link}, chance(15)), "x");
        const std::string dir = any(of({NodeKind::Dir}, false), "x");
        switch (pick(16)) {
        case 0: case 1: add(Op{Op::Mkdir, newPath(true)}); break;
        case 2: case 3: write(Op{Op::Create, newPath(true), {}, pick(9000)}); break;
        case 4: write(Op{Op::Append, file, {}, 1 + pick(3000)}); break;
        case 5: write(Op{Op::Truncate, file, {}, pick(2000)}); break;
        case 6: case 7: add(Op{Op::Rename, entry, newPath(true)}); break;
        case 8: add(Op{Op::Exchange, entry, any(of({NodeKind::File, NodeKind::Dir}, false), "x")}); break;
        case 9: add(Op{Op::Link, file, newPath(false)}); break;
        case 10: add(Op{Op::Unlink, any(of({NodeKind::File, NodeKind::Link}, false), "x")}); break;
        case 11: add(Op{chance(50) ? Op::Rmdir : Op::RmTree, dir}); break;
        case 12: add(Op{Op::Chmod, entry, {}, chance(50) ? 0444u : 0755u}); break;
        case 13: add(Op{Op::Symlink, chance(50) ? std::string("a") : std::string("/nowhere"), newPath(false)}); break;
        default: {
            // A deep new subtree, moved (often) before its events are read.
            const std::string at = newPath(chance(25));
            add(Op{Op::Subtree, at, {}, 1 + pick(4)});
            if (chance(70))
                add(Op{Op::Rename, at, newPath(true)});
            break;
        }
        }
    }

    std::mt19937_64 random_;
    Model model_;
    Sequence ops_;
    bool paused_ = false;
};

// ---------------------------------------------------------------------------
// Applying operations to disk

struct Places {
    std::string root, outside;
    std::string at(const std::string& p) const
    {
        if (!p.empty() && p[0] == kOutside)
            return outside + p.substr(1);
        return p.empty() ? root : root + "/" + p;
    }
};

void writeBytes(const std::string& path, unsigned n, int flags)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
    if (fd < 0)
        return;
    const std::string data(n, 'x');
    (void)!::write(fd, data.data(), data.size());
    ::close(fd);
}

// Errors are part of the game: a shrunk sequence names paths that may be gone.
void applyToDisk(const Op& op, const Places& p)
{
    const std::string a = p.at(op.a), b = p.at(op.b);
    switch (op.kind) {
    case Op::Mkdir: (void)::mkdir(a.c_str(), 0755); break;
    case Op::Create: writeBytes(a, op.n, O_CREAT | O_TRUNC); break;
    case Op::Append: writeBytes(a, op.n, O_APPEND); break;
    case Op::Truncate: (void)::truncate(a.c_str(), off_t(op.n)); break;
    case Op::Rename: (void)::rename(a.c_str(), b.c_str()); break;
    case Op::Exchange: (void)::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE); break;
    case Op::Link: (void)::link(a.c_str(), b.c_str()); break;
    case Op::Unlink: (void)::unlink(a.c_str()); break;
    case Op::Rmdir: (void)::rmdir(a.c_str()); break;
    case Op::RmTree:
        if (!op.a.empty() && op.a != "@")
            removeTree(a);
        break;
    case Op::Chmod: (void)::fchmodat(AT_FDCWD, a.c_str(), mode_t(op.n), 0); break;
    case Op::Symlink: (void)::symlink(op.a.c_str(), b.c_str()); break;
    case Op::Ballast:
        if (::mkdir(a.c_str(), 0755) == 0)
            for (unsigned i = 0; i < op.n; ++i)
                writeBytes(a + "/" + std::to_string(i), i % 7, O_CREAT | O_TRUNC);
        break;
    case Op::Subtree: {
        std::string at = a;
        for (unsigned level = 0; level < op.n; ++level, at += "/s") {
            if (::mkdir(at.c_str(), 0755) != 0)
                break;
            writeBytes(at + "/f", level + 1, O_CREAT | O_TRUNC);
        }
        break;
    }
    default: break;
    }
}

// ---------------------------------------------------------------------------
// The two sides of the comparison: path -> what it is.

void walkDisk(const std::string& dir, const std::string& prefix, dev_t device, Tree& out)
{
    DIR* d = opendir(dir.c_str());
    if (!d)
        return;
    while (struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) != 0)
            continue;
        const std::string path = prefix + "/" + name;
        out[path] = {S_ISDIR(st.st_mode), S_ISREG(st.st_mode) ? ULONGLONG(st.st_size) : 0, st.st_ino};
        if (S_ISDIR(st.st_mode) && st.st_dev == device)
            walkDisk(dir + "/" + name, path, device, out);
    }
    closedir(d);
}

struct Name {
    DWORD record, parent;
    std::string name;
    bool directory;
    ULONGLONG size;
    DWORD attributes;
};

// Paths from parent links; a name whose chain does not reach the root is an
// error of its own.
Tree treeOf(const std::vector<Name>& names, std::string* error)
{
    std::map<DWORD, const Name*> folders;
    for (const Name& n : names) {
        if (n.directory && !folders.emplace(n.record, &n).second && error->empty())
            *error = "folder record " + std::to_string(n.record) + " has two names";
    }
    Tree t;
    for (const Name& n : names) {
        if (n.record == Ntfs::RecordRoot)
            continue;   // the root names itself
        std::string path = "/" + n.name;
        DWORD at = n.parent;
        for (size_t depth = 0; at != Ntfs::RecordRoot && depth <= folders.size(); ++depth) {
            auto up = folders.find(at);
            if (up == folders.end())
                break;
            path = "/" + up->second->name + path;
            at = up->second->parent;
        }
        if (at != Ntfs::RecordRoot) {
            if (error->empty())
                *error = "no path to the root: " + path;
            continue;
        }
        if (!t.emplace(path, Entry{n.directory, n.directory ? 0 : n.size, n.record, n.attributes}).second
            && error->empty())
            *error = "named twice: " + path;
    }
    return t;
}

std::vector<Name> deviceNames(const Platform::ZEmulatedNtfsVolume& v)
{
    std::vector<Name> names;
    v.forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        names.push_back({record, parent, Platform::liveNameFromUtf16(name), false, 0, 0});
    });
    for (Name& n : names) {
        Platform::ZEmulatedNtfsVolume::FileInfo info;
        if (v.fileInfo(n.record, info))
            n.directory = info.directory, n.size = info.size, n.attributes = info.attributes;
    }
    return names;
}

std::vector<Name> poolNames(SearchEngine::ZSharedPoolReader& reader)
{
    std::vector<Name> names;
    reader.forEachLiveItem([&](const SearchEngine::ZItemSnapshot& s) {
        names.push_back({s.recordNumber, s.parentRecordNumber, s.name.toStdString(),
                         (s.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0, s.fileSize, s.attributes});
        return true;
    });
    return names;
}

// Moves the clock seam on while a run lasts.
class Ticker {
public:
    Ticker() { Platform::setClock(&clock_); }
    ~Ticker()
    {
        stop_ = true;
        thread_.join();
        Platform::setClock(nullptr);
    }
    void hold(bool held) { held_ = held; }

private:
    Platform::ZManualClock clock_;
    std::atomic<bool> held_{false}, stop_{false};
    std::thread thread_{[this] {
        for (; !stop_; std::this_thread::sleep_for(std::chrono::milliseconds(1)))
            if (!held_)
                clock_.advance(kClockStepMs);
    }};
};

template <typename P>
bool waitUntil(int timeoutMs, P done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// The journal's records from `from` on, as Outcome::changes names them.
std::vector<std::string> journalSince(ZLiveDirectoryVolume& live, USN from)
{
    static const std::pair<DWORD, const char*> kKinds[] = {
        {USN_REASON_FILE_CREATE, "create"}, {USN_REASON_FILE_DELETE, "delete"},
        {USN_REASON_RENAME_NEW_NAME, "rename"}, {USN_REASON_HARD_LINK_CHANGE, "link"},
        {USN_REASON_DATA_OVERWRITE | USN_REASON_DATA_EXTEND | USN_REASON_DATA_TRUNCATION, "data"},
        {USN_REASON_BASIC_INFO_CHANGE, "attributes"}};
    const DWORDLONG journal = live.volume().journalState().data.UsnJournalID;
    std::vector<std::string> out;
    for (const TestSupport::UsnRec& u : TestSupport::readJournalToEnd(live, journal, from).records) {
        std::string kinds;
        if (u.reason & USN_REASON_CLOSE) {
            for (const auto& [bits, kind] : kKinds)
                if (u.reason & bits)
                    kinds += (kinds.empty() ? "" : "+") + std::string(kind);
        } else if (u.reason & USN_REASON_RENAME_OLD_NAME) {
            kinds = "old-name";
        }
        if (!kinds.empty())
            out.push_back(Platform::liveNameFromUtf16(u.name) + ":" + kinds);
    }
    return out;
}

// A byte in the middle of the drive's identity table flipped.
void damageIdentityTable(const std::string& folder)
{
    const std::string path = folder + "/LiveIdentities" + std::string(1, char(kDrive)) + ".dat";
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    unsigned char byte = 0;
    const off_t at = fstat(fd, &st) == 0 ? st.st_size / 2 : 0;
    if (::pread(fd, &byte, 1, at) == 1) {
        byte ^= 0x10;
        (void)!::pwrite(fd, &byte, 1, at);
    }
    ::close(fd);
}

} // namespace

Tree diskTree(const std::string& root)
{
    struct stat st;
    Tree t;
    if (lstat(root.c_str(), &st) == 0)
        walkDisk(root, std::string(), st.st_dev, t);
    return t;
}

void removeTree(const std::string& path)
{
    // Each name relative to its open folder, one folder open at a time, so
    // no path grows past PATH_MAX and no tree is too deep for the descriptors.
    if (::unlink(path.c_str()) == 0 || errno == ENOENT)
        return;
    constexpr int kFolder = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(path.c_str(), kFolder);
    size_t depth = 0;
    bool cameUp = false;
    while (fd >= 0) {
        // What goes at once goes; the first folder that does not is gone into.
        std::string full;
        bool removed = false;
        if (DIR* d = fdopendir(::dup(fd))) {
            while (const dirent* e = readdir(d)) {
                if (!std::strcmp(e->d_name, ".") || !std::strcmp(e->d_name, ".."))
                    continue;
                if (::unlinkat(fd, e->d_name, 0) == 0 || ::unlinkat(fd, e->d_name, AT_REMOVEDIR) == 0)
                    removed = true;
                else if (full.empty())
                    full = e->d_name;
            }
            closedir(d);
        }
        int next = -1;
        if (!full.empty() && !(cameUp && !removed)) {
            next = ::openat(fd, full.c_str(), kFolder);   // -1: it neither goes nor opens, and stays
            depth += next >= 0;
            cameUp = false;
        } else if (full.empty() && depth > 0) {
            next = ::openat(fd, "..", kFolder);
            --depth;
            cameUp = true;
        }
        ::close(fd);
        fd = next;
    }
    ::rmdir(path.c_str());
}

Tree deviceTree(const Platform::ZEmulatedNtfsVolume& v, std::string* error)
{
    std::string ignored;
    return treeOf(deviceNames(v), error ? error : &ignored);
}

std::string difference(const Tree& disk, const Tree& side)
{
    std::map<ULONGLONG, ULONGLONG> inodeToRecord, recordToInode;
    for (const auto& [path, d] : disk) {
        auto s = side.find(path);
        if (s == side.end())
            return "missing: " + path;
        if (s->second.directory != d.directory)
            return path + ": folder " + std::to_string(s->second.directory) + ", on disk " + std::to_string(d.directory);
        if (s->second.size != d.size)
            return path + ": size " + std::to_string(s->second.size) + ", on disk " + std::to_string(d.size);
        if (inodeToRecord.emplace(d.identity, s->second.identity).first->second != s->second.identity
            || recordToInode.emplace(s->second.identity, d.identity).first->second != d.identity)
            return path + ": hard links differ";
    }
    for (const auto& s : side)
        if (!disk.count(s.first))
            return "not on disk: " + s.first;
    return std::string();
}

std::string describe(const Op& op)
{
    static const char* const names[] = {"mkdir", "create", "append", "truncate", "rename", "exchange", "link",
                                        "unlink", "rmdir", "rmtree", "chmod", "symlink", "subtree", "open",
                                        "pause", "resume", "settle", "hold", "release", "restart", "damage",
                                        "ballast", "during"};
    std::ostringstream s;
    s << '{' << names[op.kind];
    if (!op.a.empty() || !op.b.empty() || op.n)
        s << " \"" << op.a << '"';
    if (!op.b.empty())
        s << " \"" << op.b << '"';
    if (op.n)
        s << ' ' << op.n;
    s << '}';
    return s.str();
}

std::string describe(const Sequence& ops)
{
    std::string out;
    for (const Op& op : ops)
        out += (out.empty() ? "" : " ") + describe(op);
    return out;
}

Sequence generate(uint64_t seed, bool restart, bool during)
{
    return Generator(seed).draw(restart, during);
}

Outcome run(const std::string& base, const Sequence& ops, const Options& options)
{
    static std::atomic<unsigned> serial{0};
    const std::string stem = base + "/diff-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
    const Places places{stem + "/tree", stem + "/outside"};
    const std::string stateFolder = stem + "/state";
    ::mkdir(stem.c_str(), 0755);
    ::mkdir(places.root.c_str(), 0755);
    ::mkdir(places.outside.c_str(), 0755);
    ::mkdir(stateFolder.c_str(), 0700);
    const bool keepState = std::any_of(ops.begin(), ops.end(), [](const Op& op) { return op.kind == Op::Restart; });

    Outcome out;
    size_t at = 0;
    for (; at < ops.size() && ops[at].kind != Op::Open && ops[at].kind != Op::During; ++at)
        applyToDisk(ops[at], places);
    // What is made while the first walk runs, on a thread of its own.
    std::thread during;
    if (at < ops.size() && ops[at].kind == Op::During) {
        const size_t from = at + 1;
        const unsigned delayUs = ops[at].n;
        for (; at < ops.size() && ops[at].kind != Op::Open; ++at) {
        }
        during = std::thread([&ops, &places, from, until = at, delayUs] {
            std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
            for (size_t i = from; i < until; ++i)
                applyToDisk(ops[i], places);
        });
    }
    Ticker ticker;
    for (bool first = true;; first = false) {
        ZLiveDirectoryVolume::Options o = options;
        o.errorLog = [&out](const QString& line) { out.errors.push_back(line.toStdString()); };
        if (keepState) {
            o.stateFolder = QFile::decodeName(stateFolder.c_str());
            o.stateName = QString(QChar(kDrive));
        }
        QString error;
        auto live = ZLiveDirectoryVolume::open(QFile::decodeName(places.root.c_str()), o, &error);
        if (during.joinable())
            during.join();
        if (!live) {
            out.difference = "open: " + error.toStdString();
            break;
        }
        out.resumes += !first && live->resumed();
        Platform::ZDriveTable::instance().setDrive(kDrive, live);
        std::atomic<bool> failed{false};
        bool restart = false;
        {
            SearchEngine::ZDriveVolume volume(kDrive);
            QObject::connect(&volume, &SearchEngine::ZDriveVolume::listenFailed, &volume,
                             [&](DWORD) { failed = true; }, Qt::DirectConnection);
            volume.start();
            if (!waitUntil(kInitMs, [&] { return volume.isInitDone() || volume.isFinished(); })
                || !volume.isInitDone()) {
                out.difference = "the drive was not announced";
            } else {
                for (++at; at < ops.size() && !restart; ++at) {
                    const Op& op = ops[at];
                    if (op.kind == Op::Pause)
                        live->setEventsPaused(true);
                    else if (op.kind == Op::Resume)
                        live->setEventsPaused(false);
                    else if (op.kind == Op::Settle)
                        live->settle(kSettleMs);
                    else if (op.kind == Op::Hold || op.kind == Op::Release)
                        ticker.hold(op.kind == Op::Hold);
                    else if (op.kind == Op::Restart)
                        restart = true;
                    else
                        applyToDisk(op, places);
                }
                live->setEventsPaused(false);
                ticker.hold(false);
                const bool settled = live->settle(kSettleMs);
                const bool caughtUp = waitUntil(kCatchUpMs, [&] {
                    return failed || volume.isFinished() || live->volume().journalReadWaitingAtEnd();
                });
                out.rebuildReported = out.rebuildReported || failed;
                if (!restart) {
                    const Tree disk = diskTree(places.root);
                    std::string deviceError, poolError;
                    const Tree device = deviceTree(live->volume(), &deviceError);
                    SearchEngine::ZSharedPoolReader reader(volume.poolName(), kDrive);
                    reader.attachPieces(volume.pieceCount());
                    const Tree pool = treeOf(poolNames(reader), &poolError);
                    const std::string deviceDiff = deviceError.empty() ? difference(disk, device) : deviceError;
                    const std::string poolDiff = poolError.empty() ? difference(disk, pool) : poolError;
                    out.exact = settled && caughtUp && deviceDiff.empty() && poolDiff.empty() && !out.rebuildReported;
                    if (!settled || !caughtUp)
                        out.difference = !settled ? "the live volume did not settle" : "the drive did not catch up";
                    else if (!deviceDiff.empty())
                        out.difference = "live volume: " + deviceDiff;
                    else if (!poolDiff.empty())
                        out.difference = "pool: " + poolDiff;
                    if (live->resumed())
                        out.changes = journalSince(*live, live->resumedAt());
                }
            }
        }
        Platform::ZDriveTable::instance().removeDrive(kDrive);
        if (!restart)
            break;
        // The last reference: the device writes its state as it goes.
        std::weak_ptr<ZLiveDirectoryVolume> gone = live;
        live.reset();
        if (!gone.expired()) {
            out.difference = "the live volume outlived its drive";
            break;
        }
        for (; at < ops.size() && ops[at].kind != Op::Open; ++at) {
            if (ops[at].kind == Op::Damage)
                damageIdentityTable(stateFolder);
            else
                applyToDisk(ops[at], places);
        }
        if (at == ops.size())
            --at;   // no Open left: the drive opens again at the end
    }
    removeTree(stem);
    return out;
}

Sequence shrink(const Sequence& ops, const std::function<bool(const Sequence&)>& fails)
{
    Sequence current = ops;
    for (size_t chunk = std::max<size_t>(1, current.size() / 2); chunk >= 1;) {
        bool dropped = false;
        for (size_t i = 0; i + chunk <= current.size();) {
            Sequence candidate = current;
            candidate.erase(candidate.begin() + long(i), candidate.begin() + long(i + chunk));
            if (fails(candidate)) {
                current.swap(candidate);
                dropped = true;
            } else {
                i += chunk;
            }
        }
        if (!dropped) {
            if (chunk == 1)
                break;
            chunk /= 2;
        }
    }
    return current;
}

bool fanotifyPermitted(const std::string& base)
{
    const int fd = fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME, O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_CREATE | FAN_RENAME, AT_FDCWD,
                                  base.c_str()) == 0;
    ::close(fd);
    return ok;
}

} // namespace LiveDifferential
