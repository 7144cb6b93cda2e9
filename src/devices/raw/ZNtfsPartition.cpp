#include "devices/raw/ZNtfsPartition.h"

#include "ntfs/partition_table.h"

#include <cstring>
#include <vector>

namespace Platform {

namespace {

using Ntfs::GptEntry;
using Ntfs::GptHeader;
using Ntfs::MbrPartitionEntry;

constexpr size_t kSector = Ntfs::kMbrSectorSize;
constexpr DWORD kMaxGptEntries = 256;
constexpr size_t kGptSectorSizes[] = {512, 4096};

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
        if (!image.readAt(sectorSize, &h, sizeof h) || std::memcmp(h.signature, Ntfs::kGptSignature, sizeof h.signature) != 0)
            continue;
        if (h.entrySize < sizeof(GptEntry) || h.entrySize > Ntfs::kMaxGptEntrySize || h.entriesLba > (~0ull) / sectorSize)
            return;
        const DWORD count = h.entryCount < kMaxGptEntries ? h.entryCount : kMaxGptEntries;
        std::vector<BYTE> entry(h.entrySize);
        for (DWORD i = 0; i < count; ++i) {
            const ULONGLONG at = h.entriesLba * sectorSize + ULONGLONG(i) * h.entrySize;
            if (!image.readAt(at, entry.data(), entry.size()))
                return;
            GptEntry e;
            std::memcpy(&e, entry.data(), sizeof e);
            if (Ntfs::gptEntryUnused(e) || e.lastLba < e.firstLba
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
    if (!Ntfs::hasMbrSignature(sector))
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
    if (whole.empty() && Ntfs::hasMbrSignature(sector)) {
        bool protective = false;
        for (int i = 0; i < Ntfs::kMbrEntries; ++i) {
            const MbrPartitionEntry e = Ntfs::mbrEntry(sector, i);
            if (e.type == 0 || e.sectorCount == 0)
                continue;
            if (e.type == Ntfs::kMbrGptProtective) {
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
