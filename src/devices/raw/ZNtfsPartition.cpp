#include "devices/raw/ZNtfsPartition.h"

#include <cstring>
#include <vector>

namespace Platform {

namespace {

constexpr size_t kSector = 512;
constexpr size_t kSignatureOffset = 510;
constexpr WORD kBootSignature = 0xAA55;

#pragma pack(push, 1)
struct MbrPartitionEntry {
    BYTE status;
    BYTE chsFirst[3];
    BYTE type;
    BYTE chsLast[3];
    DWORD firstLba;
    DWORD sectorCount;
};
static_assert(sizeof(MbrPartitionEntry) == 16, "MbrPartitionEntry layout");

struct GptHeader {
    char signature[8];          // "EFI PART"
    DWORD revision;
    DWORD headerSize;
    DWORD headerCrc;
    DWORD reserved;
    ULONGLONG currentLba;
    ULONGLONG backupLba;
    ULONGLONG firstUsableLba;
    ULONGLONG lastUsableLba;
    BYTE diskGuid[16];
    ULONGLONG entriesLba;
    DWORD entryCount;
    DWORD entrySize;
    DWORD entriesCrc;
};
static_assert(offsetof(GptHeader, entriesLba) == 72, "GptHeader layout");
static_assert(offsetof(GptHeader, entrySize) == 84, "GptHeader layout");

struct GptEntry {
    BYTE typeGuid[16];
    BYTE uniqueGuid[16];
    ULONGLONG firstLba;
    ULONGLONG lastLba;
    ULONGLONG attributes;
};
static_assert(offsetof(GptEntry, firstLba) == 32, "GptEntry layout");
#pragma pack(pop)

constexpr size_t kMbrTableOffset = 446;
constexpr int kMbrEntries = 4;
constexpr BYTE kMbrGptProtective = 0xEE;
constexpr DWORD kMaxGptEntries = 256;
constexpr size_t kGptSectorSizes[] = {512, 4096};

bool hasBootSignature(const BYTE* sector)
{
    WORD sig;
    std::memcpy(&sig, sector + kSignatureOffset, sizeof sig);
    return sig == kBootSignature;
}

struct Candidate {
    ULONGLONG offset;
    ULONGLONG length;
};

std::u16string probe(ZNtfsImageSource& image, const Candidate& c)
{
    BYTE sector[kSector];
    if (!image.readAt(c.offset, sector, kSector))
        return std::u16string();
    return bootSectorFileSystem(sector);
}

void gptCandidates(ZNtfsImageSource& image, std::vector<Candidate>& out)
{
    for (size_t sectorSize : kGptSectorSizes) {
        GptHeader h;
        if (!image.readAt(sectorSize, &h, sizeof h) || std::memcmp(h.signature, "EFI PART", 8) != 0)
            continue;
        if (h.entrySize < sizeof(GptEntry) || h.entrySize > 4096 || h.entriesLba > (~0ull) / sectorSize)
            return;
        const DWORD count = h.entryCount < kMaxGptEntries ? h.entryCount : kMaxGptEntries;
        std::vector<BYTE> entry(h.entrySize);
        for (DWORD i = 0; i < count; ++i) {
            const ULONGLONG at = h.entriesLba * sectorSize + ULONGLONG(i) * h.entrySize;
            if (!image.readAt(at, entry.data(), entry.size()))
                return;
            GptEntry e;
            std::memcpy(&e, entry.data(), sizeof e);
            static const BYTE kUnused[16] = {};
            if (std::memcmp(e.typeGuid, kUnused, 16) == 0 || e.lastLba < e.firstLba
                || e.lastLba >= (~0ull) / sectorSize)
                continue;
            out.push_back({e.firstLba * sectorSize, (e.lastLba - e.firstLba + 1) * sectorSize});
        }
        return;
    }
}

} // namespace

std::u16string bootSectorFileSystem(const BYTE* sector)
{
    if (std::memcmp(sector + 3, "NTFS    ", 8) == 0)
        return u"NTFS";
    if (std::memcmp(sector + 3, "EXFAT   ", 8) == 0)
        return u"exFAT";
    if (!hasBootSignature(sector))
        return std::u16string();
    if (std::memcmp(sector + 82, "FAT32   ", 8) == 0)
        return u"FAT32";
    if (std::memcmp(sector + 54, "FAT12   ", 8) == 0 || std::memcmp(sector + 54, "FAT16   ", 8) == 0
        || std::memcmp(sector + 54, "FAT     ", 8) == 0)
        return u"FAT";
    return std::u16string();
}

ZVolumeLocation locateVolume(ZNtfsImageSource& image)
{
    ZVolumeLocation result;
    const ULONGLONG total = image.size();
    BYTE sector[kSector];
    if (total < kSector || !image.readAt(0, sector, kSector))
        return result;

    std::vector<Candidate> candidates;
    candidates.push_back({0, total});
    const std::u16string whole = bootSectorFileSystem(sector);
    if (whole.empty() && hasBootSignature(sector)) {
        bool protective = false;
        for (int i = 0; i < kMbrEntries; ++i) {
            MbrPartitionEntry e;
            std::memcpy(&e, sector + kMbrTableOffset + i * sizeof e, sizeof e);
            if (e.type == 0 || e.sectorCount == 0)
                continue;
            if (e.type == kMbrGptProtective) {
                protective = true;
                continue;
            }
            candidates.push_back({ULONGLONG(e.firstLba) * kSector, ULONGLONG(e.sectorCount) * kSector});
        }
        if (protective)
            gptCandidates(image, candidates);
    }

    for (const Candidate& c : candidates) {
        if (c.offset >= total)
            continue;
        const std::u16string fs = probe(image, c);
        if (fs.empty())
            continue;
        if (fs == u"NTFS" || result.fileSystem.empty()) {
            result.offset = c.offset;
            result.length = c.length < total - c.offset ? c.length : total - c.offset;
            result.fileSystem = fs;
        }
        if (fs == u"NTFS")
            break;
    }
    return result;
}

} // namespace Platform
