// NTFS and USN device-control codes and structures (winioctl.h), byte for byte.
#pragma once

#include "win32/win32_types.h"

#include <cstddef>

enum : DWORD {
    FSCTL_GET_NTFS_VOLUME_DATA = 0x00090064,
    FSCTL_GET_NTFS_FILE_RECORD = 0x00090068,
    FSCTL_ENUM_USN_DATA = 0x000900B3,
    FSCTL_READ_USN_JOURNAL = 0x000900BB,
    FSCTL_CREATE_USN_JOURNAL = 0x000900E7,
    FSCTL_QUERY_USN_JOURNAL = 0x000900F4,
    FSCTL_DELETE_USN_JOURNAL = 0x000900F8,
};

enum : DWORD {
    USN_REASON_DATA_OVERWRITE = 0x00000001,
    USN_REASON_DATA_EXTEND = 0x00000002,
    USN_REASON_DATA_TRUNCATION = 0x00000004,
    USN_REASON_NAMED_DATA_OVERWRITE = 0x00000010,
    USN_REASON_NAMED_DATA_EXTEND = 0x00000020,
    USN_REASON_NAMED_DATA_TRUNCATION = 0x00000040,
    USN_REASON_FILE_CREATE = 0x00000100,
    USN_REASON_FILE_DELETE = 0x00000200,
    USN_REASON_EA_CHANGE = 0x00000400,
    USN_REASON_SECURITY_CHANGE = 0x00000800,
    USN_REASON_RENAME_OLD_NAME = 0x00001000,
    USN_REASON_RENAME_NEW_NAME = 0x00002000,
    USN_REASON_INDEXABLE_CHANGE = 0x00004000,
    USN_REASON_BASIC_INFO_CHANGE = 0x00008000,
    USN_REASON_HARD_LINK_CHANGE = 0x00010000,
    USN_REASON_COMPRESSION_CHANGE = 0x00020000,
    USN_REASON_ENCRYPTION_CHANGE = 0x00040000,
    USN_REASON_OBJECT_ID_CHANGE = 0x00080000,
    USN_REASON_REPARSE_POINT_CHANGE = 0x00100000,
    USN_REASON_STREAM_CHANGE = 0x00200000,
    USN_REASON_TRANSACTED_CHANGE = 0x00400000,
    USN_REASON_INTEGRITY_CHANGE = 0x00800000,
    USN_REASON_CLOSE = 0x80000000u,
};

enum : DWORD {
    USN_DELETE_FLAG_DELETE = 0x1,
    USN_DELETE_FLAG_NOTIFY = 0x2,
};

#pragma pack(push, 1)
// Structures below carry Windows' natural alignment; packing only pins it.

struct NTFS_VOLUME_DATA_BUFFER {
    LARGE_INTEGER VolumeSerialNumber;
    LARGE_INTEGER NumberSectors;
    LARGE_INTEGER TotalClusters;
    LARGE_INTEGER FreeClusters;
    LARGE_INTEGER TotalReserved;
    DWORD BytesPerSector;
    DWORD BytesPerCluster;
    DWORD BytesPerFileRecordSegment;
    DWORD ClustersPerFileRecordSegment;
    LARGE_INTEGER MftValidDataLength;
    LARGE_INTEGER MftStartLcn;
    LARGE_INTEGER Mft2StartLcn;
    LARGE_INTEGER MftZoneStart;
    LARGE_INTEGER MftZoneEnd;
};
static_assert(sizeof(NTFS_VOLUME_DATA_BUFFER) == 96, "NTFS_VOLUME_DATA_BUFFER layout");
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, BytesPerSector) == 40, "NTFS_VOLUME_DATA_BUFFER layout");
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, MftValidDataLength) == 56, "NTFS_VOLUME_DATA_BUFFER layout");

struct USN_JOURNAL_DATA_V0 {
    DWORDLONG UsnJournalID;
    USN FirstUsn;
    USN NextUsn;
    USN LowestValidUsn;
    USN MaxUsn;
    DWORDLONG MaximumSize;
    DWORDLONG AllocationDelta;
};
static_assert(sizeof(USN_JOURNAL_DATA_V0) == 56, "USN_JOURNAL_DATA_V0 layout");

struct USN_JOURNAL_DATA_V1 {
    DWORDLONG UsnJournalID;
    USN FirstUsn;
    USN NextUsn;
    USN LowestValidUsn;
    USN MaxUsn;
    DWORDLONG MaximumSize;
    DWORDLONG AllocationDelta;
    WORD MinSupportedMajorVersion;
    WORD MaxSupportedMajorVersion;
    BYTE Reserved_[4]; // tail padding of the Windows layout
};
static_assert(sizeof(USN_JOURNAL_DATA_V1) == 64, "USN_JOURNAL_DATA_V1 layout");
static_assert(offsetof(USN_JOURNAL_DATA_V1, MinSupportedMajorVersion) == 56, "USN_JOURNAL_DATA_V1 layout");

struct CREATE_USN_JOURNAL_DATA {
    DWORDLONG MaximumSize;
    DWORDLONG AllocationDelta;
};
static_assert(sizeof(CREATE_USN_JOURNAL_DATA) == 16, "CREATE_USN_JOURNAL_DATA layout");

struct DELETE_USN_JOURNAL_DATA {
    DWORDLONG UsnJournalID;
    DWORD DeleteFlags;
    BYTE Reserved_[4];
};
static_assert(sizeof(DELETE_USN_JOURNAL_DATA) == 16, "DELETE_USN_JOURNAL_DATA layout");

struct MFT_ENUM_DATA_V0 {
    DWORDLONG StartFileReferenceNumber;
    USN LowUsn;
    USN HighUsn;
};
static_assert(sizeof(MFT_ENUM_DATA_V0) == 24, "MFT_ENUM_DATA_V0 layout");

struct MFT_ENUM_DATA_V1 {
    DWORDLONG StartFileReferenceNumber;
    USN LowUsn;
    USN HighUsn;
    WORD MinMajorVersion;
    WORD MaxMajorVersion;
    BYTE Reserved_[4];
};
static_assert(sizeof(MFT_ENUM_DATA_V1) == 32, "MFT_ENUM_DATA_V1 layout");

struct READ_USN_JOURNAL_DATA_V0 {
    USN StartUsn;
    DWORD ReasonMask;
    DWORD ReturnOnlyOnClose;
    DWORDLONG Timeout;
    DWORDLONG BytesToWaitFor;
    DWORDLONG UsnJournalID;
};
static_assert(sizeof(READ_USN_JOURNAL_DATA_V0) == 40, "READ_USN_JOURNAL_DATA_V0 layout");

struct READ_USN_JOURNAL_DATA_V1 {
    USN StartUsn;
    DWORD ReasonMask;
    DWORD ReturnOnlyOnClose;
    DWORDLONG Timeout;
    DWORDLONG BytesToWaitFor;
    DWORDLONG UsnJournalID;
    WORD MinMajorVersion;
    WORD MaxMajorVersion;
    BYTE Reserved_[4];
};
static_assert(sizeof(READ_USN_JOURNAL_DATA_V1) == 48, "READ_USN_JOURNAL_DATA_V1 layout");

struct USN_RECORD_V2 {
    DWORD RecordLength;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORDLONG FileReferenceNumber;
    DWORDLONG ParentFileReferenceNumber;
    USN Usn;
    LARGE_INTEGER TimeStamp;
    DWORD Reason;
    DWORD SourceInfo;
    DWORD SecurityId;
    DWORD FileAttributes;
    WORD FileNameLength; // in bytes
    WORD FileNameOffset; // from the start of the record
    WCHAR FileName[1];
    BYTE Reserved_[2];   // tail padding of the Windows layout
};
static_assert(offsetof(USN_RECORD_V2, FileReferenceNumber) == 8, "USN_RECORD_V2 layout");
static_assert(offsetof(USN_RECORD_V2, Usn) == 24, "USN_RECORD_V2 layout");
static_assert(offsetof(USN_RECORD_V2, Reason) == 40, "USN_RECORD_V2 layout");
static_assert(offsetof(USN_RECORD_V2, FileAttributes) == 52, "USN_RECORD_V2 layout");
static_assert(offsetof(USN_RECORD_V2, FileNameLength) == 56, "USN_RECORD_V2 layout");
static_assert(offsetof(USN_RECORD_V2, FileName) == 60, "USN_RECORD_V2 layout");
static_assert(sizeof(USN_RECORD_V2) == 64, "USN_RECORD_V2 layout");
typedef USN_RECORD_V2 USN_RECORD;

// Records in the output of ENUM_USN_DATA and READ_USN_JOURNAL start 8-byte aligned.
constexpr DWORD kUsnRecordAlignment = 8;

struct NTFS_FILE_RECORD_INPUT_BUFFER {
    LARGE_INTEGER FileReferenceNumber;
};
static_assert(sizeof(NTFS_FILE_RECORD_INPUT_BUFFER) == 8, "NTFS_FILE_RECORD_INPUT_BUFFER layout");

struct NTFS_FILE_RECORD_OUTPUT_BUFFER {
    LARGE_INTEGER FileReferenceNumber;
    DWORD FileRecordLength;
    BYTE FileRecordBuffer[1];
    BYTE Reserved_[3];
};
static_assert(offsetof(NTFS_FILE_RECORD_OUTPUT_BUFFER, FileRecordBuffer) == 12, "NTFS_FILE_RECORD_OUTPUT_BUFFER layout");
static_assert(sizeof(NTFS_FILE_RECORD_OUTPUT_BUFFER) == 16, "NTFS_FILE_RECORD_OUTPUT_BUFFER layout");

#pragma pack(pop)
