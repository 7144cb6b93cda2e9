// Journal monitoring: the read request, the reason filter, the failure
// rules (retry, give up, report, quit reason, log, listenFailed), the stop
// test, and batches with malformed records. A scripted device gives exact
// answers; the emulated NTFS volume gives real journal records.
#include "volume/ZDriveVolume.h"

#include "frame/ZSettings.h"
#include "platform/ZDriveTable.h"
#include "platform/ZEmulatedNtfsVolume.h"
#include "platform/windows.h"
#include "support/TestEnvironment.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <tuple>

using namespace SearchEngine;

namespace {

constexpr DWORD kRoot = 5;
constexpr DWORDLONG kJournalId = 0x1D0C0FFEE;
constexpr ULONGLONG kSequence = 7ull << 48;   // sequence bits above the record number

std::vector<BYTE> usnRecord(DWORD recordNumber, DWORD reasons, const std::u16string& name, USN usn)
{
    const DWORD nameOffset = offsetof(USN_RECORD_V2, FileName);
    const DWORD nameBytes = DWORD(name.size() * sizeof(WCHAR));
    const DWORD length = (nameOffset + nameBytes + kUsnRecordAlignment - 1) & ~(kUsnRecordAlignment - 1);
    std::vector<BYTE> bytes(length, 0);
    USN_RECORD_V2 head{};
    head.RecordLength = length;
    head.MajorVersion = 2;
    head.FileReferenceNumber = kSequence | recordNumber;
    head.ParentFileReferenceNumber = kSequence | kRoot;
    head.Usn = usn;
    head.Reason = reasons;
    head.FileNameLength = WORD(nameBytes);
    head.FileNameOffset = WORD(nameOffset);
    memcpy(bytes.data(), &head, nameOffset);
    memcpy(bytes.data() + nameOffset, name.data(), nameBytes);
    return bytes;
}

// One answer of FSCTL_READ_USN_JOURNAL: next USN, then the records.
std::vector<BYTE> batch(USN nextUsn, const std::vector<std::vector<BYTE>>& records = {})
{
    std::vector<BYTE> out(sizeof(USN));
    memcpy(out.data(), &nextUsn, sizeof(USN));
    for (const auto& r : records)
        out.insert(out.end(), r.begin(), r.end());
    return out;
}

struct ReadAnswer {
    DWORD error;
    std::vector<BYTE> bytes;
    DWORD claimedBytes;   // non-zero: the byte count reported instead of bytes.size()
};

class ScriptedJournalDevice : public Platform::ZVolumeDevice {
public:
    std::deque<ReadAnswer> answers;
    std::vector<READ_USN_JOURNAL_DATA_V1> requests;
    DWORD lastInSize = 0, lastOutSize = 0;
    std::atomic<bool>* stopFlag = nullptr;   // set when the script has run out

    static BOOL failWith(DWORD error)
    {
        SetLastError(error);
        return FALSE;
    }

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
        READ_USN_JOURNAL_DATA_V1 request;
        memcpy(&request, in, sizeof request);
        requests.push_back(request);
        lastInSize = inSize;
        lastOutSize = outSize;
        if (answers.empty()) {   // nothing more to say: the volume is being stopped
            stopFlag->store(true);
            return failWith(ERROR_OPERATION_ABORTED);
        }
        const ReadAnswer a = answers.front();
        answers.pop_front();
        if (a.error != ERROR_SUCCESS)
            return SetLastError(a.error), FALSE;
        const DWORD n = std::min<DWORD>(DWORD(a.bytes.size()), outSize);
        memcpy(out, a.bytes.data(), n);
        *bytesReturned = a.claimedBytes ? a.claimedBytes : n;
        return TRUE;
    }
    BOOL read(ULONGLONG, void*, DWORD, DWORD*) override { return failWith(ERROR_INVALID_FUNCTION); }
    void fail(DWORD error) { answers.push_back({error, {}, 0}); }
    void answer(std::vector<BYTE> bytes, DWORD claimed = 0) { answers.push_back({ERROR_SUCCESS, std::move(bytes), claimed}); }
};

struct ConsumerCall {
    DWORD recordNumber;
    DWORD reasons;
    std::u16string name;
    USN usn;
    auto key() const { return std::tie(recordNumber, reasons, name, usn); }
    bool operator==(const ConsumerCall& o) const { return key() == o.key(); }
};

std::ostream& operator<<(std::ostream& os, const ConsumerCall& c)
{
    return os << "{" << c.recordNumber << ", 0x" << std::hex << c.reasons << std::dec << ", "
              << QString::fromStdU16String(c.name).toStdString() << ", " << c.usn << "}";
}

QString tallyLogPath()
{
    return TestSupport::testRoot() + QStringLiteral("/tally-journal.log");
}

// The caller-filled fields of the first report written since the last
// reset (the rest are telemetry's own).
std::vector<std::string> firstReportHead()
{
    std::vector<std::string> lines;
    QFile f(tallyLogPath());
    for (bool open = f.open(QIODevice::ReadOnly); open && !f.atEnd() && lines.size() < 6;) {
        const QByteArray l = f.readLine().trimmed();
        if (l.startsWith("int ") || l.startsWith("string "))
            lines.push_back(l.toStdString());
    }
    return lines;
}

// The ERROR lines this thread wrote to the log file(s) beside the executable.
std::vector<std::string> errorLinesOfThisThread()
{
    std::vector<std::string> out;
    const QString tid = QString::number(long(syscall(SYS_gettid)));
    QDir dir(Platform::executableFolder() + QStringLiteral("/log"));
    for (const QString& name : dir.entryList(QDir::Files)) {
        QFile f(dir.filePath(name));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        while (!f.atEnd()) {
            const QString l = QString::fromUtf8(f.readLine()).trimmed();
            // "[" thread id (padded) "|" time "|" severity "|" place "] " text
            const QString threadField = l.mid(1, l.indexOf(QLatin1Char('|')) - 1).trimmed();
            if (l.startsWith(QLatin1Char('[')) && threadField == tid && l.contains(QLatin1String("ERROR|")))
                out.push_back(l.mid(l.indexOf(QLatin1String("] ")) + 2).toStdString());
        }
    }
    return out;
}

class JournalMonitorTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // The recording stand-in of the telemetry library, under "ProgramPath".
        const QString program = TestSupport::freshDir(QStringLiteral("program"));
        QDir().mkpath(program + QStringLiteral("/operation/cas"));
        QFile::link(QStringLiteral(ZTALLY_TEST_PLUGIN), program + QStringLiteral("/operation/cas/libztally.so"));
        QSettings ini(Platform::registryHivePath(HKEY_LOCAL_MACHINE), QSettings::IniFormat);
        ini.setValue(Platform::registryGroup(QStringLiteral("SOFTWARE\\orvanta\\Antivirus")) + QStringLiteral("/ProgramPath"),
                     program);
        ini.sync();
    }

    void SetUp() override
    {
        Platform::setClock(&clock);
        QFile::remove(tallyLogPath());
        setenv("ZTALLY_TEST_LOG", QFile::encodeName(tallyLogPath()).constData(), 1);
        setenv("ZTALLY_TEST_MODE", "ok", 1);
        settingsSetValue(QStringLiteral("SearchServiceQuitReason"), kUnrelatedQuitReason);
    }
    void TearDown() override
    {
        volume.reset();
        Platform::ZDriveTable::instance().removeDrive(letter);
        Platform::setClock(nullptr);
    }

    // A fresh volume (and fresh records of what it reported) on drive `l`
    // over `device`, its journal as given.
    void openVolume(char16_t l, std::shared_ptr<Platform::ZVolumeDevice> device, USN firstUsn = 0,
                    USN nextUsn = 0x10000)
    {
        calls.clear();
        listenFailures.clear();
        QFile::remove(tallyLogPath());
        letter = l;
        Platform::ZDriveTable::instance().setDrive(letter, device);
        volume.reset(new ZDriveVolume(letter));
        const char16_t path[] = {u'\\', u'\\', u'.', u'\\', letter, u':', 0};
        volume->volumeHandle = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                           nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(volume->volumeHandle, INVALID_HANDLE_VALUE);
        volume->journalData.UsnJournalID = kJournalId;
        volume->journalData.FirstUsn = firstUsn;
        volume->journalData.NextUsn = nextUsn;
        QObject::connect(volume.get(), &ZDriveVolume::listenFailed, volume.get(),
                         [this](DWORD reason) { listenFailures.push_back(reason); }, Qt::DirectConnection);
    }

    std::shared_ptr<ScriptedJournalDevice> scripted(char16_t l, USN nextUsn = 0x10000)
    {
        auto device = std::make_shared<ScriptedJournalDevice>();
        openVolume(l, device, 0, nextUsn);
        device->stopFlag = &volume->stopRequested;
        return device;
    }

    std::shared_ptr<Platform::ZEmulatedNtfsVolume> emulated(char16_t l)
    {
        auto device = std::make_shared<Platform::ZEmulatedNtfsVolume>();
        device->setAutoClose(false);
        openVolume(l, device);
        volume->journalData = device->journalState().data;
        return device;
    }

    void monitor(USN startUsn)
    {
        volume->monitorUsnJournal(startUsn, [this](USN_RECORD_V2* rec, DWORD recordNumber, DWORD reasons) {
            std::lock_guard<std::mutex> g(callsLock);
            calls.push_back({recordNumber, reasons,
                             std::u16string(reinterpret_cast<const char16_t*>(
                                                reinterpret_cast<const BYTE*>(rec) + rec->FileNameOffset),
                                            rec->FileNameLength / 2),
                             rec->Usn});
        });
    }

    int quitReason() { return settingsValue(QStringLiteral("SearchServiceQuitReason"), 0).toInt(); }

    static constexpr int kUnrelatedQuitReason = (87 << 16) | 'Q';
    Platform::ZManualClock clock;
    char16_t letter = 0;
    std::unique_ptr<ZDriveVolume> volume;
    std::vector<DWORD> listenFailures;
    std::mutex callsLock;
    std::vector<ConsumerCall> calls;
};

std::vector<std::string> giveUpReport(char drive, int reason, int updatecount)
{
    return {"int dtype 6", "int reason " + std::to_string(reason), std::string("string drive ") + drive,
            "int scanfiles 0", "int scansec 0", "int updatecount " + std::to_string(updatecount)};
}

} // namespace

TEST_F(JournalMonitorTest, RequestCarriesTheReadValuesAndFollowsTheReturnedPosition)
{
    auto device = scripted(u'E', 0x4000);
    device->answer(batch(0x4100, {usnRecord(40, USN_REASON_FILE_CREATE, u"a", 0x4000)}));
    device->answer(batch(0x4100));   // a time-out: no records
    device->fail(ERROR_CRC);         // retried from the same position
    device->answer(batch(0x4200));
    monitor(0);
    ASSERT_EQ(device->requests.size(), 5u);
    // Start USN 0 is the journal's NextUsn; a 5 s time-out (-50,000,000 in 100 ns units) or 4,096 bytes.
    const READ_USN_JOURNAL_DATA_V1& r = device->requests[0];
    EXPECT_EQ(std::make_tuple(r.StartUsn, r.ReasonMask, r.ReturnOnlyOnClose, LONGLONG(r.Timeout), r.BytesToWaitFor,
                              r.UsnJournalID, r.MinMajorVersion, r.MaxMajorVersion),
              std::make_tuple(USN(0x4000), 0xFFFFFFFFu, 0u, LONGLONG(-50000000), DWORDLONG(4096), kJournalId, WORD(2),
                              WORD(2)));
    EXPECT_EQ(std::make_pair(device->lastInSize, device->lastOutSize), std::make_pair(48u, 8200u));
    const USN positions[] = {0x4100, 0x4100, 0x4100, 0x4200};
    for (size_t k = 0; k < 4; ++k)
        EXPECT_EQ(device->requests[k + 1].StartUsn, positions[k]) << k;
    EXPECT_EQ(calls, (std::vector<ConsumerCall>{{40, USN_REASON_FILE_CREATE, u"a", 0x4000}}));
    EXPECT_TRUE(listenFailures.empty());

    // A given start USN is used as it is; a stop set on entry makes no read.
    device = scripted(u'E', 0x9000);
    monitor(0x1234);
    ASSERT_EQ(device->requests.size(), 1u);
    EXPECT_EQ(device->requests[0].StartUsn, 0x1234);
    device = scripted(u'E');
    volume->stopRequested = true;
    monitor(0);
    EXPECT_TRUE(device->requests.empty());
    EXPECT_TRUE(listenFailures.empty());
}

TEST_F(JournalMonitorTest, EachReasonIsPassedAtTheFirstRecordThatCarriesIt)
{
    auto device = scripted(u'E');
    const DWORD create = USN_REASON_FILE_CREATE, extend = USN_REASON_DATA_EXTEND, close = USN_REASON_CLOSE;
    const DWORD info = USN_REASON_BASIC_INFO_CHANGE;
    // The record number is the low half of the reference, whatever the sequence bits.
    std::vector<BYTE> highBits = usnRecord(0, create, u"x", 0x2f0);
    reinterpret_cast<USN_RECORD_V2*>(highBits.data())->FileReferenceNumber = 0x0001000200000009ull;
    device->answer(batch(0x200, {
        usnRecord(40, create, u"new.txt", 0x100),
        usnRecord(40, create | extend, u"new.txt", 0x140),
        usnRecord(41, info, u"other", 0x150),            // another file keeps its own reasons
        usnRecord(40, create | extend | close, u"new.txt", 0x180),  // close: its data bits again
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
        {40, create, u"new.txt", 0x100}, {40, extend, u"new.txt", 0x140}, {41, info, u"other", 0x150},
        {40, extend, u"new.txt", 0x180}, {40, info, u"new.txt", 0x200},   {40, info, u"new.txt", 0x240},
        {40, extend, u"new.txt", 0x260}, {40, info | extend, u"new.txt", 0x280}, {40, extend, u"new.txt", 0x2c0},
        {9, create, u"x", 0x2f0},
    };
    EXPECT_EQ(calls, want);
}

// Invalid-parameter failures are retried after a 5 s pause up to three in a
// row (other errors neither count nor reset the run); the fourth gives up,
// logs, reports and asks for a rebuild of the drive.
TEST_F(JournalMonitorTest, InvalidParameterIsRetriedThreeTimesInARowThenGivesUp)
{
    auto device = scripted(u'F');
    for (int round = 0; round < 2; ++round) {
        for (int k = 0; k < 3; ++k)
            device->fail(ERROR_INVALID_PARAMETER);
        device->answer(batch(0x100));
    }
    ULONGLONG t0 = clock.tickMs();
    monitor(0x100);
    EXPECT_EQ(clock.tickMs() - t0, 6 * 5000u);
    EXPECT_TRUE(listenFailures.empty());
    EXPECT_TRUE(firstReportHead().empty());
    EXPECT_EQ(quitReason(), kUnrelatedQuitReason);
    EXPECT_EQ(device->requests.size(), 9u);

    device = scripted(u'F');
    for (DWORD error : {ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER, ERROR_CRC, ERROR_INVALID_PARAMETER,
                        ERROR_INVALID_PARAMETER})
        device->fail(error);
    monitor(0x100);
    EXPECT_EQ(listenFailures, std::vector<DWORD>{87});
    EXPECT_EQ(device->requests.size(), 5u);

    settingsSetValue(QStringLiteral("SearchServiceQuitReason"), kUnrelatedQuitReason);
    device = scripted(u'F');
    device->answer(batch(0x180));
    for (int k = 0; k < 4; ++k)
        device->fail(ERROR_INVALID_PARAMETER);
    device->answer(batch(0x200));   // never read
    t0 = clock.tickMs();
    monitor(0x100);
    EXPECT_EQ(listenFailures, std::vector<DWORD>{87});
    EXPECT_EQ(quitReason(), (87 << 16) | 'F');
    EXPECT_EQ(firstReportHead(), giveUpReport('F', 87, 5));
    EXPECT_EQ(device->requests.size(), 5u);
    EXPECT_EQ(clock.tickMs() - t0, 3 * 5000u);   // no pause after the last failure
    const std::vector<std::string> lines = errorLinesOfThisThread();
    const std::vector<std::string> tail(lines.end() - std::min<size_t>(lines.size(), 5), lines.end());
    const std::string failed = "70-Monitor Usn Failed : 87";
    EXPECT_EQ(tail, (std::vector<std::string>{failed, failed, failed, failed,
                                              "Listening Parameter Error, Try to Restart[LastUSN,CurrUSN]:[256,384]!"}));
}

// Not ready gives up at once and leaves the quit reason; lost entries or a
// lost journal give up as a parameter error, so that the drive is rebuilt.
TEST_F(JournalMonitorTest, ErrorsNoRetryCanHelpGiveUpAtOnce)
{
    const struct {
        DWORD error, reported;
        bool rebuild;
    } rows[] = {{ERROR_NOT_READY, 21, false}, {ERROR_JOURNAL_ENTRY_DELETED, 87, true},
                {ERROR_JOURNAL_NOT_ACTIVE, 87, true}};
    for (const auto& r : rows) {
        SCOPED_TRACE(r.error);
        settingsSetValue(QStringLiteral("SearchServiceQuitReason"), kUnrelatedQuitReason);
        auto device = scripted(u'H');
        device->answer(batch(0x100));
        device->fail(r.error);
        device->answer(batch(0x200));   // never read
        const ULONGLONG t0 = clock.tickMs();
        monitor(0x100);
        EXPECT_EQ(listenFailures, std::vector<DWORD>{r.reported});
        EXPECT_EQ(quitReason(), r.rebuild ? int((87 << 16) | 'H') : kUnrelatedQuitReason);
        EXPECT_EQ(firstReportHead(), giveUpReport('H', int(r.reported), 2));
        EXPECT_EQ(device->requests.size(), 2u);
        EXPECT_EQ(clock.tickMs(), t0);
        const std::vector<std::string> lines = errorLinesOfThisThread();
        if (r.error == ERROR_NOT_READY) {
            ASSERT_GE(lines.size(), 2u);
            EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
                      (std::vector<std::string>{"72-Monitor Usn Failed : 21",
                                                "Listening Parameter Error, drive not ready!!!"}));
        }
    }
}

TEST_F(JournalMonitorTest, AStopEndsTheMonitorQuietlyAndCutsTheRetryPauseShort)
{
    // The script ends: the device sets the stop flag and fails the read.
    auto device = scripted(u'J');
    monitor(0x100);
    EXPECT_TRUE(listenFailures.empty());
    EXPECT_TRUE(firstReportHead().empty());
    EXPECT_EQ(device->requests.size(), 1u);

    // A clock on which the stop arrives one second into the pause.
    struct StoppingClock : Platform::ZManualClock {
        std::atomic<bool>* stop = nullptr;
        ULONGLONG stopAt = 0;
        void sleepMs(DWORD ms) override
        {
            ZManualClock::sleepMs(ms);
            if (tickMs() >= stopAt)
                stop->store(true);
        }
    } stopping;
    device = scripted(u'J');
    device->fail(ERROR_CRC);
    device->answer(batch(0x200));   // never read
    stopping.stop = &volume->stopRequested;
    stopping.stopAt = stopping.tickMs() + 1000;
    Platform::setClock(&stopping);
    monitor(0x100);
    Platform::setClock(&clock);
    EXPECT_EQ(device->requests.size(), 1u);
    EXPECT_EQ(stopping.tickMs(), stopping.stopAt);
    EXPECT_TRUE(listenFailures.empty());
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
        std::vector<BYTE> bad = usnRecord(51, USN_REASON_FILE_CREATE, u"bad", 0x140);
        c.second(reinterpret_cast<USN_RECORD_V2*>(bad.data()));
        device->answer(batch(0x200, {usnRecord(50, USN_REASON_FILE_CREATE, u"good", 0x100), bad,
                                     usnRecord(52, USN_REASON_FILE_CREATE, u"after", 0x180)}));
        device->answer(batch(0x300, {usnRecord(53, USN_REASON_FILE_CREATE, u"next", 0x200)}));
        monitor(0x100);
        EXPECT_EQ(calls, (std::vector<ConsumerCall>{{50, USN_REASON_FILE_CREATE, u"good", 0x100},
                                                    {53, USN_REASON_FILE_CREATE, u"next", 0x200}}));
        ASSERT_EQ(device->requests.size(), 3u);
        EXPECT_EQ(device->requests[1].StartUsn, 0x200);
    }

    // A truncated tail, an overstated byte count, an answer without a next USN.
    auto device = scripted(u'L');
    std::vector<BYTE> b = batch(0x200, {usnRecord(60, USN_REASON_FILE_CREATE, u"whole", 0x100),
                                        usnRecord(61, USN_REASON_FILE_CREATE, u"cut", 0x140)});
    b.resize(b.size() - 10);
    device->answer(b);
    device->answer(batch(0x300, {usnRecord(62, USN_REASON_FILE_CREATE, u"x", 0x200)}), 20000);
    device->answer({1, 2, 3});
    monitor(0x100);
    EXPECT_EQ(calls, (std::vector<ConsumerCall>{{60, USN_REASON_FILE_CREATE, u"whole", 0x100},
                                                {62, USN_REASON_FILE_CREATE, u"x", 0x200}}));
    ASSERT_EQ(device->requests.size(), 4u);
    EXPECT_EQ(device->requests[3].StartUsn, 0x300);   // a short answer keeps the position
}

// On the emulated NTFS volume, with the monitor on a thread of its own.
class EmulatedJournalTest : public JournalMonitorTest {
protected:
    // Moves the clock until `done` holds (or a real-time bound passes), then stops the monitor.
    void monitorUntil(Platform::ZEmulatedNtfsVolume& device, USN startUsn, const std::function<bool()>& done)
    {
        std::atomic<bool> finished{false};
        std::thread t([&] {
            monitor(startUsn);
            finished = true;
        });
        const auto bound = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!finished && std::chrono::steady_clock::now() < bound) {
            {
                std::lock_guard<std::mutex> g(callsLock);
                if (done())
                    break;
            }
            clock.advance(1000);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        volume->stopRequested = true;
        device.cancelIo();
        t.join();
    }
};

TEST_F(EmulatedJournalTest, ANewFileWrittenTwiceGivesEachReasonOnceAndItsDataAgainAtClose)
{
    auto device = emulated(u'M');
    const USN start = volume->journalData.NextUsn;
    const DWORD file = device->createFile(kRoot, u"a.txt");
    ASSERT_NE(file, 0u);
    ASSERT_TRUE(device->write(file, 0, 100));
    ASSERT_TRUE(device->write(file, 100, 100)); // no record of its own: the bit is not new
    ASSERT_TRUE(device->close(file));
    monitorUntil(*device, start, [&] { return calls.size() >= 3; });
    // Only the close tells of the second write, so the size is read again.
    ASSERT_EQ(calls.size(), 3u);
    const DWORD want[] = {USN_REASON_FILE_CREATE, USN_REASON_DATA_EXTEND, USN_REASON_DATA_EXTEND};
    for (size_t k = 0; k < 3; ++k)
        EXPECT_EQ(std::make_pair(calls[k].recordNumber, calls[k].reasons), std::make_pair(file, want[k])) << k;
    EXPECT_EQ(calls[0].name, u"a.txt");
    EXPECT_TRUE(listenFailures.empty());
}

TEST_F(EmulatedJournalTest, AStopWhileAReadWaitsEndsTheMonitor)
{
    auto device = emulated(u'N');
    // No change at all: a read waits out its time-out, the next one is
    // stopped while it waits.
    monitorUntil(*device, 0, [&] { return device->callCount(FSCTL_READ_USN_JOURNAL) >= 2; });
    EXPECT_EQ(device->callCount(FSCTL_READ_USN_JOURNAL), 2u);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(listenFailures.empty());
}

TEST_F(EmulatedJournalTest, LostEntriesAndAGoneVolumeGiveUp)
{
    auto device = emulated(u'O');
    device->createFile(kRoot, u"seen.txt");
    const USN start = device->journalState().data.NextUsn;
    device->createFile(kRoot, u"gone.txt");
    device->discardJournalEntries();
    monitor(start);
    EXPECT_EQ(listenFailures, std::vector<DWORD>{87});
    EXPECT_EQ(quitReason(), (87 << 16) | 'O');

    device = emulated(u'O');
    device->setNotReady(true);
    monitor(0);
    EXPECT_EQ(listenFailures, std::vector<DWORD>{21});
    EXPECT_EQ(firstReportHead(), giveUpReport('O', 21, 1));
}
