#pragma once

#include <QtGlobal>

// The loudness matching of one source: a gain that brings the source's EBU R128 short-term
// loudness to a target, within +-12 dB. The gain follows the source's loudness slowly (a time
// constant of seconds), so that the programme's own dynamics stay; digital silence, blocks
// below the absolute gate and passages far quieter than the source has been (a pause, a quiet
// intro, for up to 15 s) do not move it. The first measured block sets the loudness at once, so
// that a source that plays unheard is settled when it goes on air.
//
// No clock of its own: every measurement comes with its time in milliseconds.
class VCLoudnessMatch
{
public:
    static constexpr double maxGainDb = 12;
    static constexpr double timeConstantMs = 3000;
    // Blocks quieter than this do not count (the absolute gate of EBU R128).
    static constexpr double absoluteGateLufs = -70;
    // Blocks this far below the source's loudness are a quiet passage, not a new loudness...
    static constexpr double relativeGateLu = 20;
    // ...unless the source stays that quiet this long.
    static constexpr qint64 quietPassageMaxMs = 15000;

    void setTargetLufs(double targetLufs) { m_targetLufs = targetLufs; }
    double targetLufs() const { return m_targetLufs; }

    // A short-term loudness in LUFS measured at nowMs (minus infinity: nothing measured).
    void measure(double shortTermLufs, qint64 nowMs);
    // The source starts again: its loudness is learnt anew.
    void reset();

    bool hasLoudness() const { return m_hasLoudness; }
    // The source's loudness as the gain follows it.
    double loudnessLufs() const { return m_loudnessLufs; }
    // 0 until the first measurement.
    double gainDb() const;
    double gain() const;

private:
    double m_targetLufs = -23;
    bool m_hasLoudness = false;
    double m_loudnessLufs = 0;
    qint64 m_lastMs = 0;
    bool m_isQuiet = false;
    qint64 m_quietSinceMs = 0;
};
