#!/usr/bin/python3
"""Times the default profile update against the copy tools an administrator would otherwise use.

Started by bench/run, which builds the programs and makes the Wine prefix. For every size it makes
one synthetic profile and then, repetition by repetition, each repetition starting with the next copier, times:
  corvane    corvane.exe <profile> /q /NoAppx, the whole process, copying on its pool of threads
             (the shipped 32-bit build where 32-bit code runs natively, else the 64-bit build)
  corvane 1  the same on one thread: CORVANE_COPY_THREADS=1 (the walking thread copies every file
             itself) and CORVANE_SCAN_THREADS=1 (the hive check walks on the main thread)
  corvane N  the same with N copying threads, the walking one included (--pool-sizes), for the curve
             that chose the pool's size
  bare walk  barewalk.exe: the same fifteen folders with FindFirstFileW/FindNextFileW and CopyFileW only
             (64-bit, under wine64)
  bare walk 32  the same program built 32-bit, under Wine's 32-bit loader, where the timed tool is the
             32-bit build: the like-for-like floor (only when asked for in --copiers)
  xcopy      Wine's xcopy /E /I /H /K /Y, one process per folder, as an administrator's script would
  robocopy   Wine's robocopy /E, when Wine's robocopy copies at all
  cp -a      the host's cp -a of the same folders, from the prefix's files to a folder beside the prefix
Every Windows-side copy goes into the same empty C:\\users\\Default; destinations are emptied and the
page cache flushed (sync) before each timed run, outside the timing.

Then one Windows 10 row (unless --appx-files 0): the same update of one profile with and without /NoAppx,
alternating, after one untimed run that installs the AppX Management Service from the tool's resources.
The difference is what the Store-app steps cost: the service's work and the tool's fixed one-second
waits (pipe retries, readiness polls).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

BASE_METHODS = ["corvane 1", "corvane", "bare walk", "bare walk 32", "xcopy", "robocopy", "cp -a"]
METHODS = list(BASE_METHODS)  # with a "corvane N" per pool size asked for


def parse_args():
    p = argparse.ArgumentParser()
    p.add_argument("--root", required=True)
    p.add_argument("--out", required=True)
    p.add_argument("--sizes", default="1000,5000,20000", help="files per profile, comma-separated")
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--kb-per-file", default="24",
                   help="average size of a copied file; a comma-separated list makes one profile per value "
                        "(24: the default mix, 4: many small files)")
    p.add_argument("--pool-sizes", default="", help="pool sizes to time as well, comma-separated (2,4,8,16)")
    p.add_argument("--tool-bits", type=int, default=64, help="which build of corvane.exe bench/run copied in")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--copiers", default="corvane 1,corvane,bare walk,xcopy,robocopy,cp -a",
                   help="which copiers to run, comma-separated (for a focused comparison)")
    p.add_argument("--label", default="", help="a word for the result files, such as before or after")
    p.add_argument("--appx-files", type=int, default=1000,
                   help="files of the profile for the Windows 10 row with and without /NoAppx (0: no such row)")
    return p.parse_args()


class Wine:
    def __init__(self, root, out):
        self.prefix = os.path.join(out, "run", "prefix")
        self.drive = os.path.join(self.prefix, "drive_c")
        self.loader = os.path.join(root, "tests", "harness", "wine64")
        self.env = dict(os.environ)
        self.env.update(WINEPREFIX=self.prefix, HOME=os.path.join(out, "run", "home"), WINEDEBUG="-all",
                        WINEARCH="win64", WINEDLLOVERRIDES="winemenubuilder.exe=d;mscoree=d;mshtml=d")
        self.env.pop("DISPLAY", None)
        self.env.pop("CORVANE_COPY_THREADS", None)  # set per run where wanted
        self.env.pop("CORVANE_SCAN_THREADS", None)

    def command(self, *args):
        return [self.loader] + list(args)

    def tool_command(self, bits, *args):
        # Debian's "wine" runs a 32-bit program with the 32-bit loader.
        return (["wine"] if bits == 32 else [self.loader]) + list(args)

    def linux(self, windows_path):
        assert windows_path[:3].upper() == "C:\\"
        return os.path.join(self.drive, *windows_path[3:].split("\\"))


def server_ticks(pid):
    if not pid:
        return 0
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def find_server(prefix):
    """The prefix's wineserver: it works in /tmp/.wine-<uid>/server-<device>-<inode of the prefix>."""
    st = os.stat(prefix)
    tag = "server-%x-%x" % (st.st_dev, st.st_ino)
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            if "wineserver" in open("/proc/%s/comm" % pid).read() and \
                    os.readlink("/proc/%s/cwd" % pid).endswith(tag):
                return int(pid)
        except OSError:
            pass
    return None


SERVER = None
TICK = os.sysconf("SC_CLK_TCK")


def timed(argv, env=None, cwd=None, shell=False):
    """Runs one process; returns (seconds, exit code, peak resident KB, stdout, cpu seconds). The peak
    is the largest resident size of the process or any child it waited for (wait4's ru_maxrss); cpu is
    user + system time of the process and its children plus what the prefix's wineserver spent
    meanwhile (nothing else uses that server), which other load on the machine disturbs much less."""
    before = server_ticks(SERVER)
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, cwd=cwd, shell=shell, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    proc.returncode = os.waitstatus_to_exitcode(status)
    cpu = usage.ru_utime + usage.ru_stime + (server_ticks(SERVER) - before) / TICK
    CPU.append(cpu)
    return seconds, proc.returncode, usage.ru_maxrss, out.decode("latin-1")


CPU = []  # cpu seconds of every timed run, in order


def empty_folder(path):
    if os.path.lexists(path):
        shutil.rmtree(path)
    os.makedirs(path)
    subprocess.run(["sync"])


def count_files(path):
    return sum(len(files) for _, _, files in os.walk(path))


def main():
    args = parse_args()
    wine = Wine(args.root, args.out)
    bench_bin = "C:\\corvane-bench"
    default_win = "C:\\users\\Default"
    default_linux = wine.linux(default_win)
    cp_out = os.path.join(args.out, "cp-out")
    sizes = [int(s) for s in args.sizes.split(",") if s]
    kbs = [int(k) for k in args.kb_per_file.split(",") if k]
    pools = [int(n) for n in args.pool_sizes.split(",") if n]
    for n in pools:
        METHODS.insert(METHODS.index("bare walk"), "corvane %d" % n)
    global SERVER
    SERVER = find_server(wine.prefix)
    if not SERVER:
        print("warning: the prefix's wineserver was not found; cpu times leave its share out")

    _, code, _, out = timed(wine.command(bench_bin + "\\barewalk.exe", "/rows"), wine.env, wine.drive)
    rows = [r for r in out.replace("\r", "").split("\n")[:15]]
    if code != 0 or len(rows) != 15:
        sys.exit("cannot read the fifteen folders: %r" % out)
    used_rows = [r for r in rows if r]

    # Wine 8's robocopy is a stub that copies nothing and ends with 16.
    probe_src = "C:\\corvane-bench"
    _, code, _, _ = timed(wine.command("robocopy.exe", probe_src, "C:\\corvane-scratch\\robocopy-probe", "/E"),
                          wine.env, wine.drive)
    have_robocopy = code < 8 and os.path.isdir(wine.linux("C:\\corvane-scratch\\robocopy-probe"))
    shutil.rmtree(wine.linux("C:\\corvane-scratch"), ignore_errors=True)

    results = []
    for index, (files, kb) in enumerate((f, k) for k in kbs for f in sizes):
        name = "bench%dk%d" % (files, kb)
        sid = "S-1-5-21-1000-2000-3000-%d" % (2001 + index)
        megabytes = max(1, files * kb // 1024)
        profile_linux = wine.linux("C:\\users\\" + name)
        if os.path.lexists(profile_linux):
            shutil.rmtree(profile_linux)
        seconds, code, _, out = timed(wine.command(bench_bin + "\\benchgen.exe", "profile", name, sid, str(files),
                                                   str(megabytes), str(args.seed)), wine.env, wine.drive)
        if code != 0:
            sys.exit("the generator failed for %d files" % files)
        facts = dict(item.split("=") for item in out.split())
        print("profile %s: %s files (%.0f MB) in the fifteen folders, %s folders, %s more files not copied, "
              "%s hive values; made in %.1f s" % (name, facts["files"], int(facts["bytes"]) / 1048576,
                                                   facts["folders"], facts["uncopied"], facts["values"], seconds),
              flush=True)
        source_win = "C:\\users\\" + name
        times = {m: [] for m in METHODS}
        peaks = {m: [] for m in METHODS}
        cpus = {m: [] for m in METHODS}
        copies = None
        landed = {}

        def record(method, result, folder):
            s, code, peak, out = result
            times[method].append(s)
            peaks[method].append(peak)
            cpus[method].append(CPU[-1])
            landed[method] = count_files(folder)
            return code, out

        def corvane_runner(method, threads):
            def run():
                # The whole update, hive and clean-up included.
                empty_folder(default_linux)
                env = dict(wine.env)
                if threads:
                    env["CORVANE_COPY_THREADS"] = str(threads)
                if threads == 1:
                    env["CORVANE_SCAN_THREADS"] = "1"  # the whole tool on one thread
                argv = wine.tool_command(args.tool_bits, "C:\\corvane-bin\\corvane.exe", name, "/q", "/NoAppx")
                code, out = record(method, timed(argv, env, wine.drive), default_linux)
                if code != 0 or "successfully updated" not in out:
                    sys.exit("%s failed (exit %d):\n%s" % (method, code, out))
            return run

        def run_bare():
            nonlocal copies
            empty_folder(default_linux)
            code, out = record("bare walk", timed(wine.command(bench_bin + "\\barewalk.exe", source_win, default_win),
                                                  wine.env, wine.drive), default_linux)
            if code != 0:
                sys.exit("the bare walk failed: %s" % out)
            copies = int(out.split()[0].split("=")[1])

        def run_bare32():
            empty_folder(default_linux)
            code, out = record("bare walk 32", timed(wine.tool_command(32, bench_bin + "\\barewalk32.exe", source_win,
                                                                       default_win), wine.env, wine.drive),
                               default_linux)
            if code != 0:
                sys.exit("the 32-bit bare walk failed: %s" % out)

        def run_xcopy():
            # One xcopy per folder, as a script would run them; timed together.
            empty_folder(default_linux)
            script = " && ".join(
                "{ %s >/dev/null 2>&1; c=$?; [ $c -le 1 ] || { echo \"xcopy %s: $c\"; exit 1; }; }" % (
                    " ".join("'%s'" % a for a in wine.command("xcopy.exe", "/E", "/I", "/H", "/K", "/Y",
                                                              source_win + "\\" + r, default_win + "\\" + r)),
                    r.replace("\\", "/")) for r in used_rows)
            code, out = record("xcopy", timed(["bash", "-c", script], wine.env, wine.drive), default_linux)
            if code != 0:
                sys.exit("xcopy failed: %s" % out)

        def run_robocopy():
            empty_folder(default_linux)
            script = " ; ".join(" ".join("'%s'" % a for a in wine.command(
                "robocopy.exe", source_win + "\\" + r, default_win + "\\" + r, "/E")) + " >/dev/null 2>&1"
                for r in used_rows)
            record("robocopy", timed(["bash", "-c", script], wine.env, wine.drive), default_linux)

        def run_cp():
            empty_folder(cp_out)
            script = " && ".join("mkdir -p '%s' && cp -a '%s/.' '%s'" % (
                os.path.join(cp_out, *r.split("\\")), os.path.join(profile_linux, *r.split("\\")),
                os.path.join(cp_out, *r.split("\\"))) for r in used_rows)
            code, _ = record("cp -a", timed(["bash", "-c", script]), cp_out)
            if code != 0:
                sys.exit("cp -a failed")

        chosen = [c.strip() for c in args.copiers.split(",")]
        run_of = {"corvane 1": corvane_runner("corvane 1", 1), "corvane": corvane_runner("corvane", None),
                  "bare walk": run_bare, "bare walk 32": run_bare32, "xcopy": run_xcopy, "robocopy": run_robocopy, "cp -a": run_cp}
        for n in pools:
            run_of["corvane %d" % n] = corvane_runner("corvane %d" % n, n)
            chosen.append("corvane %d" % n)
        if "bare walk 32" in chosen and args.tool_bits != 32:
            sys.exit("bare walk 32: only beside the 32-bit tool")
        runners = [run_of[method] for method in METHODS
                   if method in chosen and (method != "robocopy" or have_robocopy)]
        for rep in range(args.reps):
            # Each repetition starts with the next copier, so none always runs right after the same one.
            for i in range(len(runners)):
                runners[(rep + i) % len(runners)]()
            print("  repetition %d: %s" % (rep + 1, ", ".join(
                "%s %.2f s (cpu %.2f)" % (m, times[m][-1], cpus[m][-1]) for m in METHODS if times[m])), flush=True)
        empty_folder(default_linux)
        shutil.rmtree(cp_out, ignore_errors=True)
        scan = measure_scan(wine, bench_bin, source_win, sid, args.reps)
        alone = measure_scan(wine, bench_bin, source_win, sid, args.reps, threads=1)
        if scan and alone:
            scan["one_thread_min_ms"], scan["one_thread_median_ms"] = alone["min_ms"], alone["median_ms"]
        if scan and times["corvane"]:
            print("  hive check alone: %s keys, %s values found, %.1f ms (min) / %.1f ms (median), "
                  "%.2f %% of the update's median time; on one thread %.1f / %.1f ms" % (
                      scan["keys"], scan["named"], scan["min_ms"], scan["median_ms"],
                      100 * scan["median_ms"] / 1000 / statistics.median(times["corvane"]),
                      scan.get("one_thread_min_ms", float("nan")), scan.get("one_thread_median_ms", float("nan"))),
                  flush=True)
        results.append(dict(files=int(facts["files"]), kb=kb, mb=int(facts["bytes"]) / 1048576, copies=copies,
                            times=times, peaks=peaks, cpus=cpus, landed=landed, scan=scan))

    appx = appx_row(args, wine, bench_bin, default_linux) if args.appx_files > 0 else None
    write_report(args, results, have_robocopy, appx, thread_cost(wine, bench_bin))


def thread_cost(wine, bench_bin):
    """KB of resident memory one idle thread adds to a Wine process, or None."""
    sets = []
    for count in (0, 4):
        _, code, _, out = timed(wine.command(bench_bin + "\\threadcost.exe", str(count)), wine.env, wine.drive)
        if code != 0:
            return None
        facts = dict(item.split("=") for item in out.split())
        sets.append(int(facts["working_set_kb"]))
    return (sets[1] - sets[0]) / 4


def measure_scan(wine, bench_bin, source_win, sid, reps, threads=None):
    """The update's check of the hive for the source user, timed alone by scanbench.exe on the
    profile's own hive, which is what the update checks after its clean-up (a little larger); on the
    tool's threads, or on as many as asked."""
    env = dict(wine.env)
    if threads:
        env["CORVANE_SCAN_THREADS"] = str(threads)
    _, code, _, out = timed(wine.command(bench_bin + "\\scanbench.exe", source_win + "\\NTUSER.DAT", source_win,
                                         sid, str(max(reps, 5))), env, wine.drive)
    if code != 0:
        print("warning: the hive check could not be timed (exit %d): %s" % (code, out))
        return None
    facts = dict(item.split("=") for item in out.split())
    return dict(keys=int(facts["keys"]), named=int(facts["named"]), min_ms=float(facts["min_ms"]),
                median_ms=float(facts["median_ms"]))


def set_tool_version(wine, version):
    # The service decides its Windows 10 work (settings, folders and tile database backups) by the
    # version Wine reports to it, so it gets the tool's.
    for program in ("corvane.exe", "QuillmarAppxService.exe"):
        key = "HKCU\\Software\\Wine\\AppDefaults\\" + program
        if version:
            argv = wine.command("reg.exe", "add", key, "/v", "Version", "/d", version, "/f")
        else:
            argv = wine.command("reg.exe", "delete", key, "/v", "Version", "/f")
        subprocess.run(argv, env=wine.env, cwd=wine.drive, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)


def appx_row(args, wine, bench_bin, default_linux):
    """Windows 10: the whole update with the Store-app steps against the same update with /NoAppx."""
    name = "benchappx"
    sid = "S-1-5-21-1000-2000-3000-3001"
    megabytes = args.appx_files * args.kb_per_file // 1024
    _, code, _, out = timed(wine.command(bench_bin + "\\benchgen.exe", "profile", name, sid, str(args.appx_files),
                                         str(megabytes), str(args.seed)), wine.env, wine.drive)
    if code != 0:
        sys.exit("the generator failed for the Windows 10 row")
    facts = dict(item.split("=") for item in out.split())
    set_tool_version(wine, "win10")
    tool = "C:\\corvane-bin\\corvane.exe"
    runs = {"/NoAppx": [name, "/q", "/NoAppx"], "Store apps": [name, "/q"]}
    times = {k: [] for k in runs}
    try:
        # Untimed: installs and starts the service, writes the companions.
        empty_folder(default_linux)
        _, code, _, out = timed(wine.command(tool, name, "/q"), wine.env, wine.drive)
        if code != 0 or "successfully updated" not in out:
            sys.exit("corvane with the Store-app steps failed (exit %d):\n%s" % (code, out))
        first = None
        for rep in range(args.reps):
            order = list(runs) if rep % 2 == 0 else list(reversed(list(runs)))
            for kind in order:
                empty_folder(default_linux)
                seconds, code, _, out = timed(wine.command(tool, *runs[kind]), wine.env, wine.drive)
                if code != 0 or "successfully updated" not in out:
                    sys.exit("corvane %s failed (exit %d):\n%s" % (kind, code, out))
                times[kind].append(seconds)
            print("  Windows 10 repetition %d: %s" % (rep + 1, ", ".join(
                "%s %.2f s" % (k, times[k][-1]) for k in runs)), flush=True)
    finally:
        timed(wine.command(tool, "/DeleteAppxService"), wine.env, wine.drive)
        set_tool_version(wine, None)
        empty_folder(default_linux)
    return dict(files=int(facts["files"]), mb=int(facts["bytes"]) / 1048576, times=times)


def ratios(r, a, b):
    """a's time over b's, repetition by repetition (the two ran in the same repetition)."""
    return ["%.3f" % (x / y) for x, y in zip(r["times"][a], r["times"][b])]


def write_report(args, results, have_robocopy, appx=None, cost=None):
    label = ("-" + args.label) if args.label else ""
    lines = []
    lines.append("Corvane profile update benchmark%s, %s" % (
        " (%s)" % args.label if args.label else "", time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())))
    tool = ("the shipped 32-bit corvane.exe (Release, i686, run by Wine's 32-bit loader)" if args.tool_bits == 32
            else "corvane.exe built 64-bit from the shipped sources (Release, run by wine64)")
    lines.append("%s; the bare walk 64-bit under wine64; %s; %d repetitions; load average %s at the end; "
                 "seconds are whole-process wall times, min / median; ratios use the minimum times." % (
                     tool, wine_version(args.root), args.reps, " ".join(open("/proc/loadavg").read().split()[:3])))
    lines.append("files: files in the fifteen folders; KB: their average size; copies: file copies made (folders "
                 "that lie inside others are copied again, by every copier);")
    lines.append("c1: corvane on one thread (CORVANE_COPY_THREADS=1, CORVANE_SCAN_THREADS=1); pool: corvane as "
                 "shipped (its pool of copying threads, the hive check on its threads); cpu: minimum user+system seconds of the process plus the prefix's wineserver;")
    lines.append("peak: largest resident size of the Wine process (wait4 ru_maxrss, Linux side).")
    lines.append("")
    head = ("%7s %3s %6s %6s | %13s %13s %13s %13s %13s | %6s %6s %6s | %6s %6s %6s | %7s %7s %7s" % (
        "files", "KB", "MB", "copies", "c1 s", "pool s", "bare walk s", "xcopy s", "cp -a s",
        "p/bare", "p/c1", "c1/bare", "c1 cpu", "p cpu", "b cpu", "c1 peak", "p peak", "b peak"))
    lines.append(head)
    lines.append("-" * len(head))
    for r in results:
        mins, meds, cpu, peak = summary(r)
        cell = lambda m: "%6.2f/%6.2f" % (mins[m], meds[m])
        copies = r["copies"] or r["files"]
        lines.append("%7d %3d %6.0f %6d | %13s %13s %13s %13s %13s | %6.3f %6.3f %6.3f | %6.2f %6.2f %6.2f | "
                     "%5.1fMB %5.1fMB %5.1fMB" % (
            r["files"], r["kb"], r["mb"], copies, cell("corvane 1"), cell("corvane"), cell("bare walk"),
            cell("xcopy"), cell("cp -a"), mins["corvane"] / mins["bare walk"], mins["corvane"] / mins["corvane 1"],
            mins["corvane 1"] / mins["bare walk"], cpu["corvane 1"], cpu["corvane"], cpu["bare walk"],
            peak["corvane 1"], peak["corvane"], peak["bare walk"]))
    lines.append("")
    lines.append("Per repetition (the same repetition's runs):")
    for r in results:
        lines.append("  %d files, %d KB: pool/bare %s; pool/c1 %s; c1/bare %s" % (
            r["files"], r["kb"], ", ".join(ratios(r, "corvane", "bare walk")),
            ", ".join(ratios(r, "corvane", "corvane 1")), ", ".join(ratios(r, "corvane 1", "bare walk"))))
        if r["times"]["bare walk 32"]:
            lines.append("    bare walk 32-bit: %s s (bare walk 64-bit: %s s); pool/bare32 %s; c1/bare32 %s; "
                         "peak %.1f MB" % (
                ", ".join("%.2f" % t for t in r["times"]["bare walk 32"]),
                ", ".join("%.2f" % t for t in r["times"]["bare walk"]),
                ", ".join(ratios(r, "corvane", "bare walk 32")), ", ".join(ratios(r, "corvane 1", "bare walk 32")),
                max(r["peaks"]["bare walk 32"]) / 1024))
        for m in METHODS:
            if m.startswith("corvane ") and m != "corvane 1" and r["times"][m]:
                lines.append("    %s: %s s; over bare %s; over c1 %s; peak %.1f MB" % (
                    m, ", ".join("%.2f" % t for t in r["times"][m]), ", ".join(ratios(r, m, "bare walk")),
                    ", ".join(ratios(r, m, "corvane 1")), max(r["peaks"][m]) / 1024))
    by_kb = {}
    for r in results:
        by_kb.setdefault(r["kb"], []).append(r)
    for kb, rows in by_kb.items():
        if len(rows) > 1:
            lines.append("  %d KB: largest over smallest size, pool: %.2fx the time for %.1fx the files" % (
                kb, summary(rows[-1])[0]["corvane"] / summary(rows[0])[0]["corvane"],
                rows[-1]["files"] / rows[0]["files"]))
    lines.append("")
    if not have_robocopy:
        lines.append("robocopy: not measured; Wine's robocopy.exe is a stub here (it copies nothing and ends with 16).")
    for r in results:
        lines.append("%d files, %d KB: files found afterwards: %s (corvane also empties Recent and adds NTUSER.DAT)" % (
            r["files"], r["kb"], ", ".join("%s %d" % (m, n) for m, n in r["landed"].items())))
    for r in results:
        scan = r.get("scan")
        if scan and r["times"]["corvane"]:
            lines.append("%d files, %d KB: the hive check alone (%d keys): %.1f ms min / %.1f ms median, %.2f %% of the "
                         "update's median time; on one thread %.1f ms min / %.1f ms median" % (
                             r["files"], r["kb"], scan["keys"], scan["min_ms"], scan["median_ms"],
                             100 * scan["median_ms"] / 1000 / statistics.median(r["times"]["corvane"]),
                             scan.get("one_thread_min_ms", float("nan")),
                             scan.get("one_thread_median_ms", float("nan"))))
    if cost:
        lines.append("Wine's resident cost of one idle thread (threadcost.exe, 64-bit, working set with 4 idle "
                     "threads less with none, over 4): %.0f KB" % cost)
    if appx:
        t = appx["times"]
        lines.append("")
        lines.append("Windows 10 row (%d files, %.0f MB; the service installed by an untimed first run): "
                     "seconds min / median" % (appx["files"], appx["mb"]))
        lines.append("  corvane /q /NoAppx %6.2f / %6.2f   corvane /q %6.2f / %6.2f   difference of minimums %5.2f s" % (
            min(t["/NoAppx"]), statistics.median(t["/NoAppx"]), min(t["Store apps"]),
            statistics.median(t["Store apps"]), min(t["Store apps"]) - min(t["/NoAppx"])))
    text = "\n".join(lines) + "\n"
    print()
    print(text, end="")
    os.makedirs(os.path.join(args.out, "results"), exist_ok=True)
    stem = os.path.join(args.out, "results", "bench" + label)
    with open(stem + ".txt", "w") as f:
        f.write(text)
    with open(stem + ".dat", "w") as f:
        # One block per average file size (gnuplot's index), sizes in order within it.
        f.write("# files c1 pool bare xcopy cp c1_peak_MB pool_peak_MB bare_peak_MB (minimum seconds)\n")
        for kb, rows in by_kb.items():
            f.write("# %d KB per file\n" % kb)
            for r in rows:
                mins, _, cpu, peak = summary(r)
                f.write("%d %.3f %.3f %.3f %.3f %.3f %.1f %.1f %.1f\n" % (
                    r["files"], mins["corvane 1"], mins["corvane"], mins["bare walk"], mins["xcopy"], mins["cp -a"],
                    peak["corvane 1"], peak["corvane"], peak["bare walk"]))
            f.write("\n\n")
    plot(stem, args, list(by_kb))
    print("table: %s.txt  plot: %s.png" % (stem, stem))


def summary(r):
    """Minimum and median seconds, minimum cpu seconds and largest peak (MB) per copier; NaN for a
    copier that did not run."""
    nan = float("nan")
    pick = lambda values, f: f(values) if values else nan
    mins = {m: pick(r["times"][m], min) for m in METHODS}
    meds = {m: pick(r["times"][m], statistics.median) for m in METHODS}
    cpu = {m: pick(r["cpus"][m], min) for m in METHODS}
    peak = {m: pick(r["peaks"][m], max) / 1024 for m in METHODS}
    return mins, meds, cpu, peak


def wine_version(root):
    try:
        return subprocess.run([os.path.join(root, "tests", "harness", "wine64"), "--version"],
                              capture_output=True, text=True).stdout.strip()
    except OSError:
        return "?"


def plot(stem, args, kbs):
    times, peaks = [], []
    for i, kb in enumerate(kbs):
        dash = i + 1
        times.append(("'{stem}.dat' index {i} using 1:2 with linespoints lc 1 dt {d} title \"corvane, one thread, {kb} KB\", "
                      "'' index {i} using 1:3 with linespoints lc 6 dt {d} title \"corvane, pool, {kb} KB\", "
                      "'' index {i} using 1:4 with linespoints lc 2 dt {d} title \"bare walk, {kb} KB\", "
                      "'' index {i} using 1:5 with linespoints lc 3 dt {d} title \"xcopy, {kb} KB\", "
                      "'' index {i} using 1:6 with linespoints lc 4 dt {d} title \"cp -a, {kb} KB\"").format(
            stem=stem, i=i, d=dash, kb=kb))
        peaks.append(("'{stem}.dat' index {i} using 1:7 with linespoints lc 1 dt {d} title \"one thread, {kb} KB\", "
                      "'' index {i} using 1:8 with linespoints lc 6 dt {d} title \"pool, {kb} KB\", "
                      "'' index {i} using 1:9 with linespoints lc 2 dt {d} title \"bare walk, {kb} KB\"").format(
            stem=stem, i=i, d=dash, kb=kb))
    script = """
set terminal pngcairo size 1400,550 font ",10"
set output '{stem}.png'
set multiplot layout 1,2 title "Profile update vs. copy tools ({bits}-bit corvane.exe)"
set xlabel "files in the fifteen folders"
set ylabel "seconds (minimum of {reps})"
set logscale xy
set key top left
set grid
plot {times}
unset logscale y
set ylabel "peak resident size of the process (MB)"
set yrange [0:*]
plot {peaks}
unset multiplot
""".format(stem=stem, bits=args.tool_bits, reps=args.reps, times=", ".join(times), peaks=", ".join(peaks))
    subprocess.run(["gnuplot"], input=script, text=True, check=True)


if __name__ == "__main__":
    main()
