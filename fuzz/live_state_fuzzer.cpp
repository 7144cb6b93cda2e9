// libFuzzer target over a directory drive's identity table (run it with
// fuzz/run_trust_fuzz.sh SECONDS live_state). Each input is read as a table
// of the small tree made at start (numbers, parents, flags, inodes of the
// tree or made up, names of the tree or made up, sizes and times) and
// written with the real writer, beside the journal file of that tree, so
// the open passes the checksums and reaches the table's contents.
// The open must refuse the table or take it up, and in either case, once
// the walk after it has settled, the volume must hold exactly the tree's
// names: a table never puts a wrong name in the index. A table that fits
// no volume leaves the drive not ready, which is also sound.
#include "devices/live/ZLiveDirectoryVolume.h"
#include "devices/live/ZLiveNameCodec.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <fuzzer/FuzzedDataProvider.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <string>
#include <vector>

using namespace Platform;

namespace {

constexpr int kSettleMs = 20000;
constexpr size_t kMostEntries = 48;
constexpr DWORD kRoot = Ntfs::RecordRoot;
const char* const kNames[] = {"a", "b", "c", "d", "e", "x", "y", "A", "new"};

struct World {
    QString top;                             // removed at exit
    std::string root;
    QString stateFolder;
    QString journalPath;
    QString tablePath;
    QByteArray journalBytes;                 // the journal file as the first run left it
    ULONGLONG device = 0;
    ULONGLONG rootInode = 0;
    DWORDLONG journalId = 0;
    USN usn = 0;
    std::vector<ULONGLONG> inodes;           // of the tree's entries
    std::vector<std::string> paths;          // every path below the root, sorted
};

World* world = nullptr;

[[noreturn]] void fail(const char* what)
{
    fprintf(stderr, "live_state_fuzzer: %s\n", what);
    std::abort();
}

ZLiveDirectoryVolume::Options optionsOf(const World& w)
{
    ZLiveDirectoryVolume::Options o;
    o.source = ZLiveDirectoryVolume::Source::Inotify;
    o.stateFolder = w.stateFolder;
    o.stateName = QStringLiteral("F");
    o.errorLog = [](const QString&) {};
    return o;
}

void walk(const std::string& folder, const std::string& below, World& w)
{
    DIR* d = opendir(folder.c_str());
    if (!d)
        fail("a folder of the tree cannot be read");
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat st;
        if (lstat((folder + "/" + name).c_str(), &st) != 0)
            fail("an entry of the tree cannot be read");
        w.inodes.push_back(st.st_ino);
        w.paths.push_back(below + "/" + name);
        if (S_ISDIR(st.st_mode))
            walk(folder + "/" + name, below + "/" + name, w);
    }
    closedir(d);
}

bool put(const std::string& path, const char* bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const bool ok = fd >= 0 && ::write(fd, bytes, strlen(bytes)) == ssize_t(strlen(bytes));
    return ::close(fd) == 0 && ok;
}

// Every name the volume holds, as a path below the root; a name that does
// not reach the root (a loop, a parent not a folder) is a fault.
std::vector<std::string> pathsOf(const ZEmulatedNtfsVolume& volume)
{
    std::multimap<DWORD, std::pair<DWORD, std::string>> links;
    volume.forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        links.emplace(record, std::make_pair(parent, liveNameFromUtf16(name)));
    });
    std::vector<std::string> out;
    for (const auto& [record, link] : links) {
        std::string path = "/" + link.second;
        DWORD up = link.first;
        for (size_t steps = 0; up != kRoot; ++steps) {
            const auto it = links.find(up);
            if (it == links.end() || steps > links.size())
                fail("a name does not reach the root");
            path = "/" + it->second.second + path;
            up = it->second.first;
        }
        out.push_back(path);
    }
    std::sort(out.begin(), out.end());
    return out;
}

ULONGLONG pick(FuzzedDataProvider& in, const std::vector<ULONGLONG>& known)
{
    if (in.ConsumeBool())
        return known[in.ConsumeIntegralInRange<size_t>(0, known.size() - 1)];
    return in.ConsumeIntegral<ULONGLONG>();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    world = new World;
    World& w = *world;
    const char* tmp = getenv("TMPDIR");
    QByteArray top = QByteArray(tmp && *tmp ? tmp : "/tmp") + "/livestatefuzz-XXXXXX";
    if (!mkdtemp(top.data()))
        fail("no temporary folder");
    w.top = QFile::decodeName(top);
    std::atexit([] { QDir(world->top).removeRecursively(); });
    w.root = top.toStdString() + "/tree";
    w.stateFolder = QFile::decodeName(top) + QStringLiteral("/state");
    QDir().mkpath(w.stateFolder);
    // Folders in folders, files with data, a file with two names.
    const bool made = ::mkdir(w.root.c_str(), 0755) == 0 && ::mkdir((w.root + "/a").c_str(), 0755) == 0
        && ::mkdir((w.root + "/c").c_str(), 0755) == 0 && ::mkdir((w.root + "/c/d").c_str(), 0755) == 0
        && put(w.root + "/a/x", "0123456789") && put(w.root + "/b", "b") && put(w.root + "/c/d/e", "")
        && ::link((w.root + "/b").c_str(), (w.root + "/a/y").c_str()) == 0;
    if (!made)
        fail("the tree cannot be made");
    walk(w.root, "", w);
    std::sort(w.paths.begin(), w.paths.end());
    LiveFileStat st;
    if (!liveStat(AT_FDCWD, w.root.c_str(), st))
        fail("the root cannot be read");
    w.device = st.device;
    w.rootInode = st.inode;
    w.inodes.push_back(st.inode);

    // A first run leaves the journal file and a table of the tree.
    QString error;
    {
        auto first = ZLiveDirectoryVolume::open(QString::fromStdString(w.root), optionsOf(w), &error);
        if (!first || !first->settle(kSettleMs))
            fail("the first run did not settle");
    }
    const QStringList journals = QDir(w.stateFolder).entryList({QStringLiteral("LiveJournal*")}, QDir::Files);
    const QStringList tables = QDir(w.stateFolder).entryList({QStringLiteral("LiveIdentities*")}, QDir::Files);
    if (journals.size() != 1 || tables.size() != 1)
        fail("the first run left no state files");
    w.journalPath = w.stateFolder + QLatin1Char('/') + journals.front();
    w.tablePath = w.stateFolder + QLatin1Char('/') + tables.front();
    QFile journal(w.journalPath);
    if (!journal.open(QIODevice::ReadOnly))
        fail("the journal file cannot be read");
    w.journalBytes = journal.readAll();
    ZLiveIdentitySnapshot::Image table;
    if (!ZLiveIdentitySnapshot::read(w.tablePath, w.device, w.rootInode, table, &error))
        fail("the first run's table cannot be read");
    w.journalId = table.journalId;
    w.usn = table.usn;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    World& w = *world;
    FuzzedDataProvider in(data, size);
    ZLiveIdentitySnapshot::Table table;
    table.rootDevice = w.device;
    table.rootInode = w.rootInode;
    table.journalId = w.journalId;
    table.usn = w.usn;
    const size_t count = in.ConsumeIntegralInRange<size_t>(0, kMostEntries);
    for (size_t i = 0; i < count && in.remaining_bytes(); ++i) {
        ZLiveIdentitySnapshot::Entry e;
        e.record = in.ConsumeBool() ? in.ConsumeIntegralInRange<DWORD>(kRoot, kRoot + 24) : in.ConsumeIntegral<DWORD>();
        e.sequence = in.ConsumeIntegralInRange<WORD>(0, 3);
        e.flags = in.ConsumeIntegralInRange<WORD>(0, 2);
        e.inode = pick(in, w.inodes);
        e.parent = in.ConsumeBool() ? kRoot : in.ConsumeIntegralInRange<DWORD>(kRoot, kRoot + 24);
        e.name = in.ConsumeBool() ? kNames[in.ConsumeIntegralInRange<size_t>(0, std::size(kNames) - 1)]
                                  : in.ConsumeRandomLengthString(8);
        if (e.name.empty())
            e.name = "n";
        e.attributes = in.ConsumeIntegral<DWORD>();
        e.size = in.ConsumeIntegralInRange<ULONGLONG>(0, 16);
        e.creationTime = in.ConsumeIntegral<ULONGLONG>();
        e.lastWriteTime = in.ConsumeIntegral<ULONGLONG>();
        e.changeTime = in.ConsumeIntegral<ULONGLONG>();
        table.entries.push_back(e);
    }
    QString error;
    QFile journal(w.journalPath);
    if (!journal.open(QIODevice::WriteOnly | QIODevice::Truncate) || journal.write(w.journalBytes) != w.journalBytes.size())
        fail("the journal file cannot be put back");
    journal.close();
    if (!ZLiveIdentitySnapshot::write(w.tablePath, table, &error))
        fail("the table cannot be written");

    auto live = ZLiveDirectoryVolume::open(QString::fromStdString(w.root), optionsOf(w), &error);
    if (!live || !live->settle(kSettleMs))
        fail("the drive did not open or settle");
    if (!live->notReady() && pathsOf(live->volume()) != w.paths) {
        fprintf(stderr, "after a table that was %s, the volume holds:\n", live->resumed() ? "taken up" : "refused");
        for (const std::string& p : pathsOf(live->volume()))
            fprintf(stderr, "  %s\n", p.c_str());
        fail("the volume does not hold the tree");
    }
    return 0;
}
