// The client library as another program uses it: installed into a
// temporary prefix, examples/ configured and built against the installed
// package (and pkg-config agreeing on it), run against the real service.
#include "support/ZServiceTestKit.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

using namespace ServiceTestKit;

namespace {

constexpr int kBuildTimeoutMs = 240000;

// Runs a command to its end while this thread serves the service; on
// failure its exit code and what it said.
::testing::AssertionResult succeeds(const QString& program, const QStringList& args)
{
    const Ran r = runServing(program, args, kBuildTimeoutMs);
    if (r.code == 0)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << program.toStdString() << " exited " << r.code << ": " << r.err.constData();
}

} // namespace

TEST_F(ServiceDrivesTest, TheExampleFindsNamesThroughTheInstalledLibrary)
{
    const QString prefix = TestSupport::freshDir(QStringLiteral("prefix"));
    const QString build = TestSupport::freshDir(QStringLiteral("example-build"));
    const QString cmake = QStringLiteral("cmake");
    ASSERT_TRUE(succeeds(cmake, {"--install", SEARCH_BUILD_DIR, "--prefix", prefix, "--component", "searchclient"}));
    ASSERT_TRUE(succeeds(cmake, {"-S", SEARCH_SOURCE_DIR "/examples", "-B", build, "-DCMAKE_PREFIX_PATH=" + prefix}));
    ASSERT_TRUE(succeeds(cmake, {"--build", build}));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PKG_CONFIG_PATH"), prefix + QStringLiteral("/" SEARCH_INSTALL_LIBDIR "/pkgconfig"));
    QDir(prefix).mkpath(QStringLiteral("lib"));
    const QByteArray flags
        = runServing(QStringLiteral("pkg-config"), {"--cflags", "--libs", "searchclient"}, kBuildTimeoutMs, env).out;
    const QByteArray includes = flags.split(' ').first();
    EXPECT_TRUE(flags.contains("-lsearchclient") && includes.startsWith("-I")
                && QFile::exists(QFile::decodeName(includes.mid(2)) + QStringLiteral("/searchclient/ZSearchClient.h")))
        << flags.constData();

    const QString tree = TestSupport::freshDir(QStringLiteral("tree"));
    ASSERT_TRUE(writeFile(tree + QStringLiteral("/found-by-example.txt")));
    ASSERT_TRUE(linkDrive(tree, QStringLiteral("e:")));
    {
        RealService service;
        ASSERT_TRUE(service.started);
        const Ran found = runServing(build + QStringLiteral("/find_names"), {"by-example"});
        EXPECT_EQ(found.code, 0) << found.err.constData();
        EXPECT_EQ(found.out, QFile::encodeName(tree) + "/found-by-example.txt\n");
    }
    QFile::remove(dosdevices() + QStringLiteral("/e:"));
}
