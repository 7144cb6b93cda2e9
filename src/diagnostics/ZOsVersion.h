// The Windows release and processor width the service runs on, as the OS id
// and the one-byte OS code of the telemetry record.
#pragma once

namespace SearchEngine {

// OS id: 0 none of the known releases, 1 Windows 95/98, 2 Me, 3 2000, 4 NT 4,
// 5 XP x64 / Server 2003, 6 XP, 7 Vista, 8 Windows 7, 9 Server 2008 / 2008 R2,
// 10 Windows 8, 11 Windows 8.1, 12 Windows 10, 13 Windows 11.
// Kept once known; 0 is asked again at each call.
int osId();
// The telemetry OS code: 2 * (OS id - 6) + 1 for OS ids 6 to 13, else 0;
// plus 1 on a 64-bit system.
int osCode();

// Architecture values.
enum : int {
    kArchitecture32 = 1,
    kArchitecture64 = 2,
};

// The uncached steps behind osId and osCode, each asking the version source
// afresh.
int osIdFromVersionSource();
int architectureFromVersionSource();
int osCodeOf(int osId, int architecture);

} // namespace SearchEngine
