#!/usr/bin/python3
"""Local date and time of instants in a zone, from Python's datetime and
zoneinfo. Each input line: UTC milliseconds since 1970 and a zone name; each
output line: year month day hour minute second millisecond weekday-name."""
import datetime
import sys
import zoneinfo

for line in sys.stdin:
    ms, zone = line.split()
    ms = int(ms)
    t = datetime.datetime.fromtimestamp(ms // 1000, zoneinfo.ZoneInfo(zone))
    print(t.year, t.month, t.day, t.hour, t.minute, t.second, ms % 1000, t.strftime("%A"))
