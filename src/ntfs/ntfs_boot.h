// The NTFS boot sector (the first 512 bytes of the volume), packed
// little-endian.
//
//    0 jump            3 oemId "NTFS    "   11 bytesPerSector
//   13 sectorsPerCluster (above 0x80: 2^(256 - n))   14 reservedSectors
//   21 mediaDescriptor 24 sectorsPerTrack   26 numberOfHeads  28 hiddenSectors
//   40 totalSectors    48 mftLcn            56 mftMirrLcn
//   64 clustersPerFileRecord (negative: 2^-n bytes)
//   68 clustersPerIndexBuffer (likewise)    72 volumeSerialNumber
//   80 checksum        84 bootstrap        510 endMarker 0xAA55
#pragma once

#include "win32/win32_types.h"

#include <cstddef>

namespace Ntfs {

constexpr WORD kBootEndMarker = 0xAA55;
constexpr BYTE kClusterShiftEncoding = 0x80;  // sectorsPerCluster above it: 2^(256 - n)

#pragma pack(push, 1)

struct BootSector {
    BYTE jump[3];                        //   0
    char oemId[8];                       //   3 "NTFS    "
    WORD bytesPerSector;                 //  11
    BYTE sectorsPerCluster;              //  13
    WORD reservedSectors;                //  14
    BYTE zero1[3];                       //  16
    WORD unused1;                        //  19
    BYTE mediaDescriptor;                //  21
    WORD zero2;                          //  22
    WORD sectorsPerTrack;                //  24
    WORD numberOfHeads;                  //  26
    DWORD hiddenSectors;                 //  28
    DWORD unused2;                       //  32
    DWORD unused3;                       //  36
    LONGLONG totalSectors;               //  40
    LONGLONG mftLcn;                     //  48
    LONGLONG mftMirrLcn;                 //  56
    signed char clustersPerFileRecord;   //  64 negative: 2^-n bytes
    BYTE pad1[3];                        //  65
    signed char clustersPerIndexBuffer;  //  68
    BYTE pad2[3];                        //  69
    ULONGLONG volumeSerialNumber;        //  72
    DWORD checksum;                      //  80
    BYTE bootstrap[426];                 //  84
    WORD endMarker;                      // 510 0xAA55
};
static_assert(offsetof(BootSector, oemId) == 3, "BootSector layout");
static_assert(offsetof(BootSector, bytesPerSector) == 11, "BootSector layout");
static_assert(offsetof(BootSector, sectorsPerCluster) == 13, "BootSector layout");
static_assert(offsetof(BootSector, mediaDescriptor) == 21, "BootSector layout");
static_assert(offsetof(BootSector, totalSectors) == 40, "BootSector layout");
static_assert(offsetof(BootSector, mftLcn) == 48, "BootSector layout");
static_assert(offsetof(BootSector, mftMirrLcn) == 56, "BootSector layout");
static_assert(offsetof(BootSector, clustersPerFileRecord) == 64, "BootSector layout");
static_assert(offsetof(BootSector, clustersPerIndexBuffer) == 68, "BootSector layout");
static_assert(offsetof(BootSector, volumeSerialNumber) == 72, "BootSector layout");
static_assert(offsetof(BootSector, endMarker) == 510, "BootSector layout");
static_assert(sizeof(BootSector) == 512, "BootSector layout");

#pragma pack(pop)

// Bytes a cluster holds by the sectorsPerCluster encoding; 0 when the shift
// is out of range.
inline unsigned long long bootClusterBytes(const BootSector& b)
{
    if (b.sectorsPerCluster > kClusterShiftEncoding) {
        const unsigned shift = 256u - b.sectorsPerCluster;
        return shift > 31 ? 0 : 1ull << shift;
    }
    return (unsigned long long)b.sectorsPerCluster * b.bytesPerSector;
}

// Bytes a file record (or index buffer) holds by its clusters-per field:
// clusters when positive, 2^-n bytes when negative; 0 when out of range.
inline unsigned long long bootUnitBytes(signed char clustersPer, unsigned long long clusterBytes)
{
    if (clustersPer < 0) {
        const unsigned shift = unsigned(-int(clustersPer));
        return shift < 31 ? (1ull << shift) : 0;
    }
    return (unsigned long long)clustersPer * clusterBytes;
}

} // namespace Ntfs
