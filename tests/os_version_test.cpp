// OS id and telemetry OS code over a replaced version source.
#include "diagnostics/ZOsVersion.h"
#include "platform/win32_version.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstring>

using namespace SearchEngine;

namespace {

class FakeVersionSource : public Platform::ZVersionSource {
public:
    bool exOk = true;     // GetVersionExW with OSVERSIONINFOEXW
    bool plainOk = true;  // GetVersionExW with OSVERSIONINFOW
    OSVERSIONINFOEXW reported{};
    bool hasRtl = false;
    DWORD rtlMajor = 0, rtlMinor = 0, rtlBuild = 0;
    bool hasKernelVersion = false;
    DWORD kernelVersionMS = 0;
    bool hasNativeInfo = true;
    WORD architecture = PROCESSOR_ARCHITECTURE_AMD64;
    int versionCalls = 0;

    bool versionEx(OSVERSIONINFOW* info) override
    {
        ++versionCalls;
        const DWORD size = info->dwOSVersionInfoSize;
        if ((size == sizeof(OSVERSIONINFOEXW) && !exOk) || (size == sizeof(OSVERSIONINFOW) && !plainOk))
            return false;
        OSVERSIONINFOEXW v = reported;
        v.dwOSVersionInfoSize = size;
        memcpy(info, &v, size);
        return true;
    }
    bool ntVersionNumbers(DWORD* major, DWORD* minor, DWORD* build) override
    {
        if (!hasRtl)
            return false;
        *major = rtlMajor;
        *minor = rtlMinor;
        *build = rtlBuild;
        return true;
    }
    bool kernelFileVersion(VS_FIXEDFILEINFO* info) override
    {
        if (!hasKernelVersion)
            return false;
        info->dwFileVersionMS = kernelVersionMS;
        return true;
    }
    bool nativeSystemInfo(SYSTEM_INFO* info) override
    {
        if (!hasNativeInfo)
            return false;
        info->wProcessorArchitecture = architecture;
        return true;
    }

    void report(DWORD platform, DWORD major, DWORD minor, DWORD build, BYTE productType)
    {
        reported = OSVERSIONINFOEXW{};
        reported.dwPlatformId = platform;
        reported.dwMajorVersion = major;
        reported.dwMinorVersion = minor;
        reported.dwBuildNumber = build;
        reported.wProductType = productType;
    }
    void realVersion(DWORD major, DWORD minor, DWORD build)
    {
        hasRtl = true;
        rtlMajor = major;
        rtlMinor = minor;
        rtlBuild = build;
    }
};

class OsVersionTest : public ::testing::Test {
protected:
    void SetUp() override { Platform::setVersionSource(&source); }
    void TearDown() override { Platform::setVersionSource(nullptr); }
    FakeVersionSource source;
};

constexpr BYTE kWorkstation = VER_NT_WORKSTATION;
constexpr BYTE kServer = VER_NT_SERVER;
constexpr BYTE kDomainController = VER_NT_DOMAIN_CONTROLLER;

struct ReportedRow {
    DWORD platform, major, minor, build;
    BYTE productType;
    int expected;
};

} // namespace

TEST_F(OsVersionTest, ReportedVersionsGiveTheirIds)
{
    const ReportedRow rows[] = {
        {VER_PLATFORM_WIN32s, 3, 1, 0, 0, 0},
        {3, 6, 1, 7601, kWorkstation, 0},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x04000000, 0, 1},   // 95
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A0000, 0, 1},  // 98
        {VER_PLATFORM_WIN32_WINDOWS, 4, 89, 0x04590000, 0, 1},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0000, 0, 2},  // Me
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8, 0, 2},
        {VER_PLATFORM_WIN32_NT, 5, 0, 2195, kWorkstation, 3},
        {VER_PLATFORM_WIN32_NT, 4, 0, 1381, kWorkstation, 4},
        {VER_PLATFORM_WIN32_NT, 3, 51, 1057, kServer, 4},
        {VER_PLATFORM_WIN32_NT, 5, 2, 3790, kServer, 5},
        {VER_PLATFORM_WIN32_NT, 5, 1, 2600, kWorkstation, 6},
        {VER_PLATFORM_WIN32_NT, 5, 3, 0, kWorkstation, 0},
        {VER_PLATFORM_WIN32_NT, 6, 0, 6002, kWorkstation, 7},
        {VER_PLATFORM_WIN32_NT, 6, 1, 7601, kWorkstation, 8},
        {VER_PLATFORM_WIN32_NT, 6, 0, 6002, kServer, 9},
        {VER_PLATFORM_WIN32_NT, 6, 1, 7601, kServer, 9},
        {VER_PLATFORM_WIN32_NT, 6, 1, 7601, kDomainController, 9},
        {VER_PLATFORM_WIN32_NT, 6, 2, 9200, kServer, 0},
        {VER_PLATFORM_WIN32_NT, 10, 0, 14393, kServer, 0},  // Server 2016
    };
    for (const ReportedRow& r : rows) {
        source.report(r.platform, r.major, r.minor, r.build, r.productType);
        EXPECT_EQ(osIdFromVersionSource(), r.expected)
            << "platform " << r.platform << " version " << r.major << "." << r.minor << " type " << int(r.productType);
    }
}

TEST_F(OsVersionTest, WorkstationsFromSixTwoOnAreAskedTheirRealVersion)
{
    struct Row {
        DWORD major, minor, build;
        int expected;
    };
    const Row rows[] = {
        {6, 2, 9200, 10},
        {6, 3, 9600, 11},
        {6, 4, 9841, 12},
        {6, 5, 0, 10},
        {6, 9, 0, 10},
        {10, 0, 19045, 12},
        {10, 0, 0xF0004A65, 12},  // flag bits above the build number are dropped
        {10, 0, 21995, 12},
        {10, 0, 21996, 13},
        {10, 0, 0xF0005867, 13},  // 22631
        {10, 1, 30000, 10},
        {11, 0, 30000, 10},
        {0, 0, 0, 10},
    };
    for (const Row& r : rows) {
        source.report(VER_PLATFORM_WIN32_NT, 6, 2, 9200, kWorkstation);
        source.realVersion(r.major, r.minor, r.build);
        EXPECT_EQ(osIdFromVersionSource(), r.expected) << r.major << "." << r.minor << "." << r.build;
    }
    // A later major version reported as such takes the same path.
    source.report(VER_PLATFORM_WIN32_NT, 10, 0, 22631, kWorkstation);
    source.realVersion(10, 0, 22631);
    EXPECT_EQ(osIdFromVersionSource(), 13);
}

TEST_F(OsVersionTest, KernelFileVersionStandsInForTheMissingNtdllExport)
{
    source.report(VER_PLATFORM_WIN32_NT, 6, 2, 9200, kWorkstation);
    source.hasKernelVersion = true;
    source.kernelVersionMS = 0x000A0000;  // 10.0, build taken as 0
    EXPECT_EQ(osIdFromVersionSource(), 12);
    source.kernelVersionMS = 0x00060003;
    EXPECT_EQ(osIdFromVersionSource(), 11);
    // The ntdll answer wins when both are there.
    source.realVersion(10, 0, 22000);
    EXPECT_EQ(osIdFromVersionSource(), 13);
    // Neither: Windows 8.
    source.hasRtl = false;
    source.hasKernelVersion = false;
    EXPECT_EQ(osIdFromVersionSource(), 10);
}

TEST_F(OsVersionTest, FallsBackToThePlainStructureAndThenToNone)
{
    source.report(VER_PLATFORM_WIN32_NT, 6, 1, 7601, kWorkstation);
    source.exOk = false;
    // Without the product type a 6.1 system counts as a server.
    EXPECT_EQ(osIdFromVersionSource(), 9);
    EXPECT_EQ(source.versionCalls, 2);
    source.plainOk = false;
    EXPECT_EQ(osIdFromVersionSource(), 0);
}

TEST_F(OsVersionTest, ArchitectureWidths)
{
    const std::pair<WORD, int> rows[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, 1}, {PROCESSOR_ARCHITECTURE_ARM, 1}, {PROCESSOR_ARCHITECTURE_IA64, 2},
        {PROCESSOR_ARCHITECTURE_ALPHA64, 2}, {PROCESSOR_ARCHITECTURE_AMD64, 2}, {PROCESSOR_ARCHITECTURE_ARM64, 2},
        {PROCESSOR_ARCHITECTURE_UNKNOWN, 1},
    };
    for (const auto& r : rows) {
        source.architecture = r.first;
        EXPECT_EQ(architectureFromVersionSource(), r.second) << r.first;
    }
    source.hasNativeInfo = false;
    EXPECT_EQ(architectureFromVersionSource(), kArchitecture32);
}

TEST(OsCodeTable, EveryRow)
{
    for (int id = 0; id <= 14; ++id) {
        const int base = (id >= 6 && id <= 13) ? 2 * (id - 6) + 1 : 0;
        EXPECT_EQ(osCodeOf(id, kArchitecture32), base) << id;
        EXPECT_EQ(osCodeOf(id, kArchitecture64), base + 1) << id;
    }
    EXPECT_EQ(osCodeOf(6, kArchitecture32), 1);
    EXPECT_EQ(osCodeOf(13, kArchitecture64), 16);
    EXPECT_EQ(osCodeOf(12, kArchitecture64), 14);  // Windows 10, 64-bit
    EXPECT_EQ(osCodeOf(8, kArchitecture32), 5);    // Windows 7, 32-bit
    EXPECT_EQ(osCodeOf(9, kArchitecture64), 8);    // Server 2008 R2
    EXPECT_EQ(osCodeOf(0, kArchitecture64), 1);    // Server 2016
}

TEST(HostVersionSource, ReportsNoWindowsAndTheHostWidth)
{
    Platform::setVersionSource(nullptr);
    EXPECT_EQ(osIdFromVersionSource(), 0);
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    const bool wide = !strcmp(u.machine, "x86_64") || !strcmp(u.machine, "aarch64");
    EXPECT_EQ(architectureFromVersionSource(), wide ? kArchitecture64 : kArchitecture32);
}

// osId and osCode keep what they learned; run in a fresh process so that
// this test sees their first calls.
TEST(OsVersionDeathTest, KeptValuesAreAskedOnce)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            FakeVersionSource source;
            Platform::setVersionSource(&source);
            int bad = 0;
            // OS id 0 is asked again at every call.
            source.exOk = source.plainOk = false;
            bad += osId() != 0;
            bad += osId() != 0;
            bad += source.versionCalls != 4;
            // Windows 11 on AMD64: id 13, code 16, then kept.
            source.exOk = source.plainOk = true;
            source.report(VER_PLATFORM_WIN32_NT, 6, 2, 9200, kWorkstation);
            source.realVersion(10, 0, 22631);
            bad += osCode() != 16;
            const int calls = source.versionCalls;
            source.report(VER_PLATFORM_WIN32_NT, 6, 1, 7601, kWorkstation);
            source.architecture = PROCESSOR_ARCHITECTURE_INTEL;
            bad += osId() != 13;
            bad += osCode() != 16;
            bad += source.versionCalls != calls;
            Platform::setVersionSource(nullptr);
            fprintf(stderr, "mismatches %d\n", bad);
            exit(bad == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "mismatches 0");
}
