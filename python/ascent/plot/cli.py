"""ascent-plot's command line: what to read, what to draw, where to write it."""

from __future__ import annotations

import importlib.util
import os
import re
import signal
import sys
import tempfile

from . import data as D

PROG = "ascent-plot"
from .. import __version__ as VERSION
EXIT_DRAW = 3

USAGE = """\
Usage: ascent-plot [-d DIR] [-j SESSION.json] [-o OUT] [options]
       ascent-plot [--json SAVED.json]... [--fly VEHICLE.toml:TT:ALPHA]... [-o OUT] [options]
       ascent-plot --sweep FILE.csv [-o OUT] [options]
       ascent-plot --opt FILE.csv [--sweep SWEEP.csv] [--list] [options]
       ascent-plot --mc RUNS.csv [--sensitivity SENS.csv] [--list] [options]
       ascent-plot --control STEERING.csv|OPTIMUM.json [--fly V:TT:ALPHA]... [options]
       ascent-plot [--track FLIGHT.json]... [--fly V:TT:ALPHA]... [--impacts IMPACTS.csv]
                   [--epoch UTC]

Draws one picture of flights: inertial speed (km/s), altitude (km), thrust
acceleration (m/s²) and dynamic pressure (kPa) against time, each flight in
its own colour and named in the legend, its events (pitch-over, booster
separation, fairing jettison, maximum acceleration, engine cut-offs, core
cut-off, the upper-stage engine's ignition and cut-off, under the name its
vehicle gives it) marked on the time axis.

The flights of a file-mode session come from the data files speed.dat,
height.dat, accel.dat and dynpres.dat in DIR (a new flight begins where the
time falls back to the pad), their events and answers from the session's
`ascent --json` file (-j), which must be of the same run as the data files.
The main output is the session's report for reading: -m is refused and says
how to draw the session from its JSON instead.

Flights of several sessions or vehicles are overlaid with --json and --fly,
as often as wanted, in the order given: a saved `ascent --json` file draws
its flights from the data files beside it when they are of its run, else
flies its answers again (--vehicle names the vehicle it was flown with; its
name and spacecraft mass are checked); --fly flies a vehicle description at
a turn time TT (s) and angle limit ALPHA (degrees) through the module (TT:ALPHA
alone: the built-in vehicle with s1.dat of the working directory). The
`ascent --json` file of a vehicle described by its stages carries its own
lines: drawn with --json, its events under their stages' names, the stack's
mass (t) in a fifth panel.

Options:
  -d, --dir DIR       session directory with the four data files (default: .)
  -j, --json FILE     without -d: a saved flight file of `ascent --json` to
                      overlay (repeatable); with -d: the session's own
      --fly V:TT:ALPHA  fly vehicle description V at turn time TT and angle
                      limit ALPHA and overlay the flight (repeatable)
      --vehicle FILE  the vehicle description a saved JSON without its data
                      files is flown again with
  -o, --output FILE   picture to write: a name ending in .png gives PNG, in
                      .svg SVG, in .pdf PDF (any other name is refused)
                      (default: DIR/flight.png, or FILE.png next to a CSV)
      --svg           write SVG instead of PNG (default name ends in .svg)
      --html FILE     write an interactive HTML report of the same picture
                      instead (when this install has the HTML renderer)
      --size WxH      picture size in pixels (default: 1000x1200 for flights,
                      1000x700 for a sweep or an optimisation, 1000x900 for a
                      Monte Carlo study, 1000x1250 with its sensitivities,
                      1000x800 for an optimal ascent)
  -t, --title TEXT    title of the picture (default: made from the input)
      --list          print what was found (flights and events; for --opt and
                      --mc a summary) and draw nothing
      --no-compress   draw a long coast at full length (by default a coast
                      without thrust longer than 40% of the flight is drawn
                      compressed on a grey band, with a break on the axis)
      --sweep FILE    draw the spacecraft mass SC_M of an ascent-sweep CSV
                      (columns tt, alpha and SC_M by name): a heat map over
                      the turn time and angle limit grid, or a curve when one
                      of them is fixed, with the best point marked
      --opt FILE      draw the flights of an ascent-optimize CSV as points over
                      turn time and angle limit, coloured by SC_M, the misses
                      (reached not yes) grey, the best ringed; over the heat
                      map of --sweep FILE when it is given too
      --mc FILE       draw an ascent-mc runs CSV: histograms of SC_M and of
                      the final perigee and apogee, and the perigee-apogee
                      scatter with the target box
      --sensitivity FILE  with --mc: the sensitivities CSV, drawn as a tornado
                      of the change in SC_M at the low and high values, in
                      the CSV's order; an end that missed the orbit or
                      stopped is marked so and draws no bar
      --target KM     with --mc: target orbit altitude (default: the one the
                      study names, else 398.6)
      --tolerance KM  with --mc: half-width of the target box (default 10)
      --track FILE    draw the ground track of the flights of an `ascent --json`
                      file (repeatable) on a map of longitude and latitude,
                      with their instantaneous impact points and where each
                      dropped part (boosters, core stage, fairing) comes down;
                      with --fly, the ground tracks of new flights too
      --impacts FILE  draw the impact points of ascent-mc --impacts FILE and
                      each part's 3-sigma footprint ellipse (with --track or
                      alone)
      --epoch UTC     with --track or --impacts: launch the flights of --fly
                      at this time, YYYY-MM-DDThh:mm:ss[.ffffff], their track
                      and impact points placed as `ascent --json --epoch`
                      places them (default: ascent's own epoch; a saved
                      flight's JSON holds the places of its own)
      --control FILE  draw the optimal ascent of ascent-control: the thrust
                      pitch and the altitude against time from its steering
                      CSV (-o), or the pitch alone from its --json file,
                      beside the guided flights of --fly (their pitch the
                      inertial flight-path angle plus the angle of attack;
                      --fly FILE of a staged description flies its own
                      guided flight)
  -h, --help          show this help
      --version       show the version

Exit status: 0 picture written (or --list printed); 1 an input file is
missing, empty, unreadable or malformed (a study of more than 10000000 runs
too), the JSON is of another run than the data files, a
flight cannot be flown, the picture cannot be written (a full disk), or
memory ran out; 3 matplotlib is missing or failed to draw; 64 bad usage (an
unknown option, a name holding a line break, an output that is one of the
inputs, a vehicle description or booster profile of a flight included);
128 + N stopped by signal N (129 SIGHUP, 130 SIGINT, 143 SIGTERM), the old
picture kept. matplotlib (Debian: python3-matplotlib) draws the picture.
"""


class Usage(Exception):
    pass


# The main output echoes the answers rounded to three decimals and leaves out whether the third
# stage flew: the flights cannot be told from it, only read about. The JSON carries them exactly.
MAIN_REFUSED = ("-m: the main output is read by people, not by ascent-plot: fly the session again with "
                "`ascent --json FILE` (the same answers fly the same flights) and draw it with -d DIR -j FILE")


_WITH_ARG = {
    "-d": "dir", "--dir": "dir", "-m": "main", "--main": "main", "-j": "json", "--json": "json",
    "-o": "output", "--output": "output", "--size": "size", "-t": "title", "--title": "title",
    "--sweep": "sweep", "--opt": "opt", "--mc": "mc", "--sensitivity": "sens", "--target": "target",
    "--tolerance": "tolerance", "--fly": "fly", "--control": "control", "--vehicle": "vehicle", "--html": "html",
    "--track": "track", "--impacts": "impacts", "--epoch": "epoch",
}
_REPEATED = {"json", "fly", "track"}
_NUMBER = re.compile(r"[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?")


def parse(argv):
    o = {"dir": None, "main": None, "json": [], "output": None, "size": None, "title": None, "sweep": None,
         "opt": None, "mc": None, "sens": None, "target": None, "tolerance": "10", "fly": [], "vehicle": None,
         "html": None, "control": None, "track": [], "impacts": None, "epoch": None, "svg": False, "list": False, "compress": True, "help": False, "version": False}
    i = 0
    while i < len(argv):
        a = argv[i]
        i += 1
        if a in ("-h", "--help"):
            o["help"] = True
            return o
        if a == "--version":
            o["version"] = True
            return o
        if a == "--svg":
            o["svg"] = True
        elif a == "--list":
            o["list"] = True
        elif a == "--no-compress":
            o["compress"] = False
        elif a == "--":
            if i < len(argv):
                raise Usage(f"unexpected argument: {argv[i]}")
            break
        else:
            name, _, value = a.partition("=")
            if name in _WITH_ARG and name.startswith("--") and _:
                pass
            elif a in _WITH_ARG:
                if i >= len(argv):
                    raise Usage(f"option {a} needs an argument")
                name, value = a, argv[i]
                i += 1
            elif a.startswith("-") and a != "-":
                raise Usage(f"unknown option: {a}")
            else:
                raise Usage(f"unexpected argument: {a}")
            key = _WITH_ARG[name]
            if key in _REPEATED:
                o[key].append(value)
            else:
                o[key] = value
    return o


def _check(o):
    """The combinations and values a run needs; returns the mode."""
    if o["main"] is not None:
        raise Usage(MAIN_REFUSED)
    for key in ("dir", "output", "sweep", "opt", "mc", "sens", "vehicle", "html", "control", "impacts", "epoch"):
        v = o[key]
        if v is not None and ("\n" in v or "\r" in v):
            raise Usage(f"the {key} argument holds a line break (CR or LF): refused")
    for v in o["json"] + o["track"]:
        if "\n" in v or "\r" in v:
            raise Usage("the json argument holds a line break (CR or LF): refused")
    mode = "flight"
    if o["track"] or o["impacts"]:
        mode = "track"
        if (o["control"] or o["mc"] or o["opt"] or o["sweep"] or o["json"] or o["dir"] is not None
                or o["vehicle"]):
            raise Usage("--track and --impacts draw a map of their own: they go with each other and --fly alone")
    elif o["control"]:
        mode = "control"
        if o["mc"] or o["opt"] or o["sweep"] or o["json"] or o["dir"] is not None or o["vehicle"]:
            raise Usage("--control goes with --fly alone (the guided flights drawn beside the optimum)")
        if o["list"] or o["html"]:
            raise Usage("--control draws a picture: --list and --html do not go with it")
    elif o["mc"]:
        mode = "mc"
        if o["opt"] or o["sweep"]:
            raise Usage("--mc does not go with --opt or --sweep")
    elif o["opt"]:
        mode = "opt"
    elif o["sweep"]:
        mode = "sweep"
        if o["list"]:
            raise Usage("--list does not go with --sweep alone")
    if o["sens"] and mode != "mc":
        raise Usage("--sensitivity goes with --mc")
    if mode not in ("flight", "control", "track"):
        if o["dir"] is not None:
            raise Usage("--dir goes with a session's data files, not with a CSV")
        if o["json"] or o["fly"]:
            raise Usage("--json and --fly go with flights, not with a CSV")
    if o["vehicle"] and mode != "flight":
        raise Usage("--vehicle goes with flights")
    if o["epoch"] is not None and not (mode == "track" and o["fly"]):
        raise Usage("--epoch launches the flights of --fly on the map of --track or --impacts: it goes with them")
    if o["target"] is not None and not _NUMBER.fullmatch(o["target"]):
        raise Usage(f"bad --target '{o['target']}' (want an altitude in km, e.g. 398.6)")
    if not _NUMBER.fullmatch(o["tolerance"]):
        raise Usage(f"bad --tolerance '{o['tolerance']}' (want a distance in km, e.g. 10)")
    if not float(o["tolerance"]) > 0:
        raise Usage(f"--tolerance must be positive, got '{o['tolerance']}'")
    for option in o["fly"]:
        if mode == "control" and D.staged_fly_path(option):
            continue
        try:
            D.parse_fly_option(option)
        except D.PlotError as e:
            raise Usage(e.message) from None
    return mode


_FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}


def _format(o):
    out = o["output"]
    if out is None:
        return "svg" if o["svg"] else "png"
    ext = os.path.splitext(out)[1].lower()
    if ext not in _FORMATS:
        raise Usage(f"the picture's name must end in .png, .svg or .pdf, got {out}")
    if o["svg"] and ext != ".svg":
        raise Usage(f"--svg conflicts with the name {out}")
    return _FORMATS[ext]


def _size(o, mode):
    size = o["size"] or {"flight": "1000x1200", "sweep": "1000x700", "opt": "1000x700",
                         "mc": "1000x1250" if o["sens"] else "1000x900", "control": "1000x800",
                         "track": "1000x800"}[mode]
    m = re.fullmatch(r"([0-9]{1,5})x([0-9]{1,5})", size)
    if not m:
        raise Usage(f"bad --size '{size}' (want WIDTHxHEIGHT in pixels, e.g. 1000x1200)")
    w, h = int(m.group(1)), int(m.group(2))
    if not (300 <= w <= 10000 and 300 <= h <= 10000):
        raise Usage(f"--size '{size}' out of range (300 to 10000 pixels each way)")
    return w, h


def _same_file(a, b):
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_output(out, inputs):
    for f in inputs:
        if os.path.exists(out) and _same_file(out, f):
            raise Usage(f"the picture {out} would replace the input {f}: name another file with -o")
    if os.path.isdir(out):
        raise Usage(f"the picture {out} is a folder: name a file with -o")
    outdir = os.path.dirname(out) or "."
    if not os.path.isdir(outdir):
        raise D.PlotError(f"cannot write {out}: no such directory {outdir}")
    if not os.access(outdir, os.W_OK):
        raise D.PlotError(f"cannot write {out}: permission denied")


def write_atomically(out, draw, follow_link=True):
    """Draws into a fresh file in the picture's folder with draw(path) and gives it the picture's
    name only once whole: an old picture of that name stays until then. A link or a device
    (/dev/stdout) the user named is written through instead; at a name the tool chose itself
    (follow_link false) a link is replaced, never followed: what it points to is no picture the
    user asked to overwrite."""
    outdir = os.path.dirname(out) or "."
    base = os.path.basename(out)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f".{base[:40]}.", dir=outdir)
        os.close(fd)
    except OSError as e:
        raise D.PlotError(f"cannot write in {outdir}: no temporary file ({e.strerror})") from None
    try:
        try:
            draw(tmp)
        except OSError as e:
            # The temporary file is the tool's own business: the user is told of the picture.
            raise D.PlotError(f"cannot write {out}: {e.strerror or e}") from None
        if os.path.getsize(tmp) == 0:
            raise D.PlotError(f"nothing was drawn for {out}", EXIT_DRAW)
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(tmp, 0o666 & ~mask)
        if follow_link and (os.path.islink(out) or (os.path.exists(out) and not os.path.isfile(out))):
            try:
                with open(tmp, "rb") as src, open(out, "wb") as dst:
                    dst.write(src.read())
            except OSError as e:
                raise D.PlotError(f"cannot write {out}: {e.strerror}") from None
        else:
            try:
                os.replace(tmp, out)
            except OSError as e:
                raise D.PlotError(f"cannot write {out}: the new picture cannot take its name ({e.strerror})") \
                    from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)


def _warn(msg):
    print(f"{PROG}: warning: {D.printable(msg)}", file=sys.stderr)


def _say(lines):
    """--list's lines on standard output, each as one line of plain text whatever the files'
    names, headers and fields hold."""
    print("\n".join(D.printable(line) for line in lines))


def _load_flights(o):
    flights = []
    if o["dir"] is not None or not (o["json"] or o["fly"]):
        d = o["dir"] if o["dir"] is not None else "."
        own = o["json"][0] if (o["dir"] is not None and len(o["json"]) == 1) else None
        flights += D.load_session(d, json_path=own, warn=_warn)
        saved = [] if own else o["json"]
    else:
        saved = o["json"]
    sources = 1 if flights else 0
    for j in saved:
        flights += D.load_json_flight(j, vehicle=o["vehicle"], warn=_warn)
        sources += 1
    for option in o["fly"]:
        flights.append(D.fly_option(option, warn=_warn))
        sources += 1
    return flights, sources


def _inputs(o, mode):
    """Every file the picture is drawn from: the data files, the JSON, and the
    vehicle descriptions and booster profiles the flights are flown with (those of --fly too)."""
    if mode == "flight":
        d = o["dir"] if o["dir"] is not None else "."
        session = o["dir"] is not None or not (o["json"] or o["fly"])
        ins = [os.path.join(d, n + ".dat") for n, *_ in D.SERIES] if session else []
        ins += [x for x in (o["vehicle"],) if x] + list(o["json"])
        if session:
            ins += D.flown_with(o["vehicle"] or "", d)
        for j in o["json"]:
            ins += D.flown_with(o["vehicle"] or "", os.path.dirname(j) or ".")
        for option in o["fly"]:
            ins += D.flown_with(D.parse_fly_option(option)[0], ".")
        return ins
    if mode == "control":
        return [o["control"]] + [f for option in o["fly"]
                                 for f in ([option] if D.staged_fly_path(option)
                                           else D.flown_with(D.parse_fly_option(option)[0], "."))]
    if mode == "track":
        return (o["track"] + [x for x in (o["impacts"],) if x] +
                [f for option in o["fly"] for f in D.flown_with(D.parse_fly_option(option)[0], ".")])
    return [x for x in (o["sweep"], o["opt"], o["mc"], o["sens"]) if x]


def listing_flights(flights):
    lines = [f"flights: {len(flights)}"]
    for f in flights:
        lines.append(f"{f.name}; {len(f.t)} points from {f.t[0]:.2f} s to {f.t[-1]:.2f} s")
    evs = [(i, e) for i, f in enumerate(flights, start=1) for e in f.events]
    lines.append(f"events: {len(evs)}")
    lines += ["flight %d  %8.2f s  %s" % (i, e.t, e.label) for i, e in evs]
    return lines


def run(argv):
    o = parse(argv)
    if o["help"]:
        sys.stdout.write(USAGE)
        return 0
    if o["version"]:
        print(f"{PROG} {VERSION}")
        return 0
    mode = _check(o)
    fmt = _format(o)
    size = _size(o, mode)
    ext = fmt if not o["html"] else "html"
    out = o["html"] or o["output"]
    chosen = out is None  # the tool's own name: a link there is replaced, never written through
    if out is None:
        if mode == "flight":
            base = o["dir"] if o["dir"] is not None else (os.path.dirname(o["json"][0]) if o["json"] else ".")
            out = os.path.join(base or ".", f"flight.{ext}")
        else:
            src = {"sweep": o["sweep"], "opt": o["opt"], "mc": o["mc"], "control": o["control"],
                   "track": (o["track"] or [o["impacts"]])[0]}[mode]
            out = (os.path.splitext(src)[0] if src.lower().endswith((".csv", ".json")) else src) + "." + ext
    if mode == "flight" and o["dir"] is not None and not os.path.isdir(o["dir"]):
        raise D.PlotError(f"{o['dir']}: no such directory")
    if not o["list"]:
        _check_output(out, _inputs(o, mode))

    if mode == "flight":
        flights, sources = _load_flights(o)
        if o["list"]:
            _say(listing_flights(flights))
            return 0
        payload = D.FlightSet(flights, D.time_axis(flights, o["compress"]))
        title = o["title"] or _flight_title(flights, sources)
        nev = sum(len(f.events) for f in flights)
        done = f"{len(flights)} flight{'s' if len(flights) != 1 else ''}, {nev} event{'s' if nev != 1 else ''}"
    elif mode == "sweep":
        payload = D.load_sweep(o["sweep"])
        title = o["title"]
        b = payload.best
        done = f"{payload.rows} flights, best SC_M {b[2]:.10g} kg at tt {b[0]:.10g} s, alpha {b[1]:.10g} deg"
    elif mode == "control":
        payload = D.load_control(o["control"], o["fly"], warn=_warn)
        title = o["title"]
        done = f"the optimum and {len(payload.flights)} guided flight{'s' if len(payload.flights) != 1 else ''}"
    elif mode == "track":
        payload = D.load_track(o["track"], o["impacts"], o["fly"], o["epoch"])
        if o["list"]:
            _say(payload.listing)
            return 0
        title = o["title"]
        n = len(payload.tracks)
        done = f"{n} flight{'s' if n != 1 else ''}, {len(payload.footprints)} footprints"
    elif mode == "opt":
        payload = D.load_opt(o["opt"], o["sweep"])
        if o["list"]:
            _say(payload.listing)
            return 0
        title = o["title"]
        done = f"{len(payload.tt)} flights, {int(payload.reached.sum())} reached"
    else:
        target = float(o["target"]) if o["target"] is not None else None
        payload = D.load_mc(o["mc"], o["sens"], target, float(o["tolerance"]))
        if o["list"]:
            _say(payload.listing)
            return 0
        title = o["title"]
        done = f"{payload.runs} runs, {payload.reached} reached"

    if o["html"]:
        # The HTML renderer takes the same data: write_report(path, kind, data, title) with kind
        # "flight" (a FlightSet), "sweep" (SweepData), "opt" (OptData) or "mc" (McData).
        if importlib.util.find_spec(__package__ + ".html") is None:
            raise Usage("--html: this install of ascent-plot has no HTML renderer")
        from . import html
        write_atomically(out, lambda p: html.write_report(p, mode, payload, title, name=out), not chosen)
    else:
        try:
            from . import mpl
        except ImportError as e:
            raise D.PlotError(f"matplotlib cannot be imported ({e}): install it "
                              f"(Debian: apt-get install python3-matplotlib)", EXIT_DRAW) from None

        def draw(path):
            try:
                mpl.draw(path, fmt, size, mode, payload, title)
            except (D.PlotError, OSError):
                raise  # a write that fails is the picture's fault, not matplotlib's
            except Exception as e:  # noqa: BLE001  (matplotlib's faults are many)
                raise D.PlotError(f"matplotlib failed to draw {out}: {type(e).__name__}: {e}", EXIT_DRAW) from None
        write_atomically(out, draw, not chosen)
    print(D.printable(f"{PROG}: wrote {out} ({done})"))
    return 0


def _flight_title(flights, sources):
    """The picture's title: the vehicle's name where the flights say it (a session's JSON or a
    vehicle flown), and what was flown."""
    if len(flights) == 1:
        f = flights[0]
        if f.mass_t is not None:  # a staged vehicle's: "Corvane 2 flight, final orbit 399.9 × 400.1 km"
            return f"{f.vehicle} flight, {f.name.split(': ', 1)[1]}"
        if f.tt is not None:
            who = f.name.split(":")[0] if sources and not f.name.startswith("flight ") else f.vehicle
            return (f"{who} flight" if who else "Ascent flight") + " with " + f.name.split(": ", 1)[1]
        return "Ascent flight"
    if sources > 1:
        return f"Ascent flights compared: {len(flights)} flights"
    return f"{flights[0].vehicle or 'Ascent'} session: {len(flights)} flights"


class _Signal(BaseException):
    """A hang-up or termination: no handler of the drawing's faults (which catch Exception) may
    take it for one of them."""


def _on_signal(number, frame):
    raise _Signal(number)


def main(argv=None):
    argv = sys.argv[1:] if argv is None else argv
    # A hang-up or a termination unwinds like an interrupt: the half-drawn picture is removed and
    # the old one stays; the status is 128 + the signal's number.
    for sig in (signal.SIGHUP, signal.SIGTERM):
        signal.signal(sig, _on_signal)
    try:
        return run(argv)
    except _Signal as e:
        print(f"{PROG}: stopped by signal {e.args[0]}", file=sys.stderr)
        return 128 + e.args[0]
    except Usage as e:
        print(f"{PROG}: {D.printable(str(e))}\nTry \"{PROG} --help\".", file=sys.stderr)
        return D.EXIT_USAGE
    except MemoryError:
        print(f"{PROG}: out of memory: the inputs are too large to draw on this machine", file=sys.stderr)
        return D.EXIT_INPUT
    except D.PlotError as e:
        if e.code == D.EXIT_USAGE:
            print(f"{PROG}: {e.message}\nTry \"{PROG} --help\".", file=sys.stderr)
        else:
            print(f"{PROG}: {e.message}", file=sys.stderr)
        return e.code
    except KeyboardInterrupt:
        print(f"{PROG}: stopped by signal 2", file=sys.stderr)
        return 130
    except BrokenPipeError:
        return 101
