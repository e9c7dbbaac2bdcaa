"""Installs the two Debian packages on this machine, starts the server through its
unit (or its command line where systemd does not run), opens a portal link with
xdg-open through the installed handler, checks that the installed client carried
the command out, and removes the packages again, leaving nothing behind.

Runs only as root and only when asked (ZUDIVUVO_INSTALL_TEST=1, as scripts/test.sh
does), because it changes the machine; skips with one line (exit 77) otherwise.
Environment: ZUDIVUVO_PACKAGES_DIR (the .deb files), ZUDIVUVO_SOURCE_DIR.
"""
import glob
import html
import http.cookiejar
import os
import re
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

SKIP = 77
DATA = "/var/lib/zudivuvo-server"
DEFAULTS = "/etc/default/zudivuvo-server"


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(SKIP)


def wait_for(what, test, timeout=30.0):
    """Polls test(); the installed programs give no signal we could wait on."""
    end = time.monotonic() + timeout
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


def run(args, **kw):
    kw.setdefault("timeout", 600)
    return subprocess.run(args, check=True, **kw)


def installed(name):
    r = subprocess.run(["dpkg-query", "-W", "-f=${Status}", name], capture_output=True, text=True)
    return r.returncode == 0 and "install ok installed" in r.stdout


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Install:
    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="zudivuvo-install-")
        self.procs = []
        self.installed = False
        self.systemd = os.path.isdir("/run/systemd/system")
        self.defaults = None

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def check_preconditions(self):
        if os.environ.get("ZUDIVUVO_INSTALL_TEST") != "1":
            skip("installing packages changes the machine; scripts/test.sh sets ZUDIVUVO_INSTALL_TEST=1")
        if os.geteuid() != 0:
            skip("installing packages needs root")
        folder = os.environ.get("ZUDIVUVO_PACKAGES_DIR", "")
        self.debs = sorted(glob.glob(os.path.join(folder, "zudivuvo*_amd64.deb")))
        if len(self.debs) != 2:
            skip("no packages in %r: run scripts/package.sh first" % folder)
        for name in ("zudivuvo", "zudivuvo-server"):
            if installed(name):
                skip(name + " is installed already; this test installs and removes its own")
        for tool in ("xdg-open", "xdg-mime", "apt-get", "runuser", "Xvfb"):
            if not shutil.which(tool):
                skip(tool + " is not installed")

    def install(self):
        self.installed = True
        run(["apt-get", "install", "-y", "--no-install-recommends", "-o", "DPkg::Lock::Timeout=300"] + self.debs,
            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL)
        for name in ("/usr/bin/ZuDivuvo", "/usr/bin/zudivuvo-cli", "/usr/bin/zudivuvo-server",
                     "/usr/share/applications/zudivuvo.desktop", "/usr/share/icons/hicolor/scalable/apps/zudivuvo.svg",
                     "/usr/share/man/man1/zudivuvo-cli.1.gz", "/usr/share/man/man1/ZuDivuvo.1.gz",
                     "/usr/lib/systemd/user/zudivuvo-tasks.service", "/lib/systemd/system/zudivuvo-server.service",
                     DEFAULTS):
            assert os.path.exists(name), name + " was not installed"
        assert os.stat(DATA).st_uid == int(run(["id", "-u", "zudivuvo-server"], capture_output=True, text=True).stdout), \
            "the data folder does not belong to the service's user"
        print("installed: " + ", ".join(os.path.basename(d) for d in self.debs))

    def environment(self):
        env = dict(os.environ)
        for sub in ("home", "data/applications", "config", "runtime", "cache", "bin"):
            os.makedirs(self.path(sub), exist_ok=True)
        os.chmod(self.path("runtime"), 0o700)
        env.update(HOME=self.path("home"), XDG_DATA_HOME=self.path("data"), XDG_CONFIG_HOME=self.path("config"),
                   XDG_RUNTIME_DIR=self.path("runtime"), XDG_CACHE_HOME=self.path("cache"),
                   QT_LOGGING_RULES="zudivuvo.web.info=true", QT_QPA_PLATFORM="xcb")
        for name in ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION",
                     "DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "DISPLAY", "XDG_DATA_DIRS"):
            env.pop(name, None)
        self.env = env
        self.display()
        # The package's own entry answers for the scheme: nothing was registered by hand.
        handler = run(["xdg-mime", "query", "default", "x-scheme-handler/zudivuvo"], env=env,
                      capture_output=True, text=True).stdout.strip()
        assert handler == "zudivuvo.desktop", "xdg-mime does not know the installed handler: %r" % handler
        # Opening a plain text only records what was opened.
        recorder = self.path("bin", "record-open")
        with open(recorder, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" > '%s'\n" % self.path("opened.txt"))
        os.chmod(recorder, 0o755)
        with open(self.path("data", "applications", "record-open.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Record\nExec=%s %%f\nMimeType=text/plain;\n" % recorder)
        run(["xdg-mime", "default", "record-open.desktop", "text/plain"], env=env)

    def display(self):
        # xdg-open hands links and files to desktop entries only where a display exists.
        read, write = os.pipe()
        p = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(write,))
        self.procs.append(p)
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                raise AssertionError("Xvfb did not start")
            number += chunk
        os.close(read)
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def server(self):
        if self.systemd:
            self.port = free_port()
            with open(DEFAULTS) as f:
                self.defaults = f.read()
            with open(DEFAULTS, "w") as f:
                f.write('ZUDIVUVO_SERVER_ARGS="--listen 127.0.0.1 --port %d --seed demo"\n' % self.port)
            run(["systemctl", "restart", "zudivuvo-server.service"])
            wait_for("the server's port", self.port_open, 30)
            how = "its systemd unit"
        else:
            log = open(self.path("server.log"), "wb")
            p = subprocess.Popen(["runuser", "-u", "zudivuvo-server", "--", "/usr/bin/zudivuvo-server", "--data", DATA,
                                  "--port", "0", "--seed", "demo"], stdout=log, stderr=subprocess.STDOUT)
            self.procs.append(p)
            line = wait_for("the server", lambda: next((l for l in open(self.path("server.log")) if "listening" in l), None))
            self.port = int(line.strip().split(":")[-1].split()[0])
            how = "its command line as the service's user (no systemd here)"
        self.origin = "http://127.0.0.1:%d" % self.port
        print("server: started through " + how)

    def port_open(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 0.5).close()
            return True
        except OSError:
            return False

    def server_bytes(self, name):
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(DATA, "zudivuvo.db"), uri=True)
        blob = db.execute("SELECT v.blob FROM versions v JOIN files f ON f.key=v.file_key WHERE f.name=?"
                          " ORDER BY v.ver DESC LIMIT 1", (name,)).fetchone()[0]
        db.close()
        with open(glob.glob(os.path.join(DATA, "blobs", "*", blob))[0], "rb") as f:
            return f.read()

    def open_link(self, link, wait=True):
        # Without a desktop session xdg-open runs the handler in its place: it ends when the
        # handler does, which for the first launch is when the resident client exits.
        log = open(self.path("client.log"), "ab")
        p = subprocess.Popen(["xdg-open", link], env=self.env, stdout=log, stderr=subprocess.STDOUT)
        self.procs.append(p)
        if wait:
            assert p.wait(60) == 0, "xdg-open could not hand the link over: see the client log"

    def client_pid(self):
        for pid in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.readlink("/proc/%s/exe" % pid) != "/usr/bin/ZuDivuvo":
                    continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if ("HOME=" + self.path("home")).encode() in f.read().split(b"\0"):
                        return int(pid)
            except OSError:
                pass
        return None

    def portal_link(self, file_name, code, label):
        jar = http.cookiejar.CookieJar()
        web = urllib.request.build_opener(urllib.request.HTTPCookieProcessor(jar))
        web.open(self.origin + "/portal/login", urllib.parse.urlencode({"name": "demo", "password": "demo"}).encode(), 30)
        page = web.open(self.origin + "/portal", timeout=30).read().decode()
        personal = re.search(r'<a href="([^"]+)">Personal</a>', page)
        assert personal, "the portal shows no Personal folder"
        page = web.open(self.origin + html.unescape(personal.group(1)), timeout=30).read().decode()
        for row in page.split("<tr")[1:]:
            if '<td class="name">%s</td>' % html.escape(file_name) in row:
                found = re.search(r'<a class="act" data-code="%d" href="([^"]+)"[^>]*>%s</a>' % (code, label), row)
                assert found, "no %s link for %s" % (label, file_name)
                return html.unescape(found.group(1))
        raise AssertionError("no row for " + file_name)

    def client(self):
        identity = run(["runuser", "-u", "zudivuvo-server", "--", "/usr/bin/zudivuvo-server", "--data", DATA,
                        "web-session", "demo"], capture_output=True, text=True).stdout.strip()
        # What a web page hands over: the server and the session, through the desktop's handler.
        self.open_link("ZuDivuvo:%%20-s%%20127.0.0.1#%d#0%%20-u%%20%s" % (self.port, identity), wait=False)
        pid = wait_for("the installed client to start", self.client_pid, 30)
        wait_for("the client's instance channel", lambda: os.path.exists(self.path("runtime", "OnlyInstanceForZuDivuvo")), 30)
        print("client: /usr/bin/ZuDivuvo started by xdg-open (pid %d)" % pid)

        expected = self.server_bytes("Todo.txt")
        link = self.portal_link("Todo.txt", 14, "Open")
        assert link.lower().startswith("zudivuvo:%20-p%20[code]14[/code]"), link
        self.open_link(link)
        copy = self.path("data", "Kv", "Temp", "Todo_qx.txt")
        wait_for("the copy the client downloads", lambda: os.path.exists(copy) and open(copy, "rb").read() == expected, 60)
        wait_for("the copy to be opened", lambda: os.path.exists(self.path("opened.txt"))
                 and open(self.path("opened.txt")).read().strip().endswith("Todo_qx.txt"), 30)
        print("link: the portal's Open link reached the running installed client, which downloaded and opened the file")

        # The viewers are a library the client loads from /usr/lib/zudivuvo at its first preview.
        maps = "/proc/%d/maps" % pid
        assert "libzudivuvo_viewers" not in open(maps).read(), "the viewers are loaded before any preview"
        self.open_link(self.portal_link("Todo.txt", 13, "Preview"))
        wait_for("the installed client to load its viewers",
                 lambda: "/usr/lib/zudivuvo/libzudivuvo_viewers.so" in open(maps).read(), 30)
        print("preview: the installed client loaded its viewers from /usr/lib/zudivuvo")

        with socket.socket(socket.AF_UNIX) as s:
            s.connect(self.path("runtime", "OnlyInstanceForZuDivuvo"))
            s.sendall(b"1136 0 0\n")
        wait_for("the client to exit", lambda: self.client_pid() is None, 30)

    def chromium(self):
        script = os.path.join(os.environ.get("ZUDIVUVO_SOURCE_DIR", ""), "tests", "e2e", "portal_chromium.py")
        if not os.path.exists(script):
            return
        r = subprocess.run([sys.executable, script], env=dict(os.environ, ZUDIVUVO_BIN_DIR="/usr/bin", ZUDIVUVO_INSTALLED="1"),
                           capture_output=True, text=True, timeout=400)
        print("chromium against the installed client: " + (r.stdout.strip().splitlines() or ["(no output)"])[-1])
        assert r.returncode in (0, SKIP), r.stdout + r.stderr

    def stop_server(self):
        if self.systemd:
            subprocess.run(["systemctl", "stop", "zudivuvo-server.service"], timeout=60)
        for p in self.procs:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(20)
                except subprocess.TimeoutExpired:
                    p.kill()

    def remove(self):
        if not self.installed:
            return
        self.installed = False
        self.stop_server()
        if self.defaults is not None:
            with open(DEFAULTS, "w") as f:
                f.write(self.defaults)
        run(["apt-get", "purge", "-y", "-o", "DPkg::Lock::Timeout=300", "zudivuvo", "zudivuvo-server"],
            env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL)
        for name in ("zudivuvo", "zudivuvo-server"):
            assert not installed(name), name + " is still installed"
        left = [p for p in ("/usr/bin/ZuDivuvo", "/usr/bin/zudivuvo-cli", "/usr/bin/zudivuvo-server", DATA, DEFAULTS,
                            "/usr/share/applications/zudivuvo.desktop", "/lib/systemd/system/zudivuvo-server.service")
                if os.path.exists(p)]
        assert not left, "left behind after purge: %s" % left
        handler = subprocess.run(["xdg-mime", "query", "default", "x-scheme-handler/zudivuvo"], env=self.env,
                                 capture_output=True, text=True).stdout.strip()
        assert handler != "zudivuvo.desktop", "the link handler is still registered"
        print("removed: nothing left behind")

    def close(self):
        try:
            self.remove()
        finally:
            self.stop_server()
            shutil.rmtree(self.root, ignore_errors=True)


def main():
    t = Install()
    t.check_preconditions()
    try:
        t.install()
        t.environment()
        t.server()
        t.client()
        t.chromium()
        t.remove()
    except Exception:
        log = t.path("client.log")
        if os.path.exists(log):
            sys.stderr.write("--- client log ---\n" + open(log, errors="replace").read()[-4000:])
        raise
    finally:
        t.close()
    print("install test passed")


if __name__ == "__main__":
    main()
