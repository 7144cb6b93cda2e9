// A name the index holds with U+FFFD is found again in its folder only when
// exactly one entry there reads as it: a second entry that reads the same
// (another invalid byte, or U+FFFD itself) leaves it not found, so that a
// folder of someone else's is never taken for it.
#include "client/ZOnDiskName.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>

#include <sys/stat.h>

#include <vector>

using namespace SearchEngine;

namespace {

struct Row {
    const char* what;
    std::vector<QByteArray> entries;   // names made in the folder
    QByteArray stored;                 // the index form looked for
    bool found;
    QByteArray expected;               // the entry found
};

const QByteArray kFffd("\xEF\xBF\xBD");

} // namespace

TEST(OnDiskName, FindsTheOneEntryThatReadsAsTheStoredNameAndNoneWhenSeveralDo)
{
    const std::vector<Row> rows = {
        {"one invalid byte", {"v\xff"}, "v" + kFffd, true, "v\xff"},
        {"beside unrelated names", {"v\xff", "w\xfe", "v", "vv"}, "v" + kFffd, true, "v\xff"},
        {"a real U+FFFD alone", {"v" + kFffd}, "v" + kFffd, true, "v" + kFffd},
        {"two invalid bytes", {"v\xff\xfe"}, "v" + kFffd + kFffd, true, "v\xff\xfe"},
        {"none", {"w\xff"}, "v" + kFffd, false, ""},
        {"another invalid byte beside it", {"v\xff", "v\xfe"}, "v" + kFffd, false, ""},
        {"a real U+FFFD beside it", {"v\xff", "v" + kFffd}, "v" + kFffd, false, ""},
        {"many look-alikes", {"v\x80", "v\xd3", "v\xff", "v\xc0"}, "v" + kFffd, false, ""},
        {"a look-alike in the middle", {"a\xff" "b", "a\x80" "b"}, "a" + kFffd + "b", false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        const QByteArray folder = QFile::encodeName(TestSupport::freshDir(QStringLiteral("ondisk")));
        for (const QByteArray& name : row.entries)
            ASSERT_EQ(::mkdir((folder + '/' + name).constData(), 0755), 0) << name.toPercentEncoding().constData();
        QByteArray disk = "untouched";
        EXPECT_EQ(findOnDisk(folder, row.stored, &disk), row.found);
        if (row.found) {
            EXPECT_EQ(disk, row.expected);
        }
        // Qt cannot name the entries that are not UTF-8; rm can.
        QProcess::execute(QStringLiteral("rm"), {QStringLiteral("-rf"), QFile::decodeName(folder)});
    }
}
