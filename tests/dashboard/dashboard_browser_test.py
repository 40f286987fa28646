#!/usr/bin/env python3
"""The line dashboard in a real browser: Debian's Chromium, headless, with a profile of its own,
driven over its DevTools protocol on a pipe (fds 3 and 4, NUL-separated JSON messages), with the
Python standard library only.

Checks that the page shows the seeded line's numbers, that a record reaching the ledger shows without
a reload, that a product text made of markup is shown as text and runs nothing, and that the serial
search finds a serial's history. Takes screenshots (--screenshots DIR).

usage: dashboard_browser_test.py --mfgkit PATH --seed-server PATH [--screenshots DIR]
"""
import argparse
import base64
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

MARKUP = '<img src=x onerror=alert(1)>'


class Browser:
    """Chromium with the DevTools protocol on a pipe: we write commands to its fd 3, read its fd 4."""

    def __init__(self, profile):
        exe = shutil.which('chromium')
        if not exe:
            raise SystemExit('chromium is not installed (scripts/install-deps.sh installs it)')
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def wire():  # in the child: its fd 3 reads our commands, its fd 4 writes its answers
            os.dup2(to_browser_r, 3)
            os.dup2(from_browser_w, 4)

        args = [exe, '--headless=new', '--remote-debugging-pipe', '--user-data-dir=' + profile,
                '--no-first-run', '--no-default-browser-check', '--disable-extensions', '--disable-gpu',
                '--disable-background-networking', '--disable-sync', '--mute-audio', '--hide-scrollbars',
                '--window-size=1400,1000', 'about:blank']
        if os.geteuid() == 0:
            args.insert(1, '--no-sandbox')  # Chromium's sandbox refuses to run as root
        # The child keeps fds 3 and 4 (made by `wire`, which runs before the child closes the others).
        self.proc = subprocess.Popen(args, preexec_fn=wire, pass_fds=(3, 4),
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b''
        self.next_id = 0
        self.events = []
        self.session = None

    def close(self):
        try:
            self.send('Browser.close', session=False, wait=False)
        except OSError:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        os.close(self.to_browser)
        os.close(self.from_browser)

    def _read_message(self, deadline):
        while b'\0' not in self.buffer:
            if time.monotonic() > deadline:
                raise TimeoutError('the browser did not answer')
            chunk = os.read(self.from_browser, 65536)
            if not chunk:
                raise EOFError('the browser went away')
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b'\0', 1)
        return json.loads(message)

    def send(self, method, params=None, session=True, wait=True, timeout=15):
        self.next_id += 1
        message = {'id': self.next_id, 'method': method, 'params': params or {}}
        if session and self.session:
            message['sessionId'] = self.session
        os.write(self.to_browser, json.dumps(message).encode() + b'\0')
        if not wait:
            return None
        deadline = time.monotonic() + timeout
        while True:
            answer = self._read_message(deadline)
            if answer.get('id') == self.next_id:
                if 'error' in answer:
                    raise RuntimeError(method + ': ' + json.dumps(answer['error']))
                return answer.get('result', {})
            if 'method' in answer:
                self.events.append(answer)

    def open(self, url):
        target = self.send('Target.createTarget', {'url': 'about:blank'})['targetId']
        self.session = self.send('Target.attachToTarget', {'targetId': target, 'flatten': True})['sessionId']
        self.send('Page.enable')
        self.send('Runtime.enable')
        self.send('Emulation.setDeviceMetricsOverride',
                  {'width': 1400, 'height': 1000, 'deviceScaleFactor': 1, 'mobile': False})
        self.send('Page.navigate', {'url': url})

    def evaluate(self, expression):
        result = self.send('Runtime.evaluate', {'expression': expression, 'returnByValue': True})
        if 'exceptionDetails' in result:
            raise RuntimeError('page script failed: ' + json.dumps(result['exceptionDetails']))
        return result['result'].get('value')

    def wait_for(self, expression, timeout, what):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            value = self.evaluate(expression)
            if value:
                return value
            time.sleep(0.05)
        raise AssertionError('timed out waiting for ' + what + ' (' + expression + ')')

    def dialogs(self):
        # Events that arrive between commands are read with the next answer; a short command flushes them.
        self.evaluate('1')
        return [e for e in self.events if e['method'] == 'Page.javascriptDialogOpening']

    def screenshot(self, path):
        height = self.evaluate('Math.ceil(document.documentElement.scrollHeight)')
        self.send('Emulation.setDeviceMetricsOverride',
                  {'width': 1400, 'height': min(int(height), 4000), 'deviceScaleFactor': 1, 'mobile': False})
        time.sleep(0.3)
        data = self.send('Page.captureScreenshot', {'format': 'png'})['data']
        with open(path, 'wb') as f:
            f.write(base64.b64decode(data))
        self.send('Emulation.setDeviceMetricsOverride',
                  {'width': 1400, 'height': 1000, 'deviceScaleFactor': 1, 'mobile': False})


def cell(card, field):
    return ("(() => { const e = document.querySelector('#now-%s [data-field=\"%s\"]');"
            " return e ? e.textContent : null; })()" % (card, field))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--mfgkit', required=True)
    parser.add_argument('--seed-server', required=True)
    parser.add_argument('--screenshots')
    args = parser.parse_args()

    work = tempfile.mkdtemp(prefix='kit-dashboard-')
    seed = subprocess.Popen([args.seed_server], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    dashboard = browser = None
    try:
        line = seed.stdout.readline().strip()
        assert line.startswith('conninfo='), 'the seeded server did not start: ' + line
        env = dict(os.environ, QT7730_LEDGER=line[len('conninfo='):], QT7730_LEDGER_DB=os.path.join(work, 'none.db'))
        dashboard = subprocess.Popen([args.mfgkit, 'dashboard', '--listen', '127.0.0.1:0'], env=env,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        started = dashboard.stdout.readline()
        assert 'http://127.0.0.1:' in started, 'the dashboard did not start: ' + started + dashboard.stderr.read()
        url = started.split()[2]

        def ask(command):
            seed.stdin.write(command + '\n')
            seed.stdin.flush()
            return seed.stdout.readline().strip()

        browser = Browser(os.path.join(work, 'profile'))
        browser.open(url)

        # The seeded numbers, as the seed counts them.
        browser.wait_for("document.querySelector('#now-today [data-field=\"tested\"]') !== null", 15, 'the page')
        expected = json.loads(ask('expect'))
        for period in ('hour', 'today', 'yesterday'):
            want = expected[period]
            got = int(browser.evaluate(cell(period, 'tested')))
            assert got == want['tested'], '%s: %d tested shown, %d seeded' % (period, got, want['tested'])
            assert int(browser.evaluate(cell(period, 'passed'))) == want['passed'], period + ' passed'
            assert int(browser.evaluate(cell(period, 'programmed'))) == want['programmed'], period + ' programmed'
            if want['first_tests']:
                y = '%.1f %%' % (round(1000.0 * want['first_passed'] / want['first_tests']) / 10.0)
                assert browser.evaluate(cell(period, 'first_pass_yield')) == y, period + ' first-pass yield ' + y
        stations = browser.evaluate("document.querySelectorAll('#table-stations tr').length")
        assert stations == 3, 'two stations and a header row, not %s' % stations
        assert browser.evaluate("document.querySelector('#table-duplicates').textContent.includes('D1')"), 'duplicate'
        browser.wait_for("document.querySelector('#table-void') && "
                         "document.querySelector('#table-void').textContent.includes('V1')", 15, 'the void number')
        assert browser.evaluate("document.querySelectorAll('#chart path').length") >= 1, 'the chart has a line'
        assert browser.evaluate("document.querySelectorAll('#heatmap-table td').length") >= 4, 'the heat map'
        ports = browser.evaluate("[...document.querySelectorAll('#heatmap-table th')].map(t => t.textContent).join(' ')")
        assert '0-2.1' in ports and 'unknown' in ports, 'hub ports, and unknown for a record without them: ' + ports
        if args.screenshots:
            browser.screenshot(os.path.join(args.screenshots, 'dashboard.png'))

        # A record reaching the ledger shows without a reload (the page polls each second).
        before = int(browser.evaluate(cell('hour', 'tested')))
        browser.evaluate('window.__sameDocument = true')
        assert ask('add LIVE-1') == 'added'
        added = time.monotonic()
        browser.wait_for('Number(%s) === %d' % (cell('hour', 'tested'), before + 1), 10, 'the new record')
        seen_after = time.monotonic() - added
        assert browser.evaluate('window.__sameDocument === true'), 'the page was reloaded'
        print('a new record showed %.2f s after it reached the ledger' % seen_after)

        # The serial search: the retested serial's whole history, then the one whose product text is markup.
        browser.evaluate("document.getElementById('serial-input').value = 'S2';"
                         "document.getElementById('serial-form').requestSubmit()")
        browser.wait_for("document.querySelectorAll('#table-serial_history tr').length === 4", 10, 'S2 history')
        history = browser.evaluate("document.querySelector('#table-serial_history').textContent")
        assert 'Verify configuration' in history and 'product text: Bridge cable -> Bridge cab1e' in history, history
        browser.evaluate("document.getElementById('serial-input').value = 'S7';"
                         "document.getElementById('serial-form').requestSubmit()")
        browser.wait_for("document.querySelectorAll('#table-serial_history tr').length === 2", 10, 'S7 history')
        shown = browser.evaluate("document.querySelector('#table-serial_history').textContent")
        assert MARKUP in shown, 'the markup text is shown as text: ' + shown
        time.sleep(0.5)  # an image that failed to load would have run its handler by now
        assert browser.evaluate("document.querySelectorAll('main img').length") == 0, 'an image element was made'
        assert not browser.dialogs(), 'a dialog opened: the markup ran'
        if args.screenshots:
            browser.screenshot(os.path.join(args.screenshots, 'dashboard-serial.png'))
        print('dashboard in the browser: seeded numbers, live update, markup as text, serial search: all OK')
        return 0
    finally:
        if browser:
            browser.close()
        if dashboard:
            dashboard.terminate()
            try:
                dashboard.wait(timeout=20)
            except subprocess.TimeoutExpired:
                dashboard.kill()
                dashboard.wait()
        try:
            seed.stdin.write('quit\n')
            seed.stdin.close()
        except OSError:
            pass
        seed.wait(timeout=60)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    sys.exit(main())
