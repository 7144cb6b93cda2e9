// Item record slot counts, the name validity rule, name signatures and item
// references.
#include "storage/ZItemStore.h"
#include "storage/ZLockItem.h"
#include "storage/ZSharedPool.h"

#include <QUuid>

#include <gtest/gtest.h>

using namespace SearchEngine;

namespace {

// Changes the case of ASCII letters only, as the signature ignores it.
QString asciiCase(QString s, bool upper)
{
    for (QChar& c : s)
        if (c.unicode() < 0x80)
            c = upper ? c.toUpper() : c.toLower();
    return s;
}

ULONGLONG signatureOf(const QString& s) { return nameSignatureOf(s.utf16(), s.size()); }

} // namespace

TEST(StorageRecord, SlotCountsAndReferences)
{
    const int counts[][2] = {{0, 2}, {6, 2}, {7, 3}, {38, 3}, {39, 4}, {765, 26}};
    for (const auto& c : counts)
        EXPECT_EQ(slotsForNameLength(c[0]), c[1]) << c[0];
    // Every name fits, with the byte after it, in the run its length asks
    // for, and never needs more than one slot beyond the bytes it has.
    for (int n = 0; n <= kItemNameBufferSize; ++n) {
        EXPECT_TRUE(nameFitsRun(n, slotsForNameLength(n))) << n;
        EXPECT_FALSE(nameFitsRun(n, slotsForNameLength(n) - 2)) << n;
    }

    const ULONGLONG ref = makeItemRef('C', 7, 123456);
    EXPECT_EQ(ref, (ULONGLONG('C') << 48) | (7ull << 32) | 123456u);
    EXPECT_EQ(itemRefDrive(ref), 'C');
    EXPECT_EQ(itemRefPieceNumber(ref), 7);
    EXPECT_EQ(itemRefSlotIndex(ref), 123456u);
    EXPECT_EQ(makeItemRef(0xFFFF, 0xFFFF, 0xFFFFFFFFu), ~0ull);
    EXPECT_EQ(ZLockItem().itemRef(), 0u);
}

TEST(StorageRecord, NameSignatures)
{
    EXPECT_EQ(signatureOf(QString()), 0u);
    EXPECT_EQ(signatureOf(QStringLiteral("a")), 2u);
    EXPECT_EQ(signatureOf(QStringLiteral("aB")), (4ull << 32) | 6u);
    EXPECT_EQ(signatureOf(QStringLiteral("Readme.TXT")), signatureOf(QStringLiteral("README.txt")));
    // A name containing a term (ASCII case ignored) has every bit of the term.
    for (const QString& name : {QStringLiteral("Quarterly Report 2026.xlsx"), QStringLiteral("zz_Top~1.DAT"),
                                QString::fromUtf8("Grüße-naïve.doc")}) {
        for (int from = 0; from < name.size(); ++from) {
            for (int len = 1; from + len <= name.size(); ++len) {
                const QString term = name.mid(from, len);
                for (bool upper : {true, false})
                    EXPECT_TRUE(signatureMayContain(signatureOf(name), signatureOf(asciiCase(term, upper))))
                        << name.toStdString() << " / " << term.toStdString();
            }
        }
    }
    EXPECT_FALSE(signatureMayContain(signatureOf(QStringLiteral("abc")), signatureOf(QStringLiteral("x"))));
}

TEST(StorageRecord, ItemNamesConvertWithinTheBufferAndReadByTheValidityRule)
{
    ZItemName name;
    const QString unicode = QString::fromUtf8("Ünïcödé.txt");
    ASSERT_TRUE(makeItemName(unicode, &name));
    EXPECT_EQ(QByteArray(name.utf8, name.length), unicode.toUtf8());
    EXPECT_EQ(name.signature, signatureOf(unicode));
    // 255 UTF-16 units of three UTF-8 bytes each: 765 bytes, 26 slots.
    ASSERT_TRUE(makeItemName(QString(255, QChar(0x20AC)), &name));
    EXPECT_EQ(name.length, 765);
    EXPECT_EQ(name.slotCount(), 26);
    EXPECT_FALSE(makeItemName(QString(400, QChar(0x20AC)), &name));   // more than the buffer holds
    EXPECT_EQ(name.length, 0);

    ZSharedPool pool(QUuid::createUuid().toString(), 'D');
    ZLockItem run = pool.append(3);
    EXPECT_EQ(run.itemRef(), makeItemRef('D', 1, 0));
    ASSERT_TRUE(makeItemName(QStringLiteral("report.txt"), &name));
    ASSERT_TRUE(createItem(run, ZItemFields{}, name));
    EXPECT_EQ(run.name(), QByteArray("report.txt"));
    // A length not below slotCount * 32, or whose bytes would run past the run, reads as empty.
    for (int length : {3 * 32, 3 * 32 - kItemNameOffset, 3 * 32 - kItemNameOffset - 1}) {
        run->nameLength = WORD(length);
        EXPECT_EQ(run.name().size(), length == 3 * 32 - kItemNameOffset - 1 ? length : 0) << length;
    }
}
