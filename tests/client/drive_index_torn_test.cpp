// The scan in place while the writer frees, renames and recycles records
// under it: every hit, counted or printed, is a record as it was written,
// never one half-written or freed (names and fields follow from the record
// number and a generation, so a torn record shows).
#include "client/ZDriveIndex.h"
#include "storage/storage_probe_names.h"
#include "win32/ZClock.h"

#include <QRandomGenerator>
#include <QUuid>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unordered_map>

using namespace SearchEngine;
using namespace StorageProbe;

namespace {
constexpr DWORD kRoot = 5;
constexpr DWORD kRecords = 3000;
constexpr int kSearches = 60;
const QByteArray kPathPrefix("C:\\");
} // namespace

TEST(DriveIndexTorn, HitsAreWholeRecordsWhileTheWriterChangesThem)
{
    Platform::ZManualClock clock;
    Platform::setClock(&clock);
    const QString poolName = QUuid::createUuid().toString();
    ZSharedPool pool{poolName, 'C'};
    auto add = [&](DWORD record, DWORD generation, DWORD stamp) {
        ZItemName n;
        makeItemName(itemName(record, generation), &n);
        const ZItemFields f{record, kRoot, 0, fileSizeOf(record), 0, accessTimeOf(record), n.signature, 0, stamp};
        ZLockItem run = pool.allocate(n.slotCount());
        return createItem(run, f, n) ? run : ZLockItem();
    };
    std::unordered_map<DWORD, std::pair<ZLockItem, DWORD>> live;
    for (DWORD r = 10; r < 10 + kRecords; ++r)
        live[r] = {add(r, 0, 0), 0};

    ZDriveIndex index('C', poolName, SegmentOwner{geteuid(), 0}, ZPublishedDrive());
    ASSERT_TRUE(index.attach(1));
    std::atomic<bool> done{false};
    std::thread writer([&] {
        QRandomGenerator random(11);
        DWORD counter = 1;
        while (!done) {
            for (auto& entry : live) {
                if (random.bounded(4) != 0)
                    continue;
                ZItemName n;
                makeItemName(itemName(entry.first, entry.second.second + 1), &n);
                const ZItemFields f{entry.first, kRoot, 0, fileSizeOf(entry.first), 0, accessTimeOf(entry.first)};
                ZLockItem renamed = replaceItem(pool, entry.second.first, f, n, counter++);
                if (renamed)
                    entry.second = {renamed, entry.second.second + 1};
            }
            clock.advance(ULONGLONG(ZSharedPool::kReuseAgeSeconds) * 1000);   // freed runs are recycled at once
        }
    });
    const std::vector<ZNameMatcher> matchers{ZNameMatcher(QStringLiteral("_"), false, false)};
    qint64 counted = 0, printed = 0;
    for (int i = 0; i < kSearches; ++i) {
        ZSearchQuery query;
        query.nameOnly = true;
        query.pathsNeeded = i % 2 == 0;
        index.search(matchers, query, -1, [&](const ZSearchHit& hit) {
            ++(query.pathsNeeded ? printed : counted);
            if (!query.pathsNeeded)
                return true;
            EXPECT_TRUE(hit.path.startsWith(kPathPrefix)) << hit.path.constData();
            const QString name = QString::fromUtf8(hit.path.mid(kPathPrefix.size()));
            const QStringList parts = name.split(QLatin1Char('_'));
            EXPECT_TRUE(parts.size() == 3 && name == itemName(parts[0].toUInt(), parts[1].toUInt()))
                << hit.path.constData();
            return true;
        });
    }
    done = true;
    writer.join();
    Platform::setClock(nullptr);
    // Every record is live at every moment (a rename makes the new record
    // before it frees the old one); one search finds each at most twice.
    EXPECT_GT(counted, 0);
    EXPECT_GT(printed, 0);
    EXPECT_LE(printed, qint64(kSearches) * kRecords);
}
