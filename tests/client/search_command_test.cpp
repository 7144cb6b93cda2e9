// The `search` command against the real service on a temporary directory
// drive, beside plocate with its own database of the same tree: every
// option alone and together gives what plocate gives. Then what plocate
// cannot be compared on: what another user may reach, bad patterns, and a
// service that is missing, silent, lying or gone.
#include "support/ZServiceTestKit.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QDirIterator>
#include <QLocalServer>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QUuid>

#include "client/ZSearchClient.h"
#include "service/ZClientProtocol.h"
#include "storage/ZItemRecord.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

using namespace ServiceTestKit;
using namespace SearchEngine;

namespace {

constexpr int kToolTimeoutMs = 30000;
constexpr uid_t kNobody = 65534;

// The search command run to its end while this thread serves the service.
Ran search(const QStringList& args)
{
    return runServing(builtProgram("search"), args, kToolTimeoutMs);
}

QList<QByteArray> sortedLines(const QByteArray& out, char separator)
{
    QList<QByteArray> lines = out.split(separator);
    lines.removeAll(QByteArray());
    std::sort(lines.begin(), lines.end());
    return lines;
}

// A tree as drive M: of a started service, and plocate's database of it.
class SearchCommand : public ServiceDrivesTest {
protected:
    void SetUp() override
    {
        ServiceDrivesTest::SetUp();
        // Another user may pass through the private folders to the tree.
        ::chmod(QFile::encodeName(TestSupport::testRoot()).constData(), 0711);
        tree = TestSupport::freshDir(QStringLiteral("tree"));
        ::chmod(QFile::encodeName(QFileInfo(tree).absolutePath()).constData(), 0711);
        for (const char* name : {"Docs/2026/Quarterly REPORT.txt", "Docs/report-index.md", "Docs/abc/inner.bin",
                                 "src/xabcq.cpp", "src/d1/abc.h", "Été/Sommer.txt", "été.md", "new\nline.txt",
                                 "closed/secret-abc.txt", "open/d2/deep-abc.txt", "odd*name?[1].txt",
                                 // for the order: a folder's names before those below, "Docs/" before "Docs-old/"
                                 "Docs-old/abc.txt", "Docs.abc", "Docs/ABC.txt"})
            ASSERT_TRUE(writeFile(tree + QLatin1Char('/') + QString::fromUtf8(name)));
        // A name that is not UTF-8 on disk.
        ::close(::open(QFile::encodeName(tree) + "/bad\xff-abc.txt", O_WRONLY | O_CREAT, 0644));
        ::chmod(QFile::encodeName(tree + QStringLiteral("/closed")).constData(), 0700);
        ASSERT_TRUE(linkDrive(tree, QStringLiteral("m:")));
        database = TestSupport::freshDir(QStringLiteral("plocate")) + QStringLiteral("/db");
        havePlocate = QProcess::execute(QStringLiteral("updatedb.plocate"),
                                        {"-U", tree, "-o", database, "--prunepaths", "", "--prunefs", "",
                                         "--prunenames", "", "--prune-bind-mounts", "no", "-l", "no"})
                      == 0;
        service.reset(new RealService);
        ASSERT_TRUE(service->started);
    }
    void TearDown() override
    {
        service.reset();
        QFile::remove(dosdevices() + QStringLiteral("/m:"));
        removeTree();
        ServiceDrivesTest::TearDown();
    }
    // Qt cannot name the file that is not UTF-8; rm can.
    void removeTree() { QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), tree}); }

    QString tree;
    QString database;
    bool havePlocate = false;
    std::unique_ptr<RealService> service;
};

} // namespace

TEST_F(SearchCommand, PrintsWhatPlocatePrintsForEachOptionAndTheirMix)
{
    if (!havePlocate)
        GTEST_SKIP() << "updatedb.plocate is not installed";
    // plocate reads names by its locale; the index always by UTF-8.
    QProcessEnvironment utf8Locale = QProcessEnvironment::systemEnvironment();
    utf8Locale.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    // The same lines in the same order (with -l, the same first lines).
    const QStringList cases[] = {
        {"abc"}, {"abc", "txt"}, {"-b", "abc"}, {"-b", "Docs"}, {"-i", "REPORT"}, {"-i", "ÉTÉ"}, {"-i", "-b", "été"},
        {"Docs/2026"}, {"-c", "e"}, {"-c", "-b", "-i", "r"}, {"-c", "-0", "e"}, {"-0", "line"}, {"-e", "-b", "inner"},
        {"-r", "/d[0-9]$"}, {"-r", "-i", "^.*report.*\\.(md|txt)$"}, {"--regex", "/d[0-9]$"},
        // Options plocate keeps for mlocate: -w undoes an earlier -b, -A and -N change nothing here.
        {"-b", "-w", "Docs"}, {"-w", "-b", "Docs"}, {"-A", "-N", "abc", "txt"},
        {"-l", "2", "abc"}, {"-l", "3", "-i", "abc"}, {"nothing-matches"}, {"-b", "Docs/"},
        {"Docs/", "abc"},   // one pattern by the whole path, one by names
        // A wildcard makes a glob of the whole path or name; [[:upper:]] takes É as well as the ASCII capitals.
        {"*.txt"}, {"-b", "*.md"}, {"-b", "d?"}, {"*/Docs/*", "abc"}, {"-i", "-b", "*REPORT*"}, {"-b", "[a-d]*.[!c]*"},
        {"-b", "[]x"}, {"-b", "[[:digit:]]*"}, {"-b", "[[:upper:]]*"}, {"-b", "\\*"},
        // Escaped wildcards are the characters themselves, as is any escaped one.
        {"odd\\*name"}, {"-b", "\\?\\[1]"}, {"\\o\\dd"},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        QStringList plocateArgs{"-d", database};
        for (const QString& a : args)   // plocate's -r is POSIX basic; --regex is extended, closer to ours
            plocateArgs << (a == "-r" ? QStringLiteral("--regex") : a);
        const Ran ours = search(args);
        const Ran theirs = runServing(QStringLiteral("plocate"), plocateArgs, kToolTimeoutMs, utf8Locale);
        EXPECT_EQ(ours.code, theirs.code) << ours.err.constData();
        EXPECT_TRUE(ours.err.isEmpty()) << ours.err.constData();
        EXPECT_EQ(ours.out, theirs.out);
    }
    // The bytes a name has on disk are printed, though the index holds it lossily.
    // It is found by its index form (U+FFFD) with and without -i, and by -r.
    const QString indexForm = QStringLiteral("bad\uFFFD-abc");
    for (const QStringList& args : {QStringList{"-b", "bad"}, QStringList{"-b", indexForm},
                                    QStringList{"-i", "-b", indexForm}, QStringList{"-r", "-b", indexForm}})
        EXPECT_EQ(search(args).out.toPercentEncoding("/").toStdString(),
                  (QFile::encodeName(tree) + "/bad\xff-abc.txt\n").toPercentEncoding("/").toStdString())
            << args.join(' ').toStdString();
}

// The library's search of one pattern in a child process (this thread
// serves the service meanwhile): as nobody for its real user (the index is
// still read with root's rights, as the setgid command reads it with the
// group's), and with atFirstHit run while the child waits after its first hit.
// With followUntil, the child then follows the changes that match ("+ path"
// lines) until an added path contains followUntil.
QByteArray searchInChild(const QString& pattern, bool asNobody, const std::function<void()>& atFirstHit = {},
                         const QByteArray& followUntil = {}, const std::function<void()>& atFirstChange = {})
{
    int out[2], hit[2], go[2];
    if (::pipe(out) != 0 || ::pipe(hit) != 0 || ::pipe(go) != 0)
        return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        if (asNobody && (setgroups(0, nullptr) != 0 || setresgid(kNobody, 0, 0) != 0 || setresuid(kNobody, 0, 0) != 0))
            _exit(3);
        SearchEngine::ZSearchClient client;
        if (!client.connectToService() || !client.waitForDrives(kToolTimeoutMs))
            _exit(2);
        SearchEngine::ZSearchQuery query;
        query.patterns = QStringList{pattern};
        QByteArray found;
        client.search(query, [&](const SearchEngine::ZSearchHit& h) {
            char c = 0;
            if (found.isEmpty() && (::write(hit[1], "h", 1) != 1 || ::read(go[0], &c, 1) != 1))
                _exit(5);
            found += h.path + '\n';
            return true;
        });
        if (!followUntil.isEmpty())
            client.follow(
                query,
                [&, changed = false](const SearchEngine::ZSearchChange& c) mutable {
                    if (!std::exchange(changed, true) && atFirstChange)
                        atFirstChange();   // with the effective user still root
                    if (c.kind == SearchEngine::ZSearchChange::Added)
                        found += "+ " + c.item.path + '\n';
                    return !c.item.path.contains(followUntil);
                },
                kToolTimeoutMs);
        _exit(::write(out[1], found.constData(), size_t(found.size())) == found.size() ? 0 : 4);
    }
    ::close(out[1]);
    ::close(hit[1]);
    ::close(go[0]);
    int status = -1;
    spinUntil(
        [&] {
            pollfd first{hit[0], POLLIN, 0};
            if (::poll(&first, 1, 0) == 1 && (first.revents & POLLIN)) {
                char c;
                if (::read(hit[0], &c, 1) == 1 && atFirstHit)
                    atFirstHit();
                (void)!::write(go[1], "g", 1);
            }
            return ::waitpid(child, &status, WNOHANG) == child;
        },
        kToolTimeoutMs);
    QFile in;
    in.open(out[0], QIODevice::ReadOnly, QFileDevice::AutoCloseHandle);
    const QByteArray found = in.readAll();
    ::close(hit[0]);
    ::close(go[1]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? found : "failed: " + QByteArray::number(status);
}

TEST_F(SearchCommand, ShowsAnotherUserOnlyWhatTheyCouldReach)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "running as another real user needs root";
    // They are shown all that root is shown but what lies in the closed folder.
    QList<QByteArray> seen = sortedLines(search({"abc"}).out, '\n');
    EXPECT_EQ(seen.removeAll(QFile::encodeName(tree) + "/closed/secret-abc.txt"), 1);
    EXPECT_EQ(sortedLines(searchInChild(QStringLiteral("abc"), true), '\n'), seen);
    // Their change stream hides the same folder: a name made in it, then one
    // made where they may look. Once that one has come, a folder they could
    // read through the search is made private and a name made in it, then
    // one more where they may look: only the two open ones reach them.
    const QByteArray followed = searchInChild(
        QStringLiteral("abc"), true,
        [&] {
            EXPECT_TRUE(writeFile(tree + QStringLiteral("/closed/later-abc.txt")));
            EXPECT_TRUE(writeFile(tree + QStringLiteral("/src/first-abc.txt")));
        },
        "src/later-abc",
        [&] {
            ::chmod(QFile::encodeName(tree + QStringLiteral("/open")).constData(), 0700);
            (void)!writeFile(tree + QStringLiteral("/open/later-abc.txt"));
            (void)!writeFile(tree + QStringLiteral("/src/later-abc.txt"));
        });
    EXPECT_TRUE(followed.contains("+ " + QFile::encodeName(tree) + "/src/first-abc.txt\n")) << followed.constData();
    EXPECT_TRUE(followed.contains("+ " + QFile::encodeName(tree) + "/src/later-abc.txt\n")) << followed.constData();
    EXPECT_FALSE(followed.contains("closed")) << followed.constData();
    EXPECT_FALSE(followed.contains("open/later")) << followed.constData();
}

// A folder renamed while a search runs: every path given is the old one or
// the new one, each match once, none half-written.
TEST_F(SearchCommand, AFolderRenamedDuringASearchGivesOldOrNewPaths)
{
    const QByteArray before = search({"abc"}).out;
    const QString from = tree + QStringLiteral("/src"), to = tree + QStringLiteral("/sources");
    const QByteArray during = searchInChild(QStringLiteral("abc"), false, [&] {
        ASSERT_TRUE(QFile::rename(from, to));
        // The child waits until the index has the new name.
        spinUntil([&] { return search({"-b", "sources"}).code == 0; }, kToolTimeoutMs);
    });
    const QByteArray after = search({"abc"}).out;
    ASSERT_NE(before, after);
    const QList<QByteArray> old = sortedLines(before, '\n'), renamed = sortedLines(after, '\n');
    const QList<QByteArray> seen = sortedLines(during, '\n');
    EXPECT_EQ(seen.size(), old.size()) << during.constData();
    for (const QByteArray& path : seen)
        EXPECT_TRUE(old.contains(path) || renamed.contains(path)) << path.constData();
}

// `search --watch` run beside the test, and what it has said so far.
struct Watcher {
    explicit Watcher(const QStringList& args)
    {
        search({"-c", "x"});   // the drive is ready
        process.start(builtProgram("search"), QStringList{"--watch"} + args);
        process.waitForStarted();
    }
    ~Watcher()
    {
        process.kill();
        process.waitForFinished();
    }
    bool said(const QByteArray& text, int timeoutMs = kToolTimeoutMs)
    {
        return spinUntil(
            [&] {
                out += process.readAllStandardOutput();
                err += process.readAllStandardError();
                return out.contains(text) || err.contains(text);
            },
            timeoutMs);
    }
    QProcess process;
    QByteArray out, err;
};

// Whole paths followed: names removed with their folders go one by one
// (the folders freed before the watcher reads of them), and a folder
// renamed takes what lies below it along, its old paths going and its new
// ones coming, each once; renamed and removed at once, what it showed goes
// under the names it showed. A name renamed so that it no longer matches
// goes; a drive that goes away is said, and the command does not crash.
TEST_F(SearchCommand, WatchFollowsWhatLiesInFoldersRemovedAndRenamedAndALostDrive)
{
    const QByteArray at = QFile::encodeName(tree);
    for (const char* name : {"gone1/kyA", "gone2/kyB", "gone3/kyC", "from/kyE", "from/sub/kyD"})
        ASSERT_TRUE(writeFile(tree + QLatin1Char('/') + QLatin1String(name)));
    ASSERT_TRUE(spinUntil([&] { return search({"-c", "/ky"}).out == "5\n"; }, kToolTimeoutMs));
    Watcher watcher({"/ky"});
    ASSERT_TRUE(watcher.said(at + "/from/sub/kyD\n")) << watcher.out.constData();
    for (const char* gone : {"gone1/kyA", "gone2/kyB", "gone3/kyC"}) {
        QDir(tree + QLatin1Char('/') + QLatin1String(gone).left(5)).removeRecursively();
        EXPECT_TRUE(watcher.said("- " + at + '/' + gone + '\n')) << watcher.out.constData();
    }
    ASSERT_TRUE(QFile::rename(tree + QStringLiteral("/from"), tree + QStringLiteral("/to")));
    for (const char* line : {"- %1/from/kyE", "- %1/from/sub/kyD", "+ %1/to/kyE", "+ %1/to/sub/kyD"})
        EXPECT_TRUE(watcher.said(QByteArray(line).replace("%1", at) + '\n')) << watcher.out.constData();
    ASSERT_TRUE(QFile::rename(tree + QStringLiteral("/to"), tree + QStringLiteral("/gone4")));
    QDir(tree + QStringLiteral("/gone4")).removeRecursively();
    ASSERT_TRUE(writeFile(tree + QStringLiteral("/last/kyZ")));
    for (const char* line : {"- %1/to/kyE", "- %1/to/sub/kyD", "+ %1/last/kyZ"})
        EXPECT_TRUE(watcher.said(QByteArray(line).replace("%1", at) + '\n')) << watcher.out.constData();
    EXPECT_FALSE(watcher.out.contains("gone4")) << watcher.out.constData();
    EXPECT_EQ(watcher.out.count("+ " + at + "/to/kyE\n"), 1) << watcher.out.constData();
    ASSERT_TRUE(QFile::rename(tree + QStringLiteral("/last/kyZ"), tree + QStringLiteral("/last/stale")));
    EXPECT_TRUE(watcher.said("- " + at + "/last/kyZ\n")) << watcher.out.constData();
    EXPECT_FALSE(watcher.out.contains("stale")) << watcher.out.constData();
    removeTree();
    EXPECT_TRUE(watcher.said("can no longer be followed")) << watcher.err.constData();
}

// A watcher of every path below the tree through random bursts of
// creations, removals, renames and moves of files and folders (a folder
// renamed and removed at once among them): its first listing with each
// "+" and "-" applied in turn is the tree on disk, and no "-" names a path
// it did not show.
// The operations follow the directories' order, so each machine draws its
// own; SEARCH_WATCH_DIFFERENTIAL=SEED runs another seed.
TEST_F(SearchCommand, AWatchersLinesAddUpToTheTree)
{
    const QByteArray seed = qEnvironmentVariableIsSet("SEARCH_WATCH_DIFFERENTIAL")
        ? qgetenv("SEARCH_WATCH_DIFFERENTIAL") : QByteArray("5");
    const QByteArray at = QFile::encodeName(tree);
    ASSERT_TRUE(QFile::remove(tree + QStringLiteral("/new\nline.txt")));   // a line of its own below
    Watcher watcher({at + '/'});
    ASSERT_TRUE(watcher.said(at + "/src/xabcq.cpp\n")) << watcher.out.constData();
    QRandomGenerator random(seed.toUInt());
    auto entries = [&](QDir::Filters which) {
        QStringList found;
        for (QDirIterator it(tree, which | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories); it.hasNext();)
            found << it.next();
        return found;
    };
    auto any = [&](const QStringList& from) { return from.at(int(random.bounded(from.size()))); };
    for (int step = 0; step < 120; ++step) {
        const QStringList folders = entries(QDir::Dirs) << tree;
        const QStringList files = entries(QDir::Files);
        const QString made = any(folders) + QStringLiteral("/n%1").arg(step);
        switch (random.bounded(6)) {
        case 0: (void)writeFile(made); break;
        case 1: QDir().mkpath(made + QStringLiteral("/in")), (void)writeFile(made + QStringLiteral("/in/f")); break;
        case 2: if (!files.isEmpty()) QFile::remove(any(files)); break;
        case 3: if (!files.isEmpty()) QFile::rename(any(files), made); break;
        case 4: {   // a folder moved, never into itself
            const QString from = any(folders);
            if (from != tree && !made.startsWith(from + QLatin1Char('/')))
                QFile::rename(from, made);
            break;
        }
        default: {   // renamed and removed at once
            const QString from = any(folders);
            if (from != tree && !made.startsWith(from + QLatin1Char('/')) && QFile::rename(from, made))
                QDir(made).removeRecursively();
        }
        }
        if (step % 4 == 3)
            QThread::msleep(150);   // short bursts, each read before the next
    }
    ASSERT_TRUE(writeFile(tree + QStringLiteral("/last")));
    ASSERT_TRUE(watcher.said("+ " + at + "/last\n")) << watcher.out.constData();
    QSet<QByteArray> shown, strayRemovals;
    for (const QByteArray& line : watcher.out.split('\n')) {
        if (line.startsWith("+ "))
            shown.insert(line.mid(2));
        else if (line.startsWith("- ") && !shown.remove(line.mid(2)))
            strayRemovals.insert(line.mid(2));
        else if (!line.isEmpty() && !line.startsWith("+ ") && !line.startsWith("- "))
            shown.insert(line);
    }
    QSet<QByteArray> onDisk;
    for (const QString& path : entries(QDir::AllEntries | QDir::System))
        onDisk.insert(QFile::encodeName(path));
    onDisk.remove(at + "/bad\xff-abc.txt");   // Qt cannot name it; the listing may
    shown.remove(at + "/bad\xff-abc.txt");
    auto listed = [](const QSet<QByteArray>& paths) {
        QList<QByteArray> sorted = paths.values();
        std::sort(sorted.begin(), sorted.end());
        return sorted.join('\n').toStdString();
    };
    EXPECT_EQ(listed(strayRemovals), "") << "removed without being shown";
    EXPECT_EQ(listed(shown - onDisk), "") << "shown but not on disk";
    EXPECT_EQ(listed(onDisk - shown), "") << "on disk but not shown";
}

// Bad arguments (said before any service is asked), and a service that is
// not there, says nothing, says what is not the protocol, names pieces that
// do not exist, or hangs up: exit 2 with a reason, in time, and nothing on
// stdout. The searchclient tool says the same with its own exit codes.
TEST(SearchCommandService, UsageErrorsAndAnUnusableServiceAreSaidAndEndTheCommand)
{
    app();
    const QStringList kSearchX{"--timeout", "1", "x"};
    // A drive with no piece yet; then a piece announced that cannot be
    // attached, and a name added in it while a watcher follows.
    const QByteArray grown = buildVolumeReady(QUuid::createUuid().toString(), 'C', 0, 0) + buildAllReady()
                             + buildPieceAppended('C', 1) + buildItem(MessageItemAppended, makeItemRef('C', 1, 0), 0);
    const struct {
        QStringList args;
        QByteArray sent;   // what the fake service writes; null: nothing serves the socket
        bool hangUp;
        const char* said;
        const char* program = "search";
        int code = 2;
    } cases[] = {
        {{"-r", "a(b"}, QByteArray(), false, "missing closing parenthesis"},
        {{}, QByteArray(), false, "no pattern"},
        {{"-l", "many", "x"}, QByteArray(), false, "--limit"},
        {{"-l", "0", "x"}, QByteArray(), false, "--limit"},
        {{"-b", "x\\"}, QByteArray(), false, "ends in a backslash"},
        {{"--no-such-option", "x"}, QByteArray(), false, "no-such-option"},
        {kSearchX, QByteArray(), false, "not running"},
        {kSearchX, QByteArray(""), false, "did not answer in time"},
        {kSearchX, QByteArray("%%%%<<"), false, "malformed"},
        {kSearchX, QByteArray("AAAAAQAAAAoAYgBvAGcAdQBzAEMAAAABAAAAAA==<<"), false, "cannot be read"},
        {kSearchX, QByteArray(""), true, "closed the connection"},
        {{"--watch", "--timeout", "1", "x"}, grown, true, "cannot be read (piece 1"},
        {{"search", "x"}, QByteArray(), false, "not running", "searchclient", 1},
        {{"search"}, QByteArray(), false, "usage", "searchclient", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + ": " + c.said);
        QLocalServer::removeServer(socketPath());
        std::unique_ptr<FakeServer> fake;
        if (!c.sent.isNull()) {
            fake.reset(new FakeServer(ZHeldChild::As::ThisUser, QFile::encodeName(socketPath()), c.sent, c.hangUp));
            ASSERT_TRUE(fake->listening());
        }
        const Ran r = runServing(builtProgram(c.program), c.args, kToolTimeoutMs);
        EXPECT_EQ(r.code, c.code) << r.err.constData();
        EXPECT_TRUE(r.err.contains(c.said)) << r.err.constData();
        EXPECT_TRUE(r.out.isEmpty());
    }
    EXPECT_EQ(search({"--version"}).code, 0);
}

// An NTFS image as a drive, read without mounting: its names print as the
// image's path, a colon and the path inside the image.
TEST_F(ServiceDrivesTest, AnImageDrivePrintsTheImageAndThePathInsideIt)
{
    const QString fixture = builtProgram("ntfsfixture");
    if (!QFile::exists(fixture) || QStandardPaths::findExecutable(QStringLiteral("mkntfs")).isEmpty())
        GTEST_SKIP() << "no NTFS image maker (ntfs-3g) here";
    const QString image = TestSupport::freshDir(QStringLiteral("image")) + QStringLiteral("/volume.img");
    QProcess make;
    make.start(fixture, {"--format", "16777216", image, "-"});
    make.write("mkdir /docs/sub\nfile /docs/sub/imagefile-abc.txt 10\nfile /top-abc.bin 5\n");
    make.closeWriteChannel();
    ASSERT_TRUE(make.waitForFinished(kToolTimeoutMs) && make.exitCode() == 0) << make.readAllStandardError().constData();
    ASSERT_TRUE(linkDrive(image, QStringLiteral("n::")));
    {
        RealService service;
        ASSERT_TRUE(service.started);
        const QByteArray at = QFile::encodeName(image) + ':';
        const Ran r = search({"abc"});
        EXPECT_EQ(r.code, 0) << r.err.constData();
        EXPECT_EQ(sortedLines(r.out, '\n'), QList<QByteArray>({at + "/docs/sub/imagefile-abc.txt", at + "/top-abc.bin"}));
        // Whole paths inside the image match as a directory drive's do.
        EXPECT_EQ(search({"s/sub/"}).out, at + "/docs/sub/imagefile-abc.txt\n");
    }
    QFile::remove(dosdevices() + QStringLiteral("/n::"));
}
