// The service program and the units as installed: the program links nothing
// of a desktop, and its "log" beside it may be a link to the system's log
// folder, a log that cannot be opened being said once on stderr;
// systemd-analyze verify accepts the units, and the service and its holding
// client started the way the units start them (their environment, their
// folders, in temporary folders instead of /run and /var) serve, hold,
// reconnect and stop in order.
#include "support/TestEnvironment.h"
#include "support/ZServiceProcess.h"

#include "wire/ZWireProtocol.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>

#include <csignal>
#include <sys/stat.h>

using namespace ServiceTestKit;

namespace {

constexpr int kRunTimeoutMs = 30000;

// The [Service] settings of a unit file, a key given more than once as its
// values in order.
QMultiMap<QString, QString> serviceSettings(const QString& unit)
{
    QMultiMap<QString, QString> settings;
    QFile f(QStringLiteral(UNIT_DIR) + QLatin1Char('/') + unit);
    if (!f.open(QIODevice::ReadOnly))
        return settings;
    bool inService = false;
    for (const QByteArray& raw : f.readAll().split('\n')) {
        const QString line = QString::fromUtf8(raw).trimmed();
        if (line.startsWith(QLatin1Char('[')))
            inService = line == QLatin1String("[Service]");
        const int eq = line.indexOf(QLatin1Char('='));
        if (inService && eq > 0 && !line.startsWith(QLatin1Char('#')))
            settings.insert(line.left(eq), line.mid(eq + 1));
    }
    return settings;
}

// Whether systemd restarts a unit whose main process ended with `code` (or,
// `signal` set, was killed by it), by systemd.service(5)'s table for Restart=
// and RestartPreventExitStatus=; an end asked for by systemctl stop never is.
bool systemdRestarts(const QMultiMap<QString, QString>& s, int code, int signal = 0)
{
    if (!signal && s.value(QStringLiteral("RestartPreventExitStatus")).split(QLatin1Char(' ')).contains(QString::number(code)))
        return false;
    const QString restart = s.value(QStringLiteral("Restart"), QStringLiteral("no"));
    const bool clean = signal ? (signal == SIGHUP || signal == SIGINT || signal == SIGTERM || signal == SIGPIPE) : code == 0;
    if (restart == QLatin1String("always"))
        return true;
    if (clean)
        return restart == QLatin1String("on-success");
    if (!signal)
        return restart == QLatin1String("on-failure");
    return restart == QLatin1String("on-failure") || restart == QLatin1String("on-abnormal") || restart == QLatin1String("on-abort");
}

// One unit run as systemd would run it, with /run, /var/lib and /var/log
// in the test's folders: its Environment= (with %S and /run mapped), the
// folders of RuntimeDirectory=, StateDirectory= and LogsDirectory= made with
// their modes and named in the variables systemd sets, no TMPDIR
// (PrivateTmp= gives a fresh /tmp) and no session folder. The machine
// registry hive stays the test's own.
class UnitRun : public ZServiceProcess {
public:
    UnitRun(const QString& unit, const QString& root, const QString& program)
    {
        const QMultiMap<QString, QString> s = serviceSettings(unit);
        QProcessEnvironment env;
        env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin"));
        env.insert(QStringLiteral("XDG_CONFIG_DIRS"), qEnvironmentVariable("XDG_CONFIG_DIRS"));
        const auto mapped = [&](QString value) {
            value.replace(QStringLiteral("%S"), root + QStringLiteral("/var/lib"));
            if (value.startsWith(QLatin1String("/run/")))
                value = root + value;
            return value;
        };
        const struct {
            const char* key;
            const char* base;
            const char* variable;
        } folders[] = {{"RuntimeDirectory", "/run/", "RUNTIME_DIRECTORY"},
                       {"StateDirectory", "/var/lib/", "STATE_DIRECTORY"},
                       {"LogsDirectory", "/var/log/", "LOGS_DIRECTORY"}};
        for (const auto& f : folders) {
            const QString name = s.value(QLatin1String(f.key));
            if (name.isEmpty())
                continue;
            const QString path = root + QLatin1String(f.base) + name;
            QDir().mkpath(path);
            const QString mode = s.value(QLatin1String(f.key) + QStringLiteral("Mode"), QStringLiteral("0755"));
            ::chmod(QFile::encodeName(path).constData(), mode_t(mode.toUInt(nullptr, 8)));
            env.insert(QLatin1String(f.variable), path);
        }
        for (const QString& line : s.values(QStringLiteral("Environment")))
            for (const QString& pair : line.split(QLatin1Char(' '), Qt::SkipEmptyParts))
                env.insert(pair.section(QLatin1Char('='), 0, 0), mapped(pair.section(QLatin1Char('='), 1)));
        environment = env;
        // The built program (SystemdAcceptsTheUnits checks that the unit
        // names it) with the unit's arguments.
        process.setProcessEnvironment(env);
        process.setProgram(program);
        process.setArguments(s.value(QStringLiteral("ExecStart")).split(QLatin1Char(' '), Qt::SkipEmptyParts).mid(1));
    }

    // Waits for its stderr to have said `text` `times` times in all.
    bool said(const char* text, int times)
    {
        return spinUntil([&] {
            err += process.readAllStandardError();
            return err.count(text) >= times;
        }, kRunTimeoutMs);
    }
    ~UnitRun()
    {
        // A failed case still stops the service in order, so that its
        // segments go with it (no later start in this folder clears them).
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(kRunTimeoutMs)) {
                process.kill();
                process.waitForFinished(kRunTimeoutMs);
            }
        }
    }

    QProcessEnvironment environment;
    QByteArray err;
};

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
    return runServing(program, {QStringLiteral("TestService")}, kRunTimeoutMs).err;
}

class Installed : public ::testing::Test {
protected:
    void SetUp() override
    {
        app();
        ASSERT_TRUE(enableDebugLog());
        clearStartSettings();
        // An empty drive table for the runs of the program alone.
        QDir(dosdevices()).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(dosdevices()));
    }
    void TearDown() override { QDir(dosdevices()).removeRecursively(); }
};

} // namespace

TEST_F(Installed, TheServiceLinksNoDesktopLibraries)
{
    const Ran ldd = runServing(QStringLiteral("ldd"), {QStringLiteral(SEARCHSERVICE_EXE)}, kRunTimeoutMs);
    if (ldd.code != 0)
        GTEST_SKIP() << "ldd cannot be run here";
    const QByteArray& libraries = ldd.out;
    ASSERT_TRUE(libraries.contains("libQt5Core")) << libraries.constData();
    for (const char* desktop : {"libQt5Widgets", "libQt5Gui", "libGL", "libX11", "libxcb"})
        EXPECT_FALSE(libraries.contains(desktop)) << desktop;
}

// "log" a link to the log folder (the package's /var/log/searchservice):
// the lines go there, in a private folder. "log" a plain file: the program
// runs without a log and says so once, however often it logs.
TEST_F(Installed, LogFolderMayBeALinkAndALogThatCannotBeOpenedIsSaidOnce)
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
    const QByteArray err = runOnce(second);
    EXPECT_EQ(err.count("cannot be opened"), 1) << err.constData();
    EXPECT_TRUE(err.contains("searchservice: the log ")) << err.constData();
}

TEST_F(Installed, SystemdAcceptsTheUnits)
{
    // verify also checks that the programs exist: the units name the built ones.
    const QString dir = TestSupport::freshDir(QStringLiteral("units"));
    const QStringList units = {QStringLiteral("searchservice.service"), QStringLiteral("searchhold.service")};
    QStringList paths;
    for (const QString& unit : units) {
        QFile in(QStringLiteral(UNIT_DIR) + QLatin1Char('/') + unit);
        ASSERT_TRUE(in.open(QIODevice::ReadOnly)) << unit.toStdString();
        QString text = QString::fromUtf8(in.readAll());
        const QString programs = QFileInfo(QStringLiteral(SEARCHSERVICE_EXE)).absolutePath() + QLatin1Char('/');
        const QRegularExpression exec(QStringLiteral("^ExecStart=\\S*/"), QRegularExpression::MultilineOption);
        ASSERT_TRUE(text.contains(exec)) << unit.toStdString();
        text.replace(exec, QStringLiteral("ExecStart=") + programs);
        QFile out(dir + QLatin1Char('/') + unit);
        ASSERT_TRUE(out.open(QIODevice::WriteOnly) && out.write(text.toUtf8()) > 0);
        paths << out.fileName();
    }
    QProcess verify;
    verify.setWorkingDirectory(dir);
    verify.start(QStringLiteral("systemd-analyze"), QStringList{QStringLiteral("verify"), QStringLiteral("--man=no")} + paths);
    if (!verify.waitForStarted(kRunTimeoutMs))
        GTEST_SKIP() << "systemd-analyze is not available";
    ASSERT_TRUE(verify.waitForFinished(kRunTimeoutMs));
    const QByteArray said = verify.readAllStandardError() + verify.readAllStandardOutput();
    EXPECT_EQ(verify.exitCode(), 0) << said.constData();
    EXPECT_TRUE(said.trimmed().isEmpty()) << said.constData();
}

// The holding client keeps the service running; SIGTERM (systemctl stop)
// ends it with code 0; the holder connects to the next start; and when the
// holder goes (or a client came and went before it connected) the service
// ends by itself, also with code 0, which the unit must restart or the index
// stays down. A crash or a lost journal restarts it; a failed start does not.
// Nothing is left in the runtime folder.
TEST_F(Installed, ServiceAndHolderRunAsTheUnitsRunThem)
{
    const QMultiMap<QString, QString> unit = serviceSettings(QStringLiteral("searchservice.service"));
    const struct {
        int code, signal;
        bool restarted;
    } ends[] = {{2, 0, true}, {3, 0, false}, {0, SIGSEGV, true}, {0, SIGABRT, true}};
    for (const auto& end : ends)
        EXPECT_EQ(systemdRestarts(unit, end.code, end.signal), end.restarted) << end.code << " " << end.signal;
    const QString root = TestSupport::freshDir(QStringLiteral("system"));
    // The package's layout: the programs in a private folder, "log" a link.
    const QString lib = root + QStringLiteral("/usr/lib/searchservice");
    ASSERT_TRUE(QDir().mkpath(lib));
    ASSERT_TRUE(QFile::copy(QStringLiteral(SEARCHSERVICE_EXE), lib + QStringLiteral("/searchservice")));
    ASSERT_TRUE(QFile::link(root + QStringLiteral("/var/log/searchservice"), lib + QStringLiteral("/log")));

    const auto runService = [&] {
        auto run = std::make_unique<UnitRun>(QStringLiteral("searchservice.service"), root, lib + QStringLiteral("/searchservice"));
        // Its drive table: one small tree (without one it is the whole machine).
        const QString table = run->environment.value(QStringLiteral("XDG_CONFIG_HOME")) + QStringLiteral("/orvanta/dosdevices");
        const QString tree = root + QStringLiteral("/tree");
        QDir().mkpath(table);
        QDir().mkpath(tree);
        QFile::link(tree, table + QStringLiteral("/c:"));
        return run;
    };
    auto service = runService();
    ASSERT_TRUE(service->start());
    UnitRun holder(QStringLiteral("searchhold.service"), root, QStringLiteral(SEARCHHOLD_EXE));
    ASSERT_TRUE(holder.start());
    const QString runtime = service->environment.value(QStringLiteral("RUNTIME_DIRECTORY"));
    EXPECT_EQ(holder.environment.value(QStringLiteral("RUNTIME_DIRECTORY")), runtime);
    ASSERT_TRUE(holder.said("connected to", 1)) << holder.err.constData();
    EXPECT_TRUE(holder.err.contains(QFile::encodeName(runtime + QLatin1Char('/') + QLatin1String(SearchEngine::ServiceServerName))));

    ASSERT_EQ(::kill(pid_t(service->pid()), SIGTERM), 0);
    EXPECT_TRUE(service->endsCleanly(kRunTimeoutMs)) << service->process.readAllStandardError().constData();
    ASSERT_TRUE(holder.said("closed the connection", 1)) << holder.err.constData();
    EXPECT_FALSE(QFile::exists(runtime + QLatin1Char('/') + QLatin1String(SearchEngine::ServiceServerName)));

    service = runService();
    ASSERT_TRUE(service->start());
    ASSERT_TRUE(holder.said("connected to", 2)) << holder.err.constData();
    holder.process.kill();
    EXPECT_TRUE(service->endsCleanly(kRunTimeoutMs)) << "the last client left";
    EXPECT_TRUE(systemdRestarts(unit, service->process.exitCode())) << "the last client left";
    EXPECT_TRUE(QFile(root + QStringLiteral("/var/log/searchservice/searchservice.searchservice.log")).size() > 0);
    const QStringList left = segmentKeyFiles(runtime + QStringLiteral("/SearchEngine-keys-0"));
    EXPECT_TRUE(left.isEmpty()) << left.join(QLatin1Char(' ')).toStdString();
}
