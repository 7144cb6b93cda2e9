// The NTFS on-disk formats: run lists, update sequence arrays, the one
// attribute walk over FILE records and the checked accessors beside the
// structures. Each table row is one way a field from a disk can lie.
#include "ntfs/ZNtfsFixup.h"
#include "ntfs/ZNtfsRecord.h"
#include "ntfs/ZNtfsRecordBuilder.h"
#include "ntfs/ZNtfsRunList.h"
#include "ntfs/ntfs_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>
#include <vector>

using namespace Platform;

namespace {

constexpr DWORD kRecordSize = 1024;
constexpr DWORD kClusterSize = 4096;

template <typename T>
void poke(std::vector<BYTE>& bytes, size_t at, T value)
{
    std::memcpy(&bytes[at], &value, sizeof value);
}

// A FILE record with a $FILE_NAME "a.txt" (resident) and an unnamed
// non-resident $DATA; *fileName and *data get their offsets.
std::vector<BYTE> soundRecord(DWORD* fileName, DWORD* data)
{
    std::vector<BYTE> rec(kRecordSize, 0);
    ZNtfsRecordBuilder::RecordHeader header;
    header.recordNumber = 40;
    header.flags = Ntfs::RecordInUse;
    const DWORD first = ZNtfsRecordBuilder::beginRecord(rec.data(), kRecordSize, header);
    std::vector<BYTE> name(Ntfs::kFileNameHeaderSize + 5 * sizeof(WCHAR), 0);
    name[offsetof(Ntfs::FileNameAttribute, nameLength)] = 5;
    name[offsetof(Ntfs::FileNameAttribute, nameSpace)] = Ntfs::NameSpaceWin32;
    std::memcpy(&name[Ntfs::kFileNameHeaderSize], u"a.txt", 5 * sizeof(WCHAR));
    std::vector<BYTE> attributes;
    *fileName = first + DWORD(ZNtfsRecordBuilder::appendResident(attributes, Ntfs::AttrFileName, nullptr, 0,
                                                                  name.data(), DWORD(name.size())));
    *data = first + DWORD(ZNtfsRecordBuilder::appendNonResident(attributes, Ntfs::AttrData, nullptr, 0, {{100, 4}},
                                                                 10000, kClusterSize, 0, 1000));
    const DWORD end = ZNtfsRecordBuilder::placeAttribute(rec.data(), first, attributes.data(),
                                                         DWORD(attributes.size()), 0);
    ZNtfsRecordBuilder::endRecord(rec.data(), kRecordSize, end, 2);
    return rec;
}

std::vector<DWORD> walkedTypes(const std::vector<BYTE>& rec)
{
    std::vector<DWORD> types;
    ZNtfsAttributeWalk walk(rec.data(), rec.size());
    while (const Ntfs::AttributeHeader* a = walk.next())
        types.push_back(a->type);
    return types;
}

} // namespace

// Each damage ends the walk at the attribute it lies in (or hides every
// attribute when it lies in the header); the walk never hands out an
// attribute that reaches past the record's used bytes.
TEST(NtfsAttributeWalk, StopsAtTheFirstAttributeThatDoesNotFit)
{
    DWORD name = 0, data = 0;
    const std::vector<BYTE> sound = soundRecord(&name, &data);
    const std::vector<DWORD> both{Ntfs::AttrFileName, Ntfs::AttrData}, nameOnly{Ntfs::AttrFileName}, none;
    ASSERT_EQ(walkedTypes(sound), both);
    DWORD bytesInUse;
    std::memcpy(&bytesInUse, &sound[offsetof(Ntfs::FileRecordHeader, bytesInUse)], sizeof bytesInUse);

    using Hdr = Ntfs::FileRecordHeader;
    using Attr = Ntfs::AttributeHeader;
    const struct {
        const char* what;
        size_t at;
        size_t width;
        ULONGLONG value;
        std::vector<DWORD> walked;
    } cases[] = {
        {"not a FILE record", offsetof(Hdr, signature), 4, 0x44414142, none},
        {"allocated size other than the record's", offsetof(Hdr, bytesAllocated), 4, kRecordSize / 2, none},
        {"used bytes past the record", offsetof(Hdr, bytesInUse), 4, kRecordSize + 8, none},
        {"first attribute unaligned", offsetof(Hdr, firstAttributeOffset), 2, name + 4, none},
        {"first attribute inside the update sequence array", offsetof(Hdr, firstAttributeOffset), 2, 48, none},
        {"first attribute past the used bytes", offsetof(Hdr, firstAttributeOffset), 2, bytesInUse, none},
        {"type not a multiple of 16", data + offsetof(Attr, type), 4, 0x88, nameOnly},
        {"type past the last known one", data + offsetof(Attr, type), 4, 0x100, nameOnly},
        {"length unaligned", name + offsetof(Attr, length), 4, 0x5C, none},
        {"length below the resident header", name + offsetof(Attr, length), 4, 16, none},
        {"length past the used bytes", data + offsetof(Attr, length), 4, bytesInUse - data + 8, nameOnly},
        {"non-resident flag neither 0 nor 1", data + offsetof(Attr, nonResident), 1, 2, nameOnly},
        {"non-resident in a resident-sized attribute", name + offsetof(Attr, nonResident), 1, 1, none},
        {"name inside the header", name + offsetof(Attr, nameLength), 1, 1, none},
        {"value past the attribute", name + offsetof(Attr, u.resident.valueLength), 4, 0xFFFFFF00, none},
        {"value offset past the attribute", name + offsetof(Attr, u.resident.valueOffset), 2, 0xFFF0, none},
        {"mapping pairs inside the header", data + offsetof(Attr, u.nonResident.mappingPairsOffset), 2, 40, nameOnly},
        {"negative lowest VCN", data + offsetof(Attr, u.nonResident.lowestVcn), 8, ~0ull, nameOnly},
        {"highest VCN below the lowest", data + offsetof(Attr, u.nonResident.highestVcn), 8, ~1ull, nameOnly},
        {"negative data size", data + offsetof(Attr, u.nonResident.dataSize), 8, ~0ull, nameOnly},
    };
    for (const auto& c : cases) {
        std::vector<BYTE> bad = sound;
        std::memcpy(&bad[c.at], &c.value, c.width);
        EXPECT_EQ(walkedTypes(bad), c.walked) << c.what;
    }
    EXPECT_TRUE(walkedTypes(std::vector<BYTE>(sound.begin(), sound.begin() + 40)).empty()) << "cut short";

    // A $FILE_NAME whose name runs past its value is no name.
    std::vector<BYTE> longName = sound;
    longName[name + Ntfs::kResidentHeaderSize + offsetof(Ntfs::FileNameAttribute, nameLength)] = 6;
    ZNtfsAttributeWalk walk(longName.data(), longName.size());
    const Ntfs::AttributeHeader* a = walk.next();
    ASSERT_TRUE(a && a->type == Ntfs::AttrFileName);
    EXPECT_EQ(fileNameValue(a), nullptr);
}

// The accessors beside the list, index and journal structures refuse what
// reaches past the bytes they are given.
TEST(NtfsFormats, CheckedAccessorsRefuseWhatReachesPastTheirBytes)
{
    std::vector<BYTE> list(64, 0);
    poke<WORD>(list, offsetof(Ntfs::AttributeListEntry, length), 32);
    poke<WORD>(list, 32 + offsetof(Ntfs::AttributeListEntry, length), 40);
    EXPECT_NE(Ntfs::attributeListEntryAt(list.data(), list.size(), 0), nullptr);
    EXPECT_EQ(Ntfs::attributeListEntryAt(list.data(), list.size(), 32), nullptr) << "entry past the list";
    EXPECT_EQ(Ntfs::attributeListEntryAt(list.data(), list.size(), 48), nullptr) << "header past the list";
    EXPECT_EQ(Ntfs::attributeListEntryAt(list.data(), list.size(), 80), nullptr) << "position past the list";
    poke<WORD>(list, offsetof(Ntfs::AttributeListEntry, length), 8);
    EXPECT_EQ(Ntfs::attributeListEntryAt(list.data(), list.size(), 0), nullptr) << "entry shorter than its header";

    std::vector<BYTE> node(48, 0);
    poke<WORD>(node, offsetof(Ntfs::IndexEntryHeader, length), 32);
    poke<WORD>(node, offsetof(Ntfs::IndexEntryHeader, keyLength), 16);
    const Ntfs::IndexEntryHeader* e = Ntfs::indexEntryAt(node.data(), node.size(), 0);
    ASSERT_NE(e, nullptr);
    EXPECT_NE(Ntfs::indexEntryKey(*e), nullptr);
    EXPECT_EQ(Ntfs::indexEntryAt(node.data(), 24, 0), nullptr) << "entry past the node's used bytes";
    poke<WORD>(node, offsetof(Ntfs::IndexEntryHeader, keyLength), 17);
    EXPECT_EQ(Ntfs::indexEntryKey(*e), nullptr) << "key past the entry";
    poke<WORD>(node, offsetof(Ntfs::IndexEntryHeader, flags), Ntfs::IndexEntryLast);
    EXPECT_EQ(Ntfs::indexEntryAt(node.data(), node.size(), 0), nullptr) << "the last entry holds no key";

    Ntfs::UsnRecordV3Header v3{};
    v3.FileNameOffset = sizeof v3;
    v3.FileNameLength = 8;
    EXPECT_TRUE(Ntfs::usnRecordV3NameFits(v3, sizeof v3 + 8));
    EXPECT_FALSE(Ntfs::usnRecordV3NameFits(v3, sizeof v3 + 6)) << "name past the record";
    v3.FileNameLength = 7;
    EXPECT_FALSE(Ntfs::usnRecordV3NameFits(v3, sizeof v3 + 8)) << "half a unit";
    v3.FileNameOffset = 60;
    v3.FileNameLength = 8;
    EXPECT_FALSE(Ntfs::usnRecordV3NameFits(v3, sizeof v3 + 8)) << "name inside the header";
    ULONGLONG low = 0;
    v3.FileReferenceNumber[8] = 1;
    EXPECT_FALSE(Ntfs::usnReference64(v3.FileReferenceNumber, &low)) << "a 128-bit reference";

    // Boot sector sizes: sectors per cluster (0xF4: 2^12 bytes), record sizes (-10: 2^10 bytes).
    Ntfs::BootSector boot{};
    boot.bytesPerSector = 512;
    using Sizes = std::tuple<BYTE, signed char, unsigned long long, unsigned long long>;
    for (const auto& [perCluster, perRecord, cluster, record] :
         {Sizes{8, -10, 4096, 1024}, Sizes{0xF4, 1, 4096, 4096}, Sizes{0x80, -31, 0x10000, 0}, Sizes{0xC0, 2, 0, 0}}) {
        boot.sectorsPerCluster = perCluster;
        EXPECT_EQ(Ntfs::bootClusterBytes(boot), cluster) << int(perCluster);
        EXPECT_EQ(Ntfs::bootUnitBytes(perRecord, cluster), record) << int(perRecord);
    }
}

TEST(NtfsRunList, DecodesRunsHolesAndBackwardOffsetsAndRejectsMalformedPairs)
{
    // 0x21: 1-byte length, 2-byte offset. Runs: 8 @ 0x100, hole of 4, 2 @ 0x100 - 0x80.
    const BYTE pairs[] = {0x21, 0x08, 0x00, 0x01, 0x01, 0x04, 0x11, 0x02, 0x80, 0x00};
    ZNtfsRunList runs;
    ASSERT_TRUE(runs.decode(pairs, sizeof pairs, 0, 0x1000) && runs.finish());
    std::vector<std::pair<LONGLONG, LONGLONG>> got;
    for (const auto& run : runs.runs())
        got.push_back({run.vcn, run.lcn});
    EXPECT_EQ(got, (decltype(got){{0, 0x100}, {8, ZNtfsRunList::kSparseLcn}, {12, 0x80}}));
    EXPECT_EQ(runs.find(9)->lcn, ZNtfsRunList::kSparseLcn);
    EXPECT_EQ(runs.endVcn(), 14);
    EXPECT_EQ(runs.find(14), nullptr);

    const std::vector<std::vector<BYTE>> malformed = {
        {0x21, 0x10, 0xF8, 0x0F, 0x00},              // 16 clusters at 0xFF8 of 0x1000
        {0x11, 0x01, 0x80, 0x00},                    // first run at cluster -128
        {0x33, 0x01, 0x02},                          // cut short
        {0x11, 0x00, 0x10, 0x00},                    // zero length
        {0x19, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0},     // a length field wider than 8 bytes
    };
    for (const auto& bad : malformed)
        EXPECT_FALSE(ZNtfsRunList().decode(bad.data(), bad.size(), 0, 0x1000)) << int(bad[0]);
    ZNtfsRunList overlapping;
    const BYTE one[] = {0x11, 0x04, 0x10, 0x00};
    ASSERT_TRUE(overlapping.decode(one, sizeof one, 0, 0x1000) && overlapping.decode(one, sizeof one, 2, 0x1000));
    EXPECT_FALSE(overlapping.finish());
}

// The array holds the sequence number and one entry per stride; index blocks have no other check.
TEST(NtfsFixup, RefusesAnUpdateSequenceArrayOfTheWrongLength)
{
    std::vector<BYTE> block(1024, 0); // sequence number and stride ends all 0
    const DWORD signature = Ntfs::kFileRecordSignature;
    const WORD header[] = {0x30, 3};  // array offset, entries
    std::memcpy(&block[0], &signature, sizeof signature);
    std::memcpy(&block[4], header, sizeof header);
    std::vector<BYTE> good = block;
    EXPECT_TRUE(applyNtfsFixups(good.data(), good.size(), signature));
    for (BYTE count : {2, 4, 9}) {
        std::vector<BYTE> bad = block;
        bad[6] = count;
        EXPECT_FALSE(applyNtfsFixups(bad.data(), bad.size(), signature)) << int(count);
    }
}
