// On-disk NTFS structures (NTFS 3.1), little-endian, packed, with their
// published offsets pinned by static_assert: one header per format.
#pragma once

#include "ntfs/ntfs_attributes.h"
#include "ntfs/ntfs_boot.h"
#include "ntfs/ntfs_index.h"
#include "ntfs/ntfs_record.h"
#include "ntfs/ntfs_usn.h"
#include "ntfs/ntfs_volume_flags.h"
#include "ntfs/partition_table.h"
