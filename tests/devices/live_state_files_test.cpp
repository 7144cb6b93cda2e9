// The live volume's state files. The journal file: what is appended loads
// back byte for byte; the oldest records go past MaximumSize +
// AllocationDelta; a kill at any byte of a write leaves every finished
// append; damaged files are refused. The identity table: a kill at any byte
// leaves the old table or the new one; damaged tables are refused.
#include "devices/live/ZLiveIdentitySnapshot.h"
#include "devices/live/ZLiveJournalLog.h"
#include "ntfs/ZUsnRecordWriter.h"
#include "support/TestEnvironment.h"
#include "support/ZLiveDifferential.h"

#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

using namespace Platform;

namespace {

constexpr ULONGLONG kDevice = 0x800000001ull;
constexpr ULONGLONG kRootInode = 1234;
constexpr DWORDLONG kJournalId = 0x1D9ABCDEF0123456ull;
constexpr USN kFirstUsn = 0x10000;
const ZLiveJournalLog::Limits kRoomy{1u << 20, 1u << 16};

// A record named name<i> at usn.
std::vector<BYTE> makeRecord(int i, USN usn)
{
    const std::u16string name = u"file" + std::u16string(size_t(i % 7), u'x') + char16_t(u'0' + i % 10);
    Ntfs::UsnRecordFields f;
    f.fileReference = (ULONGLONG(1) << 48) | DWORD(16 + i);
    f.parentReference = (ULONGLONG(5) << 48) | 5;
    f.usn = usn;
    f.reason = USN_REASON_FILE_CREATE;
    f.name = reinterpret_cast<const WCHAR*>(name.data());
    f.nameLength = name.size();
    std::vector<BYTE> out(Ntfs::usnRecordV2Length(name.size()));
    Ntfs::writeUsnRecordV2(out.data(), f);
    return out;
}

// Appends count records after the journal's end; returns them back to back.
std::vector<BYTE> appendRecords(ZLiveJournalLog& log, int count, int from = 0)
{
    std::vector<BYTE> all;
    for (int i = from; i < from + count; ++i) {
        const std::vector<BYTE> r = makeRecord(i, log.nextUsn());
        if (!log.append(reinterpret_cast<const USN_RECORD_V2*>(r.data())))
            break;
        all.insert(all.end(), r.begin(), r.end());
    }
    return all;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

class LiveJournalLog : public ::testing::Test {
protected:
    QString path = TestSupport::freshDir(QStringLiteral("live_journal_log")) + QStringLiteral("/journal.dat");
    void makeJournal(int records, std::vector<BYTE>* written = nullptr)
    {
        ZLiveJournalLog log;
        QString error;
        ASSERT_TRUE(log.create(path, {kDevice, kRootInode, kJournalId}, kFirstUsn, kRoomy, &error)) << error.toStdString();
        const std::vector<BYTE> all = appendRecords(log, records);
        if (written)
            *written = all;
    }
};

// What is appended loads back with the journal's identity, and appends go on
// after a load. Past MaximumSize + AllocationDelta the oldest records go and
// FirstUsn moves on: what is held is the newest part of what was written, and
// the file says the same.
TEST_F(LiveJournalLog, AppendedRecordsLoadBackAndTheOldestGoPastMaximumSize)
{
    std::vector<BYTE> written;
    makeJournal(50, &written);
    ZLiveJournalLog log;
    QString reason;
    ASSERT_TRUE(log.load(path, kDevice, kRootInode, kRoomy, &reason)) << reason.toStdString();
    EXPECT_EQ(std::make_tuple(log.identity().journalId, log.firstUsn(), log.nextUsn(), log.records()),
              std::make_tuple(kJournalId, kFirstUsn, kFirstUsn + USN(written.size()), written));
    const std::vector<BYTE> more = appendRecords(log, 3, 50);
    ZLiveJournalLog again;
    ASSERT_TRUE(again.load(path, kDevice, kRootInode, kRoomy, &reason));
    written.insert(written.end(), more.begin(), more.end());
    EXPECT_EQ(again.records(), written);

    const QString bounded = path + QStringLiteral(".small");
    const ZLiveJournalLog::Limits small{4096, 1024};
    ZLiveJournalLog full;
    ASSERT_TRUE(full.create(bounded, {kDevice, kRootInode, kJournalId}, kFirstUsn, small, nullptr));
    const std::vector<BYTE> all = appendRecords(full, 400);
    EXPECT_GT(full.firstUsn(), kFirstUsn);
    EXPECT_LE(ULONGLONG(full.nextUsn() - full.firstUsn()), small.maximumSize + small.allocationDelta);
    const std::vector<BYTE>& held = full.records();
    ASSERT_LE(held.size(), all.size());
    EXPECT_TRUE(std::equal(held.begin(), held.end(), all.end() - long(held.size())));
    ZLiveJournalLog loaded;
    ASSERT_TRUE(loaded.load(bounded, kDevice, kRootInode, small, nullptr));
    EXPECT_EQ(std::make_tuple(loaded.firstUsn(), loaded.nextUsn(), loaded.records()),
              std::make_tuple(full.firstUsn(), full.nextUsn(), held));
}

// A kill after any number of bytes of any write (appends, the rewrites that
// drop old records): the next load holds every record whose append
// returned, as written, and nothing that was not written.
TEST_F(LiveJournalLog, KillAtAnyByteLeavesEveryFinishedAppend)
{
    const ZLiveJournalLog::Limits small{2048, 512};
    constexpr int kRecords = 100;
    std::vector<BYTE> stream;   // the records in the order they are appended
    for (int i = 0; i < kRecords; ++i) {
        const std::vector<BYTE> r = makeRecord(i, kFirstUsn + USN(stream.size()));
        stream.insert(stream.end(), r.begin(), r.end());
    }
    for (size_t killAt = 0; killAt < 7000; killAt += 29) {
        SCOPED_TRACE(killAt);
        QFile::remove(path);
        ZLiveJournalLog log;
        log.setWriteFault(LiveDifferential::killAfter(killAt));
        size_t finished = 0;
        if (log.create(path, {kDevice, kRootInode, kJournalId}, kFirstUsn, small, nullptr))
            finished = appendRecords(log, kRecords).size();
        ZLiveJournalLog loaded;
        QString reason;
        if (!loaded.load(path, kDevice, kRootInode, small, &reason)) {
            EXPECT_EQ(finished, 0u) << reason.toStdString();   // only before the first header landed
            continue;
        }
        const size_t from = size_t(loaded.firstUsn() - kFirstUsn);
        const size_t to = size_t(loaded.nextUsn() - kFirstUsn);
        ASSERT_LE(from, to);
        ASSERT_LE(to, stream.size());
        EXPECT_GE(to, finished);
        ASSERT_EQ(loaded.records().size(), to - from);
        EXPECT_TRUE(std::equal(loaded.records().begin(), loaded.records().end(), stream.begin() + long(from)));
    }
}

TEST_F(LiveJournalLog, DamagedFilesAreRefusedWithAReasonAndTornTailsCutOff)
{
    std::vector<BYTE> written;
    makeJournal(20, &written);
    const QByteArray good = readAll(path);
    const int header = int(sizeof(ZLiveJournalLog::FileHeader));
    int lastRecord = 0;
    for (size_t at = 0; at < written.size(); at += size_t(lastRecord))
        lastRecord = int(reinterpret_cast<const USN_RECORD_V2*>(written.data() + at)->RecordLength);
    struct Case {
        const char* what;
        std::function<QByteArray(QByteArray)> damage;
        bool loads;       // a torn tail: loads, without the last record
    };
    auto flip = [](int at) { return [at](QByteArray b) { b[at] = char(b[at] ^ 0x10); return b; }; };
    const Case cases[] = {
        {"empty", [](QByteArray) { return QByteArray(); }, false},
        {"inside the header", [&](QByteArray b) { return b.left(header - 3); }, false},
        {"magic", flip(1), false},
        {"header bit", flip(20), false},
        {"other version", [&](QByteArray b) { b[8] = 1; return b; }, false},
        {"frame inside the file", flip(header + 8 + 30), false},
        {"hostile length inside", [&](QByteArray b) { b[header + 2] = char(0x7f); return b; }, false},
        {"last frame torn", [&](QByteArray b) { return b.left(b.size() - 5); }, true},
        {"last frame head torn", [&](QByteArray b) { return b.left(b.size() - lastRecord - 4); }, true},
        {"last frame bit", flip(good.size() - 9), true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeAll(path, c.damage(good));
        ZLiveJournalLog log;
        QString reason;
        const bool loaded = log.load(path, kDevice, kRootInode, kRoomy, &reason);
        ASSERT_EQ(loaded, c.loads) << reason.toStdString();
        if (loaded) {
            EXPECT_LT(log.records().size(), written.size());
            EXPECT_TRUE(std::equal(log.records().begin(), log.records().end(), written.begin()));
        } else {
            EXPECT_FALSE(reason.isEmpty());
        }
    }
    // Another tree's journal is refused too: another root inode, or the same
    // inode under another path or root birth time (its tag).
    writeAll(path, good);
    for (const auto& [inode, tag] : {std::pair<ULONGLONG, DWORD>{kRootInode + 1, 0}, {kRootInode, 1}}) {
        ZLiveJournalLog other;
        QString reason;
        EXPECT_FALSE(other.load(path, kDevice, inode, kRoomy, &reason, tag));
        EXPECT_TRUE(reason.contains(QStringLiteral("another tree")));
    }
}

ZLiveIdentitySnapshot::Table makeTable(int entries, USN usn)
{
    ZLiveIdentitySnapshot::Table t;
    t.rootDevice = kDevice;
    t.rootInode = kRootInode;
    t.journalId = kJournalId;
    t.usn = usn;
    for (int i = 0; i < entries; ++i)
        t.entries.push_back({DWORD(16 + i), WORD(1 + i % 3), WORD(i % 5 ? 0 : ZLiveIdentitySnapshot::kFolder),
                             ULONGLONG(1000 + i), DWORD(i % 5 ? 16 + i / 5 * 5 : 5), "name " + std::to_string(i),
                             DWORD(0x20 | i), ULONGLONG(7 * i), ULONGLONG(i), ULONGLONG(2 * i), ULONGLONG(3 * i)});
    return t;
}

bool sameTable(const ZLiveIdentitySnapshot::Image& a, const ZLiveIdentitySnapshot::Table& b)
{
    const auto fields = [](const ZLiveIdentitySnapshot::Entry& e) {
        return std::tie(e.record, e.sequence, e.flags, e.inode, e.parent, e.name, e.attributes, e.size, e.creationTime,
                        e.lastWriteTime, e.changeTime);
    };
    bool same = a.journalId == b.journalId && a.usn == b.usn && a.size() == b.entries.size();
    for (size_t i = 0; same && i < a.size(); ++i)
        same = fields(a.entry(i)) == fields(b.entries[i]);
    return same;
}

TEST(LiveIdentitySnapshot, KillAtAnyByteLeavesTheOldTableOrTheNew)
{
    const QString path = TestSupport::freshDir(QStringLiteral("live_identity_kill")) + QStringLiteral("/ids.dat");
    const auto oldTable = makeTable(10, 800);
    const auto newTable = makeTable(12, 1600);
    // The budget runs down over every write of the file (it is written in
    // pieces, its header again last): the new table only once all are written.
    size_t newBytes = 0;
    ASSERT_TRUE(ZLiveIdentitySnapshot::write(path, newTable, nullptr, [&](size_t bytes) {
        newBytes += bytes;
        return bytes;
    }));
    std::vector<size_t> kills;
    for (size_t k = 0; k < newBytes; k += 13)
        kills.push_back(k);
    kills.push_back(newBytes);
    for (size_t killAt : kills) {
        SCOPED_TRACE(killAt);
        ASSERT_TRUE(ZLiveIdentitySnapshot::write(path, oldTable, nullptr));
        ZLiveIdentitySnapshot::write(path, newTable, nullptr, LiveDifferential::killAfter(killAt));
        ZLiveIdentitySnapshot::Image got;
        QString reason;
        ASSERT_TRUE(ZLiveIdentitySnapshot::read(path, kDevice, kRootInode, got, &reason)) << reason.toStdString();
        EXPECT_TRUE(sameTable(got, killAt >= newBytes ? newTable : oldTable));
    }
}

TEST(LiveIdentitySnapshot, DamagedOrForeignTablesAreRefusedWithAReason)
{
    const QString path = TestSupport::freshDir(QStringLiteral("live_identity_damage")) + QStringLiteral("/ids.dat");
    const auto table = makeTable(8, 400);
    // A name holding a slash, written with consistent checksums.
    auto hostile = table;
    hostile.entries[3].name = "a/b";
    ASSERT_TRUE(ZLiveIdentitySnapshot::write(path, hostile, nullptr));
    const QByteArray slashed = readAll(path);
    ASSERT_TRUE(ZLiveIdentitySnapshot::write(path, table, nullptr));
    const QByteArray good = readAll(path);
    const int header = int(sizeof(ZLiveIdentitySnapshot::FileHeader));
    auto flip = [](int at) { return [at](QByteArray b) { b[at] = char(b[at] ^ 0x04); return b; }; };
    struct Case {
        const char* what;
        std::function<QByteArray(QByteArray)> damage;
    };
    const Case cases[] = {
        {"truncated", [](QByteArray b) { return b.left(b.size() - 3); }},
        {"header only", [&](QByteArray b) { return b.left(header); }},
        {"header bit", flip(30)},
        {"entry bit", flip(header + 9)},
        {"name bit", flip(good.size() - 1)},
        {"other version", [](QByteArray b) { b[8] = 9; return b; }},
        {"bytes after", [](QByteArray b) { return b + QByteArray(4, '\0'); }},
        {"name holding a slash", [&](QByteArray) { return slashed; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        writeAll(path, c.damage(good));
        ZLiveIdentitySnapshot::Image got;
        QString reason;
        EXPECT_FALSE(ZLiveIdentitySnapshot::read(path, kDevice, kRootInode, got, &reason));
        EXPECT_FALSE(reason.isEmpty());
        EXPECT_EQ(got.size(), 0u);
    }
    // Another tree's table is refused; the sound one reads back whole.
    writeAll(path, good);
    ZLiveIdentitySnapshot::Image got;
    QString reason;
    EXPECT_FALSE(ZLiveIdentitySnapshot::read(path, kDevice, kRootInode + 1, got, &reason));
    EXPECT_TRUE(reason.contains(QStringLiteral("another tree")));
    EXPECT_TRUE(ZLiveIdentitySnapshot::read(path, kDevice, kRootInode, got, &reason));
    EXPECT_TRUE(sameTable(got, table));
}

} // namespace
