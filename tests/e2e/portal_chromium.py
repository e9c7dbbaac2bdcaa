"""The whole road in a real browser: Chromium logs in to the reference server's
portal, clicks client links, the desktop starts the registered client and the
running client carries the command out.

Needs chromium, chromedriver, Xvfb, xdg-utils and python3-selenium; skips with
one line (exit 77) when they are missing or Chromium cannot run. The managed
policy that lets the portal start the client without a prompt is written only
when running as root, and removed again at the end.

Environment: ZUDIVUVO_BIN_DIR (ZuDivuvo and zudivuvo-server), optionally
ZUDIVUVO_SCREENSHOTS (a folder for the portal and client pictures) and
ZUDIVUVO_INSTALLED=1 (the client comes from the installed package, whose
desktop entry is the link handler).
"""
import glob
import json
import os
import shutil
import signal
import socket
import sqlite3
import subprocess
import sys
import tempfile
import time

SKIP = 77
SYSTEM_PYTHON = "/usr/bin/python3"  # Debian's, where python3-selenium lives

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    if os.path.realpath(sys.executable) != os.path.realpath(SYSTEM_PYTHON) and os.access(SYSTEM_PYTHON, os.X_OK):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    print("SKIP: python3-selenium is not installed")
    sys.exit(SKIP)


def skip(reason):
    print("SKIP: " + reason)
    sys.exit(SKIP)


def wait_for(what, test, timeout=30.0):
    """Polls test() until it gives a true value; the processes we watch send no signal we could wait on."""
    end = time.monotonic() + timeout
    while True:
        value = test()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.1)


class Road:
    def __init__(self):
        self.procs = []
        self.policy = None
        self.root = tempfile.mkdtemp(prefix="zudivuvo-portal-")
        self.shots = os.environ.get("ZUDIVUVO_SCREENSHOTS", "")
        self.bin = os.environ.get("ZUDIVUVO_BIN_DIR", "")

    # -- set-up -------------------------------------------------------------
    def environment(self):
        env = dict(os.environ)
        for sub in ("home", "data", "config", "runtime", "cache", "home/bin"):
            os.makedirs(os.path.join(self.root, sub), exist_ok=True)
        os.chmod(os.path.join(self.root, "runtime"), 0o700)
        env.update(HOME=self.path("home"), XDG_DATA_HOME=self.path("data"), XDG_CONFIG_HOME=self.path("config"),
                   XDG_RUNTIME_DIR=self.path("runtime"), XDG_CACHE_HOME=self.path("cache"),
                   QT_LOGGING_RULES="zudivuvo.web.info=true", QT_QPA_PLATFORM="xcb")
        for name in ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "GNOME_DESKTOP_SESSION_ID", "KDE_FULL_SESSION",
                     "DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        self.env = env

    def path(self, *parts):
        return os.path.join(self.root, *parts)

    def start(self, args, log, **kw):
        out = open(self.path(log), "wb")
        p = subprocess.Popen(args, env=self.env, stdout=out, stderr=subprocess.STDOUT, **kw)
        self.procs.append(p)
        return p

    def display(self):
        read, write = os.pipe()
        self.start(["Xvfb", "-displayfd", str(write), "-screen", "0", "1280x800x24", "-nolisten", "tcp"],
                   "xvfb.log", pass_fds=(write,))
        os.close(write)
        number = b""
        while not number.endswith(b"\n"):
            chunk = os.read(read, 16)
            if not chunk:
                skip("Xvfb did not start")
            number += chunk
        os.close(read)
        self.env["DISPLAY"] = ":" + number.decode().strip()

    def server(self):
        data = self.path("server")
        p = self.start([os.path.join(self.bin, "zudivuvo-server"), "--data", data, "--port", "0", "--seed", "demo"],
                       "server.log")
        line = wait_for("the server", lambda: open(self.path("server.log")).readline().strip()
                        if "listening" in open(self.path("server.log")).read() else None)
        self.port = int(line.rsplit(":", 1)[1])
        self.data = data
        assert p.poll() is None
        self.origin = "http://127.0.0.1:%d" % self.port

    def client(self):
        exe = os.path.join(self.bin, "ZuDivuvo")
        # An installed package registers its handler for everyone; a build tree registers as a user would.
        expected = "zudivuvo.desktop" if os.environ.get("ZUDIVUVO_INSTALLED") == "1" else "zudivuvo-url.desktop"
        if expected == "zudivuvo-url.desktop":
            subprocess.run([exe, "-r"], env=self.env, check=True, timeout=30)
        handler = subprocess.run(["xdg-mime", "query", "default", "x-scheme-handler/zudivuvo"], env=self.env,
                                 capture_output=True, text=True, timeout=30).stdout.strip()
        assert handler == expected, "xdg-mime does not know the client: %r" % handler
        # Opening a plain text only records what was opened.
        recorder = self.path("home", "bin", "record-open")
        with open(recorder, "w") as f:
            f.write("#!/bin/sh\nprintf '%%s\\n' \"$1\" > '%s'\n" % self.path("opened.txt"))
        os.chmod(recorder, 0o755)
        os.makedirs(self.path("data", "applications"), exist_ok=True)
        with open(self.path("data", "applications", "record-open.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Record\nExec=%s %%f\nMimeType=text/plain;\n" % recorder)
        subprocess.run(["xdg-mime", "default", "record-open.desktop", "text/plain"], env=self.env, timeout=30)
        identity = subprocess.run([os.path.join(self.bin, "zudivuvo-server"), "--data", self.data, "web-session", "demo"],
                                  env=self.env, capture_output=True, text=True, check=True, timeout=30).stdout.strip()
        self.start([exe, "-s 127.0.0.1#%d#0 -u %s" % (self.port, identity)], "client.log")
        wait_for("the client's instance channel",
                 lambda: os.path.exists(self.path("runtime", "OnlyInstanceForZuDivuvo")), 20)

    def allow_links(self):
        if os.geteuid() != 0:
            skip("the portal's links need the managed Chromium policy, written only when running as root")
        folder = "/etc/chromium/policies/managed"
        # Folders we make go again at the end, with the file: nothing machine-wide stays behind.
        self.made = []
        parent = folder
        while not os.path.isdir(parent):
            self.made.insert(0, parent)
            parent = os.path.dirname(parent)
        os.makedirs(folder, exist_ok=True)
        self.policy = os.path.join(folder, "zudivuvo-e2e-%d.json" % os.getpid())
        with open(self.policy, "w") as f:
            json.dump({"AutoLaunchProtocolsFromOrigins": [
                {"protocol": "zudivuvo", "allowed_origins": [self.origin]}]}, f)

    def browser(self):
        chromium = shutil.which("chromium")
        driver = shutil.which("chromedriver")
        if not chromium or not driver:
            skip("chromium or chromedriver is not installed")
        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for arg in ("--no-first-run", "--password-store=basic", "--disable-gpu", "--window-size=1280,800",
                    "--window-position=0,0", "--user-data-dir=" + self.path("chromium")):
            options.add_argument(arg)
        if os.geteuid() == 0:
            options.add_argument("--no-sandbox")
        # Chromium and the xdg-open it starts see the test's home and display.
        os.environ.update(self.env)
        try:
            self.driver = webdriver.Chrome(service=Service(driver), options=options)
        except Exception as e:  # noqa: BLE001 - any start failure means Chromium cannot run here
            skip("Chromium cannot run: %s" % str(e).splitlines()[0])
        self.driver.set_page_load_timeout(30)

    # -- helpers ------------------------------------------------------------
    def shot(self, name):
        if not self.shots:
            return
        os.makedirs(self.shots, exist_ok=True)
        if name.startswith("portal"):
            self.driver.save_screenshot(os.path.join(self.shots, name + ".png"))
        elif shutil.which("import"):
            subprocess.run(["import", "-window", "root", os.path.join(self.shots, name + ".png")], env=self.env,
                           timeout=30)

    def client_log(self):
        with open(self.path("client.log"), errors="replace") as f:
            return f.read()

    def decision(self, code):
        """The dispatcher's answer to a command: 'done' or 'refused:<text>'."""
        def find():
            for line in self.client_log().splitlines():
                marker = "web command %d " % code
                if marker in line and ("done" in line or "refused:" in line):
                    return line.split(marker, 1)[1]
            return None
        return wait_for("the client's answer to command %d" % code, find, 30)

    def server_bytes(self, name):
        db = sqlite3.connect("file:%s?mode=ro" % os.path.join(self.data, "zudivuvo.db"), uri=True)
        blob = db.execute("SELECT v.blob FROM versions v JOIN files f ON f.key=v.file_key WHERE f.name=?"
                          " ORDER BY v.ver DESC LIMIT 1", (name,)).fetchone()[0]
        db.close()
        path = glob.glob(os.path.join(self.data, "blobs", "*", blob))[0]
        with open(path, "rb") as f:
            return f.read()

    def row(self, name):
        for tr in self.driver.find_elements(By.CSS_SELECTOR, "tbody tr"):
            if tr.find_elements(By.CSS_SELECTOR, "td.name") and tr.find_element(By.CSS_SELECTOR, "td.name").text == name:
                return tr
        raise AssertionError("no row for " + name)

    def click_action(self, name, code, label):
        link = [a for a in self.row(name).find_elements(By.CSS_SELECTOR, 'a[data-code="%d"]' % code) if a.text == label][0]
        href = link.get_attribute("href")
        assert href.lower().startswith("zudivuvo:%20-p%20[code]"), href
        link.click()

    # -- the road -----------------------------------------------------------
    def run(self):
        if not self.bin:
            skip("ZUDIVUVO_BIN_DIR is not set")
        for tool in ("Xvfb", "xdg-open", "xdg-mime"):
            if not shutil.which(tool):
                skip(tool + " is not installed")
        self.environment()
        self.display()
        self.server()
        self.allow_links()
        self.browser()
        self.client()
        d = self.driver

        d.get(self.origin + "/portal")
        d.find_element(By.NAME, "name").send_keys("demo")
        d.find_element(By.NAME, "password").send_keys("demo")
        d.find_element(By.CSS_SELECTOR, "form.login button").click()
        WebDriverWait(d, 15).until(lambda drv: drv.find_elements(By.LINK_TEXT, "Personal"))
        d.find_element(By.LINK_TEXT, "Personal").click()
        WebDriverWait(d, 15).until(lambda drv: drv.find_elements(By.CSS_SELECTOR, "td.name"))
        self.shot("portal-file-list")

        # (a) "Open": command 14 brings the server's bytes into the client's temp folder.
        expected = self.server_bytes("Todo.txt")
        self.click_action("Todo.txt", 14, "Open")
        copy = self.path("data", "Kv", "Temp", "Todo_qx.txt")
        wait_for("the downloaded copy", lambda: os.path.exists(copy) and open(copy, "rb").read() == expected, 30)
        answer = self.decision(14)
        opened = self.path("opened.txt")
        wait_for("the copy to be opened", lambda: os.path.exists(opened) and os.path.getsize(opened) > 0, 15)
        assert open(opened).read().strip().endswith("Todo_qx.txt"), open(opened).read()
        assert answer == "done", answer
        print("open: copy downloaded and opened")

        # A name with blanks travels as "##" through the browser and the desktop.
        d.find_element(By.LINK_TEXT, "Notes").click()
        WebDriverWait(d, 15).until(lambda drv: drv.find_elements(By.XPATH, '//td[@class="name"][text()="Meeting notes.txt"]'))
        expected = self.server_bytes("Meeting notes.txt")
        self.click_action("Meeting notes.txt", 14, "Open")
        copy = self.path("data", "Kv", "Temp", "Meeting notes_qx.txt")
        wait_for("the copy of a name with blanks", lambda: os.path.exists(copy) and open(copy, "rb").read() == expected, 30)
        print("open: a name with blanks arrived whole")
        d.back()
        WebDriverWait(d, 15).until(lambda drv: drv.find_elements(By.XPATH, '//td[@class="name"][text()="Todo.txt"]'))

        # (b) Bulk download of ticked files and preview: the hand-off arrives and the dispatcher decides.
        for name in ("Todo.txt",):
            self.row(name).find_element(By.CSS_SELECTOR, 'input[type="checkbox"]').click()
        d.find_element(By.XPATH, '//button[text()="Bulk download"]').click()
        WebDriverWait(d, 15).until(lambda drv: drv.find_elements(By.CSS_SELECTOR, 'a[data-code="25"]'))
        d.find_element(By.CSS_SELECTOR, 'a[data-code="25"]').click()
        answer = self.decision(25)
        assert answer == "done" or "not available yet" in answer, answer
        print("bulk download: " + answer)

        d.back()
        WebDriverWait(d, 15).until(lambda drv: drv.find_elements(By.CSS_SELECTOR, "td.name"))
        self.click_action("Todo.txt", 13, "Preview")
        answer = self.decision(13)
        assert answer == "done" or "not available yet" in answer, answer
        print("preview: " + answer)
        self.shot("client-after-portal-click")

    def close(self):
        if getattr(self, "driver", None):
            try:
                self.driver.quit()
            except Exception:  # noqa: BLE001
                pass
        if self.policy and os.path.exists(self.policy):
            os.remove(self.policy)
        for folder in reversed(getattr(self, "made", [])):
            try:
                os.rmdir(folder)
            except OSError:
                pass
        # The client ends on its exit message; then everything else we started.
        channel = self.path("runtime", "OnlyInstanceForZuDivuvo")
        if os.path.exists(channel):
            try:
                s = socket.socket(socket.AF_UNIX)
                s.connect(channel)
                s.sendall(b"1136 0 0\n")
                s.close()
            except OSError:
                pass
        for p in reversed(self.procs):
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(10)
                except subprocess.TimeoutExpired:
                    p.kill()
        if os.environ.get("ZUDIVUVO_KEEP_PORTAL_RUN"):
            print("kept: " + self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)


def main():
    # A time-out of the test runner ends us with SIGTERM: clean up all the same.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    road = Road()
    try:
        road.run()
    except AssertionError as e:
        print("FAIL: %s" % e)
        for log in ("client.log", "server.log"):
            p = road.path(log)
            if os.path.exists(p):
                print("--- " + log)
                print(open(p, errors="replace").read()[-4000:])
        return 1
    finally:
        road.close()
    print("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
