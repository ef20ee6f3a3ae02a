"""What ascent-plot draws, as plain data: the flights of a session or of saved or new flights, a
trade study, an optimisation and a dispersion study, read from ascent's data files, its JSON, the
module's flights and the tools' CSV. No drawing here: every renderer takes these objects.

Every fault of an input raises PlotError with one line naming the file and the exit status the
tool gives it (1 for an input; 64 for a command line it cannot use).
"""

from __future__ import annotations

import csv
import io
import itertools
import json
import math
import os
import re
from array import array
from dataclasses import dataclass, field

import numpy as np

EXIT_INPUT = 1
EXIT_USAGE = 64

# The four series of a file-mode session, in panel order: file, unit factor
# from the step table's SI column, and the largest magnitude a flight can
# reach (escape speed is 11.2 km/s, the Moon 384,000 km away, 1000 g and
# 10 MPa no structure survives): beyond it a value is a flight gone wrong.
SERIES = (
    ("speed", "vi", 1e-3, 100.0),
    ("height", "h0", 1e-3, 1e6),
    ("accel", "a", 1.0, 1e4),
    ("dynpres", "Pq", 1e-3, 1e4),
)

# The events marked on a flight's time axis, by kind, with their labels.
_LABELS = {
    "pitch_over": lambda v: "pitch-over",
    "booster_separation": lambda v: "booster separation",
    "fairing_jettison": lambda v: "fairing jettison",
    "acceleration_limit": lambda v: "maximum acceleration",
    "engine_cutoff": lambda v: f"engine {int(v['engine'])} cut-off",
    "core_cutoff": lambda v: "core cut-off",
    "upper_ignition": lambda v: f"{v['engine']} ignition",
    "upper_cutoff": lambda v: f"{v['engine']} cut-off",
}


def printable(text):
    """Text fit for a terminal: a control character (a line break, an escape sequence that
    would move the cursor or recolour the screen, a direction override) is shown as its escape
    (\\n, \\x1b, \\u202e), never sent as itself. What the files' headers and fields hold
    reaches --list and the messages only through here."""
    return _CONTROL.sub(_escape, text)


_CONTROL = re.compile("[\x00-\x1f\x7f-\x9f\u061c\u200e\u200f\u2028\u2029\u202a-\u202e\u2066-\u2069]")


def _escape(m):
    c = m.group()
    return {"\n": "\\n", "\r": "\\r", "\t": "\\t"}.get(c) or (
        f"\\x{ord(c):02x}" if ord(c) < 0x100 else f"\\u{ord(c):04x}")


class PlotError(Exception):
    """An input the tool cannot draw: `message` (naming the file) and the exit `code`."""

    def __init__(self, message, code=EXIT_INPUT):
        # One line on standard error, whatever a file's text put in it.
        message = printable(message)
        super().__init__(message)
        self.message = message
        self.code = code


@dataclass
class EventMark:
    t: float  # s, the time of the step the event came after
    label: str  # as drawn: "pitch-over", "AJ10-190 ignition"
    kind: str  # the event's kind as the module and the JSON name it


@dataclass
class FlightData:
    name: str  # legend entry: "flight 1: turn time 36 s, angle limit 18°"
    t: np.ndarray  # s
    speed_kms: np.ndarray  # inertial speed, km/s
    alt_km: np.ndarray  # altitude, km
    accel: np.ndarray  # thrust acceleration, m/s²
    q_kpa: np.ndarray  # dynamic pressure, kPa
    events: list = field(default_factory=list)  # [EventMark]
    tt: float | None = None  # turn time, s
    alpha: float | None = None  # angle limit, degrees
    source: str = ""  # the file or flight it came from
    vehicle: str = ""  # the name of the vehicle that flew it, where known
    mass_t: np.ndarray | None = None  # the stack's mass, t: a staged flight's, drawn in a panel of its own


def _fmt(x):
    return "%g" % x


def flight_name(index, tt=None, alpha=None, prefix=None):
    """The legend's name of a flight: "flight 2: turn time 36 s, angle limit 18°"."""
    s = prefix if prefix else f"flight {index}"
    if tt is not None:
        s += f": turn time {_fmt(tt)} s"
        if alpha is not None:
            s += f", angle limit {_fmt(alpha)}°"
    return s


def event_marks(events, warn=None, where=""):
    """EventMarks of a flight's events: ascent.Event objects or the JSON's event objects.

    The module gives one Event per line written; an announcement of several lines is marked once.
    An event after a step whose time is not a finite number (a flight gone wrong) cannot be
    placed: said through warn, not marked.
    """
    marks = []
    last = None
    for e in events:
        if isinstance(e, dict):
            t, kind, values = e["t"], e["kind"], e.get("values", {})
        else:
            t, kind, values = e.t, e.kind, e.values
        key = (t, kind, tuple(sorted((k, str(v)) for k, v in values.items())))
        if key == last:
            continue
        last = key
        if kind not in _LABELS:
            continue
        if t is None or not math.isfinite(t):
            if warn:
                warn(f"{where}the {_LABELS[kind](values)} has no finite time: not marked")
            continue
        marks.append(EventMark(float(t), _LABELS[kind](values), kind))
    return marks


# ------------------------------------------------------------------ session data files

_T_RE = re.compile(r" *-?[0-9]+\.[0-9][0-9]")
_V_RE = re.compile(r"-?[0-9]+(\.[0-9]*)?$")


def split_flights(times, values):
    """Cuts one series into flights where the time falls back to the pad (by more than 5 s, to
    below 5 s), dropping the points a smaller step back (a search, a trim) leaves behind, so each
    flight follows the path it finally took. Returns [(t array, value array)]."""
    flights = []
    T, V = [], []
    last = None
    for t, v in zip(times, values):
        if last is not None and t < last - 5 and t < 5:
            flights.append((np.array(T), np.array(V)))
            T, V = [], []
        while T and T[-1] >= t:
            T.pop()
            V.pop()
        T.append(t)
        V.append(v)
        last = t
    if T:
        flights.append((np.array(T), np.array(V)))
    return flights


def _read_bytes(path, what, head=False):
    """The file's bytes (head: only its first, to tell that it is there and not empty)."""
    if not os.path.exists(path):
        raise PlotError(f"{path}: no such file ({what})")
    if not os.path.isfile(path):
        raise PlotError(f"{path}: not a regular file ({what})")
    try:
        with open(path, "rb") as f:
            data = f.read(1) if head else f.read()
    except OSError as e:
        raise PlotError(f"{path}: cannot read it ({e.strerror or e})") from None
    if not data:
        raise PlotError(f"{path}: the file is empty ({what})")
    return data


def read_series(path, limit, warn=None):
    """The (time, value) points of a data file ("t value" per line, t with two decimals), each
    line that is not two finite numbers or is beyond `limit` skipped and counted in a warning."""
    data = _read_bytes(path, "ascent writes it in file mode: answer its first question with a file name")
    times, values = [], []
    nbad = nbig = 0
    firstbad = firstbig = None
    lines = data.decode("latin-1").split("\n")
    if lines[-1] == "":
        lines.pop()  # after the last line end
    for n, raw in enumerate(lines, start=1):
        line = raw[:-1] if raw.endswith("\r") else raw
        m = _T_RE.match(line)
        vs = line[m.end():].strip(" ") if m else ""
        if not m or not _V_RE.match(vs) or not math.isfinite(float(m.group().replace(" ", ""))):
            nbad += 1
            firstbad = firstbad or f'{n}: "{line}"'
            continue
        v = float(vs)
        if abs(v) > limit:
            nbig += 1
            firstbig = firstbig or n
            continue
        times.append(float(m.group().replace(" ", "")))
        values.append(v)
    if not times:
        raise PlotError(f'{path}: no line of the form "t value" (first bad line {firstbad})')
    if warn and nbad:
        warn(f"{path}: skipped {nbad} line(s) that are not two finite numbers (first: line {firstbad.split(':')[0]})")
    if warn and nbig:
        warn(f"{path}: skipped {nbig} value(s) beyond {limit:g}, out of reach of any flight "
             f"(a flight gone wrong; first: line {firstbig})")
    return times, values


def _on(t_ref, t, v):
    """A series' values at the reference times (the same times in a session's files)."""
    if len(t) == len(t_ref) and np.array_equal(t, t_ref):
        return v
    return np.interp(t_ref, t, v) if len(t) else np.full(len(t_ref), np.nan)


def read_data_files(directory, warn=None):
    """The flights of a session's four data files: [(t, speed, alt, accel, q)] in file units."""
    per_series = []
    for name, _, _, limit in SERIES:
        per_series.append(split_flights(*read_series(os.path.join(directory, name + ".dat"), limit, warn)))
    counts = [len(s) for s in per_series]
    if warn and len(set(counts)) > 1:
        warn("the data files disagree on the number of flights (%s)" % ", ".join(map(str, counts)))
    flights = []
    for i in range(max(counts)):
        ref = next(s[i] for s in per_series if i < len(s))
        t = ref[0]
        cols = [_on(t, *s[i]) if i < len(s) else np.full(len(t), np.nan) for s in per_series]
        flights.append((t, *cols))
    return flights


def _flight_from_table(flight):
    """The four series of a module flight, in the data files' units and read as the data files
    are: searches dropped, points that are not finite or beyond any flight's reach left out."""
    tab = flight.table
    # The step table's first two lines are on the pad, before the first step: file mode writes
    # no data line for them, and neither are they drawn here. The times as the data files write
    # them (two decimals, the decimal nearest, as round() gives it), so that a step back is told
    # from a step forward alike.
    t = np.array([round(x, 2) if math.isfinite(x) else math.nan for x in tab["t"][2:].tolist()])
    series = []
    for _, c, k, limit in SERIES:
        v = tab[c][2:] * k
        keep = np.isfinite(t) & np.isfinite(v) & (np.abs(v) <= limit)
        # A module flight is one flight: a fall back to the pad never happens inside it.
        parts = split_flights(t[keep], v[keep])
        series.append((np.concatenate([p[0] for p in parts]), np.concatenate([p[1] for p in parts]))
                      if parts else (np.array([]), np.array([])))
    ref = series[0][0]
    return (ref, *[_on(ref, *x) for x in series])


def _json_doc(path):
    data = _read_bytes(path, "a flight file written by ascent --json")
    def number(x, what):
        if isinstance(x, bool) or not isinstance(x, (int, float)) or not math.isfinite(x):
            raise ValueError(f"{what} is not a number")
        return x

    try:
        doc = json.loads(data.decode("utf-8"))
        if isinstance(doc, dict) and "flights" not in doc and "path" in doc:
            return doc  # a staged vehicle's one flight: read by _staged_flight
        flights = doc["flights"]
        if not isinstance(doc, dict) or not isinstance(flights, list):
            raise TypeError("no list of flights")
        if not isinstance(doc.get("vehicle", ""), str):
            raise TypeError("the vehicle is no name")
        for f in flights:
            number(f["answers"]["tt"], "tt")
            number(f["answers"]["alpha"], "alpha")
            if not isinstance(f["summary"], dict) or not isinstance(f["events"], list):
                raise TypeError("a flight without its summary or events")
            for e in f["events"]:
                if e["t"] is not None:
                    number(e["t"], "an event's time")
                if not isinstance(e["kind"], str) or not isinstance(e["values"], dict):
                    raise TypeError("an event without its kind or values")
                if e["kind"] in ("engine_cutoff", "upper_ignition", "upper_cutoff"):
                    engine = e["values"]["engine"]
                    if e["kind"] == "engine_cutoff":
                        number(engine, "an engine's number")
                    elif not isinstance(engine, str):
                        raise TypeError("an engine without a name")
    except (ValueError, KeyError, TypeError, UnicodeDecodeError, RecursionError) as e:
        raise PlotError(f"{path}: not a flight file of ascent --json ({type(e).__name__}: {e})") from None
    if not flights:
        raise PlotError(f"{path}: the file holds no flight")
    return doc


def _summary_time(flight):
    """The time of a JSON flight's last step (its summary's), or None for a flight gone wrong
    (a time that is no number), whose data files end where its numbers left every range."""
    t = [e["t"] for e in flight["events"] if e["kind"] == "summary"]
    return t[-1] if t and t[-1] is not None else None


def _module():
    try:
        import ascent
    except ImportError as e:  # pragma: no cover  (installed with the module)
        raise PlotError(f"the Python module ascent cannot be imported: {e}") from None
    return ascent


#: Where the booster profile that comes with the program may lie, in order: the launcher sets it
#: (beside the install, then the source tree a build tree was made from); the first that exists
#: is named when a flight's profile is missing.
BUNDLED_PROFILES = []


def _missing_profile(path):
    """The message for a booster profile that is not there, naming one that is."""
    folder = os.path.dirname(os.path.abspath(path))
    there = next((p for p in BUNDLED_PROFILES if os.path.isfile(p)), None)
    return (f"{path}: file not found in {folder}" +
            (f"; the bundled profile is {os.path.normpath(there)}" if there else ""))


def _fly(vehicle, profile, tt, alpha, transfer=True, iterate=False, where=""):
    ascent = _module()
    p = profile if profile is not None else vehicle.profile_path
    if isinstance(p, str) and not os.path.exists(p):
        raise PlotError(where + _missing_profile(p))
    try:
        return ascent.fly(tt, alpha, transfer=transfer, iterate=iterate, vehicle=vehicle, profile=profile,
                          events=True)
    except ascent.AscentError as e:
        raise PlotError(f"{where}{e.message}") from None
    except (ValueError, OSError) as e:
        raise PlotError(f"{where}{e}") from None


def load_session(directory=".", json_path=None, warn=None):
    """The flights of a file-mode session: curves from DIR's data files; events and answers, as
    values, from the session's `ascent --json` file (json_path), which must be of the same run
    as the data files: refused otherwise. Without it, the curves alone."""
    if not os.path.isdir(directory):
        raise PlotError(f"{directory}: no such directory")
    if json_path is not None:
        doc = _json_doc(json_path)
        if "flights" not in doc:
            raise PlotError(f"{json_path}: the flight of a staged vehicle carries its own lines: draw it with "
                            f"--json {json_path}, without -d")
    series = read_data_files(directory, warn)
    flights = []
    if json_path is not None:
        jf = doc["flights"]
        if len(jf) != len(series):
            raise PlotError(f"{json_path} and the data files of {directory} are not of the same run of ascent "
                            f"(the JSON holds {len(jf)} flight(s), the data files {len(series)})")
        for i, (s, f) in enumerate(zip(series, jf), start=1):
            marks = event_marks(f["events"], warn, f"{json_path}: flight {i}: ")
            end = _summary_time(f)
            if end is not None and abs(end - s[0][-1]) > 0.006:
                raise PlotError(f"{json_path} and {os.path.join(directory, 'speed.dat')} are not of the same run "
                                f"of ascent (flight {i} ends at {end:.2f} s in the JSON, at {s[0][-1]:.2f} s in "
                                f"the data file): give -d the folder of that run")
            a = f["answers"]
            flights.append(FlightData(flight_name(i, a["tt"], a["alpha"]), *s, events=marks,
                                      tt=float(a["tt"]), alpha=float(a["alpha"]), source=json_path,
                                      vehicle=doc.get("vehicle", "")))
    else:
        for i, s in enumerate(series, start=1):
            flights.append(FlightData(flight_name(i), *s, source=directory))
    return flights


def _vehicle_of(vehicle):
    """The module's Vehicle of a description file (None: the built-in one)."""
    ascent = _module()
    try:
        return ascent.Vehicle.from_file(vehicle) if vehicle else ascent.Vehicle()
    except ascent.AscentError as e:
        raise PlotError(e.message) from None


def _profile_for(v, folder):
    """The profile a vehicle flies: the one its description names, else the folder's s1.dat."""
    p = v.profile_path
    if os.path.abspath(p) == os.path.abspath("s1.dat"):
        p = os.path.join(folder, "s1.dat")
    return p


def flown_with(vehicle, folder):
    """The files a flight flown again or anew reads: the vehicle's description (none: the built-in
    vehicle) and the booster profile it flies (its description's, else folder/s1.dat). A
    description that cannot be read names only itself: its fault is told when it is flown."""
    try:
        return ([vehicle] if vehicle else []) + [_profile_for(_vehicle_of(vehicle or None), folder)]
    except PlotError:
        return [vehicle] if vehicle else []


def load_json_flight(path, vehicle=None, profile=None, warn=None):
    """The flights of a saved `ascent --json` file: curves from the data files beside it when they
    are of that run, else flown again through the module with its answers (vehicle: the
    description it was flown with, default the built-in one; checked by name and summary)."""
    doc = _json_doc(path)
    if "flights" not in doc:
        return [_staged_flight(path, doc)]
    folder = os.path.dirname(path) or "."
    label = doc.get("vehicle") or os.path.basename(path)
    jf = doc["flights"]
    series = None
    if all(os.path.isfile(os.path.join(folder, n + ".dat")) for n, *_ in SERIES):
        try:
            series = read_data_files(folder, None)
        except PlotError:
            series = None
        if series is not None and len(series) != len(jf):
            series = None
    flights = []
    for i, f in enumerate(jf, start=1):
        a = f["answers"]
        tt, alpha = float(a["tt"]), float(a["alpha"])
        s = None
        if series is not None:
            end = _summary_time(f)
            if end is None or abs(end - series[i - 1][0][-1]) <= 0.006:
                s = series[i - 1]
        if s is None:
            v = _vehicle_of(vehicle)
            name = _vehicle_name(v)
            if doc.get("vehicle") and name != doc["vehicle"]:
                raise PlotError(f"{path}: flown by the vehicle '{doc['vehicle']}', not '{name}': give its "
                                f"description with --vehicle, or keep the data files beside the JSON")
            p = profile if profile is not None else _profile_for(v, folder)
            fl = _fly(v, p, tt, alpha, bool(a.get("transfer", True)), bool(a.get("iterate", False)),
                      where=f"{path}: flight {i}: ")
            sc = f["summary"].get("SC_M")
            if sc is not None and fl.summary.get("SC_M") is not None and not (
                    fl.summary["SC_M"] == sc or (isinstance(sc, float) and math.isnan(sc))):
                raise PlotError(f"{path}: flight {i} flown again carries SC_M {fl.summary['SC_M']:g} kg, "
                                f"the file says {sc} kg: give the vehicle and profile it was flown with")
            s = _flight_from_table(fl)
        prefix = f"{label}" + (f" flight {i}" if len(jf) > 1 else "")
        flights.append(FlightData(flight_name(i, tt, alpha, prefix), *s, events=event_marks(f["events"], warn, f"{path}: flight {i}: "),
                                  tt=tt, alpha=alpha, source=path, vehicle=doc.get("vehicle", "")))
    return flights


# A staged flight's lines in its JSON ("path"), in the order of FlightData's curves, with the
# factor from the JSON's SI unit.
_STAGED_PATH = (("speed", 1e-3), ("altitude", 1e-3), ("acceleration", 1.0), ("dynamic_pressure", 1e-3),
                ("mass", 1e-3))


def _staged_flight(path, doc):
    """The flight of a staged vehicle's `ascent --json` file: its lines against time from the
    file's "path", each event under the name the flight gives it ("first stage: burn-out")."""
    def numbers(x, what):
        if not isinstance(x, list) or not all(isinstance(v, (int, float)) and not isinstance(v, bool)
                                              and math.isfinite(v) for v in x):
            raise TypeError(f"{what} is not a list of numbers")
        return np.array(x, dtype=float)

    try:
        vehicle = doc["vehicle"]
        if not isinstance(vehicle, str):
            raise TypeError("the vehicle is no name")
        t = numbers(doc["path"]["t"], "the path's times")
        curves = [numbers(doc["path"][k], "the path's " + k) * f for k, f in _STAGED_PATH]
        if not len(t) or any(len(c) != len(t) for c in curves) or np.any(np.diff(t) <= 0):
            raise ValueError("the path's lines are not of one length in time order")
        events = []
        for e in doc["events"]:
            if not isinstance(e["event"], str):
                raise TypeError("an event without its name")
            events.append(EventMark(float(numbers([e["t"]], "an event's time")[0]), e["event"], "staged"))
        orbit = doc["final_orbit"]
        hp, ha = (float(numbers([orbit[k]], k)[0]) for k in ("perigee_altitude", "apogee_altitude"))
    except (ValueError, KeyError, TypeError, RecursionError) as e:
        raise PlotError(f"{path}: not a flight file of ascent --json ({type(e).__name__}: {e})") from None
    name = f"{vehicle}: final orbit {hp / 1000:.1f} × {ha / 1000:.1f} km"
    return FlightData(name, t, *curves[:4], events=events, source=path, vehicle=vehicle, mass_t=curves[4])


def _vehicle_name(v):
    try:
        return v["name"]
    except (KeyError, TypeError):
        return None


def staged_fly_path(option):
    """True when a --fly option names a staged description ([[stage]] tables) by its file: it
    flies without a turn time or angle limit."""
    return os.path.isfile(option) and _module()._staged_text(option) is not None


def parse_fly_option(option):
    """VEHICLE.toml:TT:ALPHA (or a bare TT:ALPHA for the built-in vehicle) -> (vehicle, tt, alpha)."""
    parts = option.rsplit(":", 2)
    if len(parts) == 2:
        parts = [""] + parts
    if len(parts) != 3:
        raise PlotError(f"bad --fly '{option}' (want VEHICLE.toml:TT:ALPHA, e.g. vehicles/tarvos3.toml:36:18)",
                        EXIT_USAGE)
    try:
        tt, alpha = float(parts[1]), float(parts[2])
    except ValueError:
        raise PlotError(f"bad --fly '{option}': the turn time and angle limit must be numbers", EXIT_USAGE) from None
    if not (math.isfinite(tt) and math.isfinite(alpha)) or tt < 1 or alpha < 0:
        raise PlotError(f"bad --fly '{option}': a turn time of at least 1 s and an angle limit of at least 0",
                        EXIT_USAGE)
    return parts[0], tt, alpha


def fly_option(option, profile=None, warn=None):
    """A new flight, flown through the module: "VEHICLE.toml:TT:ALPHA" (or "TT:ALPHA": the
    built-in vehicle with s1.dat of the working directory). Returns a FlightData named after its
    vehicle and answers."""
    path, tt, alpha = parse_fly_option(option)
    v = _vehicle_of(path)
    f = _fly(v, profile, tt, alpha, where=f"--fly {option}: ")
    name = _vehicle_name(v) or (os.path.basename(path) if path else "built-in vehicle")
    return FlightData(flight_name(1, tt, alpha, name), *_flight_from_table(f), events=event_marks(f.events, warn, f"--fly {option}: "),
                      tt=tt, alpha=alpha, source=option, vehicle=_vehicle_name(v) or "")


# ------------------------------------------------------------------ coast compression


@dataclass
class TimeAxis:
    """The drawn time axis: u(t) is t up to a, then time runs k times slower to b (the compressed
    coast), then at full scale again; xmax the axis end, step its major tic spacing."""
    xmax: float
    step: float
    a: float
    b: float
    k: float
    coast: float  # length of the compressed coast, s (0: none)

    @property
    def compressed(self):
        return self.coast > 0

    def u(self, x):
        x = np.asarray(x, dtype=float)
        if not self.compressed:
            return x
        return np.where(x <= self.a, x, np.where(x < self.b, self.a + (x - self.a) * self.k,
                                                 self.a + (self.b - self.a) * self.k + (x - self.b)))

    @property
    def umax(self):
        return float(self.u(self.xmax))

    def ticks(self):
        """(time, is_major) of every tic, none inside the compressed band."""
        out = []
        n = int(round(self.xmax / (self.step / 5)))
        for i in range(n + 1):
            x = i * self.step / 5
            if self.compressed and self.a < x < self.b:
                continue
            out.append((x, i % 5 == 0))
        return out


def major_step(span):
    """The major tic spacing of a time axis: the first of 10, 20, 50, 100, 200, 500 s and on
    (1, 2, 5 times a power of ten) that cuts `span` into at most 12 parts, so that an axis holds
    a dozen major tics (and five minor a major) however long the time it spans: a line at
    t = 1e9 s gets tics every 1e8 s, not a hundred thousand of them."""
    step, k = 10.0, 0
    while span / step > 12 and math.isfinite(step):
        k += 1
        step = (1, 2, 5)[k % 3] * 10.0 ** (1 + k // 3)
    return int(step) if step < 1e15 else step


def _longest_coast(t, accel):
    """(start, end) of the longest run of zero thrust acceleration, or None."""
    best = None
    start = None
    for ti, ai in zip(t, accel):
        if ai == 0:
            if start is None:
                start = ti
            if best is None or ti - start > best[1] - best[0]:
                best = (start, ti)
        else:
            start = None
    return best if best and best[1] > best[0] else None


def time_axis(flights, compress=True):
    """The time axis of a flight picture: from 0 to a round number past the last time (and the
    last event), with the longest coast without thrust compressed when every flight in the air
    then coasts through it and it takes more than 40 % of the axis."""
    tmax = max([float(f.t[-1]) for f in flights if len(f.t)] + [e.t for f in flights for e in f.events] + [0.0])
    c0 = c1 = 0.0
    m = max(tmax / 100, 5)
    coasts = [(_longest_coast(f.t, f.accel), float(f.t[-1]) if len(f.t) else 0.0) for f in flights]
    cand = [c for c, _ in coasts if c]
    if compress and cand:
        i0, i1 = max(cand, key=lambda c: c[1] - c[0])
        ok = True
        best = max(range(len(coasts)), key=lambda j: (coasts[j][0][1] - coasts[j][0][0]) if coasts[j][0] else -1)
        for j, (c, last) in enumerate(coasts):
            if j == best or last <= i0 + m:
                continue
            if c is None or c[1] <= i0 or c[0] >= i1:
                ok = False
                break
            i0, i1 = max(i0, c[0]), min(i1, c[1])
        if ok:
            c0, c1 = i0, i1
    cmp = compress and (c1 - c0 - 2 * m >= 0.4 * tmax)
    a, b = c0 + m, c1 - m
    span = tmax - (b - a) if cmp else tmax
    step = major_step(span)
    xmax = step * int(tmax / step + 1)
    if not cmp:
        return TimeAxis(xmax, step, xmax, xmax, 1.0, 0.0)
    k = 0.11 * (a + xmax - b) / (b - a)
    return TimeAxis(xmax, step, a, b, k, round(c1 - c0))


@dataclass
class FlightSet:
    """What a flight picture draws: the flights in legend order and their shared time axis."""
    flights: list  # [FlightData]
    axis: TimeAxis

    def __iter__(self):
        """Unpacks as (flights, axis)."""
        return iter((self.flights, self.axis))


def group_events(flights, gap, u=float):
    """One label for an event that several flights share within `gap` (in the display units u(t)
    of the caller's axis); [(u, label, flights)], flights the 1-based numbers of those that have
    it, in time order (at equal times, by flight)."""
    evs = sorted(((float(u(e.t)), i, e.label) for i, f in enumerate(flights, start=1) for e in f.events),
                 key=lambda x: x[0])
    groups = []
    at = {}
    for t, i, label in evs:
        g = at.get(label)
        if g is not None and t - groups[g][0] < gap:
            if i not in groups[g][2]:
                groups[g][2].append(i)
            continue
        at[label] = len(groups)
        groups.append((t, label, [i]))
    return groups


def spread(pos, gap, end):
    """Label positions for marks at the sorted positions `pos`: each at its mark where it can be,
    pushed right until it is `gap` from the one before, then back left to end at end - gap / 2,
    so that no two labels a gap wide overlap (when they fit at all)."""
    pos = list(pos)
    for i in range(1, len(pos)):
        pos[i] = max(pos[i], pos[i - 1] + gap)
    for i in range(len(pos) - 1, -1, -1):
        lim = end - gap / 2 if i == len(pos) - 1 else pos[i + 1] - gap
        pos[i] = min(pos[i], lim)
    return pos


# ------------------------------------------------------------------ CSV


def _num(s):
    """A finite number from a CSV field, else None."""
    s = s.strip()
    if not re.fullmatch(r"[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?", s):
        return None
    x = float(s)
    return x if math.isfinite(x) else None


def _csv_rows(path, what, comments=False):
    data = _read_bytes(path, what)
    text = data.decode("utf-8", errors="replace")
    lines = text.splitlines()
    comment_lines = []
    if comments:
        while lines and lines[0].startswith("#"):
            comment_lines.append(lines.pop(0))
    try:
        rows = [r for r in csv.reader(io.StringIO("\n".join(lines)))]
    except csv.Error as e:
        raise PlotError(f"{path}: not a CSV file ({e})") from None
    if not rows:
        raise PlotError(f"{path}: no header line")
    header = [h.strip() for h in rows[0]]
    body = [(n, r) for n, r in enumerate(rows[1:], start=2 + len(comment_lines))
            if any(c.strip() for c in r)]
    return header, body, comment_lines


#: The most runs a dispersion study's picture reads: ascent-mc's own largest study.
MAX_RUNS = 10_000_000


def _csv_stream(path, what):
    """(comment lines, header, rows) of a CSV read a line at a time, never whole: the lines
    starting with # above the header, the header's names, and an iterator of (line number,
    fields) over the rows that are not blank. A fault found on the way raises PlotError."""
    _read_bytes(path, what, head=True)
    try:
        f = open(path, encoding="utf-8", errors="replace", newline="")
    except OSError as e:
        raise PlotError(f"{path}: cannot read it ({e.strerror or e})") from None
    lines = iter(f)
    comments = []
    try:
        for line in lines:
            if not line.startswith("#"):
                lines = itertools.chain([line], lines)
                break
            comments.append(line.rstrip("\r\n"))
        reader = csv.reader(lines)
        header = [h.strip() for h in next(reader, [])]
    except (csv.Error, OSError) as e:
        f.close()
        raise PlotError(f"{path}: not a CSV file ({e})") from None
    if not header:
        f.close()
        raise PlotError(f"{path}: no header line")

    def rows():
        with f:
            try:
                for r in reader:
                    if any(c.strip() for c in r):
                        yield reader.line_num + len(comments), r
            except (csv.Error, OSError) as e:
                raise PlotError(f"{path}: line {reader.line_num + len(comments)}: not a CSV file ({e})") from None
    return comments, header, rows()


def _whole_row(path, n, row, header):
    """A row of ascent-mc holds every field of its header: one with fewer was cut short (a run
    whose fields stop after `yes,95376,` is no run that reached), one with more is not of it."""
    if len(row) != len(header):
        raise PlotError(f"{path}: line {n}: {len(row)} fields where the header has {len(header)}: "
                        f"{'the row is cut short' if len(row) < len(header) else 'not a row of this file'}")


def _col(header, path, *names, need=True):
    for n in names:
        for i, h in enumerate(header):
            if h == n:
                return i
    if need:
        raise PlotError(f"{path}: the header has no column {names[0]} (it reads: {','.join(header)})")
    return None


def _field(row, i):
    return row[i].strip() if i is not None and i < len(row) else ""


def _min_gap(values):
    v = sorted(set(values))
    d = [b - a for a, b in zip(v, v[1:]) if b - a > 0]
    return min(d) if d else 0.0


@dataclass
class SweepData:
    path: str
    tt: np.ndarray
    alpha: np.ndarray
    sc: np.ndarray  # SC_M, kg; NaN where the flight missed its targets
    ok: np.ndarray  # reached its targets
    best: tuple  # (tt, alpha, SC_M) of the largest SC_M among those that reached

    @property
    def rows(self):
        return len(self.tt)

    @property
    def nfail(self):
        return int((~self.ok).sum())

    @property
    def tt_values(self):
        return np.unique(self.tt)

    @property
    def alpha_values(self):
        return np.unique(self.alpha)

    @property
    def steps(self):
        """Smallest grid step of the turn time and of the angle limit (0 for one value)."""
        return _min_gap(self.tt), _min_gap(self.alpha)

    @property
    def is_grid(self):
        """A grid of both parameters (a heat map), not a curve of one."""
        ntt, nal = len(self.tt_values), len(self.alpha_values)
        return ntt > 1 and nal > 1 and 2 * self.rows >= ntt * nal

    @property
    def curve_x(self):
        """For a curve: 'alpha' or 'tt', the parameter along it."""
        return "alpha" if len(self.alpha_values) > 1 else "tt"

    @property
    def iterated(self):
        """A curve over the angle limit whose turn time converged per limit (ascent-sweep --iterate)."""
        return not self.is_grid and len(self.alpha_values) > 1 and len(self.tt_values) > 1


_NO = {"0", "false", "no", "n", "fail", "failed"}


def load_sweep(path):
    """An ascent-sweep CSV: columns tt, alpha and SC_M by name (and reached or ok when there); a row
    whose SC_M is no number or whose reached column says no missed its targets."""
    header, body, _ = _csv_rows(path, "a CSV written by ascent-sweep")
    low = [h.lower() for h in header]
    ctt, cal, csc = (low.index(n) if n in low else None for n in ("tt", "alpha", "sc_m"))
    if ctt is None or cal is None or csc is None:
        raise PlotError(f"{path}: the header needs the columns tt, alpha and SC_M (it reads: {','.join(header)})")
    cok = next((low.index(n) for n in ("ok", "reached", "reached_targets", "targets_reached", "on_target",
                                       "success") if n in low), None)
    tt, al, sc, ok = [], [], [], []
    for n, r in body:
        t, a = _num(_field(r, ctt)), _num(_field(r, cal))
        if t is None or a is None:
            raise PlotError(f"{path}: line {n}: tt and alpha must be numbers: {','.join(r)}")
        s = _num(_field(r, csc))
        good = s is not None and not (cok is not None and _field(r, cok).lower() in _NO)
        tt.append(t)
        al.append(a)
        sc.append(s if good else math.nan)
        ok.append(good)
    if not tt:
        raise PlotError(f"{path}: no data rows under the header")
    if not any(ok):
        raise PlotError(f"{path}: no row has a spacecraft mass (no flight reached its targets)")
    sc_a = np.array(sc)
    i = int(np.nanargmax(sc_a))  # the first of equal maxima, as the file orders them
    return SweepData(path, np.array(tt), np.array(al), sc_a, np.array(ok), (tt[i], al[i], sc[i]))


@dataclass
class OptData:
    path: str
    tt: np.ndarray
    alpha: np.ndarray
    sc: np.ndarray  # NaN for a miss
    reached: np.ndarray
    best: int | None  # row index (0-based) of the best flight, None when none reached
    listing: list  # the --list lines
    sweep: SweepData | None = None


def load_opt(path, sweep=None):
    """An ascent-optimize CSV (sweep columns, one row per flight in the order flown, then the free
    keys after status); the best is the largest SC_M among the flights that reached the target."""
    header, body, _ = _csv_rows(path, "a CSV written by ascent-optimize -o")
    need = ("tt", "alpha", "SC_M", "reached")
    if any(n not in header for n in need):
        raise PlotError(f"{path}: the header needs the columns tt, alpha, SC_M and reached "
                        f"(it reads: {','.join(header)})")
    ctt, cal, csc, crc = (header.index(n) for n in need)
    chp, cha, ccp, cst = (_col(header, path, n, need=False)
                          for n in ("hp_final_km", "ha_final_km", "core_propellant_left_kg", "status"))
    free = list(range(cst + 1, len(header))) if cst is not None else []
    tt, al, sc, rc, raw = [], [], [], [], []
    for n, r in body:
        t, a = _num(_field(r, ctt)), _num(_field(r, cal))
        if t is None or a is None:
            raise PlotError(f"{path}: line {n}: tt and alpha must be numbers: {','.join(r)}")
        s = _num(_field(r, csc))
        ok = _field(r, crc).lower() == "yes" and s is not None
        tt.append(t)
        al.append(a)
        sc.append(s if ok else math.nan)
        rc.append(ok)
        raw.append(r)
    if not tt:
        raise PlotError(f"{path}: no data rows under the header")
    sc_a = np.array(sc)
    best = int(np.nanargmax(sc_a)) if any(rc) else None
    good = sum(rc)
    lines = [f"flights: {len(tt)} ({good} reached the target, {len(tt) - good} missed)"]
    if best is not None:
        r = raw[best]
        lines.append(f"best: flight {best + 1}: SC_M {_field(r, csc)} kg at turn time {_field(r, ctt)} s, "
                     f"angle limit {_field(r, cal)}°")
        if _field(r, chp) or _field(r, cha):
            lines.append(f"best orbit: perigee {_field(r, chp)} km, apogee {_field(r, cha)} km")
        if _field(r, ccp):
            lines.append(f"best core propellant left: {_field(r, ccp)} kg")
        if free:
            lines.append("best free keys: " + ", ".join(f"{header[i]} = {_field(r, i)}" for i in free))
    else:
        lines.append("best: none (no flight reached the target)")
    lines.append(f"turn time {min(tt):.10g} to {max(tt):.10g} s, angle limit {min(al):.10g} to {max(al):.10g}°")
    sw = load_sweep(sweep) if sweep else None
    if sw:
        lines.append(f"sweep: {sw.rows} flights, best SC_M {sw.best[2]:.10g} kg at turn time {sw.best[0]:.10g} s, "
                     f"angle limit {sw.best[1]:.10g}°")
    return OptData(path, np.array(tt), np.array(al), sc_a, np.array(rc), best, lines, sw)


@dataclass
class Histogram:
    centres: np.ndarray
    reached: np.ndarray  # counts of runs that reached the target, per bin
    missed: np.ndarray
    width: float


@dataclass
class Sensitivity:
    key: str
    low: float | None  # change of SC_M from the nominal at the low value, kg; None: no bar
    high: float | None
    fate_low: str  # "ok", "miss" or "stopped"
    fate_high: str


@dataclass
class McData:
    path: str
    sc: np.ndarray
    sc_reached: np.ndarray
    hp: np.ndarray
    ha: np.ndarray
    orbit_reached: np.ndarray
    runs: int
    reached: int
    target: float
    tolerance: float
    hist_sc: Histogram | None
    hist_hp: Histogram | None
    hist_ha: Histogram | None
    xrange: tuple  # scatter extent (perigee), km
    yrange: tuple  # (apogee)
    listing: list
    nominal: float | None = None
    sensitivities: list = field(default_factory=list)  # [Sensitivity], first on top


def robust_range(x):
    """The values at the 0.5 % and 99.5 % ranks (nearest rank) of x: the span drawn, so that a few
    runs far off (a vehicle that fell back) do not squash the rest."""
    y = np.sort(np.asarray(x, dtype=float))
    k = int(0.005 * len(y))
    return float(y[k]), float(y[len(y) - k - 1])


def histogram(x, reached, lo, hi):
    """About sqrt(n) bins (5 to 40) from lo to hi; values outside are not counted."""
    n = len(x)
    if hi == lo:
        lo, hi = lo - 0.5, hi + 0.5
    nb = min(max(int(math.sqrt(n) + 0.5), 5), 40)
    w = (hi - lo) / nb
    x, reached = np.asarray(x, dtype=float), np.asarray(reached, dtype=bool)
    inside = (x >= lo) & (x <= hi)
    b = np.minimum(((x[inside] - lo) / w).astype(np.int64), nb - 1)
    r = reached[inside]
    cr, cm = np.bincount(b[r], minlength=nb), np.bincount(b[~r], minlength=nb)
    return Histogram(lo + (np.arange(nb) + 0.5) * w, cr, cm, w)


def _stats(what, x, reached, lines, box=None):
    n = len(x)
    if n == 0:
        lines.append(f"{what}: no value")
        return None
    m = float(np.mean(x))
    s = float(np.std(x, ddof=1)) if n > 1 else 0.0
    lines.append(f"{what}: {n} values, mean {m:.1f}, standard deviation {s:.1f}, min {float(np.min(x)):.10g}, "
                 f"max {float(np.max(x)):.10g}")
    lo, hi = robust_range(x)
    out = int(np.count_nonzero((x < lo) | (x > hi)))
    if out:
        lines.append(f"  {out} of them outside the drawn range {lo:.10g} to {hi:.10g}")
    if box:
        lo, hi = min(lo, box[0]), max(hi, box[1])
    return histogram(x, reached, lo, hi)


_RESULTS = {"run", "reached", "SC_M", "hp_final_km", "ha_final_km", "core_propellant_left_kg", "max_q_Pa",
            "max_accel_ms2", "status"}


def load_mc(runs_csv, sens_csv=None, target=None, tolerance=10.0):
    """An ascent-mc runs CSV (and its sensitivities CSV): histograms of SC_M and of the final
    perigee and apogee, the orbits for the scatter, the tornado's bars. The target altitude: the
    one given, else the one the study's first line names, else 398.6 km."""
    comments, header, body = _csv_stream(runs_csv, "a runs CSV written by ascent-mc -o")
    if target is None:
        for c in comments:
            m = re.search(r"target_apogee_altitude_m=([0-9.eE+-]+)", c)
            if m and _num(m.group(1)) is not None:
                target = float(m.group(1)) / 1000
                break
    if target is None:
        target = 398.6
    for n in ("run", "reached", "SC_M", "hp_final_km", "ha_final_km"):
        _col(header, runs_csv, n)
    crc, csc, chp, cha = (header.index(n) for n in ("reached", "SC_M", "hp_final_km", "ha_final_km"))
    disp = [h for h in header if h not in _RESULTS]
    # A run costs these few numbers, not its row: a study of ascent-mc's largest size is read a
    # row at a time into arrays of about 26 bytes a run.
    sc, hp, ha = array("d"), array("d"), array("d")
    scr, orr = bytearray(), bytearray()
    nreach = inbox = runs = 0
    for n, r in body:
        runs += 1
        if runs > MAX_RUNS:
            raise PlotError(f"{runs_csv}: more than {MAX_RUNS} runs, the most ascent-mc flies: not drawn")
        _whole_row(runs_csv, n, r, header)
        ok = _field(r, crc).lower() == "yes"
        nreach += ok
        s, p, a = _num(_field(r, csc)), _num(_field(r, chp)), _num(_field(r, cha))
        if s is not None:
            sc.append(s)
            scr.append(ok)
        if p is not None and a is not None:
            hp.append(p)
            ha.append(a)
            orr.append(ok)
            lo, hi = target - tolerance, target + tolerance
            inbox += lo <= p <= hi and lo <= a <= hi
    sc, hp, ha = (np.frombuffer(x, dtype=float) if len(x) else np.array([]) for x in (sc, hp, ha))
    scr, orr = (np.frombuffer(x, dtype=np.uint8).astype(bool) for x in (scr, orr))
    if runs == 0:
        raise PlotError(f"{runs_csv}: no data rows under the header")
    lines = [f"runs: {runs} ({nreach} reached the target, {runs - nreach} missed)",
             "dispersed: " + (", ".join(disp) if disp else "none")]
    box = (target - tolerance, target + tolerance)
    h_sc = _stats("SC_M (kg)", sc, scr, lines)
    h_hp = _stats("final perigee (km)", hp, orr, lines, box)
    h_ha = _stats("final apogee (km)", ha, orr, lines, box)
    lines.append(f"in the target box ({target:.10g} ± {tolerance:.10g} km): {inbox} of {runs}")
    x0, x1, y0, y1 = box[0], box[1], box[0], box[1]
    if len(hp):
        lo, hi = robust_range(hp)
        x0, x1 = min(x0, lo), max(x1, hi)
        lo, hi = robust_range(ha)
        y0, y1 = min(y0, lo), max(y1, hi)
    mc = McData(runs_csv, sc, scr, hp, ha, orr,
                runs, nreach, target, tolerance, h_sc, h_hp, h_ha,
                (x0 - 0.05 * (x1 - x0), x1 + 0.05 * (x1 - x0)), (y0 - 0.05 * (y1 - y0), y1 + 0.05 * (y1 - y0)),
                lines)
    if sens_csv:
        _load_sensitivities(sens_csv, mc)
    return mc


def _load_sensitivities(path, mc):
    _, header, body = _csv_stream(path, "a sensitivities CSV written by ascent-mc")
    if any(n not in header for n in ("key", "SC_M_low", "SC_M_high")):
        raise PlotError(f"{path}: the header needs the columns key, SC_M_low and SC_M_high "
                        f"(it reads: {','.join(header)})")
    ck, cl, ch = (header.index(n) for n in ("key", "SC_M_low", "SC_M_high"))
    # A file written before the reached columns tells only a stopped flight (no SC_M) from one that flew.
    crl, crh = (_col(header, path, n, need=False) for n in ("reached_low", "reached_high"))

    def fate(v, r, c):
        if v == "":
            return "stopped"
        if _num(v) is None:
            return "miss"
        if c is not None and _field(r, c).lower() != "yes":
            return "miss"
        return "ok"

    nom = None
    rows = []
    for n, r in body:
        _whole_row(path, n, r, header)
        k = _field(r, ck).replace("\t", " ")
        if k == "nominal":
            nom = _num(_field(r, cl))
            if nom is None:
                raise PlotError(f"{path}: line {n}: the nominal row has no SC_M: {','.join(r)}")
            continue
        lo, hi = _field(r, cl), _field(r, ch)
        rows.append((k, lo, hi, fate(lo, r, crl), fate(hi, r, crh)))
    if nom is None:
        raise PlotError(f"{path}: no row with the key nominal (the nominal flight)")
    if not rows:
        raise PlotError(f"{path}: no dispersed quantity under the nominal row")

    def said(fa, v):
        if fa == "ok":
            return "%+.10g" % (float(v) - nom)
        if fa == "miss" and _num(v) is not None:
            return "miss (%+.10g)" % (float(v) - nom)
        return fa

    mc.nominal = nom
    mc.listing.append(f"sensitivity of SC_M to each quantity at its low / high value "
                      f"(kg, from the nominal {nom:.10g} kg):")
    for k, lo, hi, fl, fh in rows:
        mc.listing.append(f"  {k}: {said(fl, lo)} / {said(fh, hi)}")
        mc.sensitivities.append(Sensitivity(k, float(lo) - nom if fl == "ok" else None,
                                            float(hi) - nom if fh == "ok" else None, fl, fh))


# ------------------------------------------------------------------ optimal ascent


@dataclass
class SteeringCurve:
    name: str  # legend entry
    t: np.ndarray  # s
    pitch_deg: np.ndarray  # thrust pitch above the local horizontal, degrees
    alt_km: np.ndarray | None  # altitude, km (None: the file holds none)


@dataclass
class ControlData:
    optimal: SteeringCurve  # ascent-control's optimum
    flights: list  # [SteeringCurve], guided flights flown beside it


def _control_json(path):
    data = _read_bytes(path, "a file written by ascent-control --json")
    try:
        doc = json.loads(data.decode("utf-8"))
        steering = np.array(doc["steering"], dtype=float)
        if steering.ndim != 2 or steering.shape[1] != 2 or len(steering) < 2:
            raise ValueError("the steering is no table of (time, pitch)")
        name = f"optimal: {doc['problem']}, {float(doc['optimum']):.1f} kg"
    except (ValueError, KeyError, TypeError, UnicodeDecodeError, RecursionError) as e:
        raise PlotError(f"{path}: not a file of ascent-control --json ({type(e).__name__}: {e})") from None
    # The JSON holds the steering alone; the CSV beside it, when -o wrote one, its altitude.
    return SteeringCurve(name, steering[:, 0], steering[:, 1], None)


def _control_csv(path):
    header, body, _ = _csv_rows(path, "a steering CSV written by ascent-control -o")
    cols = [_col(header, path, n) for n in ("t_s", "pitch_deg", "altitude_km")]
    rows = []
    for n, r in body:
        v = [_num(_field(r, i)) for i in cols]
        if None in v:
            raise PlotError(f"{path}: line {n}: a time, pitch or altitude that is no number")
        rows.append(v)
    if len(rows) < 2:
        raise PlotError(f"{path}: fewer than two steering points")
    a = np.array(rows)
    return SteeringCurve("optimal (" + os.path.basename(path) + ")", a[:, 0], a[:, 1], a[:, 2])


def load_control(path, fly=(), warn=None):
    """ascent-control's optimal steering, from its JSON (pitch) or CSV (pitch and altitude), and the
    guided flights of --fly options beside it, their thrust pitch the inertial flight-path angle
    plus the angle of attack."""
    optimal = _control_json(path) if path.lower().endswith(".json") else _control_csv(path)
    flights = []
    for option in fly:
        if staged_fly_path(option):
            # A staged description flies at once, its programme and guidance in the file: the
            # guided flight of the same vehicle the optimum was solved for.
            f = _module().fly(vehicle=option)
            tab = f.table
            t, pitch, h = tab["t"][2:], tab["beta"][2:] + tab["alpha"][2:], tab["h0"][2:] * 1e-3
            pitch = np.where(tab["a"][2:] > 0, pitch, np.nan)
            keep = np.isfinite(t) & np.isfinite(h)
            t, pitch, h = t[keep], pitch[keep], h[keep]
            keep = t >= np.maximum.accumulate(t) if len(t) else keep[keep]
            flights.append(SteeringCurve(f"{len(flights) + 1}: {f.vehicle}, guided", t[keep], pitch[keep], h[keep]))
            continue
        v_path, tt, alpha = parse_fly_option(option)
        v = _vehicle_of(v_path)
        tab = _fly(v, None, tt, alpha, where=f"--fly {option}: ").table
        # The first two lines are on the pad, before the first step (as _flight_from_table).
        t, pitch, h = tab["t"][2:], tab["beta"][2:] + tab["alpha"][2:], tab["h0"][2:] * 1e-3
        # Without thrust there is no steering to draw: a coast leaves a gap in the pitch.
        pitch = np.where(tab["a"][2:] > 0, pitch, np.nan)
        keep = np.isfinite(t) & np.isfinite(h)
        t, pitch, h = t[keep], pitch[keep], h[keep]
        # The table steps back where the flight searches a threshold: the curve keeps the steps forward.
        keep = t >= np.maximum.accumulate(t) if len(t) else keep[keep]
        name = _vehicle_name(v) or (os.path.basename(v_path) if v_path else "built-in vehicle")
        flights.append(SteeringCurve(flight_name(len(flights) + 1, tt, alpha, name), t[keep], pitch[keep], h[keep]))
    return ControlData(optimal, flights)


# ------------------------------------------------------------------ ground track and impact points

#: WGS 84's semi-major axis (m) and flattening: the ellipsoid the impact points are geodetic on.
WGS84_A, WGS84_F = 6378137.0, 1 / 298.257223563


@dataclass
class PartImpact:
    part: str  # "boosters", "core stage", "fairing"
    t: float  # s, the release
    release: tuple  # (lat, lon) deg, where it was released
    impact: tuple | None  # (lat, lon) deg, where it comes down; None: it stays up (in orbit)
    fall_s: float | None


@dataclass
class FlightTrack:
    name: str
    lat: np.ndarray  # deg, the vehicle's ground track (the points the instantaneous impact point is of)
    lon: np.ndarray
    iip_lat: np.ndarray  # deg, the instantaneous impact point while it comes down
    iip_lon: np.ndarray
    parts: list  # [PartImpact]
    t0: float | None = None  # s, the time of the track's first point


@dataclass
class Footprint:
    part: str
    released: int  # runs that released the part
    lat: np.ndarray  # deg, the runs' impact points
    lon: np.ndarray
    centre: tuple | None  # (lat, lon) deg
    semi_major: float | None  # m, at 3 sigma
    semi_minor: float | None
    azimuth: float | None  # deg, the major axis from north towards east, 0 to 180
    ellipse: tuple | None  # (lat, lon) arrays of the ellipse's outline, deg


@dataclass
class TrackData:
    tracks: list  # [FlightTrack]
    footprints: list  # [Footprint]
    listing: list  # lines of --list


def _earth_fixed(lat, lon):
    """Points on the WGS 84 ellipsoid, Earth-fixed, m (3 x n)."""
    e2 = WGS84_F * (2 - WGS84_F)
    la, lo = np.radians(lat), np.radians(lon)
    n = WGS84_A / np.sqrt(1 - e2 * np.sin(la) ** 2)
    return np.array([n * np.cos(la) * np.cos(lo), n * np.cos(la) * np.sin(lo), n * (1 - e2) * np.sin(la)])


def _half_turn(dlon):
    return (np.asarray(dlon) + 180.0) % 360.0 - 180.0


def footprint(part, released, lat, lon):
    """A part's footprint as ascent-mc defines it: the centre the mean latitude and longitude
    (longitudes within half a turn of the first point's), the points seen east and north in the
    plane tangent to the ellipsoid there, the ellipse of three standard deviations of those plane
    coordinates. Its outline is mapped back by the radii of curvature at the centre."""
    lat, lon = np.asarray(lat, float), np.asarray(lon, float)
    if len(lat) == 0:
        return Footprint(part, released, lat, lon, None, None, None, None, None)
    lat0 = float(lat.mean())
    lon0 = float(_half_turn(lon[0] + _half_turn(lon - lon[0]).mean()))
    if len(lat) < 2:
        return Footprint(part, released, lat, lon, (lat0, lon0), None, None, None, None)
    p, l = math.radians(lat0), math.radians(lon0)
    east = np.array([-math.sin(l), math.cos(l), 0.0])
    north = np.array([-math.sin(p) * math.cos(l), -math.sin(p) * math.sin(l), math.cos(p)])
    d = _earth_fixed(lat, lon) - _earth_fixed(lat0, lon0)[:, None]
    cov = np.cov(np.vstack((east @ d, north @ d)))
    w, v = np.linalg.eigh(cov)
    a, b = 3 * math.sqrt(max(w[1], 0.0)), 3 * math.sqrt(max(w[0], 0.0))
    major = v[:, 1]  # east, north
    azimuth = math.degrees(math.atan2(major[0], major[1])) % 180.0
    th = np.linspace(0, 2 * math.pi, 121)
    e = a * np.cos(th) * major[0] - b * np.sin(th) * major[1]
    n = a * np.cos(th) * major[1] + b * np.sin(th) * major[0]
    up = np.array([math.cos(p) * math.cos(l), math.cos(p) * math.sin(l), math.sin(p)])
    outline = _onto_ellipsoid(_earth_fixed(lat0, lon0)[:, None] + np.outer(east, e) + np.outer(north, n), up)
    return Footprint(part, released, lat, lon, (lat0, lon0), a, b, azimuth, outline)


def _onto_ellipsoid(q, up):
    """(lat, lon) deg of the points of the tangent plane q (3 x n, m) taken down along the plane's
    normal `up` to the ellipsoid: the places whose east and north in the plane they are."""
    b2 = (WGS84_A * (1 - WGS84_F)) ** 2
    w = np.array([1 / WGS84_A ** 2, 1 / WGS84_A ** 2, 1 / b2])[:, None]
    A = float(np.sum(w[:, 0] * up * up))
    B = 2 * np.sum(w * q * up[:, None], axis=0)
    C = np.sum(w * q * q, axis=0) - 1
    # The root near the plane, stable for small C; a point of the plane so far out that its normal
    # misses the Earth (an "ellipse" of thousands of kilometres) has no place and is not drawn.
    with np.errstate(invalid="ignore"):
        h = 2 * C / (-B - np.sqrt(B * B - 4 * A * C))
    x = q + np.outer(up, h)
    e2 = WGS84_F * (2 - WGS84_F)
    return (np.degrees(np.arctan2(x[2], (1 - e2) * np.hypot(x[0], x[1]))), np.degrees(np.arctan2(x[1], x[0])))


def _point(x):
    if not isinstance(x, (int, float)) or isinstance(x, bool) or not math.isfinite(x):
        return None
    return float(x)


def _track_of(f, name):
    """A FlightTrack from a flight's impact points, as `ascent --json` and the module give them."""
    iip = f["instantaneous_impact_points"]
    lat = np.array([_point(p["release"]["lat_deg"]) for p in iip], float)
    lon = np.array([_point(p["release"]["lon_deg"]) for p in iip], float)
    down = [p for p in iip if _point(p["impact_lat_deg"]) is not None and _point(p["impact_lon_deg"]) is not None]
    parts = []
    for p in f["impact_points"]:
        at = (_point(p["impact_lat_deg"]), _point(p["impact_lon_deg"]))
        parts.append(PartImpact(str(p["part"]), float(p["t"]),
                                (float(p["release"]["lat_deg"]), float(p["release"]["lon_deg"])),
                                at if None not in at else None, _point(p["fall_s"])))
    return FlightTrack(name, lat, lon, np.array([p["impact_lat_deg"] for p in down], float),
                       np.array([p["impact_lon_deg"] for p in down], float), parts,
                       float(iip[0]["t"]) if iip else None)


def load_track_json(path):
    """The ground track of each flight of an `ascent --json` file: the places its instantaneous
    impact points were taken from, where the point came down, and each dropped part's release
    and impact."""
    doc = _json_doc(path)
    label = doc.get("vehicle") or os.path.basename(path)
    tracks = []
    try:
        if "flights" not in doc:  # a staged vehicle's flight, planar or 3-D: one, at the top
            return [_track_of(doc, str(label) + (" (3-D)" if doc.get("dynamics") == "3d" else ""))]
        jf = doc["flights"]
        for i, f in enumerate(jf, start=1):
            a = f["answers"]
            prefix = f"{label}" + (f" flight {i}" if len(jf) > 1 else "")
            tracks.append(_track_of(f, flight_name(i, float(a["tt"]), float(a["alpha"]), prefix)))
    except (KeyError, TypeError, ValueError) as e:
        raise PlotError(f"{path}: no impact points of ascent --json ({type(e).__name__}: {e})") from None
    return tracks


def track_of_fly(option, profile=None, epoch=None):
    """The ground track of a new flight, "VEHICLE.toml:TT:ALPHA", flown through the module; its
    points placed as `ascent --json --epoch EPOCH` places them (None: ascent's own epoch)."""
    path, tt, alpha = parse_fly_option(option)
    v = _vehicle_of(path)
    f = _fly(v, profile, tt, alpha, where=f"--fly {option}: ")
    name = _vehicle_name(v) or (os.path.basename(path) if path else "built-in vehicle")
    ascent = _module()
    try:
        points = f.impact_points() if epoch is None else f.impact_points(epoch)
    except ascent.AscentError as e:
        # A bad epoch is the module's "epoch: ..." of the option given.
        raise (PlotError(f"--{e.message}", EXIT_USAGE) if e.code == EXIT_USAGE
               else PlotError(f"--fly {option}: {e.message}")) from None
    return _track_of(points, flight_name(1, tt, alpha, name))


IMPACT_COLUMNS = ("run", "part", "impact_lat_deg", "impact_lon_deg", "status")


def load_footprints(path):
    """ascent-mc --impacts: every run's impact point of each part, and each part's footprint."""
    comments, header, rows = _csv_stream(path, "an impacts file of ascent-mc --impacts")
    cols = [_col(header, path, c) for c in IMPACT_COLUMNS]
    points = {}  # part -> [released, lat array, lon array], in the order first released
    for n, r in rows:
        _whole_row(path, n, r, header)
        part, status = r[cols[1]], r[cols[4]]
        entry = points.setdefault(part, [0, array("d"), array("d")])
        entry[0] += 1
        if status == "down":
            lat, lon = _num(r[cols[2]]), _num(r[cols[3]])
            if lat is None or lon is None:
                raise PlotError(f"{path}: line {n}: a part down without a place")
            entry[1].append(lat)
            entry[2].append(lon)
        if sum(e[0] for e in points.values()) > 3 * MAX_RUNS:
            raise PlotError(f"{path}: more than {MAX_RUNS} runs' impact points")
    return [footprint(part, rel, np.frombuffer(la), np.frombuffer(lo)) for part, (rel, la, lo) in points.items()]


def load_track(json_paths=(), impacts=None, fly=(), epoch=None):
    tracks = [t for p in json_paths for t in load_track_json(p)] + [track_of_fly(o, epoch=epoch) for o in fly]
    footprints = load_footprints(impacts) if impacts else []
    lines = []
    for t in tracks:
        lines.append(f"{t.name}: {len(t.lat)} track points, {len(t.iip_lat)} instantaneous impact points down")
        for p in t.parts:
            where = ("down at %.4f, %.4f deg after %.1f s" % (*p.impact, p.fall_s)) if p.impact else "does not come down"
            lines.append(f"  {p.part}: released at T+{p.t:.2f} s, {where}")
    for f in footprints:
        if f.semi_major is None:
            lines.append(f"footprint, {f.part}: {len(f.lat)} of {f.released} runs came down: no ellipse")
        else:
            lines.append("footprint, %s: %d of %d runs down about %.4f, %.4f deg; 3-sigma ellipse %.1f x %.1f km, "
                         "major axis at %.1f deg" % (f.part, len(f.lat), f.released, *f.centre, f.semi_major / 1000,
                                                     f.semi_minor / 1000, f.azimuth))
    return TrackData(tracks, footprints, lines)


def unwrap(lon, ref):
    """Longitudes within half a turn of ref: a track across the date line stays one line."""
    return ref + _half_turn(np.asarray(lon, float) - ref)


def track_reference(td):
    """(longitude the map is unwrapped about, latitude its scale is true at): the first flight's
    launch site, else the first footprint's centre."""
    for t in td.tracks:
        if len(t.lat):
            return float(t.lon[0]), float(np.mean(t.lat))
    for f in td.footprints:
        if f.centre is not None:
            return f.centre[1], f.centre[0]
    return 0.0, 0.0


#: The largest footprint drawn as an ellipse, m (semi-major axis at 3 sigma). The plane it is
#: drawn in departs from the ground by d² / 2R: 78 km at 1000 km out, where the outline stops
#: being a place; a part that may come down anywhere along an orbit has no ellipse worth the name.
ELLIPSE_MAX_M = 1.0e6


def drawn_ellipse(f):
    return f.ellipse is not None and f.semi_major <= ELLIPSE_MAX_M


def near_box(td, ref):
    """((lon0, lon1), (lat0, lat1)) of the map near the flight: its ground track, the parts' release
    and impact and the ellipses drawn, with a margin; None when that is the whole map already
    (no point of a footprint or of the instantaneous impact point outside it)."""
    lat = [np.asarray(t.lat) for t in td.tracks] + [np.array([p.release[0] for t in td.tracks for p in t.parts])]
    lon = [np.asarray(t.lon) for t in td.tracks] + [np.array([p.release[1] for t in td.tracks for p in t.parts])]
    lat += [np.array([p.impact[0] for t in td.tracks for p in t.parts if p.impact])]
    lon += [np.array([p.impact[1] for t in td.tracks for p in t.parts if p.impact])]
    for f in td.footprints:
        if drawn_ellipse(f):
            ok = np.isfinite(f.ellipse[0])
            lat.append(f.ellipse[0][ok])
            lon.append(f.ellipse[1][ok])
    la, lo = np.concatenate(lat), unwrap(np.concatenate(lon), ref)
    if not len(la):
        return None
    box = [[lo.min(), lo.max()], [la.min(), la.max()]]
    for b in box:
        pad = max(0.1 * (b[1] - b[0]), 0.2)
        b[0] -= pad
        b[1] += pad
    rest_lat = np.concatenate([np.asarray(t.iip_lat) for t in td.tracks] + [f.lat for f in td.footprints] + [la])
    rest_lon = unwrap(np.concatenate([np.asarray(t.iip_lon) for t in td.tracks] + [f.lon for f in td.footprints] +
                                     [lo]), ref)
    outside = ((rest_lon < box[0][0]) | (rest_lon > box[0][1]) | (rest_lat < box[1][0]) | (rest_lat > box[1][1]))
    return (tuple(box[0]), tuple(box[1])) if outside.any() else None
