"""The positions of an array's microphones, from the XML layout array owners already have:

    <MicArray name="..."><pos Name="Point 1" x="0.1" y="-0.2" z="0"/>...</MicArray>

metres, one ``pos`` per microphone in channel order (channel = 8 x beam + microphone)."""
import xml.parsers.expat as _expat

import numpy as np

__all__ = ["geometry", "GeometryError"]


class GeometryError(ValueError):
    """A layout that cannot be read: the message is "PATH:LINE: reason"."""


def geometry(path):
    """The (N, 3) array of the microphones' x, y, z in metres, in channel order. A run that
    recorded some microphones uses their rows: ``geometry(f)[channels]``."""
    rows = []
    state = {"in_array": False, "seen": False, "end": 0}
    parser = _expat.ParserCreate()

    def fail(reason, line=None):
        raise GeometryError(f"{path}:{parser.CurrentLineNumber if line is None else line}: {reason}")

    def start(tag, attrs):
        if not state["in_array"]:
            if tag != "MicArray":
                fail(f"expected <MicArray>, found <{tag}>")
            if state["seen"]:
                fail("a second <MicArray>")
            state["in_array"] = state["seen"] = True
            return
        if tag != "pos":
            fail(f"expected <pos>, found <{tag}>")
        row = []
        for axis in "xyz":
            if axis not in attrs:
                fail(f"<pos> without the coordinate {axis}")
            try:
                v = float(attrs[axis])
            except ValueError:
                v = float("nan")
            if not np.isfinite(v):
                fail(f'coordinate {axis} is not a number: "{attrs[axis]}"')
            row.append(v)
        rows.append(row)

    def end(tag):
        if tag == "MicArray":
            state["in_array"] = False
            state["end"] = parser.CurrentLineNumber

    parser.StartElementHandler = start
    parser.EndElementHandler = end
    try:
        with open(path, "rb") as f:
            parser.ParseFile(f)
    except OSError as e:
        raise GeometryError(f"{path}: cannot open: {e.strerror}") from None
    except _expat.ExpatError as e:
        raise GeometryError(f"{path}:{e.lineno}: not a microphone array layout (XML: "
                            f"{_expat.ErrorString(e.code)})") from None
    if not state["seen"]:
        fail("no <MicArray> element")
    if not rows:
        fail("the array has no <pos>", state["end"])
    return np.array(rows, dtype=float).reshape(-1, 3)
