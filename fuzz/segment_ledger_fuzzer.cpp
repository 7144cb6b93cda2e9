// libFuzzer target over the segment ledger's line parser: the bytes a
// ledger holds, whoever wrote them. Every key file it accepts must be a whole
// line of the input naming a file of the segment form directly inside the
// key folder, once; parsing what it accepted gives the same again.
#include "storage/ZSegmentLedger.h"
#include "storage/ZSharedSegment.h"

#include <QFile>
#include <QSet>

#include <cstdint>
#include <cstdlib>

using namespace SearchEngine;

namespace {

// The folder the seeds name; the parser is given no other.
const QString kKeyFolder = QStringLiteral("/tmp/SearchEngine-keys-0");

void check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), int(size));
    QStringList keyFiles;
    const bool accepted = parseSegmentLedger(bytes, kKeyFolder, &keyFiles);
    check(accepted == (bytes.size() <= kMaxLedgerBytes));
    check(accepted || keyFiles.isEmpty());

    const QString prefix = kKeyFolder + QLatin1Char('/');
    QSet<QString> seen;
    QByteArray again;
    for (const QString& keyFile : keyFiles) {
        check(keyFile.startsWith(prefix));
        const QString name = keyFile.mid(prefix.size());
        check(!name.contains(QLatin1Char('/')) && name != QLatin1String("..") && isSegmentKeyFileName(name));
        check(!seen.contains(keyFile));
        seen.insert(keyFile);
        const QByteArray line = QFile::encodeName(keyFile) + '\n';
        check(bytes.startsWith(line) || bytes.contains('\n' + line));
        again += line;
    }
    QStringList reparsed;
    check(parseSegmentLedger(again, kKeyFolder, &reparsed) && reparsed == keyFiles);
    return 0;
}
