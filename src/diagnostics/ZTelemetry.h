// Usage records for the suite's telemetry library: sendReport fills one
// record (a fixed table description and ten fields) and asks the library to
// write it. Fire-and-forget: without the library nothing happens.
#pragma once

#include "win32/win32_types.h"

#include <QString>

#include <atomic>
#include <string>
#include <vector>

namespace SearchEngine {

class ITallyClient2;

// The caller-filled part of a record. Callers zero what they do not fill.
struct ScanStats {
    QString drive;        // the drive letter as a one-character string ("C"), or empty
    int scanfiles = 0;    // entries of the drive's record map after a build
    int scansec = 0;      // seconds a full MFT walk took
    int updatecount = 0;  // journal reads a monitoring run attempted
};

// Event types (dtype) and their reasons.
enum ReportType : int {
    ReportServiceStart = 1,    // reason: ReportStartRefused, ReportListenFailed, ReportNoDrives
    ReportDriveInit = 2,       // reason: the initDriveVolume code, 1 to 5
    ReportJournalRecreate = 3, // reason 0
    ReportBuildBegin = 4,      // reason 0
    ReportBuildEnd = 5,        // reason 0
    ReportListenFailed = 6,    // reason: 87 or 21
};
enum : int {
    ReportStartRefused = 1,
    ReportStartListenFailed = 2,
    ReportStartNoDrives = 3,
};

// The binding to the library, made afresh for every report. The module is
// loaded once and never unloaded; the interface is released by the destructor.
class ZTallyNoZfmtFileWrap {
public:
    ZTallyNoZfmtFileWrap();
    virtual ~ZTallyNoZfmtFileWrap();
    ZTallyNoZfmtFileWrap(const ZTallyNoZfmtFileWrap&) = delete;
    ZTallyNoZfmtFileWrap& operator=(const ZTallyNoZfmtFileWrap&) = delete;

    // The interface name asked of the library.
    virtual LPCWSTR interfaceName() const;
    // The ready interface, or null.
    ITallyClient2* client() const { return client_; }

    // The places the library is loaded from when it is not loaded yet, in
    // the order they are tried (Windows paths).
    static std::vector<std::u16string> libraryPaths();

private:
    void bind();

    HMODULE module_ = nullptr;
    ITallyClient2* client_ = nullptr;
};

// The service start tick (milliseconds of GetTickCount64); 0 until the
// service start sets it. Reports measure runsec from it.
class ZServiceStartTick {
public:
    void set(ULONGLONG tick) { tick_.store(tick); }
    ULONGLONG value() const { return tick_.load(); }

    // Sends one record; any thread, never fails towards the caller.
    void sendReport(int dtype, int reason, const ScanStats& stats) const;

private:
    std::atomic<ULONGLONG> tick_{0};
};

// The process-wide start tick.
ZServiceStartTick& serviceStartTick();

// serviceStartTick().sendReport(dtype, reason, stats).
void sendReport(int dtype, int reason, const ScanStats& stats);

// The record's table description.
extern const char16_t kTallyTableDescription[];

} // namespace SearchEngine
