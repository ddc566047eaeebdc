// qovsample: writes the built-in sample recording to the path on its command line.
#include <cstdio>
#include <exception>

#include "SampleRecording.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: qovsample <output.qov>\n");
        return 2;
    }
    try {
        const qov::writer::TRecordingWriter sample = qov::writer::BuildSampleRecording();
        sample.Save(argv[1]);
        unsigned keys = 0;
        for (const auto& f : sample.Frames())
            keys += f.Header.Kind == qov::fkKeyFrame;
        std::printf("%s: %ux%u, version 0x%04X, %u ms, %llu frames (%u key frames), %llu bytes\n", argv[1],
                    unsigned(sample.Width()), unsigned(sample.Height()), unsigned(sample.Version()),
                    unsigned(sample.Duration()), static_cast<unsigned long long>(sample.Frames().size()), keys,
                    static_cast<unsigned long long>(sample.Build().size()));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "qovsample: %s\n", e.what());
        return 1;
    }
}
