// Replays fuzz inputs through a libFuzzer target's entry in an ordinary
// build: every file named, or found in a folder named, is run once. A
// target reports a fault by aborting, so the exit status is the verdict.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cstdint>
#include <cstdio>

extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    if (LLVMFuzzerInitialize)
        LLVMFuzzerInitialize(&argc, &argv);
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QFile::decodeName(argv[i]);
        QStringList files{arg};
        if (QFileInfo(arg).isDir()) {
            files.clear();
            for (const QString& name : QDir(arg).entryList(QDir::Files, QDir::Name))
                files.append(QDir(arg).filePath(name));
        }
        for (const QString& path : files) {
            QFile f(path);
            if (!f.open(QIODevice::ReadOnly)) {
                fprintf(stderr, "cannot read %s\n", qPrintable(path));
                return 2;
            }
            const QByteArray bytes = f.readAll();
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.constData()), size_t(bytes.size()));
            ++inputs;
        }
    }
    printf("%d inputs replayed\n", inputs);
    return inputs > 0 ? 0 : 2;
}
