// Journal monitoring: the read request, the reason filter, the failure rules (retry,
// give up, report, quit reason, log, listenFailed), the stop test, malformed batches.
// A scripted device gives exact answers.
#include "volume/ZDriveVolume.h"

#include "frame/ZSettings.h"
#include "win32/ZClock.h"
#include "platform/ZDriveTable.h"
#include "platform/windows.h"
#include "support/TestEnvironment.h"
#include "support/ZServiceTestKit.h"
#include "support/ZStoppingClock.h"
#include "support/ZLogLines.h"
#include "support/ZTelemetryStandIn.h"
#include "support/ZUsnRecordBuild.h"

#include <QFile>

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <tuple>

using namespace SearchEngine;

namespace {

constexpr DWORD kRoot = 5;
constexpr DWORDLONG kJournalId = 0x1D0C0FFEE;
constexpr WORD kSequence = 7;   // every reference's sequence number, above its record number
constexpr DWORD kCreate = USN_REASON_FILE_CREATE;
constexpr int kUnrelatedQuitReason = (87 << 16) | 'Q';

// A record of a file in the root.
std::vector<BYTE> usnRecord(DWORD recordNumber, DWORD reasons, const std::u16string& name, USN usn)
{
    return TestSupport::usnRecordBytes(recordNumber, kRoot, name, reasons, usn, kSequence);
}

// One answer of FSCTL_READ_USN_JOURNAL: next USN, then the records.
std::vector<BYTE> batch(USN nextUsn, const std::vector<std::vector<BYTE>>& records = {})
{
    std::vector<BYTE> out(reinterpret_cast<const BYTE*>(&nextUsn), reinterpret_cast<const BYTE*>(&nextUsn + 1));
    for (const auto& r : records)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

BOOL failWith(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Answers journal reads from a script; when it has run out, the volume is
// being stopped: it sets the stop flag and fails the read.
class ScriptedJournalDevice : public Platform::ZVolumeDevice {
public:
    struct Answer {
        DWORD error;
        std::vector<BYTE> bytes;
        DWORD claimedBytes;   // non-zero: the byte count reported instead of bytes.size()
    };
    std::deque<Answer> answers;
    std::vector<READ_USN_JOURNAL_DATA_V1> requests;
    DWORD lastInSize = 0, lastOutSize = 0;
    std::atomic<bool>* stopFlag = nullptr;

    bool volumeInformation(Platform::VolumeInformation& info) override
    {
        info.fileSystemName = u"NTFS";
        return true;
    }
    BOOL deviceIoControl(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* bytesReturned) override
    {
        if (code != FSCTL_READ_USN_JOURNAL || inSize < sizeof(READ_USN_JOURNAL_DATA_V1))
            return failWith(ERROR_INVALID_FUNCTION);
        requests.emplace_back();
        memcpy(&requests.back(), in, sizeof(READ_USN_JOURNAL_DATA_V1));
        lastInSize = inSize;
        lastOutSize = outSize;
        if (answers.empty()) {
            stopFlag->store(true);
            return failWith(ERROR_OPERATION_ABORTED);
        }
        const Answer a = answers.front();
        answers.pop_front();
        if (a.error != ERROR_SUCCESS)
            return failWith(a.error);
        const DWORD n = std::min<DWORD>(DWORD(a.bytes.size()), outSize);
        memcpy(out, a.bytes.data(), n);
        *bytesReturned = a.claimedBytes ? a.claimedBytes : n;
        return TRUE;
    }
    BOOL read(ULONGLONG, void*, DWORD, DWORD*) override { return failWith(ERROR_INVALID_FUNCTION); }
    void fail(DWORD error) { answers.push_back({error, {}, 0}); }
    void answer(std::vector<BYTE> bytes, DWORD claimed = 0) { answers.push_back({ERROR_SUCCESS, std::move(bytes), claimed}); }
    std::vector<USN> starts() const
    {
        std::vector<USN> out;
        for (const auto& r : requests)
            out.push_back(r.StartUsn);
        return out;
    }
};

// What the consumer was given: record number, reasons, name, USN.
using ConsumerCall = std::tuple<DWORD, DWORD, std::u16string, USN>;

const QString kTallyLog = QStringLiteral("tally-journal.log");

// The caller-filled fields of the first report since the last reset (the rest are telemetry's own).
std::vector<std::string> firstReportHead()
{
    std::vector<std::string> lines;
    for (const std::string& written : TelemetryStandIn::logLines(kTallyLog)) {
        const QByteArray l = QByteArray::fromStdString(written).trimmed();
        if (lines.size() < 6 && (l.startsWith("int ") || l.startsWith("string ")))
            lines.push_back(l.toStdString());
    }
    return lines;
}

class JournalMonitorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { TelemetryStandIn::install(kTallyLog); }
    void SetUp() override
    {
        Platform::setClock(&clock);
        TelemetryStandIn::useLog(kTallyLog);
    }
    void TearDown() override
    {
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(letter);
        Platform::setClock(nullptr);
    }

    // A fresh volume on drive `l` over a scripted device; nothing reported yet, an unrelated quit reason.
    std::shared_ptr<ScriptedJournalDevice> scripted(char16_t l, USN nextUsn = 0x10000)
    {
        calls.clear();
        listenFailures.clear();
        QFile::remove(TelemetryStandIn::logPath(kTallyLog));
        settingsSetValue(QStringLiteral("SearchServiceQuitReason"), kUnrelatedQuitReason);
        letter = l;
        auto device = std::make_shared<ScriptedJournalDevice>();
        Platform::ZDriveTable::instance().setDrive(letter, device);
        volume.reset(new ZDriveVolume(letter));
        const char16_t path[] = {u'\\', u'\\', u'.', u'\\', letter, u':', 0};
        volume->volumeHandle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(volume->volumeHandle, INVALID_HANDLE_VALUE);
        device->stopFlag = clock.stop = &volume->stopRequested;
        volume->journalData.UsnJournalID = kJournalId;
        volume->journalData.NextUsn = nextUsn;
        QObject::connect(volume.get(), &ZDriveVolume::listenFailed, volume.get(),
                         [this](DWORD reason) { listenFailures.push_back(reason); }, Qt::DirectConnection);
        return device;
    }
    ZDriveVolume::MonitorEnd monitor(USN startUsn)
    {
        return volume->monitorUsnJournal(startUsn, [this](USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons) {
            const auto* name =
                reinterpret_cast<const char16_t*>(reinterpret_cast<const BYTE*>(rec) + rec->FileNameOffset);
            calls.emplace_back(recordNumber, reasons, std::u16string(name, rec->FileNameLength / 2), rec->Usn);
        });
    }

    TestSupport::ZStoppingClock clock;   // stops at the first read that would wait
    char16_t letter = 0;
    std::unique_ptr<ZDriveVolume> volume;
    std::vector<DWORD> listenFailures;
    std::vector<ConsumerCall> calls;
};

} // namespace

// Start USN 0 is the journal's NextUsn; a given one is used as it is; a time-out (no records) reads on
// and a failed read (kCrc) is retried from the same position. Records written before the open are read
// without waiting for a full batch, until the position reaches the journal's end as it was then or a
// read moves nothing on. The end says where the records handed on end. A stop set on entry makes no read.
TEST_F(JournalMonitorTest, RequestCarriesTheReadValuesAndFollowsTheReturnedPosition)
{
    constexpr USN kCrc = -1, kTimeOut = -2;
    const struct {
        USN nextUsn, start;
        bool stopFirst;
        std::vector<USN> answers;                       // each batch's next USN
        std::vector<std::pair<USN, DWORDLONG>> reads;   // start, bytes to wait for
        USN end;
    } rows[] = {
        {0x4000, 0, false, {0x4100, kTimeOut, kCrc, 0x4200},
         {{0x4000, 4096}, {0x4100, 4096}, {0x4100, 4096}, {0x4100, 4096}, {0x4200, 4096}}, 0x4200},
        {0x9000, 0x1234, false, {}, {{0x1234, 0}}, 0x1234},
        {0x9000, 0x4000, false, {0x8000, 0x9000, 0x9100}, {{0x4000, 0}, {0x8000, 0}, {0x9000, 4096}, {0x9100, 4096}}, 0x9100},
        {0x9000, 0x4000, false, {0x4000}, {{0x4000, 0}, {0x4000, 4096}}, 0x4000},
        {0x9000, 0, true, {}, {}, 0x9000},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(&r - rows);
        auto device = scripted(u'E', r.nextUsn);
        USN position = r.nextUsn;
        for (USN next : r.answers) {
            if (next == kCrc)
                device->fail(ERROR_CRC);
            else
                device->answer(next == kTimeOut ? batch(position) : batch(position = next, {usnRecord(40, kCreate, u"a", 0x4000)}));
        }
        volume->stopRequested = r.stopFirst;
        const ZDriveVolume::MonitorEnd end = monitor(r.start);
        std::vector<std::pair<USN, DWORDLONG>> reads;
        for (const auto& q : device->requests) {
            reads.emplace_back(q.StartUsn, q.BytesToWaitFor);
            // All reasons of version 2 records, a 5 s time-out (-50,000,000 in 100 ns units).
            EXPECT_EQ(std::make_tuple(q.ReasonMask, q.ReturnOnlyOnClose, LONGLONG(q.Timeout), q.UsnJournalID,
                                      q.MinMajorVersion, q.MaxMajorVersion),
                      std::make_tuple(0xFFFFFFFFu, 0u, LONGLONG(-50000000), kJournalId, WORD(2), WORD(2)));
        }
        EXPECT_EQ(reads, r.reads);
        EXPECT_EQ(std::make_pair(end.position, end.stopped), std::make_pair(r.end, true));
        EXPECT_TRUE(reads.empty() || std::make_pair(device->lastInSize, device->lastOutSize) == std::make_pair(48u, 8200u));
    }
}

TEST_F(JournalMonitorTest, EachReasonIsPassedAtTheFirstRecordThatCarriesIt)
{
    auto device = scripted(u'E');
    const DWORD extend = USN_REASON_DATA_EXTEND, close = USN_REASON_CLOSE, info = USN_REASON_BASIC_INFO_CHANGE;
    // The record number is the low half of the reference, whatever the sequence bits.
    std::vector<BYTE> highBits = usnRecord(0, kCreate, u"x", 0x2f0);
    TestSupport::asUsnRecord(highBits)->FileReferenceNumber = 0x0001000200000009ull;
    device->answer(batch(0x200, {
        usnRecord(40, kCreate, u"new.txt", 0x100),
        usnRecord(40, kCreate | extend, u"new.txt", 0x140),
        usnRecord(41, info, u"other", 0x150),            // another file keeps its own reasons
        usnRecord(40, kCreate | extend | close, u"new.txt", 0x180),  // close: its data bits again
    }));
    device->answer(batch(0x300, {
        usnRecord(40, info, u"new.txt", 0x200),          // after the close: afresh
        usnRecord(40, info, u"new.txt", 0x240),          // same bits again: all of them
        usnRecord(40, extend, u"new.txt", 0x260),        // a bit gone: all of the new set
        usnRecord(40, extend | info | close, u"new.txt", 0x280),  // new bit and close together
        usnRecord(40, extend, u"new.txt", 0x2c0),        // the close forgot the file
        usnRecord(41, info | close, u"other", 0x2e0),    // close with nothing new
        highBits,
    }));
    monitor(0x100);
    const std::vector<ConsumerCall> want = {
        {40, kCreate, u"new.txt", 0x100}, {40, extend, u"new.txt", 0x140}, {41, info, u"other", 0x150},
        {40, extend, u"new.txt", 0x180}, {40, info, u"new.txt", 0x200},   {40, info, u"new.txt", 0x240},
        {40, extend, u"new.txt", 0x260}, {40, info | extend, u"new.txt", 0x280}, {40, extend, u"new.txt", 0x2c0},
        {9, kCreate, u"x", 0x2f0},
    };
    EXPECT_EQ(calls, want);
}

// Failed reads: invalid-parameter failures are retried after a 5 s pause up
// to three in a row (other errors neither count nor reset the run), and a
// stop cuts the pause short. The fourth, lost entries or a lost journal give
// up as a parameter error (the drive is rebuilt next start); not ready gives
// up at once and leaves the quit reason. Giving up logs, reports and tells.
TEST_F(JournalMonitorTest, FailedReadsAreRetriedOrGiveUp)
{
    const DWORD ip = ERROR_INVALID_PARAMETER, ok = ERROR_SUCCESS;
    const std::string failed = "72-Monitor Usn Failed : ", restart =
        "Listening Parameter Error, Try to Restart[LastUSN,CurrUSN]:[256,384]!";
    const struct {
        const char* what;
        std::vector<DWORD> errors;   // after one good read; ERROR_SUCCESS: another good read
        DWORD reported, requests;
        ULONGLONG waitedMs;
        std::vector<std::string> log;   // the ERROR lines
        ULONGLONG stopAfterMs = 0;
    } rows[] = {
        {"three in a row, twice", {ip, ip, ip, ok, ip, ip, ip, ok}, 0, 11, 6 * 5000, std::vector(6, failed + "87")},
        {"the fourth in a row", {ip, ip, ERROR_CRC, ip, ip}, 87, 6, 4 * 5000,
         {failed + "87", failed + "87", failed + "23", failed + "87", failed + "87", restart}},
        {"not ready", {ERROR_NOT_READY}, 21, 2, 0, {failed + "21", "Listening Parameter Error, drive not ready!!!"}},
        {"entries lost", {ERROR_JOURNAL_ENTRY_DELETED}, 87, 2, 0, {failed + "1181", restart}},
        {"journal lost", {ERROR_JOURNAL_NOT_ACTIVE}, 87, 2, 0, {failed + "1179", restart}},
        {"a stop in the pause", {ERROR_CRC}, 0, 2, 1000, {failed + "23"}, 1000},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        auto device = scripted(u'H');
        device->answer(batch(0x180));
        for (DWORD error : r.errors)
            error == ok ? device->answer(batch(0x180)) : device->fail(error);
        device->answer(batch(0x200));   // read only when the monitor goes on
        const ULONGLONG t0 = clock.tickMs();
        const qint64 logFrom = ServiceTestKit::logSize();
        clock.stopAt = r.stopAfterMs ? t0 + r.stopAfterMs : ~0ull;
        EXPECT_EQ(monitor(0x100).stopped, !r.reported);
        EXPECT_EQ(device->requests.size(), r.requests);
        EXPECT_EQ(clock.tickMs() - t0, r.waitedMs);   // no pause after the last failure
        EXPECT_EQ(listenFailures, r.reported ? std::vector<DWORD>{r.reported} : std::vector<DWORD>{});
        EXPECT_EQ(settingsValue(QStringLiteral("SearchServiceQuitReason"), 0).toInt(),
                  r.reported == 87 ? int((87 << 16) | 'H') : kUnrelatedQuitReason);
        const std::vector<std::string> report{"int dtype 6",     "int reason " + std::to_string(r.reported),
                                              "string drive H",  "int scanfiles 0",
                                              "int scansec 0",   "int updatecount " + std::to_string(r.requests)};
        EXPECT_EQ(firstReportHead(), r.reported ? report : std::vector<std::string>{});
        EXPECT_EQ(LogLines::threadErrorsSince(logFrom), r.log);
    }
}

TEST_F(JournalMonitorTest, AMalformedRecordEndsItsBatchWithoutReadingPastIt)
{
    const std::vector<std::pair<const char*, std::function<void(USN_RECORD_V2*)>>> cases = {
        {"zero length", [](USN_RECORD_V2* r) { r->RecordLength = 0; }},
        {"unaligned length", [](USN_RECORD_V2* r) { r->RecordLength -= 2; }},
        {"length past the batch", [](USN_RECORD_V2* r) { r->RecordLength = 0x7FFFFFF8; }},
        {"shorter than a header", [](USN_RECORD_V2* r) { r->RecordLength = 8; }},
        {"name past the record", [](USN_RECORD_V2* r) { r->FileNameLength = 400; }},
        {"name inside the header", [](USN_RECORD_V2* r) { r->FileNameOffset = 8; }},
        {"another major version", [](USN_RECORD_V2* r) { r->MajorVersion = 3; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        auto device = scripted(u'K');
        std::vector<BYTE> bad = usnRecord(51, kCreate, u"bad", 0x140);
        c.second(TestSupport::asUsnRecord(bad));
        device->answer(
            batch(0x200, {usnRecord(50, kCreate, u"good", 0x100), bad, usnRecord(52, kCreate, u"after", 0x180)}));
        device->answer(batch(0x300, {usnRecord(53, kCreate, u"next", 0x200)}));
        monitor(0x100);
        EXPECT_EQ(calls, (std::vector<ConsumerCall>{{50, kCreate, u"good", 0x100}, {53, kCreate, u"next", 0x200}}));
        EXPECT_EQ(device->starts(), (std::vector<USN>{0x100, 0x200, 0x300}));
    }

    // A truncated tail, an overstated byte count, an answer without a next USN.
    auto device = scripted(u'L');
    std::vector<BYTE> b =
        batch(0x200, {usnRecord(60, kCreate, u"whole", 0x100), usnRecord(61, kCreate, u"cut", 0x140)});
    b.resize(b.size() - 10);
    device->answer(b);
    device->answer(batch(0x300, {usnRecord(62, kCreate, u"x", 0x200)}), 20000);
    device->answer({1, 2, 3});
    const ULONGLONG t0 = clock.tickMs();
    monitor(0x100);
    EXPECT_EQ(calls, (std::vector<ConsumerCall>{{60, kCreate, u"whole", 0x100}, {62, kCreate, u"x", 0x200}}));
    // A short answer keeps the position and is asked again only after the
    // retry pause: a device that keeps answering so does not spin the thread.
    EXPECT_EQ(device->starts(), (std::vector<USN>{0x100, 0x200, 0x300, 0x300}));
    EXPECT_EQ(clock.tickMs() - t0, 5000u);
}
