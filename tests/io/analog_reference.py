#!/usr/bin/python3
"""Reference cases for the analog input tests: for each thermocouple type and
for the Pt100, temperatures across the range with the converter reading that
the module would present, from the published reference functions.

Output lines: CODE TEMPERATURE READING. The thermocouple readings are those
of a junction at TEMPERATURE against a cold junction at 25 degree, read
through the module's default gain; the Pt100 reading through its default
gain. The reference functions are checked first against values published
in the standards' tables (microvolts, ohms), so a wrong coefficient fails
here rather than agreeing with a wrong table.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..', 'scripts'))
import gen_analog_tables as ref  # noqa: E402

PUBLISHED = [('J', -200, -7890), ('J', 100, 5269), ('J', 700, 39132), ('K', -200, -5891), ('K', 100, 4096),
             ('K', 1000, 41276), ('K', 1300, 52410), ('N', 500, 16748), ('N', -100, -2407), ('T', -200, -5603),
             ('T', 300, 14862), ('E', 500, 37005), ('E', -100, -5237), ('R', 1000, 10506), ('R', 1700, 20222),
             ('S', 1000, 9587), ('S', 1500, 15582), ('B', 1000, 4834), ('B', 1800, 13591)]
for name, t, uv in PUBLISHED:
    if abs(ref.emf(name, t) - uv) > 1.0:
        sys.exit('reference function %s at %d: %.1f, published %d' % (name, t, ref.emf(name, t), uv))
for t, ohms in [(-200, 18.52), (0, 100.0), (100, 138.51), (500, 280.98), (800, 375.70)]:
    if abs(ref.pt100(t) - ohms) > 0.01:
        sys.exit('Pt100 at %d: %.3f, published %.2f' % (t, ref.pt100(t), ohms))

ROW4_GAIN = 31426  # default gain of the thermocouple calibration slot
PT_GAIN = 30695    # default gain of the resistance-thermometer slot
SHIFT = {'J': 15, 'K': 15, 'N': 15, 'T': 14, 'E': 15, 'R': 14, 'S': 14, 'B': 14}
# Where a table entry (128 counts) spans less than about 16 degree; below
# that the curves flatten and linear interpolation between entries drifts
# past half a degree.
RANGE = {'J': (-200, 760), 'K': (-180, 1370), 'N': (-200, 1300), 'T': (-200, 400), 'E': (-180, 1000),
         'R': (0, 1760), 'S': (0, 1760), 'B': (300, 1820)}
CJ = 25.0

for code, name in enumerate(ref.ORDER, start=24):
    lo, hi = RANGE[name]
    for i in range(41):
        t = lo + (hi - lo) * i / 40.0
        counts = ref.scale(name) * (ref.emf(name, t) - ref.emf(name, CJ))
        reading = int(round(counts * (1 << SHIFT[name]) / ROW4_GAIN))
        print('%d %.3f %d' % (code, t, reading))

r_lo, r_hi = ref.pt100(ref.RTD_LO), ref.pt100(ref.RTD_HI)
for i in range(41):
    t = -200 + 970 * i / 40.0
    r = (ref.pt100(t) - r_lo) / (r_hi - r_lo) * 16384
    print('16 %.3f %d' % (t, int(round(r * 65536 / PT_GAIN))))
