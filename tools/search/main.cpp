// search: find file and folder names in the search service's index, as
// locate does. Every PATTERN must occur in the whole path (or the name with
// -b); -r makes them regular expressions. Exit status: 0 when something
// matched, 1 when nothing did, 2 on a usage error or when the service
// cannot be used.
#include "client/ZSearchClient.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <algorithm>
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

using namespace SearchEngine;

namespace {

constexpr int kMatched = 0;
constexpr int kNoMatch = 1;
constexpr int kTrouble = 2;
constexpr int kConnectTimeoutMs = 5000;
constexpr int kDefaultTimeoutSeconds = 600;
constexpr size_t kOutputBlock = 1 << 16;

// stdout in large blocks; flushed when full and at the end.
class Output {
public:
    explicit Output(char separator) : separator_(separator) { buffer_.reserve(kOutputBlock * 2); }
    ~Output() { flush(); }
    void line(const char* prefix, const QByteArray& text)
    {
        buffer_ += prefix;
        buffer_.append(text.constData(), size_t(text.size()));
        buffer_ += separator_;
        if (buffer_.size() >= kOutputBlock)
            flush();
    }
    void flush()
    {
        if (!buffer_.empty())
            std::fwrite(buffer_.data(), 1, buffer_.size(), stdout);
        std::fflush(stdout);
        buffer_.clear();
    }

private:
    char separator_;
    std::string buffer_;
};

int fail(const QString& why, int code = kTrouble)
{
    std::fprintf(stderr, "search: %s\n", qPrintable(why));
    return code;
}

void warnUnverified(const ZSearchHit& hit)
{
    if (!hit.pathVerified)
        std::fprintf(stderr, "search: %s: not found on disk as the index names it (not UTF-8)\n",
                     hit.path.constData());
}

} // namespace

int main(int argc, char** argv)
{
    // Installed setgid to the service's group (given up once the index is
    // attached); Qt refuses to start such a program unless told.
    QCoreApplication::setSetuidAllowed(true);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("search"));
    QCoreApplication::setApplicationVersion(QStringLiteral(SEARCH_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Find files and folders by name in the index of the search service.\n"
        "Every PATTERN must occur in the whole path (in the name with -b)."));
    const QCommandLineOption ignoreCase({"i", "ignore-case"}, "Ignore case (Unicode case folding).");
    const QCommandLineOption baseName({"b", "basename"}, "Match the name only, not the whole path.");
    const QCommandLineOption wholeName({"w", "wholename"}, "Match the whole path (the default; after -b, undoes it).");
    const QCommandLineOption regex({"r", "regexp", "regex"}, "PATTERNs are regular expressions (QRegularExpression).");
    const QCommandLineOption count({"c", "count"}, "Print the number of matches only.");
    const QCommandLineOption limit({"l", "limit"}, "Stop after N matches.", "N");
    const QCommandLineOption null({"0", "null"}, "End each path with a NUL byte, not a newline.");
    const QCommandLineOption existing({"e", "existing"}, "Only names that still exist.");
    const QCommandLineOption watch("watch", "Then print \"+ path\" and \"- path\" as matching names come and go.");
    const QCommandLineOption timeout("timeout", "Wait at most SECONDS for the service (default 600).", "SECONDS");
    // Accepted as plocate accepts them: paths are always printed as they are.
    const QCommandLineOption all({"A", "all"}, "Ignored (every PATTERN must match anyway).");
    const QCommandLineOption literal({"N", "literal"}, "Ignored (paths are never quoted).");
    parser.addOptions({ignoreCase, baseName, wholeName, regex, count, limit, null, existing, watch, timeout, all, literal});
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("PATTERN"), QStringLiteral("What to look for."), "PATTERN...");
    if (!parser.parse(app.arguments()))
        return fail(parser.errorText());
    if (parser.isSet(QStringLiteral("help")))
        parser.showHelp(kMatched);
    if (parser.isSet(QStringLiteral("version")))
        parser.showVersion();

    ZSearchQuery query;
    query.patterns = parser.positionalArguments();
    query.ignoreCase = parser.isSet(ignoreCase);
    // -b and -w: the last one given holds.
    for (const QString& name : parser.optionNames()) {
        if (baseName.names().contains(name))
            query.nameOnly = true;
        else if (wholeName.names().contains(name))
            query.nameOnly = false;
    }
    query.regex = parser.isSet(regex);
    query.existingOnly = parser.isSet(existing);
    query.pathsNeeded = !parser.isSet(count);
    if (query.patterns.isEmpty() && !parser.isSet(watch))
        return fail(QStringLiteral("no pattern to search for (see --help)"));
    bool ok = true;
    if (parser.isSet(limit)) {
        query.limit = parser.value(limit).toLongLong(&ok);
        if (!ok || query.limit <= 0)
            return fail(QStringLiteral("--limit takes a number of matches above 0, not '%1'").arg(parser.value(limit)));
    }
    int timeoutSeconds = kDefaultTimeoutSeconds;
    if (parser.isSet(timeout)) {
        timeoutSeconds = parser.value(timeout).toInt(&ok);
        if (!ok || timeoutSeconds <= 0)
            return fail(QStringLiteral("--timeout takes seconds, not '%1'").arg(parser.value(timeout)));
    }

    ZSearchClient client;
    // A bad pattern is a usage error, said before the service is asked.
    if (client.search(query, [](const ZSearchHit&) { return true; }) < 0)
        return fail(client.errorString());
    if (!client.connectToService(kConnectTimeoutMs) || !client.waitForDrives(timeoutSeconds * 1000))
        return fail(client.errorString());
    // The group that let this process attach the index is not needed further:
    // given up as real, effective and saved group, so nothing can take it back.
    const gid_t gid = ::getgid();
    if (::setresgid(gid, gid, gid) != 0)
        return fail(QStringLiteral("cannot give up the search group"));

    Output out(parser.isSet(null) ? '\0' : '\n');
    qint64 found = 0;
    // The watcher's lines are held against the paths it printed, so a
    // removal never names a path it did not show.
    client.setTrackGivenPaths(parser.isSet(watch) && !query.patterns.isEmpty() && query.pathsNeeded);
    if (!query.patterns.isEmpty()) {
        // Paths are printed in locate's order, so the index's order (that of
        // the file system's records) is gathered whole and sorted; -l then
        // keeps the first of that order, as locate's -l does. A watcher is
        // held to the paths the library gave: there the library stops at -l.
        std::vector<ZSearchHit> hits;
        const qint64 limitGiven = query.limit;
        if (query.pathsNeeded && !parser.isSet(watch))
            query.limit = -1;
        found = client.search(query, [&](const ZSearchHit& hit) {
            if (query.pathsNeeded)
                hits.push_back(hit);
            return true;
        });
        if (found < 0)
            return fail(client.errorString());
        const auto before = [](const ZSearchHit& a, const ZSearchHit& b) {
            return ZSearchClient::inLocateOrder(a.path, b.path);
        };
        const size_t shown = limitGiven < 0 ? hits.size() : std::min(hits.size(), size_t(limitGiven));
        std::partial_sort(hits.begin(), hits.begin() + ptrdiff_t(shown), hits.end(), before);
        for (size_t i = 0; i < shown; ++i) {
            out.line("", hits[i].path);
            warnUnverified(hits[i]);
        }
        if (query.pathsNeeded)
            found = qint64(shown);
        if (parser.isSet(count)) {
            // The count ends with a newline even under -0, as plocate's does.
            std::printf("%lld\n", static_cast<long long>(found));
            std::fflush(stdout);
        }
        out.flush();
    }
    if (!parser.isSet(watch))
        return found > 0 ? kMatched : kNoMatch;

    query.limit = -1;
    client.follow(query, [&](const ZSearchChange& change) {
        if (change.kind == ZSearchChange::DriveLost) {
            std::fprintf(stderr, "search: drive %c: can no longer be followed\n", char(change.item.drive));
            return true;
        }
        out.line(change.kind == ZSearchChange::Added ? "+ " : "- ", change.item.path);
        warnUnverified(change.item);
        out.flush();
        return true;
    });
    return fail(client.errorString());
}
