// Writes NTFS FILE records: attribute headers (resident and non-resident with
// mapping pairs), the record header, the end marker and the update sequence
// array. Layouts from ntfs_format.h; every offset is 8-byte aligned as NTFS
// writes them.
#pragma once

#include "ntfs/ntfs_format.h"

#include <vector>

namespace Platform {

class ZNtfsRecordBuilder {
public:
    struct Run {
        ULONGLONG lcn = 0;
        ULONGLONG length = 0;            // clusters
    };

    struct RecordHeader {
        DWORD recordNumber = 0;
        WORD sequence = 0;
        WORD linkCount = 0;
        WORD flags = 0;                  // Ntfs::FileRecordFlags
        ULONGLONG baseReference = 0;     // extension records: the base record's reference
        ULONGLONG lsn = 0;
        WORD updateSequenceNumber = 1;   // never 0
    };

    static constexpr DWORD align8(DWORD n) { return (n + 7u) & ~7u; }

    // Appends one attribute (instance 0; placeAttribute sets it) to out and
    // returns its offset in out.
    static size_t appendResident(std::vector<BYTE>& out, DWORD type, const WCHAR* name, BYTE nameLength,
                                 const void* value, DWORD valueLength, BYTE residentFlags = 0);
    // One extent of a non-resident attribute: its runs start at lowestVcn.
    // Only the first extent (lowestVcn 0) carries the sizes; later ones hold 0.
    static size_t appendNonResident(std::vector<BYTE>& out, DWORD type, const WCHAR* name, BYTE nameLength,
                                    const std::vector<Run>& runs, ULONGLONG dataSize, DWORD bytesPerCluster,
                                    ULONGLONG lowestVcn = 0, ULONGLONG totalClusters = 0);
    static void encodeMappingPairs(const std::vector<Run>& runs, std::vector<BYTE>& out);
    // clusters clusters from lcn on, cut into `pieces` runs with one free
    // cluster between runs (so a split really gives separate runs); the runs
    // span clusters + pieces - 1 clusters.
    static std::vector<Run> splitRuns(ULONGLONG lcn, ULONGLONG clusters, DWORD pieces);
    static ULONGLONG spanOf(ULONGLONG clusters, DWORD pieces);

    // Where attributes start in a record of recordSize bytes, and how many
    // attribute bytes fit before the end marker.
    static DWORD firstAttributeOffset(DWORD recordSize);
    static DWORD attributeCapacity(DWORD recordSize);

    // record must hold recordSize zeroed bytes. Returns the first attribute offset.
    static DWORD beginRecord(BYTE* record, DWORD recordSize, const RecordHeader& header);
    // Copies an attribute to offset with the given instance; returns the offset after it.
    static DWORD placeAttribute(BYTE* record, DWORD offset, const BYTE* attribute, DWORD length, WORD instance);
    // Writes the end marker at offset, bytesInUse and nextAttributeId.
    static void endRecord(BYTE* record, DWORD recordSize, DWORD offset, WORD nextInstance);
    // Fills the update sequence array from the sector ends. With stampSectorEnds
    // the sector ends are replaced by the update sequence number (the on-disk form).
    static void protect(BYTE* record, DWORD recordSize, bool stampSectorEnds);
    // Undoes protect's stamping: checks and restores every sector end. False
    // when the header or a sector end does not match.
    static bool unprotect(BYTE* record, DWORD recordSize);
};

} // namespace Platform
