// Data runs ("mapping pairs") of non-resident NTFS attributes, and the map
// from virtual cluster numbers of an attribute to clusters of the volume.
#pragma once

#include "win32/win32_types.h"

#include <cstddef>
#include <vector>

namespace Platform {

struct ZNtfsRun {
    LONGLONG vcn = 0;     // first virtual cluster of the run
    LONGLONG lcn = -1;    // first volume cluster; kSparseLcn for a hole
    LONGLONG length = 0;  // clusters
};

class ZNtfsRunList {
public:
    static constexpr LONGLONG kSparseLcn = -1;
    // A run list longer than this is treated as corrupt (a real one of this
    // size would describe an absurdly fragmented attribute).
    static constexpr size_t kMaxRuns = 1u << 20;

    // Decodes the mapping pairs at [pairs, pairs + size) of an attribute
    // extent that starts at startVcn and appends its runs. Every run must lie
    // inside a volume of totalClusters clusters. False on malformed input
    // (runs decoded before the fault stay appended).
    bool decode(const BYTE* pairs, size_t size, LONGLONG startVcn, LONGLONG totalClusters);

    // Orders the runs of several extents by VCN; false when they overlap.
    bool finish();

    // The run holding vcn, or null when vcn is not mapped.
    const ZNtfsRun* find(LONGLONG vcn) const;

    const std::vector<ZNtfsRun>& runs() const { return runs_; }
    // One past the highest mapped VCN (0 when empty).
    LONGLONG endVcn() const;
    bool empty() const { return runs_.empty(); }
    void clear() { runs_.clear(); }

private:
    std::vector<ZNtfsRun> runs_;
};

} // namespace Platform
