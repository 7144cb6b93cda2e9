// Prints the path of every indexed name that contains each argument.
#include <searchclient/ZSearchClient.h>

#include <QCoreApplication>

#include <cstdio>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    SearchEngine::ZSearchClient client;
    if (!client.connectToService() || !client.waitForDrives()) {
        std::fprintf(stderr, "%s\n", qPrintable(client.errorString()));
        return 2;
    }
    SearchEngine::ZSearchQuery query;
    query.patterns = app.arguments().mid(1);
    const qint64 found = client.search(query, [](const SearchEngine::ZSearchHit& hit) {
        std::printf("%s\n", hit.path.constData());
        return true;
    });
    return found > 0 ? 0 : 1;
}
