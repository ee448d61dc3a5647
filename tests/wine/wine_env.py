"""The Windows build of `vantor` under Wine, for the tests in this folder.

These tests drive `vantor.exe` with the peers and the service wrapper of
tests/integration. Those reach the program through VANTOR_BIN, which here
names a small script of ours that runs `wine vantor.exe ARGS` (exec'd, so the
process the tests signal and wait for is the Windows program itself). With
VANTOR_WINE_COMMAND set, that script runs this command instead of Wine (for
example the Linux build, to work on the tests without a Windows build); the
checks of the Windows file layout are then skipped.

One Wine prefix serves the whole run: scripts/test-windows.sh boots one and
passes it in WINEPREFIX. Without it, the first test that needs Wine boots a
throw-away prefix of its own and removes it when the process ends. Wine gives
a program %APPDATA% from the prefix's registry, not from the Unix
environment, so the prefix's "AppData" shell folder is pointed at a folder
of ours whose name is not ASCII (nor in any ANSI code page), under a
temporary Unix folder that the tests can read directly.
"""

import atexit
import os
import shlex
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(REPO, "tests", "integration"))
import peers  # noqa: E402

# A roaming profile folder as a user named Jürgen with a Russian and a
# Chinese folder name would have it.
APPDATA_NAME = "Jürgen-Данные-数据"
SHELL_FOLDERS = r"HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\User Shell Folders"
VOLATILE = r"HKCU\Volatile Environment"


class WineSetupError(RuntimeError):
    pass


class _State:
    ready = False
    native = False
    appdata = None  # Unix path of the folder the program sees as %APPDATA%


def exe_path():
    path = os.environ.get("VANTOR_EXE") or os.path.join(REPO, "build-windows", "src", "cli", "vantor.exe")
    return os.path.abspath(path)


def linux_build_dir():
    return os.environ.get("VANTOR_LINUX_BUILD") or os.path.join(REPO, "build")


def native():
    """True when the tests run another command instead of Wine."""
    setup()
    return _State.native


def appdata():
    """The Unix path of the program's %APPDATA% (None without Wine)."""
    setup()
    return _State.appdata


def windows_path(unix_path):
    """The name Wine's Z: drive gives a Unix path."""
    return "Z:" + unix_path.replace("/", "\\")


def _wine(*args, timeout=120):
    r = subprocess.run(["wine", *args], stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
    if r.returncode != 0:
        raise WineSetupError(f"wine {' '.join(args)} failed with {r.returncode}: "
                             f"{r.stderr.decode(errors='replace')[-2000:]}")


def _boot_prefix():
    given = os.environ.get("WINEPREFIX")
    if given and os.path.exists(os.path.join(given, "system.reg")):
        return
    prefix = tempfile.mkdtemp(prefix="vantor-wine-")
    os.environ["WINEPREFIX"] = prefix

    def remove():
        subprocess.run(["wineserver", "-k"], capture_output=True, timeout=60)
        shutil.rmtree(prefix, ignore_errors=True)

    atexit.register(remove)
    r = subprocess.run(["wineboot", "--init"], stdin=subprocess.DEVNULL, capture_output=True, timeout=300)
    if r.returncode != 0:
        raise WineSetupError(f"wineboot --init failed: {r.stderr.decode(errors='replace')[-2000:]}")


def _point_appdata():
    root = tempfile.mkdtemp(prefix="vantor-wine-profile-")
    atexit.register(shutil.rmtree, root, True)
    folder = os.path.join(root, APPDATA_NAME)
    os.mkdir(folder)
    value = windows_path(folder)
    # The shell folder decides %APPDATA% of every later Wine session; the
    # volatile environment is what the running session hands new processes.
    _wine("reg", "add", SHELL_FOLDERS, "/v", "AppData", "/t", "REG_EXPAND_SZ", "/d", value, "/f")
    _wine("reg", "add", VOLATILE, "/v", "APPDATA", "/t", "REG_SZ", "/d", value, "/f")
    _State.appdata = folder


def _write_launcher(command):
    folder = tempfile.mkdtemp(prefix="vantor-wine-bin-")
    atexit.register(shutil.rmtree, folder, True)
    path = os.path.join(folder, "vantor")
    with open(path, "w") as f:
        f.write("#!/bin/sh\nexec " + " ".join(shlex.quote(w) for w in command) + ' "$@"\n')
    os.chmod(path, 0o755)
    return path


def setup():
    """Prepares the environment once per process: Wine prefix, %APPDATA%,
    the launcher behind VANTOR_BIN and the Linux test peers."""
    if _State.ready:
        return
    env = os.environ
    # The program must find its configuration through %APPDATA%, not through
    # a folder a developer's shell may have set.
    env.pop("VANTOR_CONFIG_DIR", None)
    override = env.get("VANTOR_WINE_COMMAND")
    if override:
        _State.native = True
        command = shlex.split(override)
    else:
        exe = exe_path()
        if not os.path.isfile(exe):
            raise WineSetupError(f"{exe} not found: run scripts/build-windows.sh or set VANTOR_EXE")
        if not shutil.which("wine"):
            raise WineSetupError("wine is missing: run scripts/build-windows.sh")
        env["WINEDEBUG"] = "-all"
        env.setdefault("WINEARCH", "win64")
        env["WINEDLLOVERRIDES"] = "mscoree,mshtml="
        # Wine turns arguments and the environment from Unix text into UTF-16
        # by the locale's charset: UTF-8, so that names outside ASCII survive.
        env["LANG"] = "C.UTF-8"
        env.pop("LC_ALL", None)
        for name in ("DISPLAY", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        _boot_prefix()
        _point_appdata()
        command = ["wine", exe]
    env["VANTOR_BIN"] = _write_launcher(command)
    # The test peers (ssr-test-server) are Linux programs of the Linux build.
    if not env.get("SSR_TEST_SERVER"):
        env["SSR_TEST_SERVER"] = os.path.join(linux_build_dir(), "tests", "peers", "ssr_server", "ssr-test-server")
    _State.ready = True


def start_service(test, node, timeout=60.0):
    """`vantor serve --node NODE` on a free port; stopped at the test's end
    with Ctrl+C (SIGINT, which Wine hands the program as a console control
    event), and it must exit cleanly."""
    setup()
    svc = peers.VantorService(node, port=peers.free_port(), timeout=timeout)
    test.addCleanup(stop_service, svc)
    return svc


def stop_service(svc):
    if svc.proc.poll() is None:
        svc.signal(2)
        svc.wait(20)
    svc.stop()
