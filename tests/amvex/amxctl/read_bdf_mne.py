"""amxctl's BDF+ files through an independent reader (MNE): every sample it reads
equals count x volts per count, and a missing frame reads as the range's minimum.

Usage: read_bdf_mne.py AMXCTL WORKDIR, with AMVEX_EMULATE naming one kind-2
amplifier (20 channels, gain 19)."""
import os
import subprocess
import sys

import mne
import numpy as np

VOLTS_PER_COUNT = 2.5 / (19 * 2097151)

amxctl, workdir = sys.argv[1], sys.argv[2]
path = os.path.join(workdir, "amxctl_mne_%d.bdf" % os.getpid())
run = dict(check=True, capture_output=True, text=True)
subprocess.run([amxctl, "record", "@0", path, "--rate", "500", "--seconds", "1.25", "--quiet"], **run)
# The emulator's samples are deterministic: a stream of the same length holds the same counts.
csv = subprocess.run([amxctl, "stream", "@0", "--rate", "500", "--seconds", "1.25", "--format", "csv", "--quiet"],
                     **run).stdout
counts = np.array([[int(v) for v in line.split(",")[2:]] for line in csv.splitlines()[1:]]).T
raw = mne.io.read_raw_bdf(path, preload=True, verbose="error")
os.remove(path)
volts = raw.get_data()

assert counts.shape == (20, 625) and volts.shape == (20, 1000), (counts.shape, volts.shape)
expected = counts * VOLTS_PER_COUNT
# No offset and the scale within 1e-6: the error stays below a millionth of the largest value.
error = np.abs(volts[:, :625] - expected).max()
assert error <= 1e-6 * np.abs(expected).max(), "off by %.3g uV" % (error * 1e6)
# The rest of the last record holds missing frames: the range's minimum.
minimum = volts[:, 625:]
assert np.all(minimum == minimum[0, 0]) and minimum[0, 0] < -0.5, minimum[0, 0]
assert [a["description"] for a in raw.annotations] == ["Recording start", "Recording stop"]
print("MNE reads %d samples within %.2g uV; missing frames read %.6f V" % (counts.size, error * 1e6, minimum[0, 0]))
