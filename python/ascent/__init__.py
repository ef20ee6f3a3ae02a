"""ascent from Python: fly the launch vehicle, sweep its answers, read the results as NumPy arrays.

    import ascent
    flight = ascent.fly(36, 18)                  # s1.dat in the working directory
    flight.table["h0"]                           # altitude of every table line, m
    flight.summary["SC_M"]                       # spacecraft mass, kg
    study = ascent.sweep(tt="30:40:1", alpha="16:20:1")   # a pandas frame when pandas is there

Every number comes from the C++ core that the program `ascent` runs: a flight
here equals ascent's own for the same answers. Faults the program would stop
on raise AscentError with the program's message and exit code.
"""

import json
import math
import operator
import os
import warnings

# NumPy is imported where arrays are made or read, not here: `import ascent`
# costs the extension alone, a fifth of what NumPy's import costs.

__all__ = [
    "AscentError",
    "VehicleError",
    "Vehicle",
    "Profile",
    "Flight",
    "StagedFlight",
    "Flight3d",
    "Event",
    "fly",
    "sweep",
    "optimize",
    "monte_carlo",
    "propagate",
    "optimal_control",
    "Optimum",
    "OptimalAscent",
    "MonteCarlo",
    "Dispersions",
    "TABLE_COLUMNS",
    "SWEEP_COLUMNS",
]


class AscentError(Exception):
    """A fault that stops ascent: `message` as the program writes it, `code` its exit code."""

    def __init__(self, message, code):
        super().__init__(message)
        self.message = message
        self.code = code

    def __reduce__(self):
        # Keeps the code when the error travels from a Dask worker.
        return (type(self), (self.message, self.code))

    def __str__(self):
        return f"{self.message} (exit code {self.code})"


class VehicleError(AscentError, ValueError):
    """A vehicle quantity that is unknown, of the wrong type or out of its range (exit code 65)."""


from . import _ascent  # noqa: E402  (after the errors it raises)

__version__ = _ascent.version

#: The step table's columns, in the order of its lines.
TABLE_COLUMNS = tuple(_ascent.table_columns)
#: The columns of a sweep and of a flight's summary: those of ascent-sweep's CSV.
SWEEP_COLUMNS = tuple(_ascent.csv_columns())

Profile = _ascent.Profile
Profile.__doc__ = """A booster thrust profile, parsed once: Profile.read(path) or Profile.from_text(bytes, name)."""


class Vehicle:
    """A vehicle and its mission: the built-in one, one read from a TOML file, or one with values changed.

    Readable as a mapping from key ("core.exhaust_speed") to value; never changed in place.
    """

    __slots__ = ("_v",)

    def __init__(self, _core=None):
        self._v = _core if _core is not None else _ascent.Vehicle()

    @classmethod
    def from_file(cls, path):
        """Reads a vehicle description (TOML), refused as `ascent --vehicle` refuses it.

        The booster profile it names is read relative to the file's folder when flown.
        """
        return cls(_ascent.read_vehicle(os.fspath(path)))

    def to_toml(self):
        """The vehicle as a description file's text, every key commented, as --print-vehicle writes it."""
        return _ascent.vehicle_text(self._v)

    @property
    def profile_path(self):
        """The booster profile this vehicle flies by default: the one it names, else s1.dat here."""
        return _ascent.vehicle_profile_path(self._v)

    def with_values(self, values=None, **kwargs):
        """A new vehicle with the given keys changed: with_values({"core.exhaust_speed": 4450.0})."""
        changes = dict(values or {})
        changes.update(kwargs)
        return Vehicle(self._v.with_values(changes))

    def to_dict(self):
        return self._v.to_dict()

    def keys(self):
        return list(_ascent.key_names())

    def __getitem__(self, key):
        return self._v[key]

    def __iter__(self):
        return iter(self.keys())

    def __len__(self):
        return len(self.keys())

    def __contains__(self, key):
        return key in _ascent.key_table()

    def __eq__(self, other):
        return isinstance(other, Vehicle) and self._v == other._v

    def __reduce__(self):
        return (Vehicle, (self._v,))

    @property
    def origin(self):
        """The file the vehicle was read from, or '' for the built-in one."""
        return self._v.origin

    @staticmethod
    def key_table():
        """Every key: kind, unit, meaning and allowed range."""
        return _ascent.key_table()

    def __repr__(self):
        return f"Vehicle({self.origin!r})" if self.origin else "Vehicle()"


class Event(tuple):
    """One line the flight announced: unpacks as (t, text); also carries the
    kind of event (`pitch_over`, `upper_ignition`, `orbit`, `summary`, ...) and
    the numbers it carries (`values`: name -> number or text, SI units)."""

    def __new__(cls, t, text, kind, values):
        event = super().__new__(cls, (t, text))
        event.kind = kind
        event.values = values
        return event

    @property
    def t(self):
        """Time of the step the event came after (s)."""
        return self[0]

    @property
    def text(self):
        """The line ascent writes for it."""
        return self[1]

    def __repr__(self):
        return f"Event({self[0]!r}, {self[1]!r}, kind={self.kind!r})"


class Flight:
    """One flight: its step table, summary, and on request its output and events."""

    __slots__ = ("table", "summary", "events", "output", "files", "steps", "_answers")

    def __init__(self, raw):
        #: column name -> NumPy array, one entry per table line
        self.table = dict(zip(TABLE_COLUMNS, raw["columns"]))
        #: the flight's row of a sweep: column name -> value
        self.summary = raw["summary"]
        #: [Event (time s, text)] when fly(..., events=True), else None
        events = raw.get("events")
        self.events = None if events is None else [Event(*e) for e in events]
        #: the main output's bytes when fly(..., output=True), else None
        self.output = raw.get("output")
        #: the data files and the constants file, name -> bytes, with output=True
        self.files = raw.get("files")
        #: trajectory steps taken
        self.steps = raw["steps"]

    def export(self, path, epoch="2027-01-01T00:00:00"):
        """Writes the flight's path as `ascent --trajectory` does, in the format the name's
        extension gives: .oem (CCSDS orbit ephemeris, EME2000, km and km/s), .czml (Cesium)
        or .kml (Google Earth), the events marked; epoch: the UTC time of ignition,
        YYYY-MM-DDThh:mm:ss[.ffffff]. The flight is flown again with the same answers.
        A bad name or epoch, or a file that cannot be written, raises AscentError; an epoch
        whose TT - UTC ERFA's leap-second table does not vouch for warns (UserWarning)."""
        warning = _ascent.export_flight(os.fspath(path), str(epoch), *self._answers)
        if warning:
            warnings.warn(warning, stacklevel=2)

    def impact_points(self, epoch="2027-01-01T00:00:00"):
        """Where the flight's dropped parts come down and its instantaneous impact points, as
        `ascent --json` holds them for the same answers and epoch: a dict with the lists
        "impact_points" (each: part, t, impact_lat_deg, impact_lon_deg, fall_s,
        ballistic_coefficient, release) and "instantaneous_impact_points" (the same without part
        and ballistic coefficient), None where a part does not come down. The flight is flown
        again with the same answers; a bad epoch raises AscentError."""
        return _ascent.impact_points(str(epoch), *self._answers)

    def __repr__(self):
        s = self.summary
        return (f"<Flight tt={s['tt']} alpha={s['alpha']} SC_M={s['SC_M']} "
                f"orbit={s['hp_final_km']:.1f}x{s['ha_final_km']:.1f} km, {len(self.table['t'])} lines>")


_builtin_vehicle = None


def _vehicle(vehicle):
    global _builtin_vehicle
    if vehicle is None:
        # A vehicle never changes once made: the built-in one is built once.
        if _builtin_vehicle is None:
            _builtin_vehicle = Vehicle()
        return _builtin_vehicle
    if isinstance(vehicle, Vehicle):
        return vehicle
    if isinstance(vehicle, (str, os.PathLike)):
        return Vehicle.from_file(vehicle)
    if isinstance(vehicle, dict):
        return Vehicle().with_values(vehicle)
    raise TypeError(f"vehicle: expected a Vehicle, a file name or a dict, got {type(vehicle).__name__}")


_last_profile = None


def _profile(profile, vehicle):
    """The profile to fly: given, or the one the vehicle names, or s1.dat in the working directory."""
    global _last_profile
    if isinstance(profile, Profile):
        return profile
    if profile is None:
        profile = vehicle.profile_path
    path = os.fspath(profile)
    # A file read again whose bytes are those parsed last time is that profile: the parse,
    # a twentieth of a flight, is not repeated. Anything else (another file, changed bytes,
    # a file that cannot be read) goes to the core's reader and its messages.
    last = _last_profile
    if last is not None and last.name == path:
        try:
            with open(path, "rb") as f:
                if f.read() == last.text:
                    return last
        except OSError:
            pass
    _last_profile = Profile.read(path)
    return _last_profile


def _number(name, x):
    # Text is not a number here: promise="0.9" is refused as ascent-mc refuses
    # --promise abc, not read as the program would read a typed answer.
    if isinstance(x, (str, bytes, bytearray)):
        raise ValueError(f"{name}: {x!r} is text, not a number")
    try:
        v = float(x)
    except (TypeError, ValueError):
        raise ValueError(f"{name}: {x!r} is not a number") from None
    if not math.isfinite(v):
        raise ValueError(f"{name}: {x!r} is not a finite number")
    return v


class StagedFlight:
    """The flight of a staged description ([[stage]] tables), as `ascent --vehicle FILE` flies it."""

    __slots__ = ("vehicle", "reached", "failure", "events", "burns", "final_orbit", "target", "mass",
                 "liftoff_mass", "payload_mass", "t", "steps", "table")

    def __init__(self, raw):
        #: the vehicle's name
        self.vehicle = raw["vehicle"]
        #: cut off on the target orbit (and circularised, for a coast to apogee)
        self.reached = raw["reached"]
        #: why not, when not reached ("" when reached)
        self.failure = raw["failure"]
        #: [(t s, event, altitude m, inertial speed m/s, mass kg after it)], each stage's under its name
        self.events = [tuple(e) for e in raw["events"]]
        #: [{"stage", "t0", "t1", "m0", "m1", "dv"}]: each burn's times (s), masses (kg), velocity from thrust (m/s)
        self.burns = raw["burns"]
        #: perigee_altitude, apogee_altitude, semi_major_axis (m), eccentricity, perigee_angle (deg)
        self.final_orbit = raw["final_orbit"]
        #: (perigee altitude, apogee altitude) of the target orbit, m
        self.target = tuple(raw["target"])
        #: kg, the final mass in orbit, at lift-off, and of the payload
        self.mass = raw["mass"]
        self.liftoff_mass = raw["liftoff_mass"]
        self.payload_mass = raw["payload_mass"]
        #: s, the flight's end; integration steps taken
        self.t = raw["t"]
        self.steps = raw["steps"]
        #: column name -> NumPy array, one entry per step (TABLE_COLUMNS, as a classic flight's table)
        self.table = dict(zip(TABLE_COLUMNS, raw["columns"]))

    def __repr__(self):
        o = self.final_orbit
        return (f"<StagedFlight {self.vehicle!r} reached={self.reached} mass={self.mass:.1f} kg "
                f"orbit={o['perigee_altitude'] / 1000:.1f}x{o['apogee_altitude'] / 1000:.1f} km>")


class Flight3d:
    """The flight of a staged description with [model] dynamics = "3d", launched at its epoch as
    `ascent --vehicle FILE --epoch TIME` launches it: what that run's --json file holds."""

    __slots__ = ("vehicle", "reached", "failure", "plane_change_to_node_deg", "events", "final_orbit", "mass",
                 "liftoff_mass", "payload_mass", "separations", "json")

    def __init__(self, doc):
        #: the whole document, as `ascent --json` writes it
        self.json = doc
        self.vehicle = doc["vehicle"]
        #: cut off on the target orbit (and circularised, for a coast to apogee)
        self.reached = doc["reached"]
        #: why not, when not reached ("" when reached)
        self.failure = doc.get("failure", "")
        #: deg, the plane change the target node asked at lift-off; None for any node
        self.plane_change_to_node_deg = doc.get("plane_change_to_node_deg")
        #: [(t s, event, altitude m, inertial speed m/s, mass kg after it)], as StagedFlight's
        self.events = [(e["t"], e["event"], e["altitude"], e["speed"], e["mass"]) for e in doc["events"]]
        #: the elements osculating (*_osculating_*) and mean (*_mean_*: J2's short-period terms removed)
        self.final_orbit = doc["final_orbit"]
        #: kg, the final mass in orbit, at lift-off, and of the payload
        self.mass = doc["masses"]["final"]
        self.liftoff_mass = doc["masses"]["liftoff"]
        self.payload_mass = doc["masses"]["payload"]
        #: [{"t", "what", "mass"}]: each part dropped
        self.separations = doc["separations"]

    def __repr__(self):
        o = self.final_orbit
        return (f"<Flight3d {self.vehicle!r} reached={self.reached} mass={self.mass:.1f} kg "
                f"inclination={o['inclination_osculating_deg']:.3f} deg>")


def _staged_text(vehicle):
    """(text, name) when `vehicle` is a staged description, given by its file name or as its text; else None."""
    if isinstance(vehicle, (bytes, bytearray)):
        vehicle = bytes(vehicle).decode("utf-8", errors="surrogateescape")
    if isinstance(vehicle, str) and "\n" in vehicle:
        return (vehicle, "<text>") if _ascent.is_staged_text(vehicle) else None
    if isinstance(vehicle, (str, os.PathLike)):
        path = os.fspath(vehicle)
        try:
            text = _ascent.read_text(path).decode("utf-8", errors="surrogateescape")
        except AscentError:
            return None  # the classic reader reports a file it cannot read, in its own words
        return (text, path) if _ascent.is_staged_text(text) else None
    return None


def fly(tt=None, alpha=None, transfer=True, vehicle=None, profile=None, iterate=False, output=False,
        events=False, epoch=None):
    """Flies one session as `ascent` would with these answers and returns its Flight.

    A staged description ([[stage]] tables) as vehicle, its file name or its text, flies at once
    as `ascent --vehicle FILE` does (its programme and guidance are in it: no answers) and
    returns a StagedFlight; one with [model] dynamics = "3d" flies in 3-D, launched at `epoch`
    (UTC, YYYY-MM-DDThh:mm:ss[.ffffff], as `ascent --epoch`; default ascent's), and returns a
    Flight3d. What `ascent` warns of before such a flight (an epoch ERFA does not vouch for, a
    target node far from the site's plane) warns here (UserWarning).

    tt: turn time, s (iterate mode: the first of the series); alpha: angle limit, degrees;
    transfer: fly the third stage; vehicle: a Vehicle (default the built-in one), a TOML file
    or a dict of changed keys; profile: a file name or a Profile (default: the one the vehicle
    names, else s1.dat in the working directory); iterate: converge the turn time first;
    output: keep the main output (bytes, as ascent writes out.txt) and the data files;
    events: list the flight's messages with their times (costs the formatting of the output).
    """
    staged = _staged_text(vehicle)
    if staged is not None:
        given = [name for name, x in (("tt", tt), ("alpha", alpha), ("profile", profile)) if x is not None]
        given += [name for name, x in (("transfer", not transfer), ("iterate", iterate), ("output", output),
                                       ("events", events)) if x]
        if given:
            raise ValueError(f"{', '.join(given)}: not for a staged vehicle, whose programme and guidance "
                             "are in its description")
        raw = _ascent.fly_staged(*staged, epoch=None if epoch is None else str(epoch))
        if raw.get("dynamics") != "3d":
            return StagedFlight(raw)
        for w in raw["warnings"]:
            warnings.warn(w, stacklevel=2)
        return Flight3d(json.loads(raw["json"]))
    if epoch is not None:
        raise ValueError("epoch: a classic flight is not launched at a time: export() and impact_points() take one")
    if tt is None or alpha is None:
        raise TypeError("fly() needs the turn time tt and the angle limit alpha")
    tt = _number("tt", tt)
    alpha = _number("alpha", alpha)
    _refuse_short_turn("tt", tt)
    v = _vehicle(vehicle)
    p = _profile(profile, v)
    flight = Flight(_ascent.fly(tt, alpha, bool(transfer), bool(iterate), v._v, p, bool(output), bool(events)))
    flight._answers = (tt, alpha, bool(transfer), bool(iterate), v._v, p)
    return flight


def _refuse_short_turn(name, tt):
    """ascent's rule on the turn time tt (s), given as `name`: none shorter than the module's minimum."""
    if tt < _ascent.min_turn_time:
        raise ValueError(f"{name}: ascent refuses turn times below {_ascent.min_turn_time:g} s")


def _grid(name, values):
    """Grid values from "FIRST:LAST:STEP", one number, or a sequence of numbers."""
    if isinstance(values, str):
        return list(_ascent.range_points(name, values))
    if isinstance(values, (int, float)):
        return [_number(name, values)]
    import numpy as np

    if np.ndim(values) == 0:
        return [_number(name, values)]
    return [_number(name, x) for x in values]


def _check_plan(tt, alpha, iterate):
    if not tt or not alpha:
        raise ValueError("tt, alpha: the grid has no points")
    _refuse_short_turn("--tt", min(tt))
    if min(alpha) < 0:
        raise ValueError("--alpha: the angle limit is a magnitude, at least 0")
    if iterate and len(tt) != 1:
        raise ValueError("--tt: with --iterate, give the one turn time each series starts from")


def _frame(columns, as_frame):
    if as_frame is False:
        return columns
    try:
        import pandas
    except ImportError:
        if as_frame:
            raise
        return columns
    return pandas.DataFrame(columns)


def _jobs(jobs):
    if jobs is None:
        return max(1, os.cpu_count() or 1)
    jobs = int(jobs)
    if not 1 <= jobs <= 1024:
        raise ValueError(f"jobs: {jobs} is not a number of jobs from 1 to 1024")
    return jobs


def sweep(tt="10:90:1", alpha="0:30:1", transfer=True, iterate=False, vehicle=None, profile=None,
          jobs=None, as_frame=None):
    """Flies a grid of turn times and angle limits as ascent-sweep does, on `jobs` threads.

    tt, alpha: "FIRST:LAST:STEP", one value, or a sequence. Returns one row per flight in grid
    order (turn time major) with ascent-sweep's CSV columns (SWEEP_COLUMNS) and values: a pandas
    DataFrame when pandas is importable (as_frame=None) or asked for (True), else a dict of
    NumPy arrays (as_frame=False).
    """
    if iterate and tt == "10:90:1":
        tt = "40"
    tt_v = _grid("--tt", tt)
    alpha_v = _grid("--alpha", alpha)
    _check_plan(tt_v, alpha_v, iterate)
    v = _vehicle(vehicle)
    p = _profile(profile, v)
    _ascent.probe_profile(alpha_v[0], v._v, p)
    columns = _ascent.sweep(tt_v, alpha_v, bool(transfer), bool(iterate), v._v, p, _jobs(jobs))
    return _frame(columns, as_frame)


class Optimum:
    """What ascent.optimize found: the best flight, every flight evaluated, the vehicle flown."""

    __slots__ = ("best", "flights", "vehicle", "found")

    def __init__(self, best, flights, vehicle, found):
        #: the best feasible flight as a row (ascent-sweep's columns, then the free keys), or
        #: when none reached the target, None
        self.best = best
        #: every flight evaluated, in the order the search fixed: a frame or a dict of arrays
        self.flights = flights
        #: the vehicle with the free keys at their best values (the given one without free keys)
        self.vehicle = vehicle
        #: a flight reached the target orbit within the tolerance
        self.found = found

    def __repr__(self):
        if not self.found:
            return "<Optimum: no flight reached the target>"
        b = self.best
        return f"<Optimum tt={b['tt']} alpha={b['alpha']} SC_M={b['SC_M']}>"


def optimize(tt=(1.0, 90.0), alpha=(0.0, 30.0), free=None, tolerance=10.0, max_flights=300, vehicle=None,
             profile=None, jobs=None, method="cobyla", as_frame=None):
    """The most spacecraft mass on the target orbit, searched as ascent-optimize searches it.

    tt, alpha: (low, high) bounds; free: {key: (low, high)} vehicle quantities set free as well;
    tolerance: allowed miss of the target altitude by the final perigee and apogee, km;
    max_flights: flights at most; method: "cobyla", "sbplx" or "bobyqa". The result is the same
    whatever `jobs`. Returns an Optimum.
    """
    if not hasattr(_ascent, "optimize"):
        raise NotImplementedError("this build of ascent has no optimiser")
    free = dict(free or {})
    v = _vehicle(vehicle)
    p = _profile(profile, v)
    bounds = lambda name, b: (_number(name, b[0]), _number(name, b[1]))  # noqa: E731
    free_list = [(str(k), bounds(f"free {k}", b)) for k, b in free.items()]
    raw = _ascent.optimize(bounds("tt", tt), bounds("alpha", alpha), free_list, _number("tolerance", tolerance),
                           int(max_flights), str(method), v._v, p, _jobs(jobs))
    columns = raw["flights"]
    best_index = raw["best"]
    found = best_index >= 0
    best = {name: columns[name][best_index].item() for name in columns} if found else None
    best_vehicle = v.with_values({k: best[k] for k in free}) if found and free else v
    return Optimum(best, _frame(columns, as_frame), best_vehicle, found)


class Dispersions:
    """A dispersions file (TOML, as ascent-mc reads it), kept as its text so that it travels."""

    __slots__ = ("text", "name")

    def __init__(self, text, name="dispersions.toml"):
        self.text = text if isinstance(text, bytes) else str(text).encode()
        self.name = name

    @classmethod
    def read(cls, path):
        path = os.fspath(path)
        return cls(_ascent.read_text(path), path)


class MonteCarlo:
    """A dispersion study: one row per run and the summary ascent-mc writes with --json."""

    __slots__ = ("_runs", "_as_frame", "summary")

    def __init__(self, runs, summary, as_frame=False):
        self._runs = runs
        # Unless asked for (as_frame=True), the frame is made when the runs are first read:
        # importing pandas costs about half a second, more than a study's summary needs.
        self._as_frame = as_frame
        #: the summary as a dict: p_reached and its 95 % interval, spreads, the promised SC_M
        self.summary = summary

    @property
    def runs(self):
        """One row per run in run order (ascent-mc's CSV columns): a frame or a dict of arrays."""
        if self._as_frame is not False:
            self._runs = _frame(self._runs, self._as_frame)
            self._as_frame = False
        return self._runs

    def __getstate__(self):
        return (self.runs, self.summary)

    def __setstate__(self, state):
        self._runs, self.summary = state
        self._as_frame = False

    def __repr__(self):
        s = self.summary
        return f"<MonteCarlo runs={s['runs']} p_reached={s['p_reached']} SC_M_promised={s['SC_M_promised_kg']}>"


def _dispersions(dispersions):
    if dispersions is None:
        return Dispersions(b"", "")
    if isinstance(dispersions, Dispersions):
        return dispersions
    return Dispersions.read(dispersions)


def _mc_setup(tt, alpha, iterate, vehicle, profile, dispersions, seed, runs):
    if not hasattr(_ascent, "mc_rows"):
        raise NotImplementedError("this build of ascent has no dispersion study")
    tt = _number("tt", tt)
    alpha = _number("alpha", alpha)
    _refuse_short_turn("--tt", tt)
    seed = int(seed)
    if not 0 <= seed < 2 ** 64:
        raise ValueError("seed: from 0 to 18446744073709551615")
    runs = int(runs)
    if runs < 0:
        raise ValueError("runs: at least 0")
    v = _vehicle(vehicle)
    return tt, alpha, v, _profile(profile, v), _dispersions(dispersions), seed, runs


def _mc_finish(header, rows, as_frame, vehicle, study_line, promise=None):
    import json

    columns, summary = _ascent.mc_result(header, rows, promise, study_line)
    summary = json.loads(summary)
    # Where pictures draw the target, as ascent-mc's summary says.
    summary["target_apogee_altitude_m"] = vehicle["target.apogee_altitude"]
    if as_frame:  # asked for: made now, so that a missing pandas raises here
        return MonteCarlo(_frame(columns, as_frame), summary)
    return MonteCarlo(columns, summary, as_frame)


def monte_carlo(runs=1000, tt=36.0, alpha=18.0, transfer=True, iterate=False, dispersions=None, seed=1,
                vehicle=None, profile=None, jobs=None, as_frame=None, promise=None, tolerance=None,
                promise_check=False):
    """A dispersion study as ascent-mc flies it: `runs` dispersed copies of the vehicle, the same answers.

    dispersions: a file name or a Dispersions (None: nothing is dispersed); seed: the study's seed.
    Run i is the same vehicle whatever `jobs`. Returns a MonteCarlo.

    promise: as ascent-mc --promise P, after the study the largest spacecraft mass that this share
    of the runs carries to the target orbit, each run flown again at the masses its own outcomes
    so far leave undecided; tolerance: as --tolerance KM, the band around the target for both final
    apsides (default the reached column's); promise_check: as --promise-check, every run flown again
    at the answer and 1 kg more. The summary then holds SC_M_promised_kg and the promise_* keys of
    ascent-mc's JSON.
    """
    if tolerance is not None and promise is None:
        raise ValueError("tolerance: only the promise uses it: give promise as well")
    if promise_check and promise is None:
        raise ValueError("promise_check: it checks a promise: give promise as well")
    tt, alpha, v, p, d, seed, runs = _mc_setup(tt, alpha, iterate, vehicle, profile, dispersions, seed, runs)
    found = None
    if promise is not None:
        tolerance = None if tolerance is None else _number("tolerance", tolerance)
        header, rows, found = _ascent.mc_promise(tt, alpha, bool(transfer), bool(iterate), v._v, p, d.text, d.name,
                                                 seed, runs, _jobs(jobs), _number("promise", promise), tolerance,
                                                 bool(promise_check))
    else:
        header, rows = _ascent.mc_rows(tt, alpha, bool(transfer), bool(iterate), v._v, p, d.text, d.name, seed,
                                       runs, 1, 1, _jobs(jobs))
    line = _ascent.mc_study_line(tt, alpha, bool(transfer), bool(iterate), v._v, p, d.text, d.name, seed, runs)
    return _mc_finish(header, rows, as_frame, v, line, found)


def _pieces(tt, alpha, begin, end):
    """Grid points begin..end-1 (flat, turn time major) of the grid tt x alpha as rectangles.

    A run of flat indices is at most three rectangles: the rest of a first turn time's row, whole
    rows, and the start of a last row; flown one after the other, their rows come in grid order.
    """
    n_a = len(alpha)
    pieces = []
    i = begin
    while i < end:
        row, col = divmod(i, n_a)
        if col == 0 and end - i >= n_a:
            rows = (end - i) // n_a
            pieces.append((list(tt[row:row + rows]), list(alpha)))
            i += rows * n_a
        else:
            stop = min(n_a, col + (end - i))
            pieces.append((list(tt[row:row + 1]), list(alpha[col:stop])))
            i += stop - col
    return pieces


def _sweep_pieces(pieces, transfer, iterate, vehicle, profile, jobs):
    """The rows of the pieces' flights, one piece after the other, as one dict of columns."""
    import numpy as np

    parts = [_ascent.sweep(t, a, transfer, iterate, vehicle._v, profile, jobs) for t, a in pieces]
    if not parts:
        return _ascent.sweep([], [], transfer, iterate, vehicle._v, profile, jobs)
    return {name: np.concatenate([part[name] for part in parts]) for name in SWEEP_COLUMNS}


propagate = _ascent.propagate


class OptimalAscent:
    """The optimal ascent ascent.optimal_control found, as ascent-control reports it.

    `steering` holds the columns of the tool's steering CSV as NumPy arrays, one value a
    collocation point (every interval's ends and midpoint): t_s, pitch_deg, phase (1 for the
    first), altitude_km, vx_m_s, vy_m_s, mass_kg. `orbit`, `target` and `replay` are dicts of
    mass_kg (not in target), a_km, e and perigee_deg (from the launch site, along the flight).
    `published` is None where no optimum of the problem is published; `guided` and `open_loop`
    (kg) None where the vehicle has no such flight, and their gaps in words beside them.
    """

    __slots__ = ("problem", "objective", "optimum", "published", "status", "iterations", "cpu_seconds",
                 "orbit", "target", "replay", "path", "guided", "open_loop", "guided_gap", "open_loop_gap",
                 "steering")

    def __init__(self, raw):
        for name in self.__slots__:
            setattr(self, name, raw[name])

    def __repr__(self):
        beside = f"published {self.published:.3f} kg" if self.published else f"guided {self.guided} kg"
        return f"<OptimalAscent {self.problem}: {self.optimum:.3f} kg ({beside}), {self.status}>"


def optimal_control(problem="delta3", mesh=2, vehicle=None, rise=True, q_max=0, q_alpha_max=0, turn_time=36,
                    alpha_max=18, open_loop=None):
    """The steering that puts the most mass on the problem's target orbit, as ascent-control finds it.

    Hermite-Simpson collocation solved by IPOPT, the optimum flown back through the fixed-step
    RK4 integrator. problem: the built-in "delta3"; vehicle: in its place, the path of a staged
    or classic description (ascent-control's --vehicle), whose own flight is flown for the gap; rise:
    False leaves out the description's vertical rise (--no-rise); q_max (Pa) and q_alpha_max
    (Pa deg): path limits, 0 none (--q-max, --q-alpha-max); turn_time (s) and alpha_max (deg): a
    classic description's own flight, beside the optimum (--turn-time, --alpha-max); open_loop:
    (turn time, angle limit) of its open-loop programme, flown for the open-loop gap (--open-loop); mesh:
    collocation intervals times mesh, 1 to 16 (ascent-control's --mesh). Returns an
    OptimalAscent; a solve that finds no optimum raises AscentError (exit code 4), a bad problem
    or mesh AscentError (64), a description that cannot be transcribed AscentError (65).
    """
    try:
        # The solver's extension is loaded here, not at `import ascent`: IPOPT's
        # libraries would add about an eighth to every import's cost.
        from . import _control
    except ImportError as e:
        raise NotImplementedError(f"this build of ascent has no optimal-control solver ({e})") from None
    try:
        if isinstance(mesh, bool):
            raise TypeError
        mesh = operator.index(mesh)  # an int or a NumPy integer, never a float rounded
    except TypeError:
        raise TypeError(f"mesh: a whole number is needed, not {mesh!r}") from None
    open_tt, open_alpha = (0.0, 0.0) if open_loop is None else (float(x) for x in open_loop)
    return OptimalAscent(_control.optimal_control(str(problem), "" if vehicle is None else os.fspath(vehicle), mesh,
                                                 bool(rise), float(q_max), float(q_alpha_max), float(turn_time),
                                                 float(alpha_max), open_tt, open_alpha))
