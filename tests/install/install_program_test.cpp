// The service program as it is installed: it links nothing of a desktop, and
// its "log" beside it may be a link to the system's log folder; a log that
// cannot be opened is said once on stderr.
#include "support/TestEnvironment.h"
#include "support/ZServiceTestKit.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>

#include <sys/stat.h>

using namespace ServiceTestKit;

namespace {

constexpr int kRunTimeoutMs = 30000;

// A copy of the service in a folder of its own, the way the package puts it
// in /usr/lib/searchservice/.
QString programCopy(const QString& folder)
{
    const QString copy = folder + QStringLiteral("/searchservice");
    QFile::remove(copy);
    if (!QFile::copy(QStringLiteral(SEARCHSERVICE_EXE), copy))
        return QString();
    QFile::setPermissions(copy, QFile::permissions(copy) | QFileDevice::ExeOwner);
    return copy;
}

// Runs the program's service once on an empty drive table; its stderr.
QByteArray runOnce(const QString& program)
{
    QProcess p;
    p.start(program, {QStringLiteral("TestService")});
    if (!p.waitForFinished(kRunTimeoutMs)) {
        p.kill();
        p.waitForFinished(kRunTimeoutMs);
    }
    return p.readAllStandardError();
}

class InstalledProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        ASSERT_TRUE(enableDebugLog());
        clearStartSettings();
        settingsStore().sync();
        QDir(dosdevices()).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(dosdevices()));
    }
    void TearDown() override { QDir(dosdevices()).removeRecursively(); }
};

} // namespace

TEST_F(InstalledProgram, LinksNoDesktopLibraries)
{
    QProcess ldd;
    ldd.start(QStringLiteral("ldd"), {QStringLiteral(SEARCHSERVICE_EXE)});
    if (!ldd.waitForFinished(kRunTimeoutMs) || ldd.exitCode() != 0)
        GTEST_SKIP() << "ldd cannot be run here";
    const QByteArray libraries = ldd.readAllStandardOutput();
    ASSERT_TRUE(libraries.contains("libQt5Core")) << libraries.constData();
    for (const char* desktop : {"libQt5Widgets", "libQt5Gui", "libGL", "libX11", "libxcb"})
        EXPECT_FALSE(libraries.contains(desktop)) << desktop;
}

// "log" a link to the log folder (the package's /var/log/searchservice):
// the lines go there, in a private folder. "log" a plain file: the program
// runs without a log and says so once, however often it logs.
TEST_F(InstalledProgram, LogFolderMayBeALinkAndALogThatCannotBeOpenedIsSaidOnce)
{
    const QString linked = TestSupport::freshDir(QStringLiteral("lib-linked"));
    const QString varLog = TestSupport::freshDir(QStringLiteral("var-log")) + QStringLiteral("/searchservice");
    ASSERT_TRUE(QFile::link(varLog, linked + QStringLiteral("/log")));
    const QString program = programCopy(linked);
    ASSERT_FALSE(program.isEmpty());
    EXPECT_FALSE(runOnce(program).contains("cannot be opened"));
    QFile log(varLog + QStringLiteral("/searchservice.searchservice.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    EXPECT_TRUE(log.readAll().contains("start server failed : GetLogicalDriveStrings"));
    struct stat st = {};
    ASSERT_EQ(::stat(QFile::encodeName(varLog).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    const QString blocked = TestSupport::freshDir(QStringLiteral("lib-blocked"));
    ASSERT_TRUE(QFile(blocked + QStringLiteral("/log")).open(QIODevice::WriteOnly));
    const QString second = programCopy(blocked);
    ASSERT_FALSE(second.isEmpty());
    clearStartSettings();
    settingsStore().sync();
    const QByteArray err = runOnce(second);
    EXPECT_EQ(err.count("cannot be opened"), 1) << err.constData();
    EXPECT_TRUE(err.contains("searchservice: the log ")) << err.constData();
}
