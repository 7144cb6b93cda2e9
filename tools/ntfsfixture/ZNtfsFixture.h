// Makes NTFS images for tests and benchmarks without mounting anything:
// mkntfs formats the image file, libntfs-3g then works on it directly.
// A small script language drives it (see ntfsfixture.cpp for the commands).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct _ntfs_volume;

namespace SearchEngine {

class ZNtfsFixture {
public:
    ZNtfsFixture() = default;
    ~ZNtfsFixture();
    ZNtfsFixture(const ZNtfsFixture&) = delete;
    ZNtfsFixture& operator=(const ZNtfsFixture&) = delete;

    // Formats image (created or truncated to sizeBytes) with mkntfs.
    static bool format(const std::string& image, uint64_t sizeBytes, unsigned clusterSize,
                       const std::string& label, std::string* error);

    // Opens an NTFS image for changes; close() writes everything back.
    bool open(const std::string& image);
    bool close();

    // Paths are absolute within the volume, '/'-separated, UTF-8.
    bool makeDirectory(const std::string& path);
    bool makeFile(const std::string& path, uint64_t size);
    bool link(const std::string& existing, const std::string& newPath);
    bool remove(const std::string& path);
    // Splits the file's name into a Win32 name and this DOS (8.3) name.
    bool setDosName(const std::string& path, const std::string& shortName);
    // Adds count named $DATA streams of size bytes each.
    bool addStreams(const std::string& path, unsigned count, uint64_t size);
    // count empty files "f<N>" in dir (made if missing), for large volumes.
    bool makeMany(const std::string& dir, uint64_t count);
    // Fills the free space with one-cluster files and deletes every other one,
    // so that what the MFT grows into next is fragmented.
    bool fragmentFreeSpace();

    // $Extend\$UsnJrnl with $Max and an empty $J whose first record will sit
    // at firstUsn (the stream is sparse before it).
    bool createJournal(uint64_t maximumSize, uint64_t firstUsn, uint64_t journalId);
    // Appends a USN_RECORD_V2 for the file at path (its record, parent and
    // name) with the given reasons; the file's $STANDARD_INFORMATION USN is
    // set to it. Returns the record's USN in *usn.
    bool appendUsn(const std::string& path, uint32_t reason, int64_t* usn = nullptr);
    // Appends one raw record (for damaged-journal tests).
    bool appendRawUsn(const std::vector<uint8_t>& bytes);

    // The record number of path (0 when missing).
    uint64_t recordOf(const std::string& path);

    const std::string& lastError() const { return error_; }

    // Runs a script: one command per line (see ntfsfixture.cpp).
    bool runScript(const std::string& script);

private:
    bool fail(const std::string& what);
    bool journalStream(void** attribute, void** inode);

    _ntfs_volume* volume_ = nullptr;
    std::string error_;
};

} // namespace SearchEngine
