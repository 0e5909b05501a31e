"""Two BDF+ recordings of one emulated stream (say, by amxctl.exe under wine and
by the Linux amxctl) read by an independent reader (MNE): the same samples,
scaling and annotations. Only the start date and time may differ.

Usage: compare_bdf_mne.py A.bdf B.bdf"""
import sys

import mne
import numpy as np

paths = sys.argv[1:3]
headers = []
for path in paths:
    with open(path, "rb") as f:
        main = f.read(256)
        headers.append(main[184:] + f.read(int(main[184:192]) - 256))
# Header length, format, record count and length, then every signal's label,
# unit, physical and digital range, samples per record: byte for byte.
assert headers[0] == headers[1], "the headers differ beyond the start date and time"

raws = [mne.io.read_raw_bdf(p, preload=True, verbose="error") for p in paths]
a, b = (r.get_data() for r in raws)
assert a.shape == b.shape and a.size > 0, (a.shape, b.shape)
assert np.array_equal(a, b), "samples differ by up to %.3g uV" % (np.abs(a - b).max() * 1e6)
# Onsets from the first sample: the recordings started at different fractions of a second.
notes = [[(d, round(o - r.first_time, 4)) for d, o in zip(r.annotations.description, r.annotations.onset)]
         for r in raws]
assert notes[0] == notes[1], notes
print("%s and %s: %d samples, %d annotations, the same" % (paths[0], paths[1], a.size, len(notes[0])))
