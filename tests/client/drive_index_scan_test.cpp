// A pool of many pieces is scanned by several threads at once: what they
// find together is what a model of the pool holds, in piece order, with
// folders found by one thread giving paths and matches to files another
// thread found.
#include "client/ZDriveIndex.h"
#include "storage/ZItemStore.h"
#include "storage/ZSharedPool.h"

#include <QUuid>

#include <gtest/gtest.h>

#include <map>

using namespace SearchEngine;

namespace {
constexpr DWORD kRoot = 5;
constexpr DWORD kFolders = 8;
constexpr DWORD kFirstFile = 100;
constexpr int kPieces = 12;   // a few per thread on any machine with two cores or more
} // namespace

// Files of one folder side by side (read again by their runs) or strewn
// among others' (the second pass reads everything again).
class DriveIndexScan : public ::testing::TestWithParam<DWORD> {};
INSTANTIATE_TEST_SUITE_P(Layouts, DriveIndexScan, ::testing::Values(1, 1000));

TEST_P(DriveIndexScan, ThreadsTogetherFindWhatTheModelHolds)
{
    const DWORD side = GetParam();   // files in a row with one parent
    const QString poolName = QUuid::createUuid().toString();
    ZSharedPool pool{poolName, 'C'};
    std::map<QByteArray, bool> model;   // path -> is a folder
    auto add = [&](DWORD record, DWORD parent, const QString& name, DWORD attributes) {
        ZItemName n;
        ASSERT_TRUE(makeItemName(name, &n));
        const ZItemFields f{record, parent, attributes, 0, 0, 0, n.signature, 0, 0};
        ASSERT_TRUE(createItem(pool.allocate(n.slotCount()), f, n));
        const QByteArray folder = parent == kRoot ? QByteArray() : "/dir" + QByteArray::number(parent);
        model[folder + '/' + name.toUtf8()] = attributes != 0;
    };
    // The files first, the folders they lie in last: the folders are in the
    // last piece, so another thread than the files' finds them.
    DWORD record = kFirstFile;
    for (; pool.pieceCount() < kPieces; ++record)
        add(record, record / side % 3 ? kRoot : 10 + record / side % kFolders, QStringLiteral("f%1.txt").arg(record), 0);
    for (DWORD k = 0; k < kFolders; ++k)
        add(10 + k, kRoot, QStringLiteral("dir%1").arg(10 + k), FILE_ATTRIBUTE_DIRECTORY);

    ZDriveIndex index('C', poolName, SegmentOwner{geteuid(), 0}, ZPublishedDrive{ZPublishedDrive::Directory, "/"});
    index.setReachCheck(false);
    ASSERT_TRUE(index.attach(pool.pieceCount()));
    struct Case {
        const char* pattern;
        bool nameOnly, pathsNeeded;
    };
    const Case cases[] = {
        {"7.txt", true, false},   // counted in place
        {"7.txt", true, true},    // paths through the folder table
        {"dir13", false, true},   // a folder's match brings in what is under it
        {"/f1", false, true},     // the whole path, across the folder's separator
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pattern);
        std::vector<QByteArray> expected, found;
        for (const auto& entry : model)
            if ((c.nameOnly ? entry.first.mid(entry.first.lastIndexOf('/') + 1) : entry.first).contains(c.pattern))
                expected.push_back(entry.first);
        ZSearchQuery query;
        query.nameOnly = c.nameOnly;
        query.pathsNeeded = c.pathsNeeded;
        const std::vector<ZNameMatcher> matchers{ZNameMatcher(QString::fromUtf8(c.pattern), false, false)};
        quint64 lastRef = 0;
        const qint64 given = index.search(matchers, query, -1, [&](const ZSearchHit& hit) {
            EXPECT_GT(hit.itemRef, lastRef) << "hits come in piece and slot order";
            lastRef = hit.itemRef;
            found.push_back(hit.path);
            return true;
        });
        ASSERT_EQ(given, qint64(expected.size()));
        if (!c.pathsNeeded)
            continue;
        std::sort(found.begin(), found.end());
        EXPECT_EQ(found, expected);
    }
}
