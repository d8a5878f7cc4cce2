"""Read the runs recorded by viz256 with numpy alone.

A run is three files: ``x.dat`` (frames of ``nb_voies`` little-endian 32-bit words, int32 or
float32), ``x.Vlx`` (a packed 2097-byte header, comment in Windows-1252) and ``x.log`` (a
readable description whose numbers follow the operator's locale). A frame holds the counter
(when recorded), the microphones in channel order (channel 8 * beam + microphone), the status
word (when recorded) and the analogue channels.

    run = viz256.open("mesure.dat")    # any of the three names
    run.microphones()                  # numpy.memmap (frames, microphones), no copy

Every file of a run is input from outside: whatever is wrong with one (missing, unreadable, a
folder, a FIFO, malformed, a number of a million digits), the reader raises RunError and
nothing else, never waits, and reads the run from its other description when one is good,
as `viz256-run` does, with the same limits.
"""
import datetime as _dt
import errno as _errno
import os as _os
import stat as _stat
import unicodedata as _ud

import numpy as np

from .geometry import GeometryError, geometry  # noqa: F401  viz256.geometry(path) -> (N, 3)

__all__ = ["open", "Run", "RunError", "HEADER_DTYPE", "run_paths"]

HEADER_SIZE = 2097
# The header record, field by field (packed: no padding).
HEADER_DTYPE = np.dtype([
    ("date_heure", "<u2", (8,)),          # year, month, day of week, day, hour, minute, second, ms
    ("micros_actifs", "i1", (128, 8)),    # beam x microphone, 1 = recorded
    ("va_actives", "i1", (4, 4)),         # block x analogue channel
    ("compteurs_actifs", "i1", (4,)),
    ("freq", "<f4"),
    ("nb_ech", "<u4"),
    ("duree_acquise", "<f4"),
    ("type_float", "u1"),
    ("texte_commentaire", "u1", (1024,)),
])
assert HEADER_DTYPE.itemsize == HEADER_SIZE


class RunError(ValueError):
    """A file of a run that cannot be read: the message names the file and the field."""

    def __init__(self, file, field, what):
        self.file, self.field = file, field
        name = _os.path.basename(file)
        super().__init__(f"{name}: {field}: {what}" if field else f"{name}: {what}")


def _extension(name):
    """The last four characters of the file name, ASCII letters lowered, when the name is longer."""
    base_name = name[name.rfind("/") + 1:]
    if len(base_name) <= 4:
        return ""
    return "".join(c.lower() if c.isascii() else c for c in base_name[-4:])


def companion_paths(data_path):
    """(header, log) of a data file, named as the program names them: the final ".dat" of the
    file name (any case) replaced by ".Vlx" and ".log", or those appended to a name without it;
    a file named ".dat" and nothing else has no extension."""
    base = data_path[:-4] if _extension(data_path) == ".dat" else data_path
    return base + ".Vlx", base + ".log"


def run_paths(name):
    """(data, header, log) paths of a run from any of its three names."""
    name = _os.fsdecode(_os.fspath(name))
    dat = name
    if _extension(name) in (".vlx", ".log"):
        base = name[:-4]
        dat = base + ".dat"
        if not _os.path.exists(dat) and _os.path.isfile(base):
            dat = base
    return (dat,) + companion_paths(dat)


def _day_exists(year, month, day):
    """Whether day/month/year is a day of the Gregorian calendar."""
    days = (31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31)
    if not (1 <= month <= 12 and 1 <= day <= days[month - 1]):
        return False
    return month != 2 or day != 29 or (year % 4 == 0 and year % 100 != 0) or year % 400 == 0


def _date(year, month, day, hour, minute, second, ms=0):
    """A datetime.datetime; past the year 9999, which it cannot hold, a numpy.datetime64."""
    if year <= 9999:
        return _dt.datetime(year, month, day, hour, minute, second, ms * 1000)
    return np.datetime64(f"{year}-{month:02d}-{day:02d}T{hour:02d}:{minute:02d}:{second:02d}.{ms:03d}", "ms")


def _counts(micros, va, compteurs):
    return int(np.sum(micros)), int(np.sum(va)), int(np.sum(compteurs))


def parse_header(data, file="header"):
    """The header record as a dict, validated; raises RunError naming the file and field."""
    if len(data) != HEADER_SIZE:
        raise RunError(file, "size", "the file is empty (the run did not end normally?)" if not data
                       else f"{len(data)} bytes, a header has {HEADER_SIZE}")
    h = np.frombuffer(data, dtype=HEADER_DTYPE)[0]
    d = [int(v) for v in h["date_heure"]]
    names = ["year", "month", "day_of_week", "day", "hour", "minute", "second", "milliseconds"]
    limits = [(1601, 30827), (1, 12), (0, 6), (1, 31), (0, 23), (0, 59), (0, 59), (0, 999)]
    for n, v, (lo, hi) in zip(names, d, limits):
        if not lo <= v <= hi:
            raise RunError(file, "date_heure." + n, f"{v} is out of {lo}..{hi}")
    if not _day_exists(d[0], d[1], d[3]):
        raise RunError(file, "date_heure.day", f"{d[3]}/{d[1]}/{d[0]} is no date")
    date = _date(d[0], d[1], d[3], d[4], d[5], d[6], d[7])
    micros, va, cpt = h["micros_actifs"], h["va_actives"], h["compteurs_actifs"]
    for field, flags, used in (("micros_actifs", micros, micros[:32]), ("va_actives", va, va[:1]),
                               ("compteurs_actifs", cpt, cpt[:1])):
        if not np.isin(flags, (0, 1)).all():
            raise RunError(file, field, "a flag is 0 or 1")
        if flags.sum() != used.sum():
            raise RunError(file, field, "set, but the recorder has no such channel")
    if micros.sum() + va.sum() + cpt.sum() == 0:
        raise RunError(file, "micros_actifs", "no channel recorded: no microphone, analogue channel or counter flag is set")
    freq = float(h["freq"])
    if not (np.isfinite(freq) and 1 <= freq <= 500000):
        raise RunError(file, "freq", f"{freq} is not a sampling frequency (1 to 500000 Hz)")
    duree = float(h["duree_acquise"])
    if not (np.isfinite(duree) and duree >= 0):
        raise RunError(file, "duree_acquise", f"{duree} is not a duration")
    if h["type_float"] > 1:
        raise RunError(file, "type_float", f"{h['type_float']}, the sample type is 0 (int32) or 1 (float32)")
    field = bytes(h["texte_commentaire"])
    if field == b" " * 1024:
        comment = None
    else:
        comment = field.split(b"\0", 1)[0].decode("cp1252", errors="replace")
    return {
        "date": date,
        "micros_actifs": micros.copy(), "va_actives": va.copy(), "compteurs_actifs": cpt.copy(),
        "freq": freq, "nb_ech": int(h["nb_ech"]), "duree_acquise": duree,
        "type_float": int(h["type_float"]), "comment": comment,
    }


def _separator(c):
    if c in "-+\u2212\ufffd" or _ud.category(c)[0] in "CLN":
        return False
    return True


def parse_number(text, decimals, file="log", key=""):
    """A number of the log in any locale: decimal digits of any script, any separators.

    decimals = -1: any decimals after the last separator (the frequency); else exactly that
    many (the duration has one)."""
    v = text.strip(" \t")
    shown = v if len(v) <= 40 else v[:40] + "..."
    if not v or not v[0].isdecimal() or not v[-1].isdecimal():
        raise RunError(file, key, f'"{shown}" is not a number')
    seps = [i for i, c in enumerate(v) if not c.isdecimal()]
    point = seps[-1] if seps else None
    if decimals > 0 and (point is None or len(v) - point - 1 != decimals):
        raise RunError(file, key, f'"{shown}" has not exactly {decimals} decimal')
    if decimals == -1 and len(seps) > 1:
        raise RunError(file, key, f'"{shown}" is not a number')
    if decimals == 0:
        point = None
    whole, frac, scale, prev_sep = 0, 0.0, 1.0, False
    for i, c in enumerate(v):
        if not c.isdecimal():
            if not _separator(c) or prev_sep:
                raise RunError(file, key, f'"{shown}" is not a number')
            prev_sep = True
            continue
        prev_sep = False
        if point is not None and i > point:
            scale /= 10
            frac += _ud.decimal(c) * scale
        else:
            whole = whole * 10 + _ud.decimal(c)
            if whole > 10**15:  # stops at once: a number of a million digits costs no time
                raise RunError(file, key, f'"{shown}" is out of range')
    return whole + frac


def _integer(v, top, file, key):
    v = v.strip(" \t")
    shown = v if len(v) <= 40 else v[:40] + "..."
    if not v:
        raise RunError(file, key, "no value")
    n = 0
    for c in v:
        if not c.isdecimal():
            raise RunError(file, key, f'"{shown}" is not a whole number')
        n = n * 10 + _ud.decimal(c)
        if n > top:
            raise RunError(file, key, f"{shown} is more than {top}")
    return n


def _flags(v, n, file, key):
    words = v.split()
    if len(words) != n:
        raise RunError(file, key, f"{len(words)} flags, expected {n}")
    return [_integer(w, 1, file, key) for w in words]


def parse_log(text, file="log"):
    """The log as a dict, validated; raises RunError naming the file and the key."""
    if isinstance(text, bytes):
        text = text.decode("utf-8", errors="replace")
    if not text:
        raise RunError(file, "", "the file is empty (the run did not end normally?)")
    text = text[1:] if text.startswith("\ufeff") else text  # the byte-order mark of Windows editors
    at = text.find("[OPTIONNAL]")
    if at < 0:
        raise RunError(file, "[OPTIONNAL]", "missing: the file is cut or is no log of a run")
    values, beams = {}, {}
    for line in text[:at].split("\n"):
        line = line.rstrip("\r").strip(" \t")
        if not line or line.startswith("["):
            continue
        if line.startswith("Faisceau_"):
            key, _, rest = line.partition(" ")
            b = _integer(key[9:], 127, file, key)
            if b in beams:
                raise RunError(file, key, "given twice")
            beams[b] = _flags(rest, 8, file, key)
            continue
        if "=" not in line:
            raise RunError(file, line[:40], 'a line that is neither a title nor "key = value"')
        key, _, value = line.partition("=")
        key = key.strip(" \t")
        if key in values:
            raise RunError(file, key, "given twice")
        values[key] = value.split(";", 1)[0]

    def take(key):
        if key not in values:
            raise RunError(file, key, "missing")
        return values.pop(key)

    for b in range(128):
        if b not in beams:
            raise RunError(file, f"Faisceau_{b:03d}", "missing")
    micros = np.array([beams[b] for b in range(128)], dtype=np.int8)
    day, month, year = (take("Date").strip(" \t").split("/") + ["", "", ""])[:3]
    hour, minute, second = (take("Heure").strip(" \t").split(":") + ["", "", ""])[:3]
    year, month, day = (_integer(year, 30827, file, "Date"), _integer(month, 12, file, "Date"),
                        _integer(day, 31, file, "Date"))
    if year < 1601 or not _day_exists(year, month, day):
        raise RunError(file, "Date", f"{day}/{month}/{year} is no date")
    date = _date(year, month, day, _integer(hour, 23, file, "Heure"), _integer(minute, 59, file, "Heure"),
                 _integer(second, 59, file, "Heure"))
    if _integer(take("Nb_faisceaux"), 1000, file, "Nb_faisceaux") != 32:
        raise RunError(file, "Nb_faisceaux", "the recorder has 32 beams")
    nb_voies = _integer(take("Nb_voies"), 262, file, "Nb_voies")
    nb_micros = _integer(take("Nb_micros_actifs"), 256, file, "Nb_micros_actifs")
    nb_va = _integer(take("Nb_voies_analogiques"), 16, file, "Nb_voies_analogiques")
    nb_cpt = _integer(take("Nb_compteurs"), 4, file, "Nb_compteurs")
    va = np.array([_flags(take("Bloc_" + k), 4, file, "Bloc_" + k) for k in "ABCD"], dtype=np.int8)
    cpt = np.array(_flags(take("Compteurs"), 4, file, "Compteurs"), dtype=np.int8)
    if micros[32:].any() or va[1:].any() or cpt[1:].any():
        raise RunError(file, "flags", "set, but the recorder has no such channel")
    m, a, c = _counts(micros, va, cpt)
    for key, said, found in (("Nb_micros_actifs", nb_micros, m), ("Nb_voies_analogiques", nb_va, a),
                             ("Nb_compteurs", nb_cpt, c)):
        if said != found:
            raise RunError(file, key, f"{said}, but {found} flags are set")
    if nb_voies not in (m + a + c, m + a + c + 1) or nb_voies == 0:
        raise RunError(file, "Nb_voies", f"{nb_voies}, but the flags give {m + a + c} words")
    freq = parse_number(take("Freq"), -1, file, "Freq")
    if not 1 <= freq <= 500000:
        raise RunError(file, "Freq", f"{freq} is not a sampling frequency (1 to 500000 Hz)")
    duree_text = take("Duree").strip(" \t")
    duree = parse_number(duree_text, 1, file, "Duree")
    nb_ech = _integer(take("Nb_ech"), 2**32 - 1, file, "Nb_ech")
    kind = take("Type").strip()
    if kind not in ("int32", "float32"):
        raise RunError(file, "Type", f'"{kind}", the sample type is int32 or float32')
    if values:
        raise RunError(file, next(iter(values)), "unknown key")
    rest = text[at + len("[OPTIONNAL]"):]
    rest = rest[2:] if rest.startswith("\r\n") else rest[1:] if rest.startswith("\n") else rest
    rest = rest[:-2] if rest.endswith("\r\n") else rest[:-1] if rest.endswith("\n") else rest
    return {
        "date": date, "micros_actifs": micros, "va_actives": va, "compteurs_actifs": cpt,
        "freq": freq, "nb_ech": nb_ech, "duree": duree, "duree_text": duree_text,
        "type_float": int(kind == "float32"), "nb_voies": nb_voies, "nb_micros": nb_micros,
        "status": nb_voies == m + a + c + 1, "comment": rest if rest else None,
    }


def _open_regular(path):
    """A descriptor of a regular file opened for reading; RunError for anything else. Opened
    with O_NONBLOCK, so that a FIFO is refused at once instead of waited on."""
    try:
        fd = _os.open(path, _os.O_RDONLY | _os.O_NONBLOCK | getattr(_os, "O_CLOEXEC", 0))
    except (OSError, ValueError) as e:  # ValueError: a name with a zero byte
        errno = getattr(e, "errno", None)
        err = RunError(path, "", _os.strerror(errno) if errno else str(e))
        err.errno = errno
        raise err from None
    mode = _os.fstat(fd).st_mode
    if not _stat.S_ISREG(mode):
        _os.close(fd)
        raise RunError(path, "", "a folder, not a file" if _stat.S_ISDIR(mode) else "not a regular file")
    return fd


def _read(path, limit=1 << 20):
    """Whole contents of a small file (header, log); None when it does not exist."""
    try:
        fd = _open_regular(path)
    except RunError as e:
        if getattr(e, "errno", None) == _errno.ENOENT:
            return None
        raise
    try:
        with _os.fdopen(fd, "rb") as f:
            data = f.read(limit + 1)
    except OSError as e:
        raise RunError(path, "", _os.strerror(e.errno) if e.errno else str(e)) from None
    if len(data) > limit:
        raise RunError(path, "size", f"more than {limit} bytes: not a file of a run")
    return data


def _parsed(parse, path):
    """(parsed description, None), or (None, why not): "missing" or the error."""
    try:
        raw = _read(path)
        if raw is None:
            return None, "missing"
        return parse(raw, path), None
    except RunError as e:
        return None, str(e)


def _counter_follows(dat, words, size):
    n = min(size // (4 * words), 512)
    if n < 8:
        return False
    try:
        fd = _open_regular(dat)
        with _os.fdopen(fd, "rb") as f:
            raw = f.read(n * words * 4)
    except (RunError, OSError):
        return False
    if len(raw) < n * words * 4:
        return False
    c = np.frombuffer(raw, dtype="<u4").reshape(n, words)[:, 0]
    return int(np.count_nonzero(np.diff(c) != 1)) <= n // 16


class Run:
    """A recorded run: description, channel layout and memory-mapped frames."""

    def __init__(self, path):
        self.data_file, self.header_file, self.log_file = run_paths(path)
        try:
            fd = _open_regular(self.data_file)
        except RunError as e:
            raise RunError(self.data_file, "", "cannot open the data file: " + str(e).split(": ", 1)[-1]) from None
        self.data_bytes = _os.fstat(fd).st_size
        _os.close(fd)
        self.header, self.header_problem = _parsed(parse_header, self.header_file)
        self.log, self.log_problem = _parsed(parse_log, self.log_file)
        d = self.header or self.log
        if d is None:
            raise RunError(self.header_file, "", f"no description of the run: header {self.header_problem}; "
                           f"log {self.log_problem}")
        self.sample_freq = float(d["freq"])
        self.date = d["date"]
        self.sample_type = "float32" if d["type_float"] else "int32"
        self.dtype = np.dtype("<f4" if d["type_float"] else "<i4")
        self.nb_ech = d["nb_ech"]
        c = d["comment"] or ""
        self.comment = c.rstrip(" ")
        micros, va, cpt = d["micros_actifs"], d["va_actives"], d["compteurs_actifs"]
        base = sum(_counts(micros, va, cpt))
        if self.log is not None and self.log["nb_voies"] - base in (0, 1):
            self.has_status = self.log["nb_voies"] == base + 1
        elif cpt[0]:
            without = _counter_follows(self.data_file, base, self.data_bytes)
            with_ = _counter_follows(self.data_file, base + 1, self.data_bytes)
            self.has_status = with_ and not without
        else:
            self.has_status = (self.data_bytes % (4 * (base + 1)) == 0 and self.data_bytes % (4 * base) != 0)
        self.has_counter = bool(cpt[0])
        self.mic_channels = [8 * b + m for b in range(32) for m in range(8) if micros[b][m]]
        self.analog_channels = [n for n in range(4) if va[0][n]]
        self.channel_names = (["counter"] if self.has_counter else []) + \
            [f"mic_{c // 8}_{c % 8}" for c in self.mic_channels] + \
            (["status"] if self.has_status else []) + [f"va_{n}" for n in self.analog_channels]
        self.nb_voies = len(self.channel_names)
        if self.nb_voies == 0:
            raise RunError(self.header_file, "channels", "no channel recorded")
        # Whole frames in the data file, whatever the header and log count; a partial frame
        # at its end (the run ended by a full disk or a kill) is left out.
        self.frames = self.data_bytes // (4 * self.nb_voies)
        self.trailing_bytes = self.data_bytes % (4 * self.nb_voies)
        self._maps = {}

    @property
    def duration(self):
        """Seconds of whole frames in the data file."""
        return self.frames / self.sample_freq

    def data(self, dtype=None):
        """All the words: a numpy.memmap (frames, nb_voies) of the run's sample type."""
        dtype = np.dtype(dtype or self.dtype)
        if dtype not in self._maps:
            if self.frames == 0:
                self._maps[dtype] = np.empty((0, self.nb_voies), dtype=dtype)
            else:
                self._maps[dtype] = np.memmap(self.data_file, dtype=dtype, mode="r",
                                              shape=(self.frames, self.nb_voies))
        return self._maps[dtype]

    def _columns(self, first, n, dtype=None):
        return self.data(dtype)[:, first:first + n]

    def microphones(self):
        """The microphones (frames, len(mic_channels)), in channel order: a view, no copy."""
        return self._columns(int(self.has_counter), len(self.mic_channels))

    def analog(self):
        """The analogue channels (frames, len(analog_channels)): a view, no copy."""
        return self._columns(self.nb_voies - len(self.analog_channels), len(self.analog_channels))

    def counter(self):
        """The counter as uint32 (frames,): a view; None when it was not recorded."""
        return self.data("<u4")[:, 0] if self.has_counter else None

    def status(self):
        """The status word as uint32 (frames,): a view; None when it was not recorded."""
        if not self.has_status:
            return None
        return self.data("<u4")[:, int(self.has_counter) + len(self.mic_channels)]

    def __repr__(self):
        return (f"<viz256.Run {self.data_file!r}: {self.frames} frames at {self.sample_freq:g} Hz, "
                f"{self.sample_type}, {len(self.mic_channels)} microphones, "
                f"{len(self.analog_channels)} analogue>")


def open(path):  # noqa: A001 - viz256.open(path), as io.open
    """Opens a run from any of its three names (x.dat, x.Vlx, x.log)."""
    return Run(path)
