// locate's order against a model of it: paths ordered by their folder's
// names compared one by one (a folder before those in it), then by their
// own name, each name by its bytes. Random paths over an alphabet whose
// bytes fall on both sides of '/' (and one above 0x7F).
#include "client/ZSearchClient.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Key = std::pair<std::vector<std::string>, std::string>;

Key modelKey(const QByteArray& path)
{
    const QList<QByteArray> parts = path.split('/');
    Key key;
    for (int i = 0; i + 1 < parts.size(); ++i)
        key.first.push_back(parts[i].toStdString());
    key.second = parts.back().toStdString();
    return key;
}

} // namespace

TEST(LocateOrder, AgreesWithTheModelOnRandomPaths)
{
    const char alphabet[] = {'a', 'b', '-', '.', '/', '0', '\xff'};
    std::mt19937 random(20261209);
    std::vector<QByteArray> paths;
    for (int i = 0; i < 400; ++i) {
        QByteArray p("/t");
        const int length = 1 + int(random() % 7);
        for (int c = 0; c < length; ++c)
            p += alphabet[random() % sizeof(alphabet)];
        paths.push_back(p);
    }
    for (const QByteArray& a : paths)
        for (const QByteArray& b : paths)
            ASSERT_EQ(SearchEngine::ZSearchClient::inLocateOrder(a, b), modelKey(a) < modelKey(b))
                << a.toStdString() << " | " << b.toStdString();
}
