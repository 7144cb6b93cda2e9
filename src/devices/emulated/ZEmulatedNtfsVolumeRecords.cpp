// ZEmulatedNtfsVolume: placement of attributes (clusters, extension records,
// attribute lists); ZEmulatedRecordEncoder encodes the records from it.
#include "devices/emulated/ZEmulatedRecordEncoder.h"
#include "devices/emulated/ZEmulatedNtfsVolumeParts.h"

#include <cstring>

namespace Platform {

using namespace EmulatedNtfsParts;

// ---------------------------------------------------------------------------
// Placement of attributes (lock held)

void ZEmulatedNtfsVolume::ensureClusters(ULONGLONG& lcn, ULONGLONG& capacity, ULONGLONG clusters, DWORD runs)
{
    const ULONGLONG span = Builder::spanOf(clusters, runs);
    if (lcn != 0 && span <= capacity)
        return;
    // Grow by doubling so a file written in small pieces does not move each time.
    capacity = std::max<ULONGLONG>({span, capacity * 2, 1});
    lcn = allocateClusters(capacity);
}

void ZEmulatedNtfsVolume::normalize(DWORD r)
{
    const ZEmulatedRecordEncoder encoder(*this);
    Slot& s = slots_[r];
    if (s.kind != KindBase || (s.flags & FlagMetafile))
        return;
    const DWORD bpc = options_.bytesPerCluster;
    const DWORD capacity = Builder::attributeCapacity(options_.bytesPerRecord);
    const bool folder = s.flags & FlagDirectory;
    Extras* ex = extras_.count(r) ? &extras_[r] : nullptr;
    const DWORD dataExtents = ex ? ex->dataExtents : 1;
    const DWORD dataRuns = std::max(ex ? ex->dataRuns : 1, dataExtents);

    auto placeData = [&](ULONGLONG size, ULONGLONG& lcn, ULONGLONG& cap, DWORD runs, bool forceOut) {
        if (lcn == 0 && (size > options_.residentDataLimit || forceOut))
            cap = 0;
        else if (lcn == 0)
            return;
        ensureClusters(lcn, cap, clustersFor(size, bpc), runs);
    };
    auto placeFileData = [&](bool forceOut) {
        ULONGLONG capacity = s.dataCapacity;
        placeData(s.dataSize, s.dataLcn, capacity, dataRuns, forceOut);
        s.dataCapacity = capacityOf(capacity);
    };
    // Data written in extents lives outside the record from its first byte.
    const bool extents = !folder && dataExtents > 1 && s.dataSize > 0;
    if (!folder)
        placeFileData(extents);
    if (ex)
        for (Stream& st : ex->streams)
            placeData(st.size, st.lcn, st.capacity, 1, false);

    // The common case: a plain file whose attributes plainly fit.
    if ((!ex || (ex->listForm == AttributeListForm::Automatic && ex->extensionRecords.empty() && !extents))
        && encoder.attributeBytesBound(r) <= capacity)
        return;

    Layout L;
    encoder.buildAttributes(r, L);
    auto total = [&] {
        DWORD sum = 0;
        for (const Blob& b : L.blobs)
            sum += b.length;
        return sum;
    };
    if (total() > capacity) {
        // Resident data leaves the record before the record needs a list.
        if (!folder && s.dataSize > 0)
            placeFileData(true);
        if (ex)
            for (Stream& st : ex->streams)
                if (st.size > 0)
                    placeData(st.size, st.lcn, st.capacity, 1, true);
        encoder.buildAttributes(r, L);
    }

    const AttributeListForm form = ex ? ex->listForm : AttributeListForm::Automatic;
    if (form == AttributeListForm::Automatic && !extents && total() <= capacity) {
        if (ex && !ex->extensionRecords.empty()) {
            for (DWORD e : ex->extensionRecords)
                freeRecord(e);
            ex->extensionRecords.clear();
        }
        if (ex)
            dropListRun(r, *ex);
        return;
    }

    Extras& x = extrasOf(r);
    // A forced list, or extents (one extension record each at least), share the attributes out.
    const bool spread = form != AttributeListForm::Automatic || extents;
    const DWORD m = DWORD(L.blobs.size() - 1);
    const DWORD wanted = std::max<DWORD>(form != AttributeListForm::Automatic ? x.forcedExtensions : 1,
                                         extents ? dataExtents : 1);
    DWORD n = spread ? std::min(std::max<DWORD>(wanted, 1), std::max<DWORD>(m, 1)) : 1;
    while (n < std::max<DWORD>(m, 1) && !encoder.assignHomes(L, n, spread))
        ++n;
    while (x.extensionRecords.size() > n) {
        freeRecord(x.extensionRecords.back());
        x.extensionRecords.pop_back();
    }
    while (x.extensionRecords.size() < n) {
        const DWORD e = allocateRecord();
        if (!e)
            break;                       // MFT full: the surplus attributes are left out
        Slot& es = slots_[e];
        es.kind = KindExtension;
        es.baseRecord = r;
        x.extensionRecords.push_back(e);
    }

    DWORD listSize = 0;
    for (size_t i = 0; i < L.blobs.size(); ++i)
        listSize += encoder.listEntrySize(L, i);
    const DWORD residentList = Builder::align8(Ntfs::kResidentHeaderSize + listSize);
    const bool residentFits = L.blobs[0].length + residentList <= capacity;
    if (form == AttributeListForm::NonResident || !residentFits) {
        const ULONGLONG clusters = clustersFor(listSize, bpc);
        const ULONGLONG oldLcn = x.listLcn;
        ensureClusters(x.listLcn, x.listCapacity, clusters, x.listRuns);
        if (oldLcn != x.listLcn && oldLcn)
            listRuns_.erase(oldLcn);
        listRuns_[x.listLcn] = r;
        x.listClusters = clusters;
        x.nonResidentList = true;
    } else {
        dropListRun(r, x);
    }
}

void ZEmulatedNtfsVolume::dropListRun(DWORD r, Extras& ex)
{
    if (ex.listLcn) {
        auto it = listRuns_.find(ex.listLcn);
        if (it != listRuns_.end() && it->second == r)
            listRuns_.erase(it);
    }
    ex.nonResidentList = false;
    ex.listLcn = 0;
    ex.listCapacity = 0;
    ex.listClusters = 0;
}

} // namespace Platform
