// The client library as another program uses it: installed into a
// temporary prefix, examples/ configured and built against the installed
// package (and pkg-config agreeing on it), run against the real service.
#include "support/ZServiceTestKit.h"

#include "support/TestEnvironment.h"

#include <gtest/gtest.h>

#include <QProcess>

using namespace ServiceTestKit;

namespace {

constexpr int kBuildTimeoutMs = 240000;

// Runs a command to its end while this thread serves the service.
int run(const QString& program, const QStringList& args, QByteArray* out = nullptr,
        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(out ? QProcess::SeparateChannels : QProcess::ForwardedChannels);
    p.start(program, args);
    spinUntil([&] { return p.state() == QProcess::NotRunning; }, kBuildTimeoutMs);
    if (out)
        *out = p.readAllStandardOutput();
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
}

} // namespace

TEST_F(ServiceDrivesTest, TheExampleFindsNamesThroughTheInstalledLibrary)
{
    const QString prefix = TestSupport::freshDir(QStringLiteral("prefix"));
    const QString build = TestSupport::freshDir(QStringLiteral("example-build"));
    ASSERT_EQ(run(QStringLiteral("cmake"), {"--install", SEARCH_BUILD_DIR, "--prefix", prefix, "--component",
                                            "searchclient"}),
              0);
    ASSERT_EQ(run(QStringLiteral("cmake"), {"-S", QStringLiteral(SEARCH_SOURCE_DIR "/examples"), "-B", build,
                                            "-DCMAKE_PREFIX_PATH=" + prefix}),
              0);
    ASSERT_EQ(run(QStringLiteral("cmake"), {"--build", build}), 0);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PKG_CONFIG_PATH"), prefix + QStringLiteral("/" SEARCH_INSTALL_LIBDIR "/pkgconfig"));
    QByteArray flags;
    QDir(prefix).mkpath(QStringLiteral("lib"));
    run(QStringLiteral("pkg-config"), {"--cflags", "--libs", "searchclient"}, &flags, env);
    const QByteArray includes = flags.split(' ').first();
    EXPECT_TRUE(flags.contains("-lsearchclient") && includes.startsWith("-I")
                && QFile::exists(QFile::decodeName(includes.mid(2)) + QStringLiteral("/searchclient/ZSearchClient.h")))
        << flags.constData();

    const QString tree = TestSupport::freshDir(QStringLiteral("tree"));
    QFile(tree + QStringLiteral("/found-by-example.txt")).open(QIODevice::WriteOnly);
    QDir().mkpath(dosdevices());
    ASSERT_TRUE(QFile::link(tree, dosdevices() + QStringLiteral("/e:")));
    {
        RealService service;
        ASSERT_TRUE(service.started);
        QByteArray out;
        EXPECT_EQ(run(build + QStringLiteral("/find_names"), {"by-example"}, &out), 0);
        EXPECT_EQ(out, QFile::encodeName(tree) + "/found-by-example.txt\n");
    }
    QFile::remove(dosdevices() + QStringLiteral("/e:"));
}
