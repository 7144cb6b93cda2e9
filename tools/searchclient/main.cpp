// searchclient: the service's message stream and a simple name search, for
// tests and scripts (the command for people is `search`).
//
//   searchclient --watch            print every message of the service as it arrives
//   searchclient search TERM        print the path of every indexed name
//                                   containing TERM (case ignored)
//   searchclient search TERM --watch   ... then keep printing names containing
//                                   TERM as they are added (+) or removed (-)
//
// Exit status 1 when the service cannot be used, 2 on a usage error.
#include "client/ZSearchClient.h"

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

using namespace SearchEngine;

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kDefaultReadyTimeoutSeconds = 600;

int usage()
{
    std::fputs("usage: searchclient --watch\n"
               "       searchclient search TERM [--watch] [--timeout SECONDS]\n",
               stderr);
    return 2;
}

int failed(const ZSearchClient& client)
{
    std::fprintf(stderr, "searchclient: %s\n", qPrintable(client.errorString()));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    bool watch = false;
    int timeout = kDefaultReadyTimeoutSeconds;
    for (int i = 0; i < args.size();) {
        if (args[i] == QLatin1String("--watch")) {
            watch = true;
            args.removeAt(i);
        } else if (args[i] == QLatin1String("--timeout") && i + 1 < args.size()) {
            bool ok = false;
            timeout = args[i + 1].toInt(&ok);
            if (!ok || timeout <= 0)
                return usage();
            args.erase(args.begin() + i, args.begin() + i + 2);
        } else {
            ++i;
        }
    }
    const bool searching = args.size() == 2 && args[0] == QLatin1String("search") && !args[1].isEmpty();
    if (!(searching || (args.isEmpty() && watch)))
        return usage();

    ZSearchClient client;
    if (!searching)
        client.setMessageObserver([](const QString& line) {
            std::printf("%s\n", qPrintable(line));
            std::fflush(stdout);
        });
    if (!client.connectToService(kConnectTimeoutMs))
        return failed(client);
    ZSearchQuery query;
    query.nameOnly = true;
    query.ignoreCase = true;
    if (searching) {
        if (!client.waitForDrives(timeout * 1000))
            return failed(client);
        query.patterns = QStringList{args[1]};
        client.search(query, [](const ZSearchHit& hit) {
            std::printf("%s\n", hit.path.constData());
            return true;
        });
        std::fflush(stdout);
        if (!watch)
            return 0;
    }
    client.follow(query, [searching](const ZSearchChange& change) {
        // Without a search, the messages themselves are what is printed.
        if (searching && change.kind != ZSearchChange::DriveLost)
            std::printf("%c %s\n", change.kind == ZSearchChange::Added ? '+' : '-', change.item.path.constData());
        std::fflush(stdout);
        return true;
    });
    return client.error() == ZSearchClient::Disconnected ? 0 : failed(client);
}
