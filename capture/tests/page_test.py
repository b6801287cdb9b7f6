"""The operator's page in headless Chromium against a cv-captured that records a channel, and the
JSON view checked against the daemon's own state: its configuration, the bytes sent to it, the
files in its store and the guide data put into the stream.

usage: page_test.py CV_CAPTURED ARTIFACT_DIR (exit 77: skipped)"""
import datetime, json, os, re, socket, subprocess, sys, tempfile, threading, time
import urllib.error, urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    sys.exit('page_test: needs the Debian packages python3-selenium, chromium, chromium-driver')
for needed in ('/usr/bin/chromium', '/usr/bin/chromedriver', '/usr/bin/ffmpeg'):
    if not os.access(needed, os.X_OK):
        sys.exit(f'page_test: {needed} missing (Debian packages chromium, chromium-driver, ffmpeg)')
EITGEN = os.path.join(os.path.dirname(os.path.abspath(__file__)), '../../../shared/tools/eitgen.py')
if not os.path.isfile(EITGEN):
    print('page_test: SKIPPED, ../shared/tools/eitgen.py not found beside the repository')
    sys.exit(77)

DAEMON, ARTIFACTS = sys.argv[1], sys.argv[2]
SECONDS = 40  # of the channel: the test is over before the sender loops
# A receive timeout longer than the test keeps the capture in its file after the sender stops, so
# that the files hold still while the JSON is checked against them.
CONFIG = """<captured><background daemon="no"/><log file="{w}/captured.log" level="3"/>
  <daemon><pid file="{w}/cv.pid"/></daemon>
  <captures><disk file="{w}/captures.xml"/><storage roots="{w}/store"/>
    <default><file prefix="{w}/store/"/><index suffix=".cvi2"/><receive timeout="30 seconds"/>
      <segment length="10 seconds" count="12"/></default>{captures}</captures>
  <epg><disk file="{w}/epg.xml"/></epg>
  <soap><server address="127.0.0.1" port="{port}"/><http page="yes" hls="yes"/></soap></captured>"""
stamp = lambda text: datetime.datetime.fromisoformat(text.replace('Z', '+00:00'))
# What eitgen.py puts in the stream: title, seconds after its --start, duration.
EIT = {('News at Six', 0, 1800), ('Tatort: Größe', 1800, 3600)} | {
    (f'Programme {i}', i * 3600, 3600) for i in range(3)}


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def get(url):
    try:
        with urllib.request.urlopen(url, timeout=10) as reply:
            return reply.status, reply.read()
    except urllib.error.HTTPError as error:  # 4xx and 5xx
        return error.code, error.read()


def until(what, check, timeout=15):
    end = time.monotonic() + timeout
    while not (value := check()):
        assert time.monotonic() < end, 'timed out waiting for ' + what
        time.sleep(0.2)
    return value


def start_daemon(work, captures, processes):
    os.makedirs(work + '/store')
    port = free_port(socket.SOCK_STREAM)
    with open(work + '/captured.cfg.xml', 'w') as config:
        config.write(CONFIG.format(w=work, port=port, captures=captures))
    with open(work + '/stdout.log', 'w') as out:
        processes.append(subprocess.Popen([DAEMON, work + '/captured.cfg.xml'], stdout=out,
                                          stderr=subprocess.STDOUT))
    with socket.socket() as s:
        until(f'the daemon on port {port}', lambda: processes[-1].poll() is None and
              s.connect_ex(('127.0.0.1', port)) == 0)
    return f'http://127.0.0.1:{port}'


def send(data, port, sent, stop):
    """The channel in real time, seven packets to a datagram, looping until stop."""
    size = 7 * 188
    count = (len(data) + size - 1) // size
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        while not stop.is_set():
            begin = time.monotonic()
            for i in range(count):
                if stop.wait(max(0, begin + SECONDS * i / count - time.monotonic())):
                    return
                sent[0] += sock.sendto(data[i * size:(i + 1) * size], ('127.0.0.1', port))


def check_json(url, store, udp, t0, sent):
    listing = lambda: {f'{store}/{f}': os.path.getsize(f'{store}/{f}') for f in os.listdir(store)}
    for _ in range(3):  # a listing that no segment switch changed meanwhile
        files = listing()
        view = json.loads(get(url + '/api/captures')[1])
        if listing() == files:
            break
    [capture] = view['captures']
    assert (capture['id'], capture['permanent'], capture['external']) == ('demo', True, False)
    assert (capture['source']['address'], capture['source']['port']) == ('127.0.0.1', udp)
    assert (capture['segment_length_seconds'], capture['segment_count']) == (10, 12), capture
    assert 0 < capture['counters']['bytes'] <= sent, (capture['counters'], sent)
    segments = sorted(f for f in files if f.endswith('.ts'))
    assert [f + '.cvi2' for f in segments] == sorted(f for f in files if f.endswith('.cvi2'))
    recorded = capture['recorded']
    assert (recorded['files'], recorded['bytes']) == (len(segments), sum(files.values())), (
        recorded, files)
    named = [datetime.datetime.strptime(f[-22:-3], '%Y_%m_%d.%H_%M_%S').replace(
        tzinfo=datetime.timezone.utc) for f in segments]
    assert abs(stamp(recorded['first']) - named[0]).total_seconds() <= 1, (recorded, segments)
    assert named[-1] <= stamp(recorded['last']) <= stamp(view['now']), (recorded, segments)
    assert capture['state'] == 'recording' and capture['current_segment']['path'] in segments, (
        capture, segments)

    guide = json.loads(get(url + '/api/guide?hours=3')[1])
    [service] = guide['services']
    assert (service['capture'], service['service_id'], service['name'], service['provider']) == (
        'demo', 1, 'Demo Channel', 'Corvid'), service
    events = {(e['name'], int((stamp(e['start']) - t0).total_seconds()), e['duration_seconds'])
              for e in service['events']}
    assert events and events <= EIT, events
    on_now = [e for e in service['events']
              if stamp(e['start']) <= stamp(guide['now']) < stamp(e['end'])]
    assert on_now and all(e['capture'] for e in on_now), service['events']
    for status, query in ((400, 'guide?start=yesterday'), (400, 'guide?hours=0'),
                          (400, 'guide?hours=49'), (400, 'guide?hours=x'), (404, 'nothing'),
                          (200, 'guide?hours=48&start=2026-01-01T00:00:00Z')):
        assert get(url + '/api/' + query)[0] == status, (query, status)


def check_page(driver, url):
    driver.get(url + '/')
    row = until('the capture row', lambda: driver.find_elements(By.CSS_SELECTOR,
                                                                'tr[data-id="demo"]'))[0]
    rate = until('a bit rate', lambda: re.match(r'([\d.]+) [kM]bit/s',
                                                row.find_element(By.CLASS_NAME, 'rate').text))
    assert float(rate.group(1)) > 0, rate.group(0)
    on_now = {name for name, start, _ in EIT if start == 0}
    until(f'a playable guide event of {on_now}', lambda: on_now & {e.text for e in (
        driver.find_elements(By.CSS_SELECTOR, '[data-capture="demo"] .event.playable .title'))})
    row.find_element(By.CLASS_NAME, 'play').click()
    position = lambda: driver.execute_script('return document.getElementById("video").currentTime')
    begun = until('the video to play', position)
    until('the video to go on playing', lambda: position() >= begun + 2)
    assert (error := driver.find_element(By.ID, 'player-error').text) == '', error
    os.makedirs(ARTIFACTS, exist_ok=True)
    driver.save_screenshot(os.path.join(ARTIFACTS, 'page.png'))


def main():
    processes, stop, sent, driver = [], threading.Event(), [0], None
    with tempfile.TemporaryDirectory(prefix='page_test.') as work:
        try:
            t0 = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
            # AAC, HLS's usual audio (Chromium plays MPEG-1 Layer II through hls.js as well).
            subprocess.run(f'ffmpeg -v error -f lavfi -i testsrc2=size=320x180:duration={SECONDS} '
                           f'-f lavfi -i sine=duration={SECONDS} -c:v libx264 -threads 1 -preset '
                           'veryfast -b:v 300k -g 50 -c:a aac'.split() + [
                               '-metadata', 'service_name=Demo Channel', '-metadata',
                               'service_provider=Corvid', work + '/plain.ts'], check=True)
            subprocess.run([sys.executable, EITGEN, work + '/plain.ts', work + '/channel.ts',
                            '--sid', '1', '--start', t0.strftime('%Y-%m-%dT%H:%M:%S')],
                           check=True, stdout=subprocess.DEVNULL)
            udp = free_port(socket.SOCK_DGRAM)
            url = start_daemon(work + '/demo', f'<capture id="demo"><source address="127.0.0.1" '
                               f'port="{udp}"/></capture>', processes)
            empty = start_daemon(work + '/empty', '', processes)
            with open(work + '/channel.ts', 'rb') as channel:
                sender = threading.Thread(target=send, args=(channel.read(), udp, sent, stop))
            sender.start()

            options = webdriver.ChromeOptions()
            options.binary_location = '/usr/bin/chromium'
            for argument in ('--headless=new', '--no-sandbox', '--window-size=1280,900'):
                options.add_argument(argument)
            options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
            driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
            driver.get(empty + '/')
            until('the no-captures message', lambda: driver.find_element(By.ID, 'no-captures')
                  .is_displayed() and not driver.find_element(By.ID, 'captures').is_displayed())
            check_page(driver, url)
            severe = [e for e in driver.get_log('browser') if e['level'] == 'SEVERE']
            assert not severe, severe
            stop.set()
            sender.join()
            time.sleep(1.5)  # the writer's one-second flush
            check_json(url, work + '/demo/store', udp, t0, sent[0])
        except BaseException:
            for log in (f'{work}/{name}/stdout.log' for name in ('demo', 'empty')):
                print(os.path.exists(log) and open(log).read()[-3000:], file=sys.stderr)
            raise
        finally:
            stop.set()
            if driver:
                driver.quit()
            for process in processes:
                process.terminate()
            for process in processes:
                try:
                    process.wait(10)
                except subprocess.TimeoutExpired:  # killed, by its pid, only when SIGTERM fails
                    process.kill()
    print('page_test: passed')


main()
