#include "frame/ProcessHelpers.h"
#include "frame/ZLog.h"
#include "support/ZHeldChild.h"
#include "support/ZOtherUser.h"

#include <QDateTime>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <map>
#include <optional>
#include <set>

using namespace FrameTest;

namespace {

constexpr qint64 kLogLimit = 10485760;

std::u16string u16(const char* s)
{
    return QString::fromUtf8(s).toStdU16String();
}

SYSTEMTIME at(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s)
{
    return SYSTEMTIME{y, mo, 0, d, h, mi, s, 0};
}

QString writerCopy(const char* name)
{
    return copyProgram(QStringLiteral(FRAME_LOG_WRITER_EXE), QLatin1String(name));
}

QList<QByteArray> logLines(const QString& program)
{
    QList<QByteArray> lines = readFile(logFileOf(program)).split('\n');
    lines.removeAll(QByteArray());
    return lines;
}

// The writer's arguments for count lines per thread.
QStringList lineArgs(int count, const char* tag, int threads)
{
    return {QStringLiteral("lines"), QString::number(count), QLatin1String(tag), QString::number(threads)};
}

mode_t permissionsOf(const QString& path)
{
    struct stat st{};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// The severities of the "level X" lines the writer's "levels" mode left.
std::set<std::string> levelsWritten(const QString& program)
{
    std::set<std::string> found;
    const QRegularExpression re(QStringLiteral("\\] level (\\w+)"));
    for (const QByteArray& line : logLines(program)) {
        const auto m = re.match(QString::fromUtf8(line));
        if (m.hasMatch())
            found.insert(m.captured(1).toStdString());
    }
    return found;
}

} // namespace

TEST(LogLineFormat, PrefixByteForByteAndEveryOperand)
{
    const SYSTEMTIME t = at(2026, 12, 31, 23, 59, 59);
    const struct {
        DWORD thread;
        int32_t severity;
        const char* file;
        int line;
        const char* expected;
    } cases[] = {
        {4312, LOG_ERROR, "F", 27, "[4312 |2026-12-31 23:59:59|  ERROR|F:27] "},
        // The thread id is padded to five and never cut.
        {7, LOG_DEBUG, "a.cpp", 1, "[7    |2026-12-31 23:59:59|  DEBUG|a.cpp:1] "},
        {12345, LOG_INFO, "a.cpp", 1, "[12345|2026-12-31 23:59:59|   INFO|a.cpp:1] "},
        {1234567, LOG_WARNING, "a.cpp", 1, "[1234567|2026-12-31 23:59:59|WARNING|a.cpp:1] "},
        {1, LOG_FATAL, "f", 2, "[1    |2026-12-31 23:59:59|  FATAL|f:2] "},
        {1, 5, "f", 2, "[1    |2026-12-31 23:59:59|UNKNOWN|f:2] "},
        {1, -1, "f", 2, "[1    |2026-12-31 23:59:59|UNKNOWN|f:2] "},
        // The source path is cut at either slash.
        {1, LOG_ERROR, "d:\\src\\frame\\ZLog.cpp", 10, "[1    |2026-12-31 23:59:59|  ERROR|ZLog.cpp:10] "},
        {1, LOG_ERROR, "d:\\src/mixed\\last/x.cpp", 99999, "[1    |2026-12-31 23:59:59|  ERROR|x.cpp:99999] "},
    };
    for (const auto& c : cases)
        EXPECT_EQ(logLinePrefix(c.thread, t, c.severity, c.file, c.line), u16(c.expected)) << c.expected;
    EXPECT_EQ(logLinePrefix(1, at(2026, 3, 1, 9, 5, 7), LOG_ERROR, "F", 27), u16("[1    |2026-03-01 09:05:07|  ERROR|F:27] "));

    // Operands: integers of every width, strings, characters and QStrings.
    LogStream n;
    n << static_cast<unsigned short>(67) << ' ' << static_cast<short>(-2) << ' ' << static_cast<unsigned char>(200) << ' '
      << -2147483647 - 1 << ' ' << 4294967295u << ' ' << static_cast<long long>(-9223372036854775807LL - 1) << ' '
      << 18446744073709551615ull << ' ' << true;
    EXPECT_EQ(n.text(), u16("67 -2 200 -2147483648 4294967295 -9223372036854775808 18446744073709551615 1"));
    LogStream s;
    s << "ascii " << u"wide " << std::u16string(u"std ") << u'C' << ' ' << QStringLiteral("a\"b\\c") << "|"
      << QString::fromUtf8("\xe4\xb8\xad") << "|" << static_cast<const char*>(nullptr);
    EXPECT_EQ(QString::fromStdU16String(s.text()),
              QString::fromUtf8("ascii wide std C \"a\\\"b\\\\c\" |\"\xe4\xb8\xad\" |"));
}

// A copied program writes log/ beside itself: one line in UTF-8 with CR LF,
// and GetLastError() is the same after a written and a dropped statement.
TEST(LogFile, LineIsWrittenInUtf8WithCrLfAndLeavesTheLastError)
{
    const QString program = writerCopy("format");
    const QDateTime before = QDateTime::currentDateTime().addSecs(-1);
    const ProcessResult r = runProgram(program, {QStringLiteral("format")});
    const QDateTime after = QDateTime::currentDateTime().addSecs(1);
    ASSERT_EQ(r.exitCode, 0) << r.err.constData();
    const QString out = QString::fromUtf8(r.out);
    const QString tid = QRegularExpression(QStringLiteral("tid=(\\d+)")).match(out).captured(1);
    const QString line = QRegularExpression(QStringLiteral("line=(\\d+)")).match(out).captured(1);
    EXPECT_TRUE(r.out.contains("after=1234\n")) << r.out.constData();
    EXPECT_TRUE(r.out.contains("afterdropped=4321\n")) << r.out.constData();

    const QByteArray log = readFile(logFileOf(program));
    const QRegularExpression re(QStringLiteral("^\\[(\\d+) *\\|(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d)\\|  ERROR\\|"
                                               "log_writer\\.cpp:(\\d+)\\] text 67 \"q\\\\\"\" wide-5\r\n"));
    const auto m = re.match(QString::fromUtf8(log));
    ASSERT_TRUE(m.hasMatch()) << log.constData();
    EXPECT_TRUE(log.contains("] err=1234\r\n"));
    EXPECT_EQ(m.captured(1), tid);
    EXPECT_EQ(m.captured(3), line);
    const QDateTime when = QDateTime::fromString(m.captured(2), QStringLiteral("yyyy-MM-dd hh:mm:ss"));
    EXPECT_GE(when, before.addMSecs(-before.time().msec()));
    EXPECT_LE(when, after);
}

// LogLevel from the machine's hive, hand-written as an administrator would;
// absent or unreadable means INFO, and DEBUG operands are evaluated only when written.
TEST(LogFile, ThresholdComesFromLogLevel)
{
    const std::set<std::string> all{"DEBUG", "INFO", "WARNING", "ERROR", "FATAL"};
    const std::set<std::string> fromInfo{"INFO", "WARNING", "ERROR", "FATAL"};
    const std::set<std::string> fromError{"ERROR", "FATAL"};
    const QByteArray sysopt = "[software/orvanta/antivirus/sysopt]\nLogLevel=";
    const std::vector<std::pair<QByteArray, std::set<std::string>>> cases{
        {sysopt + "0\n", all},
        {sysopt + "1\n", fromInfo},
        {sysopt + "2\n", {"WARNING", "ERROR", "FATAL"}},
        {sysopt + "3\n", fromError},
        {sysopt + "4\n", fromError},
        {sysopt + "5\n", fromInfo},
        {sysopt + "4000000000\n", fromInfo},
        {sysopt + "\n", fromInfo},
        // No hive at all; other ways of not finding the value: platform_registry_test.
        {QByteArray(), fromInfo},
    };
    for (const auto& [hive, severities] : cases) {
        SCOPED_TRACE(hive.toStdString());
        if (hive.isNull())
            QFile::remove(Platform::registryHivePath(HKEY_LOCAL_MACHINE));
        else
            ASSERT_TRUE(writeHive(HKEY_LOCAL_MACHINE, hive));
        const QString program = writerCopy("levels");
        const ProcessResult r = runProgram(program, {QStringLiteral("levels")});
        ASSERT_EQ(r.exitCode, 0);
        EXPECT_EQ(levelsWritten(program), severities);
        EXPECT_EQ(r.out.contains("debug-evaluated=1"), severities.count("DEBUG") == 1);
    }
}

TEST(LogFile, TenMebibytesIsAppendedToOneByteMoreIsEmptied)
{
    for (const qint64 size : {kLogLimit, kLogLimit + 1}) {
        const QString program = writerCopy("limit");
        const QString log = logFileOf(program);
        QDir().mkpath(QFileInfo(log).absolutePath());
        QFile f(log);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.resize(size));
        f.close();
        ASSERT_EQ(runProgram(program, lineArgs(1, "a", 1)).exitCode, 0);
        const qint64 kept = size == kLogLimit ? kLogLimit : 0;
        ASSERT_GT(QFileInfo(log).size(), kept) << size;
        EXPECT_LT(QFileInfo(log).size(), kept + 1024) << size;
        EXPECT_EQ(readFile(log).at(int(kept)), '[') << size;
    }
}

TEST(LogFile, TwoProcessesAndTheirThreadsAppendWholeLines)
{
    const QString program = writerCopy("shared");
    constexpr int kLines = 1500;
    constexpr int kThreads = 3;
    QProcess* a = startProgram(program, lineArgs(kLines, "A", kThreads));
    QProcess* b = startProgram(program, lineArgs(kLines, "B", kThreads));
    ASSERT_EQ(finish(a).exitCode, 0);
    ASSERT_EQ(finish(b).exitCode, 0);

    const QRegularExpression re(QStringLiteral("^\\[\\d+ *\\|[-0-9: ]{19}\\|  ERROR\\|log_writer\\.cpp:\\d+\\] "
                                               "line ([AB]) (\\d) (\\d+) x{120}\r$"));
    std::map<std::string, std::set<int>> seen;
    const QList<QByteArray> lines = logLines(program);
    ASSERT_EQ(lines.size(), 2 * kLines * kThreads);
    for (const QByteArray& line : lines) {
        const auto m = re.match(QString::fromUtf8(line));
        ASSERT_TRUE(m.hasMatch()) << line.constData();
        seen[(m.captured(1) + m.captured(2)).toStdString()].insert(m.captured(3).toInt());
    }
    ASSERT_EQ(seen.size(), size_t(2 * kThreads));
    for (const auto& [writer, numbers] : seen)
        EXPECT_EQ(numbers.size(), size_t(kLines)) << writer;
}

TEST(LogFile, NoLogFolderLeavesTheProgramRunning)
{
    const QString program = writerCopy("nofolder");
    // A file where the folder should be: the folder cannot be made.
    writeFile(QFileInfo(program).absolutePath() + QStringLiteral("/log"), "not a folder");
    const ProcessResult r = runProgram(program, lineArgs(3, "n", 1));
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("done"));
    EXPECT_EQ(readFile(QFileInfo(program).absolutePath() + QStringLiteral("/log")), QByteArray("not a folder"));
}

// The log folder, the log and its lock file are private, also when an earlier
// run left them open to everyone and the other user still holds a flock on
// that old log: the writer neither waits for it nor loses a line.
TEST(LogFile, AnotherUserCanNeitherReadTheLogNorStallItsWriters)
{
    if (!OtherUser::unavailable().isEmpty())
        GTEST_SKIP() << OtherUser::unavailable().toStdString();
    OtherUser::publicTempFolder();
    for (const bool earlierRun : {false, true}) {
        SCOPED_TRACE(earlierRun ? "after an earlier run" : "first run");
        const QString program = writerCopy("private");
        const QString log = logFileOf(program);
        const QString folder = QFileInfo(log).absolutePath();
        const QByteArray nativeLog = QFile::encodeName(log), nativeFolder = QFile::encodeName(folder);
        // The way to the log is open to the other user; the log folder is the product's.
        const QString programFolder = QFileInfo(program).absolutePath();
        for (const QString& d : {QFileInfo(programFolder).absolutePath(), programFolder})
            ::chmod(QFile::encodeName(d).constData(), 0755);
        std::optional<ZHeldChild> holder;
        if (earlierRun) {
            QDir().mkpath(folder);
            ::chmod(nativeFolder.constData(), 0755);
            writeFile(log, "earlier\r\n");
            ::chmod(nativeLog.constData(), 0644);
            // A child of the other user keeps the flock until released.
            holder.emplace(ZHeldChild::As::OtherUser, [&] {
                return ::flock(::open(nativeLog.constData(), O_RDONLY), LOCK_EX) == 0;
            });
            ASSERT_TRUE(holder->held);
        }
        const ProcessResult r = runProgram(program, lineArgs(3, "p", 1));
        holder.reset();
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_EQ(logLines(program).size(), earlierRun ? 4 : 3);
        EXPECT_EQ(readFile(log).startsWith("earlier\r\n"), earlierRun);
        EXPECT_EQ(permissionsOf(folder), mode_t(0700));
        EXPECT_EQ(permissionsOf(log), mode_t(0600));
        EXPECT_EQ(permissionsOf(log + QStringLiteral(".lock")), mode_t(0600));
        EXPECT_EQ(OtherUser::runAs([&] {
                      const bool logShut = ::open(nativeLog.constData(), O_RDONLY) < 0 && errno == EACCES;
                      const bool folderShut = ::open(nativeFolder.constData(), O_RDONLY | O_DIRECTORY) < 0 && errno == EACCES;
                      return logShut && folderShut ? 0 : 1;
                  }),
                  0);
    }
}

// Another writer that never lets go of the lock file (and a flock on the log
// itself) holds a line back only for the lock's time-out, measured on the
// clock seam; the line is then written without the lock.
TEST(LogFile, ALockNeverReleasedDelaysALineButNeitherBlocksNorDropsIt)
{
    LOG(ERROR) << "opening";
    WCHAR self[MAX_PATH] = {};
    ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
    const QString log = logFileOf(QString::fromUtf16(self));
    std::vector<int> held;
    for (const QString& path : {log, log + QStringLiteral(".lock")}) {
        held.push_back(::open(QFile::encodeName(path).constData(), O_RDWR | O_CLOEXEC));
        ASSERT_GE(held.back(), 0) << path.toStdString();
        ASSERT_EQ(::flock(held.back(), LOCK_EX | LOCK_NB), 0);
    }
    Platform::ZManualClock clock;
    Platform::setClock(&clock);
    const QByteArray marker = "held back " + QByteArray::number(QDateTime::currentMSecsSinceEpoch());
    LOG(ERROR) << marker.constData();
    Platform::setClock(nullptr);
    for (const int fd : held)
        ::close(fd);
    EXPECT_TRUE(readFile(log).contains(marker));
}
