#!/usr/bin/env python3
"""What a listener heard: a recording of steady tones cut into 20 ms windows.

Usage: tone-timeline.py RECORDING.raw [TONE-HZ ...]

The recording is raw 16-bit little-endian stereo at 44100 Hz (as parec writes it). Each window
is silence (RMS below 0.01 of full scale), one of the given tones (its pitch, from the zero
crossings of the left channel, within 15 %), or "other" (a crossover, noise). A tone heard for
less than 60 ms counts as "other": a window that is half silence and half a tone has the pitch of
a tone an octave lower. Prints JSON:

  {"windowMs": 20,
   "segments": [[label, startMs, endMs], ...],   runs of equal windows
   "switches": [{"atMs": ms, "from": hz, "to": hz, "deadAirMs": ms}, ...],
   "deadAirMs": ms}

A switch is the change from one tone to another; its deadAirMs counts the silent windows between
the last window of the one and the first of the other. The total deadAirMs counts every silent
window between the first and the last tone, switch or not.
"""

import array
import json
import math
import sys

RATE = 44100
WINDOW = 882  # 20 ms
SILENCE_RMS = 0.01
MIN_TONE_WINDOWS = 3


def classify(left, tones):
    rms = math.sqrt(sum(v * v for v in left) / len(left)) / 32768.0
    if rms < SILENCE_RMS:
        return "silence"
    crossings = sum(1 for a, b in zip(left, left[1:]) if (a < 0) != (b < 0))
    hz = crossings / 2 / (len(left) / RATE)
    for tone in tones:
        if abs(hz - tone) <= 0.15 * tone:
            return tone
    return "other"


def main():
    path = sys.argv[1]
    tones = [float(t) for t in sys.argv[2:]] or [440.0, 880.0]
    samples = array.array("h")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    if sys.byteorder != "little":
        samples.byteswap()
    left = samples[0::2]
    labels = [classify(left[i:i + WINDOW], tones)
              for i in range(0, len(left) - WINDOW + 1, WINDOW)]

    start = 0
    for i in range(1, len(labels) + 1):
        if i == len(labels) or labels[i] != labels[start]:
            if isinstance(labels[start], float) and i - start < MIN_TONE_WINDOWS:
                labels[start:i] = ["other"] * (i - start)
            start = i

    window_ms = WINDOW * 1000 // RATE
    segments = []
    for i, label in enumerate(labels):
        if segments and segments[-1][0] == label:
            segments[-1][2] = (i + 1) * window_ms
        else:
            segments.append([label, i * window_ms, (i + 1) * window_ms])

    switches = []
    last_tone, silent, dead_air = None, 0, 0
    for i, label in enumerate(labels):
        if label == "silence":
            silent += 1
        elif label != "other":
            if last_tone is not None:
                dead_air += silent
                if label != last_tone:
                    switches.append({"atMs": i * window_ms, "from": last_tone, "to": label,
                                     "deadAirMs": silent * window_ms})
            last_tone, silent = label, 0
    json.dump({"windowMs": window_ms, "segments": segments, "switches": switches,
               "deadAirMs": dead_air * window_ms}, sys.stdout)
    print()


if __name__ == "__main__":
    main()
