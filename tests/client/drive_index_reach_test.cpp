// What another user is shown of an index: the names under folders they may
// pass through that are still at their paths, nothing under one they may
// not, and nothing at all of a
// drive that has no root on disk to judge by (a drive made in code, or one
// the published drive list does not name, as after its link was removed).
// The index is read in a child whose real user is nobody (its effective
// user stays root, as the setgid command keeps the group while it reads).
#include "client/ZDriveIndex.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QUuid>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

using namespace SearchEngine;

namespace {

constexpr DWORD kRoot = 5;
constexpr uid_t kNobody = 65534;

struct Row {
    const char* what;
    ZPublishedDrive::Kind kind;
    bool asNobody;
    bool pathsNeeded;
    QList<QByteArray> expected;   // paths below the root ("" root for Other drives); counted when no paths
};

// The hits of "secret" in a child with the given real user, one per line.
QByteArray hitsInChild(const QString& poolName, int pieces, const ZPublishedDrive& published, const Row& row)
{
    int out[2];
    if (::pipe(out) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        ::close(out[0]);
        if (row.asNobody && setresuid(kNobody, 0, 0) != 0)
            _exit(3);
        ZDriveIndex index('C', poolName, SegmentOwner{0, 0}, published);
        if (!index.attach(pieces))
            _exit(2);
        ZSearchQuery query;
        query.pathsNeeded = row.pathsNeeded;
        const std::vector<ZNameMatcher> matchers{ZNameMatcher(QStringLiteral("secret"), false, false)};
        QByteArray found;
        const qint64 given = index.search(matchers, query, -1, [&](const ZSearchHit& h) {
            found += (row.pathsNeeded ? h.path : QByteArray("hit")) + '\n';
            return true;
        });
        found += "given " + QByteArray::number(given) + '\n';
        _exit(::write(out[1], found.constData(), size_t(found.size())) == found.size() ? 0 : 4);
    }
    ::close(out[1]);
    QFile in;
    in.open(out[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray found = in.readAll();
    int status = -1;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? found : "failed: " + QByteArray::number(status);
}

} // namespace

TEST(DriveIndexReach, AnotherUserSeesOnlyWhatTheyMayReachAndNothingOfADriveWithoutARoot)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another real user needs root";
    // Nobody may pass through the private folders to the tree.
    ::chmod(QFile::encodeName(TestSupport::testRoot()).constData(), 0711);
    const QString tree = TestSupport::freshDir(QStringLiteral("reach"));
    ::chmod(QFile::encodeName(QFileInfo(tree).absolutePath()).constData(), 0711);
    const QByteArray root = QFile::encodeName(tree);
    ASSERT_EQ(::mkdir(root + "/open", 0755), 0);
    ASSERT_EQ(::mkdir(root + "/closed", 0700), 0);
    ASSERT_EQ(::mkdir(root + "/listless", 0711), 0);   // passable, but its names cannot be listed
    // "swapped" stands for a private folder that a user who may write to
    // its parent moved away and replaced with an open one of their own: the
    // index still names the private one's contents under it.
    ASSERT_EQ(::mkdir(root + "/swapped", 0755), 0);
    for (const char* name : {"/open/a-secret.txt", "/closed/b-secret.txt", "/top-secret.txt", "/listless/e-secret.txt"})
        ::close(::open(root + name, O_WRONLY | O_CREAT, 0644));

    const QString poolName = QUuid::createUuid().toString();
    ZSharedPool pool{poolName, 'C'};
    auto add = [&](DWORD record, DWORD parent, const QString& name, DWORD attributes) {
        ZItemName n;
        ASSERT_TRUE(makeItemName(name, &n));
        const ZItemFields f{record, parent, attributes, 0, 0, 0, n.signature, 0, 0};
        ASSERT_TRUE(createItem(pool.allocate(n.slotCount()), f, n));
    };
    add(10, kRoot, QStringLiteral("open"), FILE_ATTRIBUTE_DIRECTORY);
    add(11, kRoot, QStringLiteral("closed"), FILE_ATTRIBUTE_DIRECTORY);
    add(100, 10, QStringLiteral("a-secret.txt"), 0);
    add(101, 11, QStringLiteral("b-secret.txt"), 0);
    add(102, kRoot, QStringLiteral("top-secret.txt"), 0);
    add(12, kRoot, QStringLiteral("listless"), FILE_ATTRIBUTE_DIRECTORY);
    add(105, 12, QStringLiteral("e-secret.txt"), 0);
    add(13, kRoot, QStringLiteral("swapped"), FILE_ATTRIBUTE_DIRECTORY);
    add(106, 13, QStringLiteral("f-secret.txt"), 0);
    // Two folders each under the other, as a folder table read while one
    // is moved out of the other and that one into it can hold them: what
    // lies in them is reachable by no path.
    add(20, 21, QStringLiteral("loop-a"), FILE_ATTRIBUTE_DIRECTORY);
    add(21, 20, QStringLiteral("loop-b"), FILE_ATTRIBUTE_DIRECTORY);
    add(103, 20, QStringLiteral("c-secret.txt"), 0);
    // Folders nested deeper than any stack would hold a call per folder
    // above, and a name at the bottom: no path to it is given, nor may it be
    // counted for one who cannot reach it.
    constexpr DWORD kDeepFirst = 1000;
    constexpr DWORD kDeepFolders = 200000;
    for (DWORD r = kDeepFirst; r < kDeepFirst + kDeepFolders; ++r)
        add(r, r == kDeepFirst ? kRoot : r - 1, QStringLiteral("d"), FILE_ATTRIBUTE_DIRECTORY);
    add(104, kDeepFirst + kDeepFolders - 1, QStringLiteral("deep-secret.txt"), 0);

    // Root is shown the looped and the deep name when only counting (no path is needed).
    const QList<QByteArray> all{"/closed/b-secret.txt", "/listless/e-secret.txt", "/open/a-secret.txt",
                                "/swapped/f-secret.txt", "/top-secret.txt"};
    const QList<QByteArray> allCounted = all + QList<QByteArray>{"loop", "deep"};
    const QList<QByteArray> reachable{"/open/a-secret.txt", "/top-secret.txt"};
    const Row rows[] = {
        {"root, a directory drive", ZPublishedDrive::Directory, false, true, all},
        {"root, a drive without a root", ZPublishedDrive::Other, false, true, all},
        {"root, a directory drive, counted", ZPublishedDrive::Directory, false, false, allCounted},
        {"nobody, a directory drive", ZPublishedDrive::Directory, true, true, reachable},
        {"nobody, a directory drive, counted", ZPublishedDrive::Directory, true, false, reachable},
        {"nobody, a drive without a root", ZPublishedDrive::Other, true, true, {}},
        {"nobody, a drive without a root, counted", ZPublishedDrive::Other, true, false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const ZPublishedDrive published{row.kind, row.kind == ZPublishedDrive::Other ? QByteArray() : root};
        const QByteArray prefix = row.kind == ZPublishedDrive::Other ? QByteArray("C:") : root;
        QList<QByteArray> want{"given " + QByteArray::number(row.expected.size())};
        for (QByteArray path : row.expected)
            want << (!row.pathsNeeded ? QByteArray("hit")
                     : prefix + (row.kind == ZPublishedDrive::Other ? path.replace('/', '\\') : path));
        const QByteArray found = hitsInChild(poolName, pool.pieceCount(), published, row);
        QList<QByteArray> got = found.split('\n');   // hits come in slot order: compared as sets
        got.removeAll(QByteArray());
        std::sort(got.begin(), got.end());
        std::sort(want.begin(), want.end());
        EXPECT_EQ(got, want) << found.constData();
    }
}
