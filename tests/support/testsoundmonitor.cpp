#include "testsoundmonitor.h"

#include "tonesamples.h"

#include <algorithm>
#include <cmath>
#include <vector>

TestSoundMonitor::~TestSoundMonitor()
{
    m_process.kill();
    m_process.waitForFinished();
}

bool TestSoundMonitor::start()
{
    m_process.start(QStringLiteral("parec"), {"--device=vsink.monitor", "--raw", "--format=s16le",
                                              "--rate=44100", "--channels=2", "--latency-msec=20"});
    return m_process.waitForStarted();
}

void TestSoundMonitor::read()
{
    m_captured += m_process.readAllStandardOutput();
}

double TestSoundMonitor::level(double seconds) const
{
    constexpr int window = rate / 20;
    const int frames = int(m_captured.size() / 4);
    const auto *s = reinterpret_cast<const int16_t *>(m_captured.constData());
    std::vector<double> levels;
    for (int start = std::max(0, frames - int(seconds * rate)); start + window <= frames;
         start += window) {
        double sum = 0;
        for (int i = start; i < start + window; ++i)
            sum += double(s[2 * i]) * s[2 * i] + double(s[2 * i + 1]) * s[2 * i + 1];
        levels.push_back(std::sqrt(sum / (2 * window)) / 32768.0);
    }
    if (levels.empty())
        return 0;
    std::sort(levels.begin(), levels.end());
    return levels[levels.size() / 2];
}

bool TestSoundMonitor::isTone(double level)
{
    return std::fabs(level - defaultToneAmplitude / std::sqrt(2.0)) < 0.05;
}
