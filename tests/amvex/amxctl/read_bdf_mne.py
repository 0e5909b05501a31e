"""amxctl's BDF+ files through an independent reader (MNE): every sample it reads
equals count x volts per count, and a missing frame reads as the range's minimum;
a recording killed mid-way (SIGKILL) still reads with every complete second.

Usage: read_bdf_mne.py AMXCTL WORKDIR, with AMVEX_EMULATE naming one kind-2
amplifier (20 channels, gain 19)."""
import os
import signal
import subprocess
import sys
import time

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

# Killed while recording: the file is under its name from its first data record
# on, and the header's record count is right after every record.
cut = os.path.join(workdir, "amxctl_cut_%d.bdf" % os.getpid())
writer = subprocess.Popen([amxctl, "record", "@0", cut, "--rate", "500", "--quiet"],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    if os.path.exists(cut):
        with open(cut, "rb") as f:
            f.seek(236)
            if int(f.read(8)) >= 2:
                break
    time.sleep(0.05)
writer.send_signal(signal.SIGKILL)
writer.wait()
raw = mne.io.read_raw_bdf(cut, preload=True, verbose="error")
os.remove(cut)
assert not os.path.exists("%s.%d-0.part" % (cut, writer.pid)), "the temporary name is gone"
seconds = raw.n_times // 500
assert raw.n_times == 500 * seconds and seconds >= 2, raw.n_times
error = np.abs(raw.get_data()[:, :625] - expected).max()
assert error <= 1e-6 * np.abs(expected).max(), "killed: off by %.3g uV" % (error * 1e6)
print("MNE reads the %d complete seconds of a recording killed mid-way" % seconds)
