#!/usr/bin/python3
"""Fault drills of cv-captured: each prints PASS or FAIL, what it did and what was lost.

    drills.py BUILD_DIR STREAM

One daemon (master and worker, as in production) records three channels sent from 127.0.0.1 at
about 2 Mbit/s each, the third on a small tmpfs of its own (the script re-runs itself under
`unshare -m`, so the mount is private). Its SOAP server carries /metrics and the capture-list
request, which also comes over a cv-bus server. Exit status 1 when a drill failed.
"""
import os, re, shutil, signal, socket, subprocess, sys, tempfile, threading, time, urllib.request

if os.geteuid() != 0 or not shutil.which("unshare"):
    sys.exit(print("SKIP: the drills need root and unshare, for a private tmpfs"))
if not os.environ.get("CV_DRILLS_NS"):
    os.environ["CV_DRILLS_NS"] = "1"
    os.execvp("unshare", ["unshare", "-m", "--propagation", "private", sys.executable] + sys.argv)

build, stream = sys.argv[1], sys.argv[2]
tools = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
work = tempfile.mkdtemp()
failed = []
RATE = 1316 * 200  # bytes a second per channel


def report(name, ok, text):
    print(("PASS" if ok else "FAIL") + ": " + name + ": " + text, flush=True)
    if not ok:
        failed.append(name)


def free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def until(condition, seconds):
    end = time.time() + seconds
    while time.time() < end:
        if condition():
            return True
        time.sleep(0.05)
    return condition()


def get(path, timeout=3):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{soap}{path}", timeout=timeout) as r:
            return r.status, r.read().decode()
    except Exception as error:  # refused, reset, timeout: the caller judges
        return getattr(error, "code", 0), ""


LIST = ("<e:Envelope xmlns:e='http://schemas.xmlsoap.org/soap/envelope/'><e:Body>"
        "<cv:capture-list-request xmlns:cv='urn:corvid:capture:1'/></e:Body></e:Envelope>")


def soap_list(timeout=3):
    request = urllib.request.Request(f"http://127.0.0.1:{soap}/capture-list", LIST.encode())
    try:
        with urllib.request.urlopen(request, timeout=timeout) as r:
            return r.status == 200 and "ch0" in r.read().decode()
    except Exception:
        return False


def metric(name, capture):
    match = re.search(name + r'\{capture="' + capture + r'"\} (\S+)', get("/metrics")[1])
    return float(match.group(1)) if match else -1


def master():
    return int(open(pidfile).read().split()[0])


def worker():
    with open(f"/proc/{master()}/task/{master()}/children") as f:
        children = f.read().split()
    return int(children[0]) if children else 0


def rss_kb(pid):
    return int(re.search(r"VmRSS:\s+(\d+)", open(f"/proc/{pid}/status").read()).group(1))


def written(channel):
    folder = os.path.join(disk if channel == 2 else work, "")
    return sum(os.path.getsize(folder + n) for n in os.listdir(folder)
               if n.startswith(f"ch{channel}.") and n.endswith(".ts"))


# A cv-bus server, the storage of the third channel, the configuration.
bus_port = free_port()
def start_bus():
    return subprocess.Popen([sys.executable, os.path.join(tools, "cv-bus", "cv-bus"), "serve",
                             "--port", str(bus_port)], stdout=subprocess.PIPE, text=True)
bus = start_bus()
bus.stdout.readline()
disk = os.path.join(work, "small")
os.mkdir(disk)
subprocess.run(["mount", "-t", "tmpfs", "-o", "size=32m", "tmpfs", disk], check=True)
soap, ports = free_port(), [free_port(socket.SOCK_DGRAM) for _ in range(3)]
pidfile, log, config = (os.path.join(work, n) for n in ("cv.pid", "cv.log", "cv.cfg.xml"))
captures = "".join(
    f"<capture id='ch{i}'><source address='127.0.0.1' port='{p}'/>"
    + (f"<file prefix='{disk}/'/>" if i == 2 else "") + "</capture>" for i, p in enumerate(ports))
good_config = f"""<captured><background daemon='yes'/><log file='{log}' level='2'/>
<daemon><pid file='{pidfile}'/></daemon><watchdog restart='yes' first-delay='1' ceiling='2'/>
<captures><default><file prefix='{work}/'/><index suffix='.cvi2'/>
<segment length='1 hour'/></default>{captures}</captures>
<soap><server address='127.0.0.1' port='{soap}'/><http metrics='yes' hls='yes'/></soap>
<trellis><server host='127.0.0.1' port='{bus_port}'/></trellis>
<messages><capture-list><soap url='/capture-list'/><trellis subject='capture.list'/></capture-list>
</messages></captured>"""
open(config, "w").write(good_config)
subprocess.run([os.path.join(build, "bin", "cv-captured"), config], check=True)
if not until(lambda: get("/metrics")[0] == 200, 5):
    sys.exit("FAIL: the daemon did not start: " + open(log).read())

# Three channels, each at RATE, the bytes sent counted.
data = open(stream, "rb").read()
data = data[: len(data) // 1316 * 1316]
sent = [0, 0, 0]
sending = True
def send():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        at, next_time = 0, time.time()
        while sending:
            for i, p in enumerate(ports):
                s.sendto(data[at:at + 1316], ("127.0.0.1", p))
                sent[i] += 1316
            at = (at + 1316) % len(data)
            next_time += 1316 / RATE
            time.sleep(max(0, next_time - time.time()))
threading.Thread(target=send, daemon=True).start()

try:
    # 1. The worker killed while recording.
    time.sleep(2)
    before = [sent[i] - written(i) for i in range(3)]
    old = worker()
    os.kill(old, signal.SIGKILL)
    back = until(lambda: worker() not in (0, old) and metric("cv_capture_datagrams_total", "ch0") > 0, 10)
    time.sleep(2)
    gaps = [(sent[i] - written(i) - before[i]) / RATE for i in range(3)]
    indexes = [os.path.join(f, n) for f in (work, disk) for n in os.listdir(f) if n.endswith(".cvi2")]
    dumps = {n: subprocess.run([os.path.join(build, "bin", "cv-index"), "dump", n],
                               capture_output=True, text=True) for n in indexes}
    unreadable = ["%s, %d bytes of %d-byte segment" % (os.path.basename(n), os.path.getsize(n),
                  os.path.getsize(n[:-5])) for n, r in dumps.items() if r.returncode]
    report("worker SIGKILL", back and max(gaps) < 5 and not unreadable,
           "gap per channel %s s (restart delay 1 s); %d indexes, unreadable: %s" % (
               ", ".join("%.2f" % g for g in gaps), len(indexes), unreadable or "none"))

    # 2. The file system under the third channel full, then freed.
    filler = os.path.join(disk, "filler")
    subprocess.run(["dd", "if=/dev/zero", "of=" + filler, "bs=1M", "count=64"], capture_output=True)
    errors, size = metric("cv_capture_write_errors_total", "ch2"), written(2)
    time.sleep(2)
    full_errors = metric("cv_capture_write_errors_total", "ch2") - errors
    os.remove(filler)
    mark = written(2)
    grew = until(lambda: written(2) > mark + RATE, 5)
    report("file system full", grew and written(0) > 0,
           "write errors while full: %d; about %.1f s of ch2 lost; recording again: %s" % (
               full_errors, (sent[2] - size - (written(2) - size)) / RATE - gaps[2], grew))

    # 3. The bus server killed and started again while requests are sent.
    def bus_list():
        return subprocess.run([sys.executable, os.path.join(tools, "cv-bus", "cv-bus"), "request",
                               "--server", f"127.0.0.1:{bus_port}", "--timeout", "1",
                               "capture.list.request",
                               "<cv:capture-list-request xmlns:cv='urn:corvid:capture:1'/>"],
                              capture_output=True, text=True).returncode == 0
    ok_before = until(bus_list, 5)
    bus.kill(); bus.wait()
    soap_during = soap_list()
    time.sleep(1)
    bus = start_bus(); bus.stdout.readline()
    started = time.time()
    again = until(bus_list, 15)
    report("bus server killed", ok_before and again and soap_during,
           "bus requests answered again %.1f s after the server came back; SOAP during: %s" % (
               time.time() - started, soap_during))

    # 4. SIGHUP with a broken configuration.
    open(config, "w").write("<captured><captures>")
    os.kill(master(), signal.SIGHUP)
    time.sleep(1)
    count = metric("cv_capture_datagrams_total", "ch1")
    alive = until(lambda: metric("cv_capture_datagrams_total", "ch1") > count, 3) and soap_list()
    report("SIGHUP, broken configuration", alive, "still recording and answering: %s" % alive)
    open(config, "w").write(good_config)

    # 5. Hostile requests among good ones; the worker's memory before and after.
    segment = sorted(n for n in os.listdir(work) if n.startswith("ch0.") and n.endswith(".ts"))[0]
    hostile = [b"GARBAGE\r\n\r\n", b"GET / HTTP/1.1\r\n" + b"X: " + b"y" * 70000 + b"\r\n\r\n",
               b"GET /metrics HTTP/9.9\r\n\r\n", b"\x00\xff" * 300,
               b"POST /capture-list HTTP/1.1\r\nContent-Length: 5\r\n\r\n<<<<<",
               b"POST /capture-list HTTP/1.1\r\nContent-Length: 99999999\r\n\r\nxx",
               b"POST /capture-list HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nfffffffffff\r\n",
               b"GET /hls/ch0/../../../etc/passwd HTTP/1.1\r\n\r\n",
               b"GET /hls/ch0/" + segment.encode() + b" HTTP/1.1\r\nRange: bytes=9-1\r\n\r\n",
               b"GET /hls/ch0/" + segment.encode() + b" HTTP/1.1\r\nRange: bytes=-0,1-\r\n\r\n",
               b"GET /hls/ch0.m3u8?start=" + b"9" * 5000 + b" HTTP/1.1\r\n\r\n",
               b"POST /capture-list HTTP/1.1\r\nContent-Length: 60\r\n\r\n<e:Envelope xmlns:e='x'><e:Body><a/></e:Body></e:Envelope>"]
    def raw(payload):
        try:
            with socket.create_connection(("127.0.0.1", soap), timeout=3) as s:
                s.sendall(payload)
                s.shutdown(socket.SHUT_WR)
                while s.recv(65536):
                    pass
        except OSError:
            pass
    def round_of(n):
        bad_good = 0
        for k in range(n):
            if k % 10 == 9:
                bad_good += not (soap_list() and get("/metrics")[0] == 200)
            else:
                raw(hostile[k % len(hostile)])
        return bad_good
    round_of(100)  # workers and buffers at their working size
    rss_before = rss_kb(worker())
    wrong = round_of(1000)
    rss_after = rss_kb(worker())
    report("1000 hostile requests", wrong == 0 and rss_after < rss_before + 4096,
           "%d of 100 good requests answered wrong; worker memory %d kB before, %d kB after" % (
               wrong, rss_before, rss_after))
finally:
    sending = False
    try:
        os.kill(master(), signal.SIGTERM)
        until(lambda: not os.path.exists(pidfile), 5)
    except (OSError, ValueError):
        pass
    bus.kill()
    subprocess.run(["umount", disk])
    shutil.rmtree(work, ignore_errors=True)
sys.exit(1 if failed else 0)
