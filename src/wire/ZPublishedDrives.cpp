#include "wire/ZPublishedDrives.h"

#include "wire/ZServiceLocation.h"

#include <QList>

namespace SearchEngine {

namespace {
const char kHeader[] = "searchservice-drives 1";
const char* const kKindNames[] = {"directory", "image", "other"};
const QByteArray kKeptBytes("/");
} // namespace

constexpr char ZPublishedDrives::kFileName[];

QString ZPublishedDrives::filePath()
{
    return ZServiceLocation::runtimeFolder() + QLatin1Char('/') + QLatin1String(kFileName);
}

QByteArray ZPublishedDrives::format(const ZPublishedDriveMap& drives)
{
    QByteArray out(kHeader);
    out += '\n';
    for (const auto& d : drives) {
        out += QString(QChar(d.first)).toUtf8();
        out += '\t';
        out += kKindNames[d.second.kind];
        out += '\t';
        out += d.second.root.toPercentEncoding(kKeptBytes);
        out += '\n';
    }
    return out;
}

bool ZPublishedDrives::parse(const QByteArray& text, ZPublishedDriveMap* drives)
{
    const QList<QByteArray> lines = text.split('\n');
    if (lines.isEmpty() || lines.first() != kHeader)
        return false;
    drives->clear();
    for (int i = 1; i < lines.size(); ++i) {
        if (lines[i].isEmpty())
            continue;
        const QList<QByteArray> fields = lines[i].split('\t');
        if (fields.size() != 3 || fields[0].size() != 1 || fields[0][0] < 'A' || fields[0][0] > 'Z')
            return false;
        ZPublishedDrive d;
        for (int k = 0; k <= ZPublishedDrive::Other; ++k)
            if (fields[1] == kKindNames[k])
                d.kind = ZPublishedDrive::Kind(k);
        d.root = QByteArray::fromPercentEncoding(fields[2]);
        (*drives)[char16_t(fields[0][0])] = d;
    }
    return true;
}

} // namespace SearchEngine
