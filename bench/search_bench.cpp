// search beside plocate on one tree of a million files (default): each
// command its own process, output to /dev/null, the median of five runs,
// and the ratio. Then the library's own search over the attached index in
// this process, and what a process costs that does nothing.
//
//   search_bench [--files N] [--dir FOLDER]
//
// The tree, the service's private folders and plocate's database go into
// FOLDER (default: a new folder in the temporary folder, removed at the
// end); a FOLDER given is kept, and its tree is reused by the next run.
#include "BenchTiming.h"

#include "client/ZSearchClient.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

extern char** environ;

using namespace SearchEngine;

namespace {

constexpr int kRuns = 5;
constexpr int kFilesPerFolder = 100;
constexpr int kFoldersPerLevel = 100;
constexpr int kReadyTimeoutMs = 30 * 60 * 1000;
constexpr int kSettleSeconds = 10;
// File names are drawn from these letters; the no-match patterns use others.
const char kNameLetters[] = "abcdefghijklmnop";

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds of one run of a program, its output to /dev/null.
double runOnce(const QString& program, const QStringList& args)
{
    std::vector<QByteArray> storage{QFile::encodeName(program)};
    for (const QString& a : args)
        storage.push_back(a.toUtf8());
    std::vector<char*> argv;
    for (QByteArray& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        return -1;
    int status = 0;
    waitpid(pid, &status, 0);
    const double ms = secondsSince(start) * 1000;
    posix_spawn_file_actions_destroy(&actions);
    return ms;
}

double medianOfRuns(const QString& program, const QStringList& args)
{
    std::vector<double> times;
    for (int i = 0; i < kRuns; ++i)
        times.push_back(runOnce(program, args));
    return median(times);
}

// A tree of about `files` files: two levels of folders, kFilesPerFolder
// files in each folder of the second level, names of kNameLetters.
void makeTree(const QString& root, int files)
{
    if (QFile::exists(root + QStringLiteral("/.complete")))
        return;
    QDir().mkpath(root);
    unsigned seed = 12345;
    auto letter = [&] { return kNameLetters[(seed = seed * 1103515245u + 12345u) >> 16 & 15]; };
    int made = 0;
    for (int a = 0; made < files; ++a) {
        for (int b = 0; b < kFoldersPerLevel && made < files; ++b) {
            const QByteArray dir = QFile::encodeName(root) + "/d" + QByteArray::number(a) + "/d" + QByteArray::number(b);
            QDir().mkpath(QFile::decodeName(dir));
            for (int f = 0; f < kFilesPerFolder && made < files; ++f, ++made) {
                QByteArray name = dir + '/';
                const int length = 4 + int(seed % 9);
                for (int i = 0; i < length; ++i)
                    name += letter();
                name += ".txt";
                const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
                if (fd >= 0)
                    ::close(fd);
            }
        }
    }
    QFile(root + QStringLiteral("/.complete")).open(QIODevice::WriteOnly);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    int files = 1000000;
    QString dir;
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--files"))
            files = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--dir"))
            dir = args[i + 1];
    }
    const bool keep = !dir.isEmpty();
    if (!keep)
        dir = QDir::tempPath() + QStringLiteral("/search_bench-%1").arg(getpid());
    dir = QDir(dir).absolutePath();
    const QString tree = dir + QStringLiteral("/tree");
    // The service and its clients use private folders of the bench's own.
    for (const char* name : {"tmp", "config/orvanta/dosdevices", "home", "data"})
        QDir().mkpath(dir + QLatin1Char('/') + QLatin1String(name));
    QFile::setPermissions(dir + QStringLiteral("/tmp"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("TMPDIR", QFile::encodeName(dir + QStringLiteral("/tmp")));
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir + QStringLiteral("/tmp")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(dir + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(dir + QStringLiteral("/data")));
    qputenv("HOME", QFile::encodeName(dir + QStringLiteral("/home")));

    auto start = std::chrono::steady_clock::now();
    makeTree(tree, files);
    std::printf("tree: %d files under %s (%.1f s)\n", files, qPrintable(tree), secondsSince(start));
    const QString link = dir + QStringLiteral("/config/orvanta/dosdevices/m:");
    QFile::remove(link);
    QFile::link(tree, link);

    const QString here = QCoreApplication::applicationDirPath();
    const QString search = here + QStringLiteral("/search");
    QProcess service;
    service.start(here + QStringLiteral("/searchservice"), {QStringLiteral("TestService")});
    service.waitForStarted();
    QProcess holder;   // keeps the service up between the runs
    start = std::chrono::steady_clock::now();
    for (int tries = 0; tries < 100 && holder.state() != QProcess::Running; ++tries) {
        QThread::msleep(100);
        holder.start(here + QStringLiteral("/searchclient"), {QStringLiteral("--watch")});
        holder.waitForStarted();
        holder.waitForReadyRead(1000);
        if (holder.state() != QProcess::Running)
            holder.waitForFinished();
    }
    QByteArray said = holder.readAllStandardOutput();
    while (!said.contains("2 all ready") && holder.waitForReadyRead(kReadyTimeoutMs))
        said += holder.readAllStandardOutput();
    std::printf("service: indexed in %.1f s\n", secondsSince(start));
    // The service saves its drive cache right after indexing: let it finish.
    QThread::sleep(kSettleSeconds);

    const QString database = dir + QStringLiteral("/plocate.db");
    start = std::chrono::steady_clock::now();
    QProcess::execute(QStringLiteral("updatedb.plocate"),
                      {"-U", tree, "-o", database, "--prunepaths", "", "--prunefs", "", "--prunenames", "",
                       "--prune-bind-mounts", "no", "-l", "no"});
    std::printf("plocate: database built in %.1f s\n\n", secondsSince(start));

    const struct {
        const char* label;
        QStringList args;
    } cases[] = {
        {"no match, 1 letter", {"z"}},
        {"no match, 2 letters", {"zq"}},
        {"no match, 3 letters", {"zqy"}},
        {"no match, 8 letters", {"zqyxwvut"}},
        {"-c common letter", {"-c", "a"}},
        {"-b against path", {"-b", "d12"}},
        {"whole path d12", {"d12"}},
        {"-i", {"-i", "ABCD"}},
        {"-i no match", {"-i", "ZQY"}},
    };
    std::printf("%-22s %12s %12s %8s\n", "pattern", "search ms", "plocate ms", "ratio");
    for (const auto& c : cases) {
        const double ours = medianOfRuns(search, c.args);
        const double theirs = medianOfRuns(QStringLiteral("plocate"), QStringList{"-d", database} + c.args);
        std::printf("%-22s %12.2f %12.2f %8.2f\n", c.label, ours, theirs, ours / theirs);
    }
    std::printf("%-22s %12.2f %12.2f\n", "process, no search", medianOfRuns(search, {"--version"}),
                medianOfRuns(QStringLiteral("plocate"), {"--version"}));

    // The library's own search over the index attached in this process
    // (disconnected before the holder leaves, so the service then quits).
    {
    ZSearchClient client;
    if (client.connectToService() && client.waitForDrives()) {
        std::printf("\nlibrary, index attached, %d names:\n", files);
        for (const char* pattern : {"z", "zqy", "a", "abcd"}) {
            for (bool nameOnly : {false, true}) {
                ZSearchQuery query;
                query.patterns = QStringList{QLatin1String(pattern)};
                query.nameOnly = nameOnly;
                query.pathsNeeded = false;
                std::vector<double> times;
                qint64 hits = 0;
                for (int i = 0; i < kRuns; ++i) {
                    const auto t = std::chrono::steady_clock::now();
                    hits = client.search(query, [](const ZSearchHit&) { return true; });
                    times.push_back(secondsSince(t) * 1000);
                }
                std::printf("  %-6s %-10s %10.2f ms %9lld hits\n", pattern, nameOnly ? "-b" : "whole path",
                            median(times), (long long)hits);
            }
        }
    } else {
        std::printf("library: %s\n", qPrintable(client.errorString()));
    }
    }
    holder.kill();
    holder.waitForFinished();
    service.waitForFinished(10000);
    if (service.state() != QProcess::NotRunning) {
        service.terminate();
        service.waitForFinished(5000);
    }
    if (!keep)
        QDir(dir).removeRecursively();
    return 0;
}
