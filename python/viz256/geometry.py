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
    rows, lines = [], []
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
            text = attrs[axis].strip()
            try:
                v = float(text)
            except ValueError:
                v = float("nan")
            if np.isinf(v) and (text.lstrip("+-")[:1].isdigit() or text.lstrip("+-")[:1] == "."):
                fail(f"coordinate {axis} = {text} is out of range (past the largest number)")
            if not np.isfinite(v) or text.lower().lstrip("+-").startswith(("inf", "nan")):
                fail(f'coordinate {axis} is not a number: "{attrs[axis]}"')
            if abs(v) > 1000:
                fail(f"coordinate {axis} = {text} is out of range: more than 1 km from the origin (positions are in metres)")
            row.append(v)
        rows.append(row)
        lines.append(parser.CurrentLineNumber)

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
    p = np.array(rows, dtype=float).reshape(-1, 3)
    for i in range(1, len(p)):
        same = np.nonzero(np.all(np.abs(p[:i] - p[i]) < 1e-4, axis=1))[0]
        if len(same):
            j = same[0]
            fail(f"position {i + 1} ({p[i][0]:g}, {p[i][1]:g}, {p[i][2]:g}) is that of position {j + 1} "
                 f"(line {lines[j]}): two microphones cannot be at one place", lines[i])
    span = np.ptp(p, axis=0).max()
    if span > 50:
        fail(f"the layout spans {span:g} m: it looks like millimetres (positions are in metres: divide them by 1000)",
             lines[int(np.abs(p).max(axis=1).argmax())])
    return p
