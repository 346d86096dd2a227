# The Control Deck host driven by a real browser: the host serves the check
# page at http://127.0.0.1:P, the page talks to the API at http://localhost:P
# (another origin, so every non-simple request is preflighted), and this
# harness judges what the page and the browser's network log saw.
#
# python3 run.py <control-deck binary> <work folder>
import base64
import json
import locale
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import uuid
from datetime import datetime, timezone
from urllib.parse import urlencode

HERE = os.path.dirname(os.path.abspath(__file__))
CHROMIUM = '/usr/bin/chromium'
CHROMEDRIVER = '/usr/bin/chromedriver'
# Guards against hangs only; nothing here measures speed.
PATIENCE = 150
# Choosing the file starts the page at once; a browser that does not take the
# file (as Chromium in a non-UTF-8 locale with a non-ASCII name) shows within this.
FILE_INPUT_PATIENCE = 20
CHROMIUM_ARGS = [
    '--headless',
    '--no-sandbox',
    '--disable-gpu',
    '--no-first-run',
    '--disable-background-networking',
    '--disable-component-update',
    '--disable-sync',
    '--disable-quic',
    '--remote-debugging-pipe',
]


class EnvironmentFault(Exception):
    """The machine cannot run the check; the message says why."""


def require_environment():
    # Chromium takes the file name through the locale: in the POSIX locale a
    # non-ASCII name never reaches the page. run.sh exports C.UTF-8.
    for name in ('LC_ALL', 'LANG'):
        if 'utf-8' not in os.environ.get(name, '').lower().replace('utf8', 'utf-8'):
            raise EnvironmentFault(f'{name} must name a UTF-8 locale (run.sh exports C.UTF-8), not {os.environ.get(name)!r}')
    try:
        locale.setlocale(locale.LC_ALL, '')
    except locale.Error as error:
        raise EnvironmentFault(f'the locale {os.environ["LC_ALL"]!r} is not available here: {error}')
    for path in (CHROMIUM, CHROMEDRIVER):
        if not os.access(path, os.X_OK):
            raise EnvironmentFault(f'{path} is missing: ./scripts/install-deps.sh installs it')
    try:
        import selenium  # noqa: F401
    except ImportError:
        raise EnvironmentFault('python3-selenium is missing: ./scripts/install-deps.sh installs it')


def seed_outbox(data_dir, name, data):
    """What the desktop offers for download, placed as a previous run of the
    desktop application would have left it."""
    ident = str(uuid.uuid4()).upper()
    folder = os.path.join(data_dir, 'transfers', 'outbox', ident)
    os.makedirs(folder)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)
    created = datetime.now(timezone.utc).strftime('%Y-%m-%dT%H:%M:%SZ')
    record = {'createdAt': created, 'id': ident, 'mime': 'application/octet-stream', 'name': name, 'size': len(data)}
    with open(os.path.join(data_dir, 'transfers', 'index.json'), 'w') as f:
        json.dump({'inbox': [], 'outbox': [record]}, f)
    return ident


class Host:
    def __init__(self, binary, data_dir):
        args = [binary, '--fake-adapters', '--loopback', '--auto-approve', '--port', '0',
                '--data-dir', data_dir, '--static-dir', os.path.join(HERE, 'page')]
        self.output = ''
        self._lock = threading.Lock()
        self._changed = threading.Condition(self._lock)
        self.process = subprocess.Popen(args, env={**os.environ, 'CONTROL_DECK_TEST_MODE': '1'},
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in iter(self.process.stdout.readline, b''):
            with self._changed:
                self.output += raw.decode('utf-8', 'replace')
                self._changed.notify_all()
        with self._changed:
            self._changed.notify_all()

    def port_and_code(self):
        deadline = time.monotonic() + PATIENCE
        with self._changed:
            while True:
                port = re.search(r'listening on 127\.0\.0\.1:(\d+)', self.output)
                code = re.search(r'^PAIRING_CODE (\d{6})$', self.output, re.M)
                if port and code:
                    return int(port.group(1)), code.group(1)
                if self.process.poll() is not None:
                    raise RuntimeError('control-deck ended at start:\n' + self.output)
                left = deadline - time.monotonic()
                if left <= 0:
                    raise RuntimeError('control-deck printed no port and code:\n' + self.output)
                self._changed.wait(min(left, 0.5))

    def stop(self):
        """SIGTERM, then SIGKILL after 30 s; the exit status (negative for a signal)."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(30)
            except subprocess.TimeoutExpired:
                self.process.kill()
        status = self.process.wait()
        self._reader.join(5)
        return status


def start_browser(work):
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common import utils

    class LoopbackService(Service):
        # The driver is reached by address, not by the name localhost, which a
        # minimal system without /etc/hosts cannot resolve.
        @property
        def service_url(self):
            return f'http://127.0.0.1:{self.port}'

        def is_connectable(self):
            return utils.is_connectable(self.port, '127.0.0.1')

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in CHROMIUM_ARGS + ['--user-data-dir=' + os.path.join(work, 'profile')]:
        options.add_argument(arg)
    # The performance log carries the browser's Network.* events, preflights included.
    options.set_capability('goog:loggingPrefs', {'performance': 'ALL', 'browser': 'ALL'})
    service = LoopbackService(CHROMEDRIVER, log_path=os.path.join(work, 'chromedriver.log'), env=dict(os.environ))
    return webdriver.Chrome(service=service, options=options)


class NetworkLog:
    """The browser's own record of preflights: every OPTIONS request it sent,
    with its headers and the status it got."""

    def __init__(self):
        self.by_id = {}

    def take(self, driver):
        for entry in driver.get_log('performance'):
            event = json.loads(entry['message'])['message']
            params = event.get('params', {})
            if event.get('method') == 'Network.requestWillBeSent' and params['request']['method'] == 'OPTIONS':
                self.by_id[params['requestId']] = {'url': params['request']['url'],
                                                   'headers': params['request']['headers'], 'status': None}
            elif event.get('method') == 'Network.responseReceived' and params['requestId'] in self.by_id:
                self.by_id[params['requestId']]['status'] = params['response']['status']

    def preflights(self):
        return list(self.by_id.values())


def wait_for(driver, network, script, seconds, what):
    deadline = time.monotonic() + seconds
    while not driver.execute_script(script):
        # Drained as it fills, so no event is lost to the log's own limits.
        network.take(driver)
        if time.monotonic() > deadline:
            raise RuntimeError(f'{what} within {seconds} s')
        time.sleep(0.2)


def run_page(driver, port, code, upload_path, outbox_name):
    from selenium.webdriver.common.by import By

    network = NetworkLog()
    driver.set_page_load_timeout(PATIENCE)
    query = urlencode({'code': code, 'api': f'http://localhost:{port}', 'outbox': outbox_name})
    driver.get(f'http://127.0.0.1:{port}/index.html?{query}')
    # A real file chosen through the input; its change event starts the page.
    driver.find_element(By.ID, 'upload').send_keys(upload_path)
    wait_for(driver, network, 'return !!(window.deckCheck && window.deckCheck.started)', FILE_INPUT_PATIENCE,
             f'the page was not started by choosing {os.path.basename(upload_path)!r} in its file input '
             f'(LANG={os.environ.get("LANG")!r}, LC_ALL={os.environ.get("LC_ALL")!r})')
    wait_for(driver, network, 'return window.deckCheck.done', PATIENCE, 'the page did not finish')
    check = driver.execute_script('return window.deckCheck')
    network.take(driver)
    return {'check': check, 'preflights': network.preflights()}


def browser_console(driver):
    try:
        return [f"{e['level']}: {e['message']}" for e in driver.get_log('browser')]
    except Exception as error:  # the console is only shown beside a failure
        return [f'(console unavailable: {error})']


class Failure(AssertionError):
    pass


def expect(condition, message='expected a different value'):
    if not condition:
        raise Failure(message)


def equal(actual, expected):
    expect(actual == expected, f'{actual!r} != {expected!r}')


def matches(pattern, text):
    expect(isinstance(text, str) and re.fullmatch(pattern, text), f'{text!r} does not match {pattern}')


def checks(seen_run, port, data_dir, upload, outbox):
    check, preflights = seen_run['check'], seen_run['preflights']
    s = check['seen']
    api = f'http://localhost:{port}'

    def preflight_for(method, path):
        for p in preflights:
            headers = {k.lower(): v for k, v in p['headers'].items()}
            if p['url'].split('?')[0] == api + path and headers.get('access-control-request-method') == method:
                return p
        return None

    def preflighted(method, path):
        def body():
            p = preflight_for(method, path)
            expect(p, 'no preflight seen; seen: ' + json.dumps([p['url'] for p in preflights]))
            equal(p['status'], 204)
        return body

    def field(*keys):
        value = s
        for k in keys:
            value = value.get(k) if isinstance(value, dict) else None
        return value

    chunk_path = f"/api/files/inbox/{field('upload', 'started', 'data', 'id')}" if s.get('upload') else ''
    device_id = field('pairing', 'envelope', 'data', 'deviceId')

    def page_ran():
        equal(check['error'], None)

    def origins():
        equal(s['pageOrigin'], f'http://127.0.0.1:{port}')
        equal(s['apiOrigin'], api)

    def pairing():
        equal(s['pairing']['status'], 200)
        equal(s['pairing']['envelope']['data']['status'], 'approved')
        matches(r'\S{16,}', s['pairing']['envelope']['data']['deviceToken'])

    def session():
        equal(s['session']['status'], 200)
        equal(s['session']['envelope']['data']['deviceId'], device_id)
        matches(r'\S{16,}', s['session']['envelope']['data']['session'])

    def refusal():
        equal(s['refused']['status'], 401)
        equal(s['refused']['envelope']['ok'], False)
        equal(s['refused']['envelope']['error']['code'], 'unpaired')

    def first_state():
        equal(s['firstMessage']['type'], 'state')
        volume = s['firstMessage']['payload']['volume']
        expect(isinstance(volume, (int, float)) and not isinstance(volume, bool), f'volume {volume!r}')
        expect(volume != 0.37, 'the first state already has the level set later')

    def set_volume():
        equal(s['setVolume']['status'], 200)
        equal(s['setVolume']['envelope']['ok'], True)
        equal(s['volumePush']['payload']['volume'], 0.37)

    def set_mute():
        equal({'type': s['muteResult']['type'], 'ok': s['muteResult'].get('ok')}, {'type': 'command_result', 'ok': True})
        equal(s['mutePush']['payload']['muted'], True)
        equal(s['restState'], {'status': 200, 'volume': 0.37, 'muted': True})

    def long_ping():
        equal(s['longPing'], {'type': 'pong', 'sent': 360000, 'echoed': 360000, 'same': True, 'error': None})

    def timer():
        equal(s['timerStart']['status'], 200)
        equal(s['timerEvent']['name'], 'timer.completed')
        equal(s['timerEvent']['payload'], {'id': s['timerStart']['envelope']['data']['id'], 'label': 'Browser tea'})

    def upload_chunks():
        chunks = s['upload']['chunks']
        expect(len(chunks) >= 2, f'chunks: {len(chunks)}')
        for c in chunks:
            expect(c['status'] == 200, f"chunk at {c['offset']}: {c['status']}")
        equal(chunks[-1]['received'], len(upload['bytes']))
        equal(s['upload']['completedStatus'], 200)
        equal(s['upload']['completed']['data']['name'], upload['name'])
        equal(s['upload']['completed']['data']['size'], len(upload['bytes']))
        expect(any(r['name'] == upload['name'] for r in s['uploadPush']['payload']['files']['inbox']),
               'the state push does not list the upload')

    def received_bytes():
        with open(os.path.join(data_dir, 'inbox', upload['name']), 'rb') as f:
            received = f.read()
        expect(received == upload['bytes'], f"received {len(received)} bytes, sent {len(upload['bytes'])}")

    def downloaded_bytes():
        equal(s['offered']['id'], outbox['id'])
        equal(s['download']['status'], 200)
        equal(s['download']['contentType'], 'application/octet-stream')
        equal(s['download']['length'], len(outbox['bytes']))
        expect(base64.b64decode(s['download']['base64']) == outbox['bytes'], 'the downloaded bytes differ')

    def rename():
        equal(s['rename']['status'], 200)
        me = next((d for d in s['rename']['devices'] if d['id'] == device_id), None)
        expect(me, 'the device is not listed')
        equal(me['name'], 'Browser check renamed')
        equal(me['connected'], True)

    def forget():
        equal(s['forget']['status'], 200)
        equal(s['forget']['envelope']['data']['cleared'], True)
        equal(s['forget']['outboxAfter'], [])

    methods = [
        ('POST', '/api/pairing/request'),
        ('POST', '/api/session'),
        ('GET', '/api/state'),
        ('POST', '/api/command'),
        ('POST', '/api/files/inbox'),
        ('PUT', chunk_path),
        ('PATCH', f'/api/devices/{device_id}' if s.get('pairing') else ''),
        ('DELETE', f"/api/files/records/outbox/{field('offered', 'id')}" if s.get('offered') else ''),
    ]
    return [
        ('the page ran to the end', page_ran),
        ('the page and the API are different origins', origins),
        *[(f'the browser preflighted {m} {p} and it passed', preflighted(m, p)) for m, p in methods],
        ('pairing with the printed code is approved at once', pairing),
        ('a session is opened for the paired device', session),
        ('a refusal is readable across origins', refusal),
        ('the socket opened with ?session= starts with the state', first_state),
        ('set_volume through REST answers and its state push shows the new level', set_volume),
        ('set_mute over the socket answers and is pushed', set_mute),
        ('a long message over the socket is answered whole', long_ping),
        ('a one-second timer ends with timer.completed on the socket', timer),
        ('the upload went in several chunks and completed', upload_chunks),
        ('the received file is byte for byte the one the browser read', received_bytes),
        ('the downloaded file is byte for byte the offered one', downloaded_bytes),
        ('PATCH renames the device', rename),
        ('DELETE forgets the offered file', forget),
    ]


def report(table, seen_run, console, host):
    failed = 0
    for name, body in table:
        try:
            body()
            print(f'ok - {name}')
        except Exception as error:  # a check's fault is its own line, and the rest still run
            failed += 1
            detail = str(error) if isinstance(error, Failure) else f'{type(error).__name__}: {error}'
            print(f'not ok - {name}\n  ' + detail.replace('\n', '\n  '))
    if failed:
        shown = json.loads(json.dumps(seen_run['check']))
        if isinstance(shown.get('seen', {}).get('download'), dict):
            shown['seen']['download']['base64'] = '…'
        print('--- what the page saw\n' + json.dumps(shown, indent=1, ensure_ascii=False))
        print('--- browser console\n' + '\n'.join(console))
        print('--- host output\n' + host.output)
    print(f'{len(table) - failed} passed, {failed} failed')
    return 1 if failed else 0


def main(host_binary, work_root):
    require_environment()
    os.makedirs(work_root, exist_ok=True)
    work = tempfile.mkdtemp(prefix='run-', dir=work_root)
    host = driver = None
    # SIGTERM (the time-out) unwinds through the finally below like an error.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        data_dir = os.path.join(work, 'data')
        os.makedirs(data_dir)
        outbox = {'name': 'Desktop notes.bin', 'bytes': bytes(range(256)) + secrets.token_bytes(300 * 1024)}
        upload = {'name': 'Bericht für das Tablet.bin', 'bytes': secrets.token_bytes(1100 * 1024)}
        outbox['id'] = seed_outbox(data_dir, outbox['name'], outbox['bytes'])
        upload_path = os.path.join(work, upload['name'])
        with open(upload_path, 'wb') as f:
            f.write(upload['bytes'])

        host = Host(host_binary, data_dir)
        port, code = host.port_and_code()
        driver = start_browser(work)
        try:
            seen_run = run_page(driver, port, code, upload_path, outbox['name'])
        finally:
            console = browser_console(driver)
            driver.quit()
            driver = None
        ended = host.stop()

        table = checks(seen_run, port, data_dir, upload, outbox)
        table.append(('the host stops cleanly on SIGTERM', lambda: equal(ended, 0)))
        return report(table, seen_run, console, host)
    except EnvironmentFault:
        raise
    except Exception:
        traceback.print_exc()
        if host:
            print('--- host output\n' + host.output, file=sys.stderr)
        return 1
    finally:
        if driver:
            try:
                driver.quit()
            except Exception as error:  # the PID namespace still ends the browser
                print(f'closing the browser: {error}', file=sys.stderr)
        if host and host.process.poll() is None:
            host.process.kill()
            host.process.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    if len(sys.argv) != 3:
        print('usage: python3 run.py <control-deck binary> <work folder>', file=sys.stderr)
        sys.exit(2)
    try:
        sys.exit(main(os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])))
    except EnvironmentFault as fault:
        print(f'browser check cannot run here: {fault}', file=sys.stderr)
        sys.exit(1)
