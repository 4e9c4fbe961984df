#!/usr/bin/python3
"""Listens to a recording of the sound server's monitor for the desktop test.

  listen.py chord REC.wav CANDIDATES.json   which candidate chord sounds
  listen.py onsets REC.wav                  times of the chord and click onsets

CANDIDATES.json is a list of note lists (MIDI numbers). `chord` prints the
index of the candidate whose notes best match the spectrum just after the
loudest onset, and the agreement of each.
"""
import json
import sys
import wave

import numpy as np


def read(path):
    with wave.open(path, "rb") as f:
        rate, channels, width = f.getframerate(), f.getnchannels(), f.getsampwidth()
        raw = f.readframes(f.getnframes())
    if width == 4:
        data = np.frombuffer(raw, dtype="<f4").astype(np.float64)
    else:
        data = np.frombuffer(raw, dtype="<i2").astype(np.float64) / 32768.0
    if len(data) < channels:
        return rate, np.zeros(1)
    return rate, data.reshape(-1, channels).mean(axis=1)


def envelope(x, rate, step_s=0.005):
    step = int(rate * step_s)
    n = len(x) // step
    return np.sqrt((x[: n * step].reshape(n, step) ** 2).mean(axis=1) + 1e-12)


def onsets(x, rate, step_s=0.005):
    """Rises of the level by more than 9 dB over 20 ms above a floor."""
    env = 20 * np.log10(envelope(x, rate, step_s))
    floor = max(np.percentile(env, 10) + 12, env.max() - 45)
    found, last = [], -1e9
    lag = 4
    for i in range(lag, len(env)):
        t = i * step_s
        if env[i] > floor and env[i] - env[i - lag] > 9 and t - last > 0.1:
            # The start of the rise, at the envelope's resolution.
            j = i
            while j > i - lag and env[j - 1] < env[j] - 1:
                j -= 1
            found.append(j * step_s)
            last = t
    return found


def loudest_onset(x, rate):
    env = envelope(x, rate, 0.01)
    rise = np.diff(env, prepend=env[0])
    return int(np.argmax(rise)) * 0.01


def peaks(x, rate, notes):
    n = 1 << 16
    seg = x[:n] * np.hanning(min(len(x), n))
    spectrum = np.abs(np.fft.rfft(seg, n))
    freqs = np.fft.rfftfreq(n, 1.0 / rate)
    band = (freqs > 40) & (freqs < 5000)
    top = spectrum[band].max() + 1e-12
    levels = {}
    for note in notes:
        f = 440.0 * 2 ** ((note - 69) / 12.0)
        sel = (freqs > f * 0.985) & (freqs < f * 1.015)
        level = 20 * np.log10(spectrum[sel].max() / top + 1e-12)
        # -40 dB below the loudest partial counts as silent, -20 dB as sounding.
        levels[note] = min(1.0, max(0.0, (level + 40.0) / 20.0))
    return levels


def chord(path, candidates):
    rate, x = read(path)
    start = loudest_onset(x, rate)
    window = x[int(rate * (start + 0.05)) : int(rate * (start + 0.6))]
    union = sorted({n for c in candidates for n in c})
    levels = peaks(window, rate, union)
    measured = np.array([levels[n] for n in union])
    scores = []
    for c in candidates:
        # Agreement of the candidate's notes with what sounds: 1 for a
        # perfect match; a missing note and a foreign loud note cost alike,
        # so that a triad and its seventh chord are told apart.
        template = np.array([1.0 if n in c else 0.0 for n in union])
        scores.append(1.0 - float(np.abs(template - measured).mean()))
    return int(np.argmax(scores)), scores, float(np.abs(window).max() if len(window) else 0)


def main():
    if sys.argv[1] == "chord":
        with open(sys.argv[3]) as f:
            candidates = json.load(f)
        best, scores, peak = chord(sys.argv[2], candidates)
        # Nothing at all sounds: "-" rather than a guess.
        print("-" if peak < 0.003 else best, " ".join(f"{s:.2f}" for s in scores), f"peak={peak:.3f}")
    elif sys.argv[1] == "onsets":
        rate, x = read(sys.argv[2])
        print(" ".join(f"{t:.3f}" for t in onsets(x, rate)))
    else:
        sys.exit("usage: listen.py chord|onsets REC.wav [CANDIDATES.json]")


if __name__ == "__main__":
    main()
