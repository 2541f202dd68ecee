// Runs a fuzz target (the playlist one unless built with another) without libFuzzer: every file
// given on the command line (or every file in a given directory), then a fixed number of seeded
// random mutations of them.
//
//   fuzz-playlist-replay [--mutations N] [--seed S] PATH...

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QRandomGenerator>
#include <QTextStream>

#include <csignal>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

// Where the input that made the target abort is saved.
#ifndef VC_FUZZ_CRASH_FILE
#define VC_FUZZ_CRASH_FILE "fuzz-playlist-crash.bin"
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

namespace {

// The input being run, written out when the target aborts.
const QByteArray *current = nullptr;

void saveCurrentInput(int signal)
{
    if (current) {
        const int fd = ::open(VC_FUZZ_CRASH_FILE, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            [[maybe_unused]] const ssize_t written =
                ::write(fd, current->constData(), size_t(current->size()));
            ::close(fd);
        }
        static const char note[] = "input saved to " VC_FUZZ_CRASH_FILE "\n";
        [[maybe_unused]] const ssize_t noted = ::write(2, note, sizeof note - 1);
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void run(const QByteArray &input)
{
    current = &input;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t *>(input.constData()),
                           static_cast<size_t>(input.size()));
}

// One random change of the kinds that matter to line-based text: flipped bytes, inserted
// markers and line ends, deleted or duplicated spans, spliced inputs.
QByteArray mutate(QByteArray input, const QList<QByteArray> &corpus, QRandomGenerator &random)
{
    static const QList<QByteArray> tokens = {"\n",
                                             "\r\n",
                                             "#EXTM3U",
                                             "#EXT-X-STREAM-INF:",
                                             "BANDWIDTH=",
                                             "AVERAGE-BANDWIDTH=",
                                             "#EXT-X-TARGETDURATION:",
                                             "#BANDWIDTH:",
                                             "\"streamUrl\":",
                                             "\"bandwidth\":",
                                             "/",
                                             "//",
                                             "http://",
                                             "?",
                                             "%",
                                             "..",
                                             "4294967296",
                                             "0",
                                             "\xEF\xBB\xBF",
                                             QByteArray(1, '\0')};
    const int edits = 1 + int(random.bounded(4));
    for (int i = 0; i < edits; ++i) {
        const qsizetype at = input.isEmpty() ? 0 : qsizetype(random.bounded(int(input.size())));
        switch (random.bounded(5)) {
        case 0:
            if (!input.isEmpty())
                input[at] = char(random.bounded(256));
            break;
        case 1:
            input.insert(at, tokens.at(int(random.bounded(int(tokens.size())))));
            break;
        case 2:
            input.remove(at, qsizetype(random.bounded(16)));
            break;
        case 3:
            input.insert(at, input.mid(at, qsizetype(random.bounded(64))));
            break;
        default: {
            const QByteArray &other = corpus.at(int(random.bounded(int(corpus.size()))));
            input = input.left(at) + other.mid(other.size() / 2);
            break;
        }
        }
    }
    return input.left(64 * 1024);
}

} // namespace

int main(int argc, char **argv)
{
    qint64 mutations = 0;
    quint32 seed = 1;
    QList<QByteArray> corpus;
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg = argv[i];
        if (arg == "--mutations" && i + 1 < argc) {
            mutations = QByteArray(argv[++i]).toLongLong();
            continue;
        }
        if (arg == "--seed" && i + 1 < argc) {
            seed = QByteArray(argv[++i]).toUInt();
            continue;
        }
        const QString path = QString::fromLocal8Bit(arg);
        QStringList files;
        if (QFileInfo(path).isDir()) {
            const QDir dir(path);
            for (const QString &name : dir.entryList(QDir::Files, QDir::Name))
                files << dir.filePath(name);
        } else {
            files << path;
        }
        for (const QString &file : files) {
            QFile f(file);
            if (!f.open(QIODevice::ReadOnly)) {
                std::fprintf(stderr, "cannot read %s\n", qPrintable(file));
                return 2;
            }
            corpus << f.readAll();
        }
    }
    if (corpus.isEmpty()) {
        std::fprintf(stderr, "usage: %s [--mutations N] [--seed S] PATH...\n", argv[0]);
        return 2;
    }

    std::signal(SIGABRT, saveCurrentInput);
    std::signal(SIGSEGV, saveCurrentInput);
    for (const QByteArray &input : corpus)
        run(input);
    QRandomGenerator random(seed);
    for (qint64 i = 0; i < mutations; ++i) {
        const QByteArray input =
            mutate(corpus.at(int(random.bounded(int(corpus.size())))), corpus, random);
        run(input);
    }
    std::printf("%lld corpus inputs, %lld mutations: no failure\n", qlonglong(corpus.size()),
                qlonglong(mutations));
    return 0;
}
