"""What the flow plugins share: their common arguments, the finished capture
files of the channels since the previous run, the state that makes every
file reported by exactly one run, nfdump, and their output.

nfcapd holds flows in memory and writes them out when it rotates its file
(every five minutes by default) or stops, and only then gives the file its
final name nfcapd.YYYYMMDDhhmm. So the unit a plugin reads is the finished
file, never the flow time stamps (exporters' clocks are not to be trusted),
and a run reports the files finished since the previous run:
  - with -s, the state keeps, per channel, the modification time of the
    newest file already reported (captures rotate at the same moment, and a
    run in the middle must not skip the file of a channel that is a little
    late), and the plugin's ledger of what it reported for the files that
    can still change: a capture restarted within the time slot of its last
    file adds to that file;
  - without -s, the files finished during the last INTERVAL seconds; runs
    that start a little early or late can then count a file finished right
    at the boundary twice or not at all.

The plugins run with an empty environment: nfdump is named by its full path.
"""

import getopt
import json
import os
import subprocess
import sys
import time

NFDUMP = "/usr/bin/nfdump"
DIGITS = "0123456789"
STATE_FORMAT = 1
SCRATCH = "/dev/shm"


class Failure(Exception):
    """Ends the run: `message` is printed, `state` is the exit code."""

    def __init__(self, state, message):
        super().__init__(message)
        self.state = state
        self.message = message


def say(text):
    # Names and paths may hold bytes that are not UTF-8 (kept by Python as
    # surrogates): written back as they came, whatever the locale.
    sys.stdout.buffer.write(text.encode("utf-8", "surrogateescape"))
    sys.stdout.buffer.flush()


def emit(document):
    """The result: one JSON object, without a line end (it goes into a json
    column as printed)."""
    say(json.dumps(document, ensure_ascii=False, separators=(",", ":")))


def main(body):
    try:
        body(sys.argv[1:])
    except Failure as failure:
        say(failure.message + "\n")
        sys.exit(failure.state)
    except Exception as error:  # noqa: BLE001
        # A state file edited by hand, say: the collector shows this line,
        # where a trace on the daemon's standard error would be lost.
        say("UNKNOWN: %s failed: %s: %s\n" % (os.path.basename(sys.argv[0]), type(error).__name__, error))
        sys.exit(3)
    sys.exit(0)


class Run:
    """One run of a flow plugin over `-d DATADIR -c CHANNEL -i INTERVAL
    [-s STATEDIR]` and the plugin's own options."""

    def __init__(self, argv, usage, optstring):
        self.usage = usage
        try:
            pairs, rest = getopt.getopt(argv, optstring)
        except getopt.GetoptError as error:
            self.unusable(error.msg)
        if rest:
            self.unusable("unexpected argument " + rest[0])
        self.options = {}
        for option, value in pairs:
            self.options.setdefault(option[1], []).append(value)
        self.datadir = self.value("d")
        if not self.datadir:
            self.unusable("no data directory")
        self.channel_list = self.value("c")
        # "a:b" is what a collector without a channel gets; a name given
        # twice is read once.
        self.channels = list(dict.fromkeys(c for c in (self.channel_list or "").split(":") if c))
        if not self.channels:
            self.unusable("no channel")
        # "60" or "60.000000", as the database prints an interval.
        self.interval = (self.value("i") or "").split(".", 1)[0]
        if not self.interval or self.interval.strip(DIGITS):
            self.unusable("interval is not a number of seconds")
        self.interval = int(self.interval)
        if self.interval <= 0:
            self.unusable("interval must be at least one second")
        self.statedir = self.value("s")
        self.state = None

    def read(self, paths, arguments):
        return read(paths, arguments, self.statedir if self.state else None)

    def value(self, option):
        values = self.options.get(option)
        return values[-1] if values else None

    def unusable(self, text):
        raise Failure(3, "UNKNOWN: %s (usage: %s)" % (text, self.usage))

    def new_files(self, kind, migrate=None):
        """The finished files of each channel since the previous run, oldest
        first, as {channel: [(mtime_ns, path), ...]}. Loads the state of this
        plugin `kind`; `migrate(prefix, channels)` may return the state an
        earlier version left under the name prefix `prefix`, and the files
        that held it, removed once the state is saved."""
        for channel in self.channels:
            directory = os.path.join(self.datadir, channel)
            if not os.path.isdir(directory):
                raise Failure(2, "CRITICAL: channel %s has no capture directory %s" % (channel, directory))
        now = time.time_ns()
        start = now - self.interval * 1_000_000_000
        if self.statedir is None:
            return {c: listing(os.path.join(self.datadir, c), start, now) for c in self.channels}
        if not os.path.isdir(self.statedir):
            self.unusable("state directory %s does not exist" % self.statedir)
        self.state = State(self.statedir, self.channel_list, self.interval, kind)
        if self.state.fresh and migrate is not None:
            self.state.migrate(migrate, self.channels)
        markers = self.state.data["markers"]
        # First run: from one interval back, as without a state directory;
        # saved at once, so that a failed first run does not move it.
        missing = [c for c in self.channels if c not in markers]
        for channel in missing:
            markers[channel] = start
        if missing or self.state.migrated:
            self.state.save()
        return {c: listing(os.path.join(self.datadir, c), markers[c], None) for c in self.channels}

    def commit(self, files):
        """Saves the state once the result is complete: a run that failed
        reports the same files again next time."""
        if self.state is None:
            return
        for channel, found in files.items():
            if found:
                # The time seen when listing: a file that grew since is
                # seen again, and its ledger tells what it gained.
                self.state.data["markers"][channel] = found[-1][0]
        self.state.save()


def listing(directory, after, until):
    """Finished files under `directory` (nfcapd's year/month/day layout)
    modified after `after` and, unless None, not after `until`."""
    found = []
    pending = [directory]
    while pending:
        current = pending.pop()
        try:
            with os.scandir(current) as entries:
                for entry in entries:
                    if entry.is_dir(follow_symlinks=False):
                        pending.append(entry.path)
                    elif finished(entry):
                        try:
                            mtime = entry.stat(follow_symlinks=False).st_mtime_ns
                        except FileNotFoundError:
                            continue  # expired while listed
                        if mtime > after and (until is None or mtime <= until):
                            found.append((mtime, entry.path))
        except OSError as error:
            # A file skipped now would be behind the marker for ever.
            raise Failure(3, "UNKNOWN: cannot list %s: %s" % (current, error.strerror))
    found.sort()
    return found


def finished(entry):
    name = entry.name
    return (len(name) > 7 and name.startswith("nfcapd.") and name[7] in DIGITS
            and entry.is_file(follow_symlinks=False))


def newest(files):
    """The newest file of each channel: the only one a capture can still add to."""
    return [found[-1][1] for found in files.values() if found]


class State:
    """The state file of one plugin kind, channel list and interval:
    {"format":1,"markers":{channel: mtime_ns},...} plus what the plugin keeps."""

    def __init__(self, directory, channel_list, interval, kind):
        self.directory = directory
        self.channel_list = channel_list
        self.interval = interval
        self.name = "%s.%d.%s.json" % (file_part(channel_list), interval, kind)
        self.path = os.path.join(directory, self.name)
        self.migrated = []
        self.fresh = False
        self.data = self.load()

    def load(self):
        try:
            with open(self.path, "rb") as state:
                data = json.loads(state.read().decode("utf-8", "surrogateescape"))
        except FileNotFoundError:
            self.fresh = True
            return {"format": STATE_FORMAT, "markers": {}}
        except (OSError, ValueError) as error:
            raise Failure(3, "UNKNOWN: cannot read the state file %s: %s" % (self.path, error))
        if not isinstance(data, dict) or data.get("format") != STATE_FORMAT:
            raise Failure(3, "UNKNOWN: the state file %s is not one this plugin writes" % self.path)
        return data

    def migrate(self, migrate, channels):
        # The name an earlier version gave it ("/" and ":" made "_").
        prefix = os.path.join(self.directory, "%s.%d" % (
            self.channel_list.replace("/", "_").replace(":", "_"), self.interval))
        found = migrate(prefix, channels)
        if found is not None:
            data, self.migrated = found
            self.data.update(data)

    def save(self):
        import tempfile
        text = json.dumps(self.data, ensure_ascii=False, separators=(",", ":"))
        temporary = None
        try:
            handle, temporary = tempfile.mkstemp(dir=self.directory, prefix="." + self.name + ".")
            with os.fdopen(handle, "wb") as out:
                out.write(text.encode("utf-8", "surrogateescape"))
                out.flush()
                os.fsync(out.fileno())
            os.replace(temporary, self.path)
        except OSError as error:
            if temporary is not None:
                try:
                    os.unlink(temporary)
                except OSError:
                    pass
            raise Failure(3, "UNKNOWN: cannot write the state file %s: %s" % (self.path, error.strerror))
        for old in self.migrated:
            try:
                os.unlink(old)
            except OSError:
                pass  # left behind, never read again
        self.migrated = []


def file_part(channel_list):
    """A file name part that tells every channel list apart ("a:b" from
    "a_b"), short enough for any file system."""
    out = []
    for byte in channel_list.encode("utf-8", "surrogateescape"):
        character = chr(byte)
        out.append(character if character.isascii() and (character.isalnum() or character in "-_.")
                   else "%%%02X" % byte)
    part = "".join(out)
    if len(part) > 150:
        import hashlib
        part = "sha256-" + hashlib.sha256(channel_list.encode("utf-8", "surrogateescape")).hexdigest()
    return part


def nfdump(arguments):
    """(exit code, standard output, standard error) of nfdump."""
    try:
        done = subprocess.run([NFDUMP] + arguments, stdin=subprocess.DEVNULL,
                              capture_output=True, env={})
    except OSError as error:
        raise Failure(3, "UNKNOWN: cannot run %s: %s" % (NFDUMP, error.strerror))
    return (done.returncode, done.stdout.decode("utf-8", "replace"),
            done.stderr.decode("utf-8", "replace"))


def read(paths, arguments, scratch=None):
    """nfdump's output over the files `paths`, all read in one pass. nfdump
    may end with 0 when a file is unreadable, having read nothing; it then
    says so on its standard error, which fails the run."""
    if len(paths) == 1:
        code, out, err = nfdump(["-r", paths[0]] + arguments)
    else:
        import tempfile
        # nfdump reads a whole directory in one pass: one of links to the
        # files of this run. Thousands of links cost seconds on a busy disk:
        # in memory when possible, else in the plugin's own state directory.
        if os.access(SCRATCH, os.W_OK | os.X_OK):
            scratch = SCRATCH
        with tempfile.TemporaryDirectory(prefix=".kova-flow-", dir=scratch) as links:
            for number, path in enumerate(paths):
                os.symlink(os.path.abspath(path), os.path.join(links, "nfcapd.%06d" % number))
            code, out, err = nfdump(["-R", links] + arguments)
    if code != 0 or err.strip():
        raise Failure(3, unreadable(paths, (err if err.strip() else out).strip()))
    return out


def unreadable(paths, said):
    """The message for a pass that failed: it names the first file nfdump
    cannot read by itself (nfdump -I ends with an error code for it)."""
    if len(paths) > 1:
        for path in paths:
            code, out, err = nfdump(["-r", path, "-I"])
            if code != 0 or err.strip():
                return "UNKNOWN: nfdump cannot read %s: %s" % (path, (err if err.strip() else out).strip())
        return "UNKNOWN: nfdump cannot read the %d files from %s: %s" % (len(paths), paths[0], said)
    return "UNKNOWN: nfdump cannot read %s: %s" % (paths[0], said)
