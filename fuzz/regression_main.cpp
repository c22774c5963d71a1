// Runs a fuzz target once on every file of the folders named on the command line, so that the
// seed inputs and the inputs the fuzzer found stay tested in every build.
#include <QDir>
#include <QFile>

#include <cstdint>
#include <cstdio>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
    int inputs = 0;
    for (int i = 1; i < argc; ++i) {
        // A target that never failed has no regression folder; that lists no files.
        const QDir folder(QString::fromLocal8Bit(argv[i]));
        for (const QString& name : folder.entryList(QDir::Files, QDir::Name)) {
            QFile file(folder.filePath(name));
            if (!file.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
                return 1;
            }
            const QByteArray input = file.readAll();
            // Named before the run, so that a crash report says which input it was.
            std::printf("%s\n", qPrintable(file.fileName()));
            std::fflush(stdout);
            LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.constData()), size_t(input.size()));
            ++inputs;
        }
    }
    std::printf("%d inputs passed\n", inputs);
    // No input at all means a wrong folder, not a pass.
    return inputs > 0 ? 0 : 1;
}
