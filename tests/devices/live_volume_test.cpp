// The live directory volume against real trees, with both change sources:
// after the walk and after every kind of change the volume's files equal a
// fresh walk of the tree, the journal says what Windows would, lost events
// and a vanished root are reported rather than hidden.
#include "devices/live/ZLiveDirectoryVolume.h"
#include "devices/live/ZLiveIdentitySnapshot.h"
#include "devices/live/ZLiveNameCodec.h"
#include "support/TestEnvironment.h"
#include "support/ZLiveDifferential.h"
#include "support/ZUsnRecordParse.h"

#include <QFile>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <cstring>
#include <future>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace Platform;

namespace {

constexpr int kSettleMs = 10000;
constexpr int kEventuallyMs = 20000;
using Source = ZLiveDirectoryVolume::Source;
using LiveDifferential::removeTree;

std::string bytes(const QString& path) { return QFile::encodeName(path).toStdString(); }

// Fresh folders, removed at exit by bytes, before the test root (Qt cannot name the odd ones).
std::string fresh(const char* name)
{
    static const struct Cleanup {
        ~Cleanup() { removeTree(bytes(TestSupport::testRoot() + QStringLiteral("/work"))); }
    } cleanup;
    return bytes(TestSupport::freshDir(QString::fromLatin1(name)));
}

void writeFile(const std::string& path, size_t size, int flags = O_CREAT | O_TRUNC)
{
    const int fd = ::open(path.c_str(), O_WRONLY | flags, 0644);
    ASSERT_GE(fd, 0) << path << ": " << strerror(errno);
    EXPECT_EQ(::write(fd, std::string(size, 'x').data(), size), ssize_t(size));
    ::close(fd);
}
void md(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path << ": " << strerror(errno); }
void mv(const std::string& from, const std::string& to) { ASSERT_EQ(rename(from.c_str(), to.c_str()), 0) << from; }

using LiveDifferential::Tree;
using LiveDifferential::diskTree;
using LiveDifferential::deviceTree;
using LiveDifferential::difference;   // paths, kinds, sizes and hard links alike on both sides, or what differs

USN_JOURNAL_DATA_V1 query(ZVolumeDevice& d) { return TestSupport::queryJournal(d); }

// Reads the journal from cursor on, adding the reasons per name and moving
// cursor past them. 0 or the error.
DWORD readJournal(ZVolumeDevice& d, DWORDLONG id, USN& cursor, std::map<std::string, DWORD>& reasons)
{
    const TestSupport::JournalRead r = TestSupport::readJournalToEnd(d, id, cursor, 1 << 20);
    for (const TestSupport::UsnRec& u : r.records)
        reasons[liveNameFromUtf16(u.name)] |= u.reason;
    cursor = r.next;
    return r.error;
}

// Opens with the source asked for, never a silent fall-back to the other.
std::shared_ptr<ZLiveDirectoryVolume> openLive(const std::string& root, Source source, std::vector<QString>* errors,
                                               size_t queueLimit = 0, size_t watchLimit = 0,
                                               std::function<void()> beforeApplying = {})
{
    ZLiveDirectoryVolume::Options o;
    o.beforeApplying = std::move(beforeApplying);
    o.source = source;
    o.eventQueueLimit = queueLimit;
    o.watchLimit = watchLimit;
    o.errorLog = [errors](const QString& line) { errors->push_back(line); };
    QString error;
    auto v = ZLiveDirectoryVolume::open(QFile::decodeName(root.c_str()), o, &error);
    EXPECT_TRUE(v) << error.toStdString();
    if (v) {
        EXPECT_STREQ(v->sourceName(), source == Source::Inotify ? "inotify" : "fanotify");
    }
    return v;
}

// Settles the volume, in bounded rounds, until done() holds.
template <typename P>
bool eventually(ZLiveDirectoryVolume& v, P done)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kEventuallyMs);
    do
        v.settle(kSettleMs);
    while (!done() && std::chrono::steady_clock::now() < deadline);
    return done();
}

::testing::AssertionResult followed(ZLiveDirectoryVolume& v, const std::string& root)
{
    std::string last;
    if (eventually(v, [&] { return (last = difference(diskTree(root), deviceTree(v.volume()))).empty(); }))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << last;
}

class LiveVolumeTest : public ::testing::TestWithParam<Source> {
protected:
    void SetUp() override
    {
        if (GetParam() == Source::Fanotify && !LiveDifferential::fanotifyPermitted(bytes(TestSupport::testRoot())))
            GTEST_SKIP() << "fanotify file-system marks are not permitted here";
    }
    std::shared_ptr<ZLiveDirectoryVolume> openVolume(const std::string& root, size_t queueLimit = 0)
    {
        return openLive(root, GetParam(), &errors, queueLimit);
    }
    std::vector<QString> errors;
};

// A small tree with a state folder beside it, where the volume keeps its tables from one open to the next.
struct KeptTree {
    KeptTree(const char* name, const char* stateName) : base(fresh(name)), root(base + "/tree")
    {
        md(root);
        writeFile(root + "/a", 1);
        writeFile(root + "/b", 2);
        md(root + "/d");
        writeFile(root + "/d/f", 3);
        EXPECT_EQ(::mkdir((base + "/state").c_str(), 0700), 0);
        o.stateFolder = QFile::decodeName((base + "/state").c_str());
        o.stateName = QString::fromLatin1(stateName);
        o.errorLog = [this](const QString& line) { errors.push_back(line.toStdString()); };
    }
    // Settled, unless the caller holds it up.
    std::shared_ptr<ZLiveDirectoryVolume> open(bool settle = true)
    {
        QString error;
        auto v = ZLiveDirectoryVolume::open(QFile::decodeName(root.c_str()), o, &error);
        EXPECT_TRUE(v && (!settle || v->settle(kSettleMs))) << error.toStdString();
        return v;
    }
    const std::string base, root;
    ZLiveDirectoryVolume::Options o;
    std::vector<std::string> errors;
};

} // namespace

// The walk shows the tree as it is; then every kind of change is followed
// and journaled as Windows journals it.
TEST_P(LiveVolumeTest, WalkShowsTheTreeAsItIsAndEveryKindOfChangeIsFollowedAndJournaled)
{
    const std::string root = fresh("walk"), out = fresh("outside") + "/";
    const std::string one = root + "/one/", two = root + "/two/";
    md(one);
    md(two);
    md(root + "/dir");
    md(root + "/dir/sub");
    writeFile(root + "/dir/sub/deep.txt", 5000);
    // Sized by place. Names differing only in case, with Windows' forbidden characters, not UTF-8 (cut short,
    // overlong, surrogates, lone continuations): each is one distinct name in the volume, read back byte for byte.
    const char* const names[] = {"/.hidden", "/A", "/a", "/back\\slash:colon*?", "/caf\xc3\xa9", "/\xf0\x9f\x98\x80",
                                 "/bad\xff\xfe", "/\xc3", "/\xe2\x82", "/\xed\xa0\x80surrogate", "/\xc0\xafoverlong",
                                 "/\x80\x81\x82", "/a\xff", "/readonly", "/hard1"};
    for (size_t k = 0; k < std::size(names); ++k)
        writeFile(root + names[k], k);
    chmod((root + "/readonly").c_str(), 0444);
    ASSERT_EQ(symlink("/nonexistent/target", (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("dir", (root + "/dirlink").c_str()), 0);   // never followed
    ASSERT_EQ(link((root + "/hard1").c_str(), (root + "/dir/hard2").c_str()), 0);

    auto v = openVolume(root);
    ASSERT_TRUE(v);
    const Tree vol = deviceTree(v->volume());
    EXPECT_EQ(difference(diskTree(root), vol), "");
    EXPECT_EQ(vol.at("/hard1").identity, vol.at("/dir/hard2").identity);
    for (const auto& [path, bit] : {std::pair<const char*, DWORD>{"/.hidden", FILE_ATTRIBUTE_HIDDEN},
                                    {"/readonly", FILE_ATTRIBUTE_READONLY}, {"/link", FILE_ATTRIBUTE_REPARSE_POINT}})
        EXPECT_TRUE(vol.at(path).attributes & bit) << path;
    EXPECT_FALSE(vol.at("/dirlink").directory);
    EXPECT_EQ(vol.at("/a").attributes, DWORD(FILE_ATTRIBUTE_NORMAL));
    EXPECT_NE(v->volume().lookup(Ntfs::RecordRoot, u"caf\u00e9"), 0u);   // UTF-8 as itself, other bytes as U+DCxx
    EXPECT_NE(v->volume().lookup(Ntfs::RecordRoot, std::u16string(u"a") + char16_t(0xDCFF)), 0u);

    const USN_JOURNAL_DATA_V1 j = query(*v);
    USN cursor = j.NextUsn;
    auto journalSince = [&]() {
        std::map<std::string, DWORD> reasons;
        EXPECT_EQ(readJournal(*v, j.UsnJournalID, cursor, reasons), 0u);
        return reasons;
    };

    // A change, then the reasons the journal must show for a name.
    const struct {
        const char* what;
        std::function<void()> change;
        const char* name;
        DWORD reasons, absent = 0;
    } steps[] = {
        {"create", [&] { writeFile(one + "f", 100); }, "f",
         USN_REASON_FILE_CREATE | USN_REASON_DATA_EXTEND | USN_REASON_CLOSE},
        {"extend", [&] { writeFile(one + "f", 50, O_APPEND); }, "f", USN_REASON_DATA_EXTEND},
        {"overwrite", [&] { writeFile(one + "f", 10, 0); }, "f", USN_REASON_DATA_OVERWRITE},
        {"truncate", [&] { EXPECT_EQ(truncate((one + "f").c_str(), 20), 0); }, "f", USN_REASON_DATA_TRUNCATION},
        {"rename", [&] { mv(one + "f", one + "g"); }, "f", USN_REASON_RENAME_OLD_NAME, USN_REASON_FILE_DELETE},
        {"move to another folder: the same file, not deleted and made anew", [&] {
             const ULONGLONG was = deviceTree(v->volume()).at("/one/g").identity;
             mv(one + "g", two + "g");
             EXPECT_TRUE(followed(*v, root));
             EXPECT_EQ(deviceTree(v->volume()).at("/two/g").identity, was);
         }, "g", USN_REASON_RENAME_OLD_NAME | USN_REASON_RENAME_NEW_NAME, USN_REASON_FILE_DELETE},
        {"chmod", [&] { EXPECT_EQ(chmod((two + "g").c_str(), 0444), 0); }, "g", USN_REASON_BASIC_INFO_CHANGE},
        {"hard link", [&] { EXPECT_EQ(link((two + "g").c_str(), (one + "h").c_str()), 0); }, "h",
         USN_REASON_HARD_LINK_CHANGE},
        {"unlink one name", [&] { EXPECT_EQ(unlink((two + "g").c_str()), 0); }, "g", USN_REASON_HARD_LINK_CHANGE},
        {"move a filled folder in", [&] { md(out + "in"), md(out + "in/sub"), writeFile(out + "in/sub/x", 4096),
                                          mv(out + "in", two + "in"); }, "x", USN_REASON_FILE_CREATE},
        {"move it out again", [&] { mv(two + "in", out + "in"); }, "x", USN_REASON_FILE_DELETE},
        {"delete", [&] { EXPECT_EQ(unlink((one + "h").c_str()), 0); }, "h", USN_REASON_FILE_DELETE},
        {"folder made and filled at once", [&] { md(root + "/quick"), md(root + "/quick/deeper"),
                                                 writeFile(root + "/quick/deeper/late", 3); },
         "late", USN_REASON_FILE_CREATE},
        {"folder renamed with contents", [&] { mv(root + "/quick", one + "slow"),
                                               writeFile(one + "slow/deeper/after", 8); },
         "slow", USN_REASON_RENAME_NEW_NAME},
        {"folder renamed before its changes are read", [&] {
             md(one + "before");
             EXPECT_TRUE(followed(*v, root));
             v->setEventsPaused(true);   // one batch: the change in it comes before the rename
             writeFile(one + "before/inside", 5), mv(one + "before", two + "after"), writeFile(two + "after/later", 6);
             v->setEventsPaused(false);
         }, "inside", USN_REASON_FILE_CREATE},
        {"exchange two names", [&] { writeFile(one + "left", 1), writeFile(two + "right", 2);
             EXPECT_EQ(renameat2(AT_FDCWD, (one + "left").c_str(), AT_FDCWD, (two + "right").c_str(), RENAME_EXCHANGE),
                       0); }, "left", USN_REASON_FILE_CREATE},
        {"odd name", [&] { writeFile(one + "\xff odd", 1); }, "\xff odd", USN_REASON_FILE_CREATE},
        {"delete a tree", [&] { removeTree(one + "slow"); }, "after", USN_REASON_FILE_DELETE},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.what);
        s.change();
        ASSERT_TRUE(followed(*v, root));
        const DWORD got = journalSince()[s.name];
        EXPECT_EQ(got & (s.reasons | s.absent), s.reasons) << std::hex << got;
    }
}

TEST_P(LiveVolumeTest, ChangesMadeWhileTheWalkRunsAreNotLost)
{
    const std::string root = fresh("during");
    for (int d = 0; d < 20; ++d) {
        md(root + "/d" + std::to_string(d));
        for (int i = 0; i < 200; ++i)
            writeFile(root + "/d" + std::to_string(d) + "/f" + std::to_string(i), 1);
    }
    std::atomic<bool> opened{false};
    std::thread changer([&] {
        // Until the open returns and a little after: new folders, renames, deletions.
        for (int i = 0; i < 4000 && (i < 200 || !opened); ++i) {
            const std::string dir = root + "/d" + std::to_string(i % 20), late = root + "/late" + std::to_string(i);
            writeFile(dir + "/new" + std::to_string(i), 2);
            rename((dir + "/f" + std::to_string(i % 200)).c_str(), (root + "/moved" + std::to_string(i)).c_str());
            if (i % 10 == 0)
                md(late), writeFile(late + "/inside", 3);
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

// A tree removed as rm -rf removes it (each folder's files, then the folder)
// is an ordinary change: its events name folders already gone from the disk,
// and must not be taken for lost events, whose journal reset makes the
// service give the drive up.
TEST_P(LiveVolumeTest, RemovingABigTreeIsNoLossOfEvents)
{
    const std::pair<int, int> shapes[] = {{20, 20}, {10, 200}, {5, 200}, {20, 100}, {40, 10}}; // folders, files each
    const std::string root = fresh("removed");
    auto v = openVolume(root);
    ASSERT_TRUE(v);
    int round = 0;
    for (const auto& [folders, files] : shapes) {
        for (int again = 0; again < 2; ++again, ++round) {
            SCOPED_TRACE(std::to_string(folders) + " folders of " + std::to_string(files) + " files, round "
                         + std::to_string(round));
            const std::string top = root + "/tree" + std::to_string(round);
            md(top);
            for (int d = 0; d < folders; ++d) {
                const std::string dir = top + "/d" + std::to_string(d);
                md(dir);
                for (int i = 0; i < files; ++i)
                    writeFile(dir + "/f" + std::to_string(i), 0);
            }
            ASSERT_TRUE(followed(*v, root));
            const ULONGLONG before = v->overflows();
            errors.clear();
            removeTree(top);
            ASSERT_TRUE(followed(*v, root));
            EXPECT_EQ(v->overflows(), before);
            EXPECT_TRUE(errors.empty()) << (errors.empty() ? std::string() : errors.front().toStdString());
        }
    }
}

// The kernel keeps a bounded queue (max_queued_events, 16,384 by default
// for both sources). A burst beyond it, made while the event thread is held
// up (here in its hook, in the product by a journal file rewritten or a big
// folder walked), is read on ahead into memory: nothing is lost.
TEST_P(LiveVolumeTest, ABurstBeyondTheKernelsQueueWhileTheEventThreadIsBusyIsNotLost)
{
    const std::string root = fresh("busy");
    std::promise<void> held, released;
    std::once_flag heldOnce, releasedOnce;
    auto v = openLive(root, GetParam(), &errors, 0, 0, [&, until = released.get_future().share()] {
        std::call_once(heldOnce, [&] { held.set_value(); });
        until.wait();
    });
    ASSERT_TRUE(v);
    const auto release = [&] { std::call_once(releasedOnce, [&] { released.set_value(); }); };
    const struct Release {   // before v goes, whatever fails
        std::function<void()> f;
        ~Release() { f(); }
    } guard{release};
    writeFile(root + "/first", 1);
    ASSERT_EQ(held.get_future().wait_for(std::chrono::milliseconds(kSettleMs)), std::future_status::ready);
    size_t kernelLimit = 16384;
    QFile knob(GetParam() == Source::Inotify ? QStringLiteral("/proc/sys/fs/inotify/max_queued_events")
                                             : QStringLiteral("/proc/sys/fs/fanotify/max_queued_events"));
    if (knob.open(QIODevice::ReadOnly))
        kernelLimit = knob.readAll().trimmed().toULong();
    ASSERT_LT(kernelLimit, 1u << 20) << "a burst beyond this queue would take too long";
    for (size_t i = 0; i <= kernelLimit; ++i)
        writeFile(root + "/f" + std::to_string(i), 0);
    release();
    EXPECT_TRUE(followed(*v, root));
    EXPECT_EQ(v->overflows(), 0u);
}

// Each open starts a fresh journal above the last; a lost queue discards the
// journal and the tree is walked again; a vanished root makes every call "not ready".
TEST_P(LiveVolumeTest, EachOpenHasItsOwnJournalWhichLostEventsDiscardUntilTheRootGoes)
{
    const std::string root = fresh("reopen");
    writeFile(root + "/f", 1);
    auto v = openVolume(root);
    ASSERT_TRUE(v);
    writeFile(root + "/g", 1);
    ASSERT_TRUE(followed(*v, root));
    const USN_JOURNAL_DATA_V1 a = query(*v);
    v.reset();
    v = openVolume(root, 50);
    ASSERT_TRUE(v);
    const USN_JOURNAL_DATA_V1 b = query(*v);
    EXPECT_NE(a.UsnJournalID, b.UsnJournalID);
    EXPECT_GT(b.FirstUsn, a.NextUsn);

    v->setEventsPaused(true);
    for (int i = 0; i < 200; ++i)
        writeFile(root + "/n" + std::to_string(i), 1);
    ASSERT_EQ(unlink((root + "/g").c_str()), 0);
    v->setEventsPaused(false);
    ASSERT_TRUE(followed(*v, root));
    EXPECT_EQ(std::make_pair(v->overflows(), errors.size()), std::make_pair(ULONGLONG(1), size_t(1)));   // said once
    std::map<std::string, DWORD> reasons;
    USN cursor = b.NextUsn;
    EXPECT_EQ(readJournal(*v, b.UsnJournalID, cursor, reasons), DWORD(ERROR_JOURNAL_ENTRY_DELETED));
    // Changes after the rescan are journaled again from the new start.
    cursor = query(*v).NextUsn;
    writeFile(root + "/later", 1);
    ASSERT_TRUE(followed(*v, root));
    EXPECT_EQ(readJournal(*v, b.UsnJournalID, cursor, reasons), 0u);
    EXPECT_TRUE(reasons["later"] & USN_REASON_FILE_CREATE);

    removeTree(root);
    ASSERT_TRUE(eventually(*v, [&] { return v->notReady(); }));
    USN_JOURNAL_DATA_V1 jd{};
    DWORD got = 0;
    EXPECT_FALSE(v->deviceIoControl(FSCTL_QUERY_USN_JOURNAL, nullptr, 0, &jd, sizeof jd, &got));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
    VolumeInformation info;
    EXPECT_FALSE(v->volumeInformation(info));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NOT_READY));
}

// A file a walk meets with one link, linked before the walk reaches its
// other name: both names belong to one record, in the first walk and in the
// walk after a restart (where the file is new since the last run) alike.
TEST_P(LiveVolumeTest, AFileLinkedWhileTheWalkRunsKeepsOneRecord)
{
    for (const bool restart : {false, true}) {
        SCOPED_TRACE(restart ? "the walk after a restart" : "the first walk");
        KeptTree k(restart ? "linked-resumed" : "linked-first", "K");
        k.o.source = GetParam();
        if (restart)
            k.open();
        writeFile(k.root + "/n", 4);
        // The root's entries are all read before the folder d is.
        std::atomic<bool> linked{false};
        k.o.walkRead = [&](const std::string& path) {
            if (path == k.root + "/n" && !linked.exchange(true)) {
                EXPECT_EQ(::link((k.root + "/n").c_str(), (k.root + "/d/g").c_str()), 0);
            }
        };
        auto v = k.open();
        ASSERT_TRUE(v);
        EXPECT_TRUE(linked);
        EXPECT_EQ(v->resumed(), restart);
        EXPECT_TRUE(followed(*v, k.root));
    }
}

// After a restart the walk lists a folder and, before it reads it, the
// folder is moved into one already read. Read with its rename, it loses the
// names the last run held in it that went while the drive was down.
TEST_P(LiveVolumeTest, AFolderMovedBeforeTheWalkAfterARestartReadsItLosesTheNamesGoneMeanwhile)
{
    KeptTree k("moved-unread", "K");
    k.o.source = GetParam();
    for (const std::string folder : {"/x", "/y"}) {
        md(k.root + folder);
        md(k.root + folder + "/sub");
        writeFile(k.root + folder + "/keep", 1);
        writeFile(k.root + folder + "/gone", 2);
        writeFile(k.root + folder + "/sub/gone", 3);
    }
    k.open();
    for (const char* gone : {"/x/gone", "/y/gone", "/x/sub/gone", "/y/sub/gone"})
        ASSERT_EQ(::unlink((k.root + gone).c_str()), 0);
    // The first of the two read takes the other in.
    std::atomic<bool> moved{false};
    k.o.walkRead = [&](const std::string& path) {
        for (const auto& [inside, other] : {std::pair<const char*, const char*>{"/x/", "/y"}, {"/y/", "/x"}})
            if (path.rfind(k.root + inside, 0) == 0 && !moved.exchange(true)) {
                EXPECT_EQ(::rename((k.root + other).c_str(), (k.root + inside + "moved").c_str()), 0);
            }
    };
    auto v = k.open();
    ASSERT_TRUE(v);
    EXPECT_TRUE(v->resumed());
    EXPECT_TRUE(moved);
    EXPECT_TRUE(followed(*v, k.root));
}

// A folder the walk read is moved out of the tree and deleted there while the
// walk runs, and a folder is made after it: the new folder takes the moved
// one's record number once the move is applied, and the deletion read
// meanwhile must not take it away.
TEST_P(LiveVolumeTest, AFolderDeletedOutsideWhileTheWalkRunsLeavesItsRecordNumbersNextHolder)
{
    const std::string root = fresh("deleted-outside"), out = fresh("deleted-outside-out");
    md(root + "/a");
    md(root + "/a/x");
    writeFile(root + "/a/x/k", 1);
    md(root + "/d");
    writeFile(root + "/d/m", 2);
    // Once x and d are both listed (and so watched), with g not in d's listing.
    std::mutex lock;
    int read = 0;
    bool changed = false;
    ZLiveDirectoryVolume::Options o;
    o.source = GetParam();
    o.errorLog = [this](const QString& line) { errors.push_back(line); };
    // The move and the deletion by other processes than each other: fanotify
    // folds a folder's deletion into its move's event of the same process
    // (ahead of the new folder) while that event waits in the queue.
    auto elsewhere = [](const std::function<bool()>& change) {
        const pid_t child = fork();
        if (child == 0)
            _exit(change() ? 0 : 1);
        int status = -1;
        return waitpid(child, &status, 0) == child && status == 0;
    };
    const std::string x = root + "/a/x", moved = out + "/x", k = moved + "/k";
    o.walkRead = [&](const std::string& path) {
        std::lock_guard<std::mutex> g(lock);
        if ((path == root + "/a/x/k" || path == root + "/d/m") && ++read == 2) {
            EXPECT_TRUE(elsewhere([&] { return ::rename(x.c_str(), moved.c_str()) == 0; }));
            EXPECT_EQ(::mkdir((root + "/d/g").c_str(), 0755), 0);
            EXPECT_TRUE(elsewhere([&] { return ::unlink(k.c_str()) == 0 && ::rmdir(moved.c_str()) == 0; }));
            changed = true;
        }
    };
    QString error;
    auto v = ZLiveDirectoryVolume::open(QFile::decodeName(root.c_str()), o, &error);
    ASSERT_TRUE(v) << error.toStdString();
    EXPECT_TRUE(changed);
    EXPECT_TRUE(followed(*v, root));
    EXPECT_EQ(v->overflows(), 0u);
}

// The first walk files its listings in an order of its own. A folder read in
// one listing (a/c) is moved into a folder read later (p/e/f), and its move
// is read before that folder is watched (it seems to leave the tree); the
// listing that met it under its old name is filed last. The folder stays
// under the name the disk has.
TEST_P(LiveVolumeTest, AFolderMetUnderTwoNamesByTheFirstWalkEndsUnderTheOneOnDisk)
{
    const std::string root = fresh("met-twice");
    md(root + "/a");
    md(root + "/a/c");
    writeFile(root + "/a/c/k", 1);
    md(root + "/p");
    writeFile(root + "/p/w", 2);
    md(root + "/p/e");
    md(root + "/p/e/q");
    writeFile(root + "/p/e/q/z", 3);
    constexpr auto kStep = std::chrono::seconds(20);   // a bound on each step, not a wait for one
    std::mutex lock;
    std::condition_variable cv;
    bool moved = false, moveRead = false, eFiled = false;
    auto waitFor = [&](const bool& flag) {
        std::unique_lock<std::mutex> g(lock);
        EXPECT_TRUE(cv.wait_for(g, kStep, [&] { return flag; }));
    };
    ZLiveDirectoryVolume::Options o;
    o.source = GetParam();
    o.errorLog = [this](const QString& line) { errors.push_back(line); };
    o.eventsRead = [&](const std::vector<LiveEvent>& events) {
        std::lock_guard<std::mutex> g(lock);
        for (const LiveEvent& e : events)
            if (moved && (e.kind == LiveEvent::Renamed || e.kind == LiveEvent::NameChanged) && e.name == "c")
                moveRead = true;
        cv.notify_all();
    };
    // Each of the two readers holds one of a and p.
    o.walkRead = [&](const std::string& path) {
        if (path == root + "/a/c") {
            {
                std::lock_guard<std::mutex> g(lock);
                EXPECT_EQ(::rename((root + "/a/c").c_str(), (root + "/p/e/f").c_str()), 0);
                moved = true;
            }
            waitFor(moveRead);
            waitFor(eFiled);   // e's listing (with f) is handed on before a's
        } else if (path == root + "/p/w") {
            waitFor(moveRead);   // e is watched only after the move was read
        } else if (path == root + "/p/e/q/z") {
            std::lock_guard<std::mutex> g(lock);
            eFiled = true;
            cv.notify_all();
        }
    };
    QString error;
    auto v = ZLiveDirectoryVolume::open(QFile::decodeName(root.c_str()), o, &error);
    ASSERT_TRUE(v) << error.toStdString();
    EXPECT_TRUE(moveRead);
    EXPECT_TRUE(eFiled);
    EXPECT_TRUE(followed(*v, root));
    EXPECT_EQ(v->overflows(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sources, LiveVolumeTest, ::testing::Values(Source::Inotify, Source::Fanotify),
                         [](const ::testing::TestParamInfo<Source>& i) {
                             return std::string(i.param == Source::Inotify ? "Inotify" : "Fanotify");
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
        ASSERT_TRUE(v.remove(v.createFile(folder, u"temporary")));
    }
    const size_t before = v.nameStoreBytes();
    const Tree names = deviceTree(v);
    v.compactNames();
    EXPECT_LT(v.nameStoreBytes(), before / 100);
    EXPECT_EQ(difference(names, deviceTree(v)), "");
    EXPECT_EQ(v.lookup(Ntfs::RecordRoot, u"keep-this-name"), keep);
    EXPECT_EQ(v.lookup(Ntfs::RecordRoot, u"second"), linked);
    EXPECT_EQ(v.lookup(folder, u"first"), linked);
    // Names made after the compaction are sound too.
    EXPECT_NE(v.createFile(folder, u"after"), 0u);
    EXPECT_NE(v.lookup(folder, u"after"), 0u);
}

// The peak resident size of this process in KiB, or -1.
long peakResidentKiB()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toLong();
    return -1;
}

// A deep tree moved in, each level holding a folder listed first (walked
// first) and a sibling that waits: the walk's memory grows with the names,
// not with a whole path for every folder that waits below it.
TEST(LiveVolumeDeepTree, AFolderThatWaitsToBeReadKeepsItsNameNotItsWholePath)
{
    constexpr int kDepth = 1500;
    constexpr long kMostGrowthKiB = 64 * 1024;   // the whole paths would take over 200 MiB
    const std::string root = fresh("deep");
    const std::string source = fresh("deep-source");
    // Made by descriptor: the paths are far past PATH_MAX.
    std::vector<std::string> chain;
    md(source + "/tree");
    int at = ::open((source + "/tree").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(at, 0);
    for (int level = 0; level < kDepth; ++level) {
        ASSERT_EQ(::mkdirat(at, std::string(200, 'a').c_str(), 0755), 0);
        ASSERT_EQ(::mkdirat(at, std::string(200, 'b').c_str(), 0755), 0);
        // The name the listing gives first goes on down.
        std::string first;
        const int listing = ::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(listing, 0);
        ASSERT_TRUE(liveReadDirectory(listing, [&](const char* name, size_t length) {
            if (first.empty())
                first.assign(name, length);
        }));
        ::close(listing);
        chain.push_back(first);
        const int below = ::openat(at, first.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::close(at);
        at = below;
        ASSERT_GE(at, 0);
    }
    ::close(at);
    std::vector<QString> errors;
    auto v = openLive(root, Source::Inotify, &errors);
    ASSERT_TRUE(v);
    std::ofstream("/proc/self/clear_refs") << "5";   // the peak starts again from here
    const long before = peakResidentKiB();
    ASSERT_GT(before, 0);
    mv(source + "/tree", root + "/tree");
    const auto deepest = [&] {
        DWORD r = v->volume().lookup(Ntfs::RecordRoot, u"tree");
        for (size_t i = 0; r && i < chain.size(); ++i)
            r = v->volume().lookup(r, liveNameToUtf16(chain[i]));
        return r != 0;
    };
    ASSERT_TRUE(eventually(*v, deepest));
    EXPECT_LT(peakResidentKiB() - before, kMostGrowthKiB);
    EXPECT_TRUE(errors.empty()) << errors.front().toStdString();
}

TEST(LiveVolumeWatchLimit, DirectoriesThatCannotBeFollowedAreCountedAndNamedOnce)
{
    const std::string root = fresh("limit");
    for (const char* d : {"/a", "/b", "/c", "/a/x"})
        md(root + d);
    std::vector<QString> errors;
    auto v = openLive(root, Source::Inotify, &errors, 1, 2);   // watches for the root and one more
    ASSERT_TRUE(v);
    EXPECT_EQ(v->unwatchableDirectories(), 3u);
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(std::set<QString>(errors.begin(), errors.end()).size(), 3u);
    for (const QString& e : errors)
        EXPECT_TRUE(e.contains(QStringLiteral("cannot be followed"))) << e.toStdString();
    // A lost queue walks the tree again: nothing is named twice.
    v->setEventsPaused(true);
    for (const char* f : {"/f", "/g", "/h"})
        writeFile(root + f, 1);
    v->setEventsPaused(false);
    v->settle(kSettleMs);
    EXPECT_EQ(std::make_tuple(v->overflows(), errors.size(), v->unwatchableDirectories()),
              std::make_tuple(ULONGLONG(1), size_t(4), DWORD(3)));   // the three, and the lost queue
}

// Kept tables that are whole (their checksums hold) but are not one this
// device wrote. A table that is no tree of this volume is refused at the
// open: a fresh journal, the WARNING names the reason. One that is a tree
// but does not fit when placed (a name in a folder given to two records) is
// taken up at the open and refused by the placing: the drive then says it is
// not ready and keeps nothing. Either way the next open equals the tree.
TEST(LiveVolumeResume, ATableThatIsNoTreeOfThisVolumeIsRefusedAndTheNextOpenEqualsTheTree)
{
    using Entries = std::vector<ZLiveIdentitySnapshot::Entry>;
    auto named = [](Entries& t, const char* name) -> ZLiveIdentitySnapshot::Entry& {
        return *std::find_if(t.begin(), t.end(), [&](const auto& e) { return e.name == name; });
    };
    // A further entry, first the same as the one named.
    auto copied = [&](Entries& t, const char* name) -> ZLiveIdentitySnapshot::Entry& {
        const ZLiveIdentitySnapshot::Entry e = named(t, name);
        t.push_back(e);
        return t.back();
    };
    struct Case {
        const char* what;
        std::function<void(Entries&)> damage;
        const char* reason;   // null: refused only when placed
    };
    const Case cases[] = {
        {"a name given to two records",
         [&](Entries& t) {
             DWORD past = 0;
             for (const auto& e : t)
                 past = std::max(past, e.record + 1);
             auto& twin = copied(t, "a");
             twin.record = past, twin.inode += 1000;
         },
         nullptr},
        {"a file named twice unlike", [&](Entries& t) { auto& o = copied(t, "a"); o.name = "a2", o.inode += 1000; },
         "twice unlike"},
        {"a folder named twice", [&](Entries& t) { copied(t, "d").name = "d2"; }, "twice unlike"},
        {"a name under a file", [&](Entries& t) { named(t, "f").parent = named(t, "a").record; }, "no path"},
        {"a folder inside itself", [&](Entries& t) { named(t, "d").parent = named(t, "d").record; }, "no path"},
        {"a parent past every record", [&](Entries& t) { named(t, "f").parent = 1u << 30; }, "no path"},
        {"a record far past the table", [&](Entries& t) { named(t, "b").record = 1u << 23; }, "far past"},
        {"a metadata record", [&](Entries& t) { named(t, "b").record = 3; }, "do not fit"},
        {"sequence number 0", [&](Entries& t) { named(t, "b").sequence = 0; }, "do not fit"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        KeptTree k("misfit", "M");
        k.open();   // its state is written as it goes
        const QString table = k.o.stateFolder + QStringLiteral("/LiveIdentitiesM.dat");
        struct stat st;
        ASSERT_EQ(::stat(k.root.c_str(), &st), 0);
        ZLiveIdentitySnapshot::Image image;
        QString reason;
        const ULONGLONG device = (ULONGLONG(major(st.st_dev)) << 32) | minor(st.st_dev);   // as statx gives it
        ASSERT_TRUE(ZLiveIdentitySnapshot::read(table, device, st.st_ino, image, &reason)) << reason.toStdString();
        ZLiveIdentitySnapshot::Table t{image.rootDevice, image.rootInode, image.journalId, image.usn, {}};
        for (size_t i = 0; i < image.size(); ++i)
            t.entries.push_back(image.entry(i));
        c.damage(t.entries);
        ASSERT_TRUE(ZLiveIdentitySnapshot::write(table, t, nullptr));
        {
            auto v = k.open();
            ASSERT_TRUE(v);
            EXPECT_EQ(v->resumed(), c.reason == nullptr);
            EXPECT_EQ(v->notReady(), c.reason == nullptr);
            ASSERT_FALSE(k.errors.empty());
            const std::string& last = k.errors.back();
            EXPECT_NE(last.find("is not used"), std::string::npos) << last;
            if (c.reason)
                EXPECT_NE(last.find(c.reason), std::string::npos) << last;
            else
                EXPECT_FALSE(QFile::exists(table));
        }
        auto v = k.open();
        ASSERT_TRUE(v);
        EXPECT_FALSE(v->notReady());
        EXPECT_EQ(difference(diskTree(k.root), deviceTree(v->volume())), "");
    }
}

// While a resume's records are placed the volume's lock is held for long, so
// the journal query and the volume data are answered as the open found them:
// the same answers, by the same buffer rules, as once the records are placed.
// The records the walk after the restart writes are read at once: a read
// that asks for a full batch, with no time-out, returns them.
TEST(LiveVolumeResume, WhilePlacedTheJournalAndVolumeDataAnswerAsAfterAndTheWalksRecordsAreReadAtOnce)
{
    KeptTree k("placing", "P");
    k.open();
    using Answer = std::tuple<BOOL, DWORD, DWORD, std::vector<BYTE>>;   // ok, error, returned, bytes
    const std::pair<DWORD, DWORD> calls[] = {
        {FSCTL_QUERY_USN_JOURNAL, sizeof(USN_JOURNAL_DATA_V1) + 8},
        {FSCTL_QUERY_USN_JOURNAL, sizeof(USN_JOURNAL_DATA_V1)},
        {FSCTL_QUERY_USN_JOURNAL, sizeof(USN_JOURNAL_DATA_V0)},
        {FSCTL_QUERY_USN_JOURNAL, sizeof(USN_JOURNAL_DATA_V0) - 1},
        {FSCTL_GET_NTFS_VOLUME_DATA, sizeof(NTFS_VOLUME_DATA_BUFFER)},
        {FSCTL_GET_NTFS_VOLUME_DATA, sizeof(NTFS_VOLUME_DATA_BUFFER) - 1},
    };
    auto ask = [&](ZLiveDirectoryVolume& v) {
        std::vector<Answer> all;
        for (const auto& [code, size] : calls) {
            auto& [ok, error, returned, bytes] = all.emplace_back(FALSE, 0, 0, std::vector<BYTE>(size, 0xA5));
            SetLastError(0);
            ok = v.deviceIoControl(code, nullptr, 0, bytes.data(), size, &returned);
            error = ok ? 0 : GetLastError();
            if (code == FSCTL_GET_NTFS_VOLUME_DATA && ok) {
                // The MFT and the clusters in use grow as the records are
                // placed; the geometry the drive sizes its reads by stays.
                NTFS_VOLUME_DATA_BUFFER d;
                std::memcpy(&d, bytes.data(), sizeof d);
                const DWORD geometry[] = {DWORD(d.VolumeSerialNumber.QuadPart), d.BytesPerSector, d.BytesPerCluster,
                                          d.BytesPerFileRecordSegment, d.ClustersPerFileRecordSegment};
                bytes.assign(reinterpret_cast<const BYTE*>(geometry), reinterpret_cast<const BYTE*>(geometry + 5));
            }
        }
        return all;
    };
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    k.o.beforePlacing = [released] { released.wait(); };
    auto v = k.open(false);
    ASSERT_TRUE(v && v->resumed());
    const std::vector<Answer> placing = ask(*v);
    release.set_value();
    ASSERT_TRUE(v->settle(kSettleMs));
    EXPECT_EQ(placing, ask(*v));
    EXPECT_TRUE(std::get<0>(placing[0]) && std::get<0>(placing[4]));
    EXPECT_EQ(std::make_pair(std::get<1>(placing[3]), std::get<1>(placing[5])),
              std::make_pair(DWORD(ERROR_INSUFFICIENT_BUFFER), DWORD(ERROR_INSUFFICIENT_BUFFER)));

    const USN tableEnd = query(*v).NextUsn;
    v.reset();
    writeFile(k.root + "/n", 2);
    v = k.open();
    ASSERT_TRUE(v && v->resumed());
    const auto request = TestSupport::readRequest(query(*v).UsnJournalID, tableEnd, 4096, 0);
    auto read = std::async(std::launch::async, [&] { return TestSupport::readJournal(*v, request); });
    const bool returned = read.wait_for(std::chrono::milliseconds(kSettleMs)) == std::future_status::ready;
    if (!returned)
        v->cancelIo();
    const TestSupport::JournalRead got = read.get();
    EXPECT_TRUE(returned);
    std::set<std::string> names;
    for (const TestSupport::UsnRec& u : got.records)
        names.insert(liveNameFromUtf16(u.name));
    EXPECT_EQ(names, std::set<std::string>{"n"});
}
