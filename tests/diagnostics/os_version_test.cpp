// OS id and telemetry OS code over a replaced version source.
#include "diagnostics/ZOsVersion.h"
#include "platform/win32_version.h"
#include "support/ZFakeVersionSource.h"

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstring>

using namespace SearchEngine;

namespace {

constexpr BYTE kWorkstation = VER_NT_WORKSTATION;
constexpr BYTE kServer = VER_NT_SERVER;
constexpr DWORD kNt = VER_PLATFORM_WIN32_NT;
constexpr DWORD k9x = VER_PLATFORM_WIN32_WINDOWS;

using TestSupport::FakeVersionSource;

class OsVersionTest : public ::testing::Test {
protected:
    void SetUp() override { Platform::setVersionSource(&source); }
    void TearDown() override { Platform::setVersionSource(nullptr); }
    FakeVersionSource source;
};

} // namespace

TEST_F(OsVersionTest, ReportedAndRealVersionsGiveTheirIdsWithFallbacksWhenASourceIsMissing)
{
    // Reported versions below 6.2 (and servers) are taken as they are.
    const struct {
        DWORD platform, major, minor, build;
        BYTE productType;
        int expected;
    } reported[] = {
        {VER_PLATFORM_WIN32s, 3, 1, 0, 0, 0}, {3, 6, 1, 7601, kWorkstation, 0},  {k9x, 4, 0, 0x04000000, 0, 1},
        {k9x, 4, 89, 0x04590000, 0, 1},       {k9x, 4, 90, 0x045A0BB8, 0, 2},     {kNt, 5, 0, 2195, kWorkstation, 3},
        {kNt, 4, 0, 1381, kWorkstation, 4},   {kNt, 3, 51, 1057, kServer, 4},     {kNt, 5, 2, 3790, kServer, 5},
        {kNt, 5, 1, 2600, kWorkstation, 6},   {kNt, 5, 3, 0, kWorkstation, 0},    {kNt, 6, 0, 6002, kWorkstation, 7},
        {kNt, 6, 1, 7601, kWorkstation, 8},   {kNt, 6, 0, 6002, kServer, 9},      {kNt, 6, 2, 9200, kServer, 0},
        {kNt, 6, 1, 7601, VER_NT_DOMAIN_CONTROLLER, 9},                           {kNt, 10, 0, 14393, kServer, 0},
    };
    for (const auto& r : reported) {
        source.report(r.platform, r.major, r.minor, r.build, r.productType);
        EXPECT_EQ(osIdFromVersionSource(), r.expected)
            << r.platform << " " << r.major << "." << r.minor << " type " << int(r.productType);
    }

    // Workstations reporting 6.2 or later are asked their real version. Flag
    // bits above the build number are dropped: 0xF0004A65 is 19045, 0xF0005867 is 22631.
    const struct {
        DWORD reportedMajor, major, minor, build;
        int expected;
    } real[] = {
        {6, 6, 2, 9200, 10},        {6, 6, 3, 9600, 11},        {6, 6, 4, 9841, 12},  {6, 6, 5, 0, 10},
        {6, 10, 0, 21995, 12},      {6, 10, 0, 21996, 13},      {6, 10, 1, 30000, 10}, {6, 11, 0, 30000, 10},
        {6, 10, 0, 0xF0004A65, 12}, {6, 10, 0, 0xF0005867, 13}, {6, 0, 0, 0, 10},      {10, 10, 0, 22631, 13},
    };
    for (const auto& r : real) {
        source.report(kNt, r.reportedMajor, r.reportedMajor == 6 ? 2 : 0, 9200, kWorkstation);
        source.realVersion(r.major, r.minor, r.build);
        EXPECT_EQ(osIdFromVersionSource(), r.expected) << r.major << "." << r.minor << "." << r.build;
    }

    // A 6.x workstation by what answers: the EX and the plain structure, the
    // kernel file version (0: none) and the ntdll export's 10.0 build (0: none).
    const struct {
        const char* what;
        DWORD reportedMinor;
        bool exOk, plainOk;
        DWORD kernelMS, rtlBuild;
        int expected, versionCalls;
    } rows[] = {
        {"the kernel stands in for ntdll, build taken as 0", 2, true, true, 0x000A0000, 0, 12, 1},
        {"the kernel's minor is its low word", 2, true, true, 0x00060003, 0, 11, 1},
        {"ntdll wins when both answer", 2, true, true, 0x000A0000, 22000, 13, 1},
        {"neither answers", 2, true, true, 0, 0, 10, 1},
        {"the plain structure has no product type: 6.1 counts as a server", 1, false, true, 0, 0, 9, 2},
        {"no structure", 1, false, false, 0, 0, 0, 2},
    };
    for (const auto& r : rows) {
        source = FakeVersionSource();
        source.report(kNt, 6, r.reportedMinor, 9200, kWorkstation);
        source.exOk = r.exOk, source.plainOk = r.plainOk;
        source.hasKernel = r.kernelMS != 0, source.kernelMS = r.kernelMS;
        if (r.rtlBuild)
            source.realVersion(10, 0, r.rtlBuild);
        EXPECT_EQ(osIdFromVersionSource(), r.expected) << r.what;
        EXPECT_EQ(source.versionCalls, r.versionCalls) << r.what;
    }
}

TEST_F(OsVersionTest, ArchitectureWidthsAndOsCodes)
{
    const std::pair<WORD, int> rows[] = {
        {PROCESSOR_ARCHITECTURE_INTEL, 1}, {PROCESSOR_ARCHITECTURE_ARM, 1},   {PROCESSOR_ARCHITECTURE_IA64, 2},
        {PROCESSOR_ARCHITECTURE_AMD64, 2}, {PROCESSOR_ARCHITECTURE_ARM64, 2}, {PROCESSOR_ARCHITECTURE_UNKNOWN, 1},
    };
    for (const auto& r : rows) {
        source.arch = r.first;
        EXPECT_EQ(architectureFromVersionSource(), r.second) << r.first;
    }
    source.hasNativeInfo = false;
    EXPECT_EQ(architectureFromVersionSource(), kArchitecture32);

    const int codes[][3] = {{0, 0, 1}, {5, 0, 1}, {6, 1, 2}, {8, 5, 6}, {9, 7, 8}, {12, 13, 14}, {13, 15, 16},
                            {14, 0, 1}};
    for (const auto& c : codes) {
        EXPECT_EQ(osCodeOf(c[0], kArchitecture32), c[1]) << c[0];
        EXPECT_EQ(osCodeOf(c[0], kArchitecture64), c[2]) << c[0];
    }

    // The host source (no Windows) reports id 0 and the host's own width.
    Platform::setVersionSource(nullptr);
    EXPECT_EQ(osIdFromVersionSource(), 0);
    utsname u{};
    ASSERT_EQ(uname(&u), 0);
    const bool wide = !strcmp(u.machine, "x86_64") || !strcmp(u.machine, "aarch64");
    EXPECT_EQ(architectureFromVersionSource(), wide ? kArchitecture64 : kArchitecture32);
}

// osId and osCode keep what they learned (but not an id of 0): a fresh
// process sees their first calls.
TEST(OsVersionDeathTest, KeptValuesAreAskedOnce)
{
    ::testing::FLAGS_gtest_death_test_style = "threadsafe";
    EXPECT_EXIT(
        {
            FakeVersionSource source;
            Platform::setVersionSource(&source);
            source.exOk = source.plainOk = false;
            int bad = osId() != 0;
            bad += osId() != 0;   // an id of 0 is asked again
            bad += source.versionCalls != 4;
            source.exOk = source.plainOk = true;
            source.report(kNt, 6, 2, 9200, kWorkstation);
            source.realVersion(10, 0, 22631);
            bad += osCode() != 16;
            const int calls = source.versionCalls;
            source.report(kNt, 6, 1, 7601, kWorkstation);
            source.arch = PROCESSOR_ARCHITECTURE_INTEL;
            bad += osId() != 13;
            bad += osCode() != 16;
            bad += source.versionCalls != calls;
            fprintf(stderr, "mismatches %d\n", bad);
            exit(bad == 0 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "mismatches 0");
}
