#!/usr/bin/python3
"""Prints, for each XML file named on the command line, one line: the JSON
form [name, [[attribute, value], ...], contents, [children...]] of its root
element as Python's xml.etree reads it, where contents are the element's
text and the tails of its children joined (all the text directly inside
it); or "error" when the file does not parse."""
import json
import sys
import xml.etree.ElementTree as ET


def canon(e):
    text = (e.text or "") + "".join(c.tail or "" for c in e)
    return [e.tag, [[k, v] for k, v in e.attrib.items()], text, [canon(c) for c in e]]


for path in sys.argv[1:]:
    try:
        print(json.dumps(canon(ET.parse(path).getroot())))
    except ET.ParseError:
        print("error")
