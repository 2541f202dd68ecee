#pragma once

#include <QByteArray>
#include <QProcess>

// What the private sound server's output carries, captured from its monitor with parec as
// 16-bit stereo at 44100 Hz, and the recognition of the test tone in it.
class TestSoundMonitor
{
public:
    static constexpr int rate = 44100;

    ~TestSoundMonitor();

    bool start();
    // Reads what has been captured since the last call.
    void read();
    double capturedSeconds() const { return double(m_captured.size() / 4) / rate; }
    // The median RMS (0 to 1) of the 50 ms windows in the last `seconds` read, or in all of it
    // when less came; 0 without a whole window. The median passes over a short gap that a
    // loaded machine may leave in what the monitor hands over.
    double level(double seconds) const;

    // Whether level is that of the test tone at defaultToneAmplitude (see tonesamples.h).
    static bool isTone(double level);

private:
    QProcess m_process;
    QByteArray m_captured;
};
