"""Two BDF+ recordings of one emulated stream (say, by amxctl.exe under wine and
by the Linux amxctl) read by an independent reader (MNE): the same samples,
scaling and annotations. Only the start date and time may differ.

Usage: compare_bdf_mne.py A.bdf B.bdf"""
import sys

import mne
import numpy as np

SIGNAL_FIELDS = [("label", 16), ("transducer", 80), ("unit", 8), ("physical minimum", 8),
                 ("physical maximum", 8), ("digital minimum", 8), ("digital maximum", 8),
                 ("prefilter", 80), ("samples per record", 8), ("reserved", 32)]


def header_fields(path):
    """The header beyond the start date and time as (name, bytes) pairs. An
    annotation signal's size per record is left out: edflib 1.23 reserves 114
    bytes (38 samples) and 1.27 120, and readers take it from the header."""
    with open(path, "rb") as f:
        main = f.read(256)
        rest = f.read(int(main[184:192]) - 256)
    fields = [("header length, format, records, duration, signals", main[184:])]
    count, at = int(main[252:256]), 0
    labels = [rest[16 * i:16 * i + 16] for i in range(count)]
    for name, width in SIGNAL_FIELDS:
        for i in range(count):
            if not (name == "samples per record" and labels[i].strip() == b"BDF Annotations"):
                fields.append(("signal %d %s" % (i + 1, name), rest[at + width * i:at + width * (i + 1)]))
        at += width * count
    return fields


paths = sys.argv[1:3]
headers = [header_fields(p) for p in paths]
# Header length, format, record count and length, then every signal's label,
# unit, physical and digital range, samples per record: byte for byte.
differ = [(a, b) for a, b in zip(*headers) if a != b]
assert len(headers[0]) == len(headers[1]) and not differ, "the headers differ beyond the start date and time: %s" % differ

raws = [mne.io.read_raw_bdf(p, preload=True, verbose="error") for p in paths]
a, b = (r.get_data() for r in raws)
assert a.shape == b.shape and a.size > 0, (a.shape, b.shape)
assert np.array_equal(a, b), "samples differ by up to %.3g uV" % (np.abs(a - b).max() * 1e6)
# Onsets from the first sample: the recordings started at different fractions of a second.
notes = [[(d, round(o - r.first_time, 4)) for d, o in zip(r.annotations.description, r.annotations.onset)]
         for r in raws]
assert notes[0] == notes[1], notes
print("%s and %s: %d samples, %d annotations, the same" % (paths[0], paths[1], a.size, len(notes[0])))
