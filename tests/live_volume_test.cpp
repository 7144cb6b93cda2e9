// The live directory volume against real trees, with both change sources:
// after the walk and after every kind of change the volume's files equal a
// fresh walk of the tree, the journal says what Windows would, lost events
// and a vanished root are reported rather than hidden.
#include "platform/ZLiveDirectoryVolume.h"
#include "platform/ZLiveNameCodec.h"
#include "support/TestEnvironment.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>
#include <dirent.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

using namespace Platform;

namespace {

constexpr int kSettleMs = 10000;
constexpr int kEventuallyMs = 20000;

void removeTree(const std::string& path);

// Fresh folders, removed at exit by bytes (Qt cannot name the odd ones).
std::string fresh(const char* name)
{
    static struct Cleanup {
        std::vector<std::string> roots;
        ~Cleanup()
        {
            for (const auto& r : roots)
                removeTree(r);
        }
    } cleanup;
    cleanup.roots.push_back(QFile::encodeName(TestSupport::freshDir(QString::fromLatin1(name))).toStdString());
    return cleanup.roots.back();
}

void writeFile(const std::string& path, size_t size, int flags = O_CREAT | O_TRUNC)
{
    const int fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    std::string data(size, 'x');
    if (size) {
        ASSERT_EQ(::write(fd, data.data(), size), ssize_t(size));
    }
    ::close(fd);
}

void removeTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        std::vector<std::string> names;
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                names.push_back(e->d_name);
        closedir(d);
        for (const auto& n : names)
            removeTree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

// One file under one of its paths, relative to the root.
struct Item {
    bool directory = false;
    ULONGLONG size = 0;
    ULONGLONG identity = 0;   // inode on disk, record in the volume
    DWORD attributes = 0;
    bool operator==(const Item& o) const { return directory == o.directory && size == o.size; }
};
using Tree = std::map<std::string, Item>;

void walkDisk(const std::string& root, const std::string& rel, dev_t dev, Tree& out)
{
    DIR* d = opendir((root + rel).c_str());
    if (!d)
        return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
            names.push_back(e->d_name);
    closedir(d);
    for (const auto& n : names) {
        struct stat st;
        const std::string r = rel + "/" + n;
        if (lstat((root + r).c_str(), &st) != 0)
            continue;
        Item it;
        it.directory = S_ISDIR(st.st_mode);
        it.size = S_ISREG(st.st_mode) ? ULONGLONG(st.st_size) : 0;
        it.identity = st.st_ino;
        out[r] = it;
        if (it.directory && st.st_dev == dev)
            walkDisk(root, r, dev, out);
    }
}

Tree diskTree(const std::string& root)
{
    Tree t;
    struct stat st;
    if (lstat(root.c_str(), &st) == 0)
        walkDisk(root, "", st.st_dev, t);
    return t;
}

Tree volumeTree(const ZEmulatedNtfsVolume& v)
{
    struct Name {
        DWORD parent;
        std::u16string name;
    };
    std::multimap<DWORD, Name> links;
    v.forEachLink([&](DWORD record, DWORD parent, const std::u16string& name) {
        links.insert({record, Name{parent, name}});
    });
    std::map<DWORD, std::string> dirPath{{Ntfs::RecordRoot, ""}};
    std::function<bool(DWORD, std::string&)> pathOf = [&](DWORD r, std::string& p) -> bool {
        auto known = dirPath.find(r);
        if (known != dirPath.end()) {
            p = known->second;
            return true;
        }
        auto l = links.find(r);
        std::string parent;
        if (l == links.end() || !pathOf(l->second.parent, parent))
            return false;
        p = parent + "/" + liveNameFromUtf16(l->second.name);
        dirPath[r] = p;
        return true;
    };
    Tree t;
    for (const auto& l : links) {
        std::string parent;
        if (!pathOf(l.second.parent, parent))
            continue;
        ZEmulatedNtfsVolume::FileInfo info;
        v.fileInfo(l.first, info);
        Item it;
        it.directory = info.directory;
        it.size = info.directory ? 0 : info.size;
        it.identity = l.first;
        it.attributes = info.attributes;
        t[parent + "/" + liveNameFromUtf16(l.second.name)] = it;
    }
    return t;
}

// Equal paths, kinds and sizes, and hard links alike on both sides.
::testing::AssertionResult sameTree(const Tree& disk, const Tree& vol)
{
    std::map<ULONGLONG, ULONGLONG> inodeToRecord, recordToInode;
    for (const auto& d : disk) {
        auto v = vol.find(d.first);
        if (v == vol.end())
            return ::testing::AssertionFailure() << "missing from the volume: " << d.first;
        if (!(v->second == d.second))
            return ::testing::AssertionFailure() << d.first << ": size " << v->second.size << " dir "
                                                 << v->second.directory << ", on disk " << d.second.size;
        auto a = inodeToRecord.emplace(d.second.identity, v->second.identity);
        auto b = recordToInode.emplace(v->second.identity, d.second.identity);
        if (a.first->second != v->second.identity || b.first->second != d.second.identity)
            return ::testing::AssertionFailure() << d.first << ": hard links differ";
    }
    for (const auto& v : vol)
        if (!disk.count(v.first))
            return ::testing::AssertionFailure() << "not on disk: " << v.first;
    return ::testing::AssertionSuccess();
}

// The journal from a position on, as (reason, name) per record.
struct JournalRead {
    DWORD error = 0;
    std::vector<std::pair<DWORD, std::string>> records;
    std::vector<ULONGLONG> references;
    USN next = 0;
};

USN_JOURNAL_DATA_V1 query(ZVolumeDevice& d)
{
    USN_JOURNAL_DATA_V1 j{};
    DWORD got = 0;
    EXPECT_TRUE(d.deviceIoControl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &j, sizeof j, &got));
    return j;
}

JournalRead readJournal(ZVolumeDevice& d, USN from, DWORDLONG id)
{
    JournalRead r;
    r.next = from;
    std::vector<BYTE> buffer(1 << 20);
    for (;;) {
        READ_USN_JOURNAL_DATA_V0 in{};
        in.StartUsn = r.next;
        in.ReasonMask = 0xFFFFFFFF;
        in.UsnJournalID = id;
        DWORD got = 0;
        if (!d.deviceIoControl(FSCTL_READ_USN_JOURNAL, &in, sizeof in, buffer.data(), DWORD(buffer.size()), &got)) {
            r.error = GetLastError();
            return r;
        }
        USN next;
        memcpy(&next, buffer.data(), sizeof next);
        for (DWORD at = sizeof(USN); at + sizeof(USN_RECORD_V2) <= got;) {
            const auto* u = reinterpret_cast<const USN_RECORD_V2*>(buffer.data() + at);
            std::u16string name(reinterpret_cast<const char16_t*>(buffer.data() + at + u->FileNameOffset),
                                u->FileNameLength / 2);
            r.records.emplace_back(u->Reason, liveNameFromUtf16(name));
            r.references.push_back(u->FileReferenceNumber);
            at += u->RecordLength;
        }
        if (next == r.next)
            return r;
        r.next = next;
    }
}

DWORD reasonsFor(const JournalRead& j, const std::string& name)
{
    DWORD all = 0;
    for (const auto& r : j.records)
        if (r.first && r.second == name)
            all |= r.first;
    return all;
}

// Whether this process may put a file-system mark with names on the test folders.
bool fanotifyPermitted()
{
    const int fd = fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_DFID_NAME, O_RDONLY);
    if (fd < 0)
        return false;
    const bool ok = fanotify_mark(fd, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, FAN_CREATE | FAN_RENAME, AT_FDCWD,
                                  QFile::encodeName(TestSupport::testRoot()).constData()) == 0;
    ::close(fd);
    return ok;
}

class LiveVolumeTest : public ::testing::TestWithParam<ZLiveDirectoryVolume::Source> {
protected:
    void SetUp() override
    {
        if (GetParam() == ZLiveDirectoryVolume::Source::Fanotify && !fanotifyPermitted())
            GTEST_SKIP() << "fanotify file-system marks are not permitted here";
    }
    std::shared_ptr<ZLiveDirectoryVolume> openVolume(const std::string& root, size_t queueLimit = 0)
    {
        ZLiveDirectoryVolume::Options o;
        o.source = GetParam();
        o.eventQueueLimit = queueLimit;
        o.errorLog = [this](const QString& line) { errors.push_back(line); };
        QString error;
        auto v = ZLiveDirectoryVolume::open(QFile::decodeName(root.c_str()), o, &error);
        EXPECT_TRUE(v) << error.toStdString();
        if (v) {
            EXPECT_STREQ(v->sourceName(), GetParam() == ZLiveDirectoryVolume::Source::Inotify ? "inotify" : "fanotify");
        }
        return v;
    }

    // Waits, in bounded rounds, until the volume equals a fresh walk.
    ::testing::AssertionResult followed(ZLiveDirectoryVolume& v, const std::string& root)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventuallyMs);
        ::testing::AssertionResult last = ::testing::AssertionFailure();
        while (std::chrono::steady_clock::now() < deadline) {
            v.settle(kSettleMs);
            last = sameTree(diskTree(root), volumeTree(v.volume()));
            if (last)
                return last;
        }
        return last;
    }

    std::vector<QString> errors;
};

} // namespace

TEST(LiveNameCodec, EveryByteStringRoundTripsAndStaysDistinct)
{
    const std::vector<std::string> names = {
        "plain", "caf\xc3\xa9", "\xf0\x9f\x98\x80 emoji", "bad\xff\xfe", "\xc3", "\xed\xa0\x80surrogate",
        "\xc0\xafoverlong", "back\\slash:colon*?", "\xe2\x82", std::string("\x80\x81\x82")};
    std::set<std::u16string> seen;
    for (const auto& n : names) {
        const std::u16string u = liveNameToUtf16(n);
        EXPECT_EQ(liveNameFromUtf16(u), n);
        EXPECT_TRUE(seen.insert(u).second) << n;
    }
    EXPECT_EQ(liveNameToUtf16(std::string("caf\xc3\xa9")), u"caf\u00e9");
    EXPECT_EQ(liveNameToUtf16(std::string("a\xff")), std::u16string(u"a") + char16_t(0xDCFF));
}

TEST_P(LiveVolumeTest, WalkShowsTheTreeAsItIs)
{
    const std::string root = fresh("walk");
    mkdir((root + "/dir").c_str(), 0755);
    mkdir((root + "/dir/sub").c_str(), 0755);
    writeFile(root + "/dir/sub/deep.txt", 5000);
    writeFile(root + "/A", 1);
    writeFile(root + "/a", 2);                                     // differs only in case
    writeFile(root + "/bad\xff\xfe", 3);                           // not UTF-8
    writeFile(root + "/back\\slash:colon", 4);
    writeFile(root + "/.hidden", 0);
    writeFile(root + "/readonly", 7);
    chmod((root + "/readonly").c_str(), 0444);
    ASSERT_EQ(symlink("/nonexistent/target", (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("dir", (root + "/dirlink").c_str()), 0);    // never followed
    writeFile(root + "/hard1", 11);
    ASSERT_EQ(link((root + "/hard1").c_str(), (root + "/dir/hard2").c_str()), 0);

    auto v = openVolume(root);
    ASSERT_TRUE(v);
    const Tree vol = volumeTree(v->volume());
    EXPECT_TRUE(sameTree(diskTree(root), vol));
    EXPECT_EQ(vol.at("/hard1").identity, vol.at("/dir/hard2").identity);
    EXPECT_TRUE(vol.at("/.hidden").attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(vol.at("/readonly").attributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(vol.at("/link").attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_FALSE(vol.at("/dirlink").directory);
    EXPECT_FALSE(vol.count("/dirlink/sub"));
    EXPECT_EQ(vol.at("/a").attributes, DWORD(FILE_ATTRIBUTE_NORMAL));

    VolumeInformation info;
    ASSERT_TRUE(v->volumeInformation(info));
    EXPECT_EQ(info.fileSystemName, u"NTFS");

    // The enumeration the volume code makes sees every file once.
    MFT_ENUM_DATA_V0 in{0, 0, 0x7FFFFFFFFFFFFFFFll};
    std::vector<BYTE> out(1 << 16);
    std::set<ULONGLONG> records;
    for (;;) {
        DWORD got = 0;
        if (!v->deviceIoControl(FSCTL_ENUM_USN_DATA, &in, sizeof in, out.data(), DWORD(out.size()), &got)) {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_HANDLE_EOF));
            break;
        }
        for (DWORD at = sizeof(USN); at + sizeof(USN_RECORD_V2) <= got;) {
            const auto* u = reinterpret_cast<const USN_RECORD_V2*>(out.data() + at);
            records.insert(u->FileReferenceNumber & Ntfs::kRecordNumberMask);
            at += u->RecordLength;
        }
        memcpy(&in.StartFileReferenceNumber, out.data(), sizeof(USN));
    }
    std::set<ULONGLONG> expected{Ntfs::RecordRoot};
    for (const auto& f : vol)
        expected.insert(f.second.identity);
    EXPECT_EQ(records, expected);
}

TEST_P(LiveVolumeTest, EveryKindOfChangeIsFollowedAndJournaled)
{
    const std::string root = fresh("changes");
    const std::string outside = fresh("outside");
    mkdir((root + "/one").c_str(), 0755);
    mkdir((root + "/two").c_str(), 0755);
    auto v = openVolume(root);
    ASSERT_TRUE(v);
    const USN_JOURNAL_DATA_V1 j = query(*v);
    USN cursor = j.NextUsn;
    auto journalSince = [&]() {
        JournalRead r = readJournal(*v, cursor, j.UsnJournalID);
        EXPECT_EQ(r.error, 0u);
        cursor = r.next;
        return r;
    };

    // Table of steps: a change, then the reasons the journal must show for a name.
    struct Step {
        const char* what;
        std::function<void()> change;
        const char* name;
        DWORD reasons;
    };
    const std::vector<Step> steps = {
        {"create", [&] { writeFile(root + "/one/f.txt", 100); }, "f.txt",
         USN_REASON_FILE_CREATE | USN_REASON_DATA_EXTEND | USN_REASON_CLOSE},
        {"extend", [&] { writeFile(root + "/one/f.txt", 50, O_APPEND); }, "f.txt", USN_REASON_DATA_EXTEND},
        {"overwrite", [&] { writeFile(root + "/one/f.txt", 10, 0); }, "f.txt", USN_REASON_DATA_OVERWRITE},
        {"truncate", [&] { ASSERT_EQ(truncate((root + "/one/f.txt").c_str(), 20), 0); }, "f.txt",
         USN_REASON_DATA_TRUNCATION},
        {"rename", [&] { ASSERT_EQ(rename((root + "/one/f.txt").c_str(), (root + "/one/g.txt").c_str()), 0); },
         "g.txt", USN_REASON_RENAME_NEW_NAME},
        {"move", [&] { ASSERT_EQ(rename((root + "/one/g.txt").c_str(), (root + "/two/g.txt").c_str()), 0); },
         "g.txt", USN_REASON_RENAME_NEW_NAME},
        {"chmod", [&] { ASSERT_EQ(chmod((root + "/two/g.txt").c_str(), 0444), 0); }, "g.txt",
         USN_REASON_BASIC_INFO_CHANGE},
        {"hard link", [&] { ASSERT_EQ(link((root + "/two/g.txt").c_str(), (root + "/one/h.txt").c_str()), 0); },
         "h.txt", USN_REASON_HARD_LINK_CHANGE},
        {"unlink one name", [&] { ASSERT_EQ(unlink((root + "/two/g.txt").c_str()), 0); }, "g.txt",
         USN_REASON_HARD_LINK_CHANGE},
        {"move a filled folder in", [&] {
             mkdir((outside + "/in").c_str(), 0755);
             mkdir((outside + "/in/nested").c_str(), 0755);
             writeFile(outside + "/in/nested/x.bin", 4096);
             ASSERT_EQ(rename((outside + "/in").c_str(), (root + "/two/in").c_str()), 0);
         }, "x.bin", USN_REASON_FILE_CREATE},
        {"move it out again", [&] { ASSERT_EQ(rename((root + "/two/in").c_str(), (outside + "/in").c_str()), 0); },
         "x.bin", USN_REASON_FILE_DELETE},
        {"delete", [&] { ASSERT_EQ(unlink((root + "/one/h.txt").c_str()), 0); }, "h.txt", USN_REASON_FILE_DELETE},
        {"folder made and filled at once", [&] {
             mkdir((root + "/quick").c_str(), 0755);
             mkdir((root + "/quick/deeper").c_str(), 0755);
             writeFile(root + "/quick/deeper/late.txt", 3);
         }, "late.txt", USN_REASON_FILE_CREATE},
        {"folder renamed with contents", [&] {
             ASSERT_EQ(rename((root + "/quick").c_str(), (root + "/one/slow").c_str()), 0);
             writeFile(root + "/one/slow/deeper/after.txt", 8);
         }, "slow", USN_REASON_RENAME_NEW_NAME},
        {"folder renamed before its changes are read", [&] {
             mkdir((root + "/one/before").c_str(), 0755);
             ASSERT_TRUE(followed(*v, root));
             v->setEventsPaused(true);   // one batch: the change in it comes before the rename
             writeFile(root + "/one/before/inside", 5);
             ASSERT_EQ(rename((root + "/one/before").c_str(), (root + "/two/after").c_str()), 0);
             writeFile(root + "/two/after/later", 6);
             v->setEventsPaused(false);
         }, "inside", USN_REASON_FILE_CREATE},
        {"exchange two names", [&] {
             writeFile(root + "/one/left", 1);
             writeFile(root + "/two/right", 2);
             ASSERT_EQ(renameat2(AT_FDCWD, (root + "/one/left").c_str(), AT_FDCWD, (root + "/two/right").c_str(),
                                 RENAME_EXCHANGE), 0);
         }, "left", USN_REASON_FILE_CREATE},
        {"odd name", [&] { writeFile(root + "/one/\xff odd", 1); }, "\xff odd", USN_REASON_FILE_CREATE},
        {"delete a tree", [&] { removeTree(root + "/one/slow"); }, "after.txt", USN_REASON_FILE_DELETE},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        ASSERT_TRUE(followed(*v, root));
        const JournalRead r = journalSince();
        EXPECT_EQ(reasonsFor(r, s.name) & s.reasons, s.reasons) << std::hex << reasonsFor(r, s.name);
    }
    // A rename within the tree is one file renamed, never deleted and made anew.
    writeFile(root + "/two/keep", 1);
    ASSERT_TRUE(followed(*v, root));
    journalSince();
    const Tree before = volumeTree(v->volume());
    ASSERT_EQ(rename((root + "/two/keep").c_str(), (root + "/one/kept").c_str()), 0);
    ASSERT_TRUE(followed(*v, root));
    EXPECT_EQ(volumeTree(v->volume()).at("/one/kept").identity, before.at("/two/keep").identity);
    const JournalRead r = journalSince();
    EXPECT_EQ(reasonsFor(r, "keep") & USN_REASON_FILE_DELETE, 0u);
    EXPECT_TRUE(reasonsFor(r, "keep") & USN_REASON_RENAME_OLD_NAME);

    // A burst.
    mkdir((root + "/burst").c_str(), 0755);
    for (int i = 0; i < 10000; ++i)
        writeFile(root + "/burst/n" + std::to_string(i), size_t(i % 3));
    ASSERT_TRUE(followed(*v, root));
    // On a loaded machine the kernel may drop the queue under the burst: the
    // volume then says so once and walks the tree again, still equal to it.
    EXPECT_EQ(errors.size(), size_t(v->overflows()));
}

TEST_P(LiveVolumeTest, ChangesMadeWhileTheWalkRunsAreNotLost)
{
    const std::string root = fresh("during");
    for (int d = 0; d < 20; ++d) {
        const std::string dir = root + "/d" + std::to_string(d);
        mkdir(dir.c_str(), 0755);
        for (int i = 0; i < 200; ++i)
            writeFile(dir + "/f" + std::to_string(i), 1);
    }
    std::atomic<bool> opened{false};
    std::thread changer([&] {
        // Until the open returns and a little after: new folders, renames, deletions.
        for (int i = 0; i < 4000 && (i < 200 || !opened); ++i) {
            const std::string dir = root + "/d" + std::to_string(i % 20);
            writeFile(dir + "/new" + std::to_string(i), 2);
            rename((dir + "/f" + std::to_string(i % 200)).c_str(), (root + "/moved" + std::to_string(i)).c_str());
            if (i % 10 == 0) {
                mkdir((root + "/late" + std::to_string(i)).c_str(), 0755);
                writeFile(root + "/late" + std::to_string(i) + "/inside", 3);
            }
            unlink((dir + "/new" + std::to_string(i - 1)).c_str());
        }
    });
    auto v = openVolume(root);
    opened = true;
    changer.join();
    ASSERT_TRUE(v);
    EXPECT_TRUE(followed(*v, root));
    EXPECT_EQ(v->overflows(), 0u);
}

TEST_P(LiveVolumeTest, LostEventsDiscardTheJournalAndTheTreeIsWalkedAgain)
{
    const std::string root = fresh("overflow");
    writeFile(root + "/before", 1);
    auto v = openVolume(root, 50);
    ASSERT_TRUE(v);
    const USN_JOURNAL_DATA_V1 j = query(*v);
    v->setEventsPaused(true);
    for (int i = 0; i < 200; ++i)
        writeFile(root + "/f" + std::to_string(i), 1);
    ASSERT_EQ(unlink((root + "/before").c_str()), 0);
    v->setEventsPaused(false);
    ASSERT_TRUE(followed(*v, root));
    EXPECT_EQ(v->overflows(), 1u);
    EXPECT_EQ(readJournal(*v, j.NextUsn, j.UsnJournalID).error, DWORD(ERROR_JOURNAL_ENTRY_DELETED));
    // Changes after the rescan are journaled again from the new start.
    const USN_JOURNAL_DATA_V1 after = query(*v);
    writeFile(root + "/later", 1);
    ASSERT_TRUE(followed(*v, root));
    EXPECT_TRUE(reasonsFor(readJournal(*v, after.NextUsn, after.UsnJournalID), "later") & USN_REASON_FILE_CREATE);
}

TEST_P(LiveVolumeTest, RootGoneMakesTheVolumeNotReady)
{
    const std::string root = fresh("vanish");
    mkdir((root + "/sub").c_str(), 0755);
    writeFile(root + "/sub/f", 1);
    auto v = openVolume(root);
    ASSERT_TRUE(v);
    removeTree(root);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventuallyMs);
    while (!v->notReady() && std::chrono::steady_clock::now() < deadline)
        v->settle(kSettleMs);
    ASSERT_TRUE(v->notReady());
    USN_JOURNAL_DATA_V1 jd{};
    DWORD got = 0;
    EXPECT_FALSE(v->deviceIoControl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &jd, sizeof jd, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
    VolumeInformation info;
    EXPECT_FALSE(v->volumeInformation(info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
}

TEST_P(LiveVolumeTest, EachOpenStartsAFreshJournalAboveTheLast)
{
    const std::string root = fresh("reopen");
    writeFile(root + "/f", 1);
    auto first = openVolume(root);
    ASSERT_TRUE(first);
    writeFile(root + "/g", 1);
    ASSERT_TRUE(followed(*first, root));
    const USN_JOURNAL_DATA_V1 a = query(*first);
    first.reset();
    auto second = openVolume(root);
    ASSERT_TRUE(second);
    const USN_JOURNAL_DATA_V1 b = query(*second);
    EXPECT_NE(a.UsnJournalID, b.UsnJournalID);
    EXPECT_GT(b.FirstUsn, a.NextUsn);
    // Record numbers: the root is 5, a freed number returns with the next sequence.
    ZEmulatedNtfsVolume::FileInfo f;
    const DWORD r = second->volume().lookup(Ntfs::RecordRoot, u"f");
    ASSERT_TRUE(second->volume().fileInfo(r, f));
    ASSERT_EQ(unlink((root + "/f").c_str()), 0);
    writeFile(root + "/h", 1);
    ASSERT_TRUE(followed(*second, root));
    EXPECT_EQ(second->volume().lookup(Ntfs::RecordRoot, u"h"), r);
    EXPECT_EQ(second->volume().fileReference(r) >> 48, (f.fileReference >> 48) + 1);
}

INSTANTIATE_TEST_SUITE_P(Sources, LiveVolumeTest,
                         ::testing::Values(ZLiveDirectoryVolume::Source::Inotify,
                                           ZLiveDirectoryVolume::Source::Fanotify),
                         [](const ::testing::TestParamInfo<ZLiveDirectoryVolume::Source>& i) {
                             return i.param == ZLiveDirectoryVolume::Source::Inotify ? std::string("Inotify")
                                                                                     : std::string("Fanotify");
                         });

TEST(LiveNameStore, RenamesAndDeletionsDoNotGrowTheNameStoreForEver)
{
    ZEmulatedNtfsVolume v;
    const DWORD keep = v.createFile(Ntfs::RecordRoot, u"keep-this-name");
    const DWORD folder = v.createFolder(Ntfs::RecordRoot, u"folder");
    const DWORD linked = v.createFile(folder, u"first");
    ASSERT_TRUE(v.link(linked, Ntfs::RecordRoot, u"second", ZEmulatedNtfsVolume::NameForm::Posix));
    const DWORD moving = v.createFile(Ntfs::RecordRoot, u"m0");
    for (int i = 1; i <= 5000; ++i) {
        ASSERT_TRUE(v.rename(moving, u"m" + std::u16string(1, char16_t(u'a' + i % 26)) + u"-" +
                                        std::u16string(i % 7 + 1, u'x')));
        const DWORD t = v.createFile(folder, u"temporary");
        ASSERT_TRUE(v.remove(t));
    }
    const size_t before = v.nameStoreBytes();
    const Tree names = volumeTree(v);
    v.compactNames();
    EXPECT_LT(v.nameStoreBytes(), before / 100);
    EXPECT_EQ(volumeTree(v).size(), names.size());
    for (const auto& n : names)
        EXPECT_TRUE(volumeTree(v).count(n.first)) << n.first;
    EXPECT_EQ(v.lookup(Ntfs::RecordRoot, u"keep-this-name"), keep);
    EXPECT_EQ(v.lookup(Ntfs::RecordRoot, u"second"), linked);
    EXPECT_EQ(v.lookup(folder, u"first"), linked);
    // Names made after the compaction are sound too.
    EXPECT_NE(v.createFile(folder, u"after"), 0u);
    EXPECT_NE(v.lookup(folder, u"after"), 0u);
}

TEST(LiveVolumeWatchLimit, DirectoriesThatCannotBeFollowedAreCountedAndNamedOnce)
{
    const std::string root = fresh("limit");
    for (const char* d : {"/a", "/b", "/c", "/a/x"})
        mkdir((root + d).c_str(), 0755);
    std::vector<QString> errors;
    ZLiveDirectoryVolume::Options o;
    o.source = ZLiveDirectoryVolume::Source::Inotify;
    o.watchLimit = 2;   // the root and one more
    o.eventQueueLimit = 1;
    o.errorLog = [&](const QString& line) { errors.push_back(line); };
    QString error;
    auto v = ZLiveDirectoryVolume::open(QFile::decodeName(root.c_str()), o, &error);
    ASSERT_TRUE(v) << error.toStdString();
    EXPECT_EQ(v->unwatchableDirectories(), 3u);
    ASSERT_EQ(errors.size(), 3u);
    std::set<QString> named(errors.begin(), errors.end());
    EXPECT_EQ(named.size(), 3u);
    for (const QString& e : errors)
        EXPECT_TRUE(e.contains(QStringLiteral("cannot be followed"))) << e.toStdString();
    // A lost queue walks the tree again: nothing is named twice.
    v->setEventsPaused(true);
    for (const char* f : {"/f", "/g", "/h"})
        writeFile(root + f, 1);
    v->setEventsPaused(false);
    v->settle(kSettleMs);
    EXPECT_EQ(v->overflows(), 1u);
    EXPECT_EQ(errors.size(), 4u);   // the three, and the lost queue
    EXPECT_EQ(v->unwatchableDirectories(), 3u);
}
