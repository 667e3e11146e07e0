#!/usr/bin/python3
"""The station's screen in a real browser: Debian's chromium, headless, driven by selenium through
chromium-driver, against tests/dashboard_driver.cpp, a scripted watch of three fixture ports.

Step by step it checks that the tiles, the counts and the last units follow the run, that a
scanned code that is an HTML tag shows as text (no element made of it, no alert), and that the page
shows it is reconnecting when the tool goes and draws the new run when it comes back. It saves
screenshots of the running station and of its end in the build folder.

With --watch it opens the page of a real fixture watch instead: two simulated units placed on
two ports that stay open, named by scanned codes (one of them the hostile one), one updated and one
refusing a record; the tiles, counts and last units must follow, and the screenshots are of it.

usage: dashboard_browser.py DRIVER BUILD_DIR
       dashboard_browser.py --watch UARTFLASH UARTFLASH_SIM UARTFLASH_SAMPLE BUILD_DIR
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

HOSTILE = '<img src=x onerror=alert(1)>'
P1, P2, P3 = '/dev/ttyUSB0', '/dev/ttyUSB1', '/dev/ttyUSB2'
OK, FAILED = '✔ OK', '✘ Failed'


def tile(state, word, unit='', percent=None, reason='', result=''):
    return {'state': state, 'word': word, 'unit': unit, 'percent': percent, 'reason': reason,
            'result': result}


WAITING = tile('waiting', 'Waiting')
# What the page shows after each step of the driver: the tiles, the counts (ok, failed, first-pass
# yield, units an hour) and the last units (port, code, result, reason), newest first.
UNIT1 = [P1, 'LOT7-0001', OK, 'done']
UNIT2 = [P2, HOSTILE, FAILED, 'record_refused']
UNIT3 = [P3, 'LOT7-0003', OK, 'done']
STEPS = [
    ({P1: WAITING, P2: WAITING, P3: WAITING}, ['0', '0', '–', '0.0'], []),
    ({P1: tile('present', 'Unit present'), P2: tile('scan', 'Scan the code'), P3: WAITING},
     ['0', '0', '–', '0.0'], []),
    ({P1: tile('updating', 'Updating', 'LOT7-0001', '0 %'),
      P2: tile('updating', 'Updating', HOSTILE, '0 %'),
      P3: tile('foreign', 'Other product')},
     ['0', '0', '–', '0.0'], []),
    ({P1: tile('updating', 'Updating', 'LOT7-0001', '42 %'),
      P2: tile('updating', 'Updating', HOSTILE, '17 %'),
      P3: tile('foreign', 'Other product')},
     ['0', '0', '–', '0.0'], []),
    ({P1: tile('ok', 'OK', 'LOT7-0001'),
      P2: tile('updating', 'Updating', HOSTILE, '80 %'),
      P3: WAITING},
     ['1', '0', '100.0 %', '30.0'], [UNIT1]),
    ({P1: tile('remove', 'Remove unit', 'LOT7-0001', result=OK),
      P2: tile('failed', 'Failed', HOSTILE, reason='record_refused'),
      P3: tile('present', 'Unit present')},
     ['1', '1', '50.0 %', '48.0'], [UNIT2, UNIT1]),
    ({P1: WAITING,
      P2: tile('remove', 'Remove unit', HOSTILE, reason='record_refused', result=FAILED),
      P3: tile('updating', 'Updating', 'LOT7-0003', '55 %')},
     ['1', '1', '50.0 %', '40.0'], [UNIT2, UNIT1]),
    ({P1: tile('scan', 'Scan the code'), P2: WAITING, P3: tile('ok', 'OK', 'LOT7-0003')},
     ['2', '1', '66.7 %', '51.4'], [UNIT3, UNIT2, UNIT1]),
]
RUNNING_SCREENSHOT_STEP = 5

# The page as the test reads it: each tile's state and texts, the counts, the rows.
SNAPSHOT = """
const text = (id) => document.getElementById(id).textContent;
const tiles = {};
const order = [];
for (const tile of document.querySelectorAll('#tiles .tile')) {
  const part = (name) => tile.querySelector(name);
  order.push(tile.dataset.port);
  tiles[tile.dataset.port] = {
    state: tile.dataset.state,
    word: part('.word').textContent,
    unit: part('.unit').textContent,
    percent: part('.progress').hidden ? null : part('.percent').textContent,
    reason: part('.reason').textContent,
    result: part('.result').hidden ? '' : part('.result').textContent,
  };
}
const rows = [...document.querySelectorAll('#last-units tr')].map(
  (row) => [...row.cells].slice(1, 5).map((cell) => cell.textContent));
return {
  tiles, order, rows,
  counts: [text('count-ok'), text('count-failed'), text('yield'), text('rate')],
  image: [text('image-name'), text('image-sha')],
  link: text('link'),
  stale: document.body.classList.contains('stale'),
  elements: document.querySelectorAll('#tiles img, #history img, img').length,
};
"""


class Driver:
    """The scripted station, a step per line written to it."""

    def __init__(self, path, *arguments):
        self.process = subprocess.Popen([path, *arguments], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)
        serving = self.process.stdout.readline().strip()
        if not serving.startswith('serving http://'):
            raise RuntimeError(f'the driver did not serve: {serving!r}')
        self.url = serving.split(' ', 1)[1]
        self.step = self.read_step()

    def read_step(self):
        line = self.process.stdout.readline().strip()
        if not line.startswith('step '):
            raise RuntimeError(f'the driver said {line!r}')
        return int(line.split()[1])

    def next(self):
        self.process.stdin.write('next\n')
        self.process.stdin.flush()
        self.step = self.read_step()

    def end(self):
        self.process.stdin.close()
        return self.process.wait(timeout=10)


def browser_for(profile):
    options = webdriver.ChromeOptions()
    options.binary_location = shutil.which('chromium') or '/usr/bin/chromium'
    for argument in ('--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
                     '--no-first-run', '--disable-background-networking',
                     '--disable-component-update', '--disable-sync', '--disable-dev-shm-usage',
                     '--window-size=1600,1000', f'--user-data-dir={profile}'):
        options.add_argument(argument)
    service = Service(shutil.which('chromedriver') or '/usr/bin/chromedriver')
    return webdriver.Chrome(service=service, options=options)


def expected_page(step):
    tiles, counts, rows = STEPS[step]
    return {'tiles': tiles, 'order': [P1, P2, P3], 'rows': rows, 'counts': counts,
            'image': ['korva-2.0.srec', 'SHA-256 d4458d9864e7'], 'link': 'Live', 'stale': False,
            'elements': 0}


def await_page(browser, want, what):
    """Waits until the page shows what is wanted; fails with the difference."""
    seen = {}
    try:
        WebDriverWait(browser, 10, poll_frequency=0.1).until(
            lambda b: seen.update(b.execute_script(SNAPSHOT)) or seen == want)
    except TimeoutException:
        lines = [f'{what}: the page does not show what it should']
        for key in want:
            if seen.get(key) != want[key]:
                lines.append(f'  {key}: shows {seen.get(key)!r}\n  {" " * len(key)}  wanted {want[key]!r}')
        raise AssertionError('\n'.join(lines)) from None


def assert_no_alert(browser, what):
    try:
        alert = browser.switch_to.alert
    except NoAlertPresentException:
        return
    raise AssertionError(f'{what}: an alert opened: {alert.text!r}')


def wait_for(browser, what, test, seconds=60):
    """Waits until test(snapshot) holds; fails with the last snapshot."""
    seen = {}
    try:
        WebDriverWait(browser, seconds, poll_frequency=0.2).until(
            lambda b: seen.update(b.execute_script(SNAPSHOT)) or test(seen))
    except TimeoutException:
        raise AssertionError(f'{what}: the page shows {seen!r}') from None
    return seen


def states(seen):
    return [seen['tiles'][port]['state'] for port in seen['order']]


def free_port():
    import socket
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        return probe.getsockname()[1]


def watch_main(tool, sim, sample, build_dir):
    """A real fixture watch of two simulated units, its page in the browser."""
    work = tempfile.mkdtemp(prefix='station-browser-')
    image = os.path.join(work, 'image.srec')
    with open(image, 'w') as out:
        subprocess.run([sample, '--records', '200'], stdout=out, check=True)
    sims, ports = [], []
    for i, extra in ((1, []), (2, ['--error-on', '150'])):
        out = open(os.path.join(work, f'sim-{i}.out'), 'w+')
        sims.append(subprocess.Popen(
            [sim, '--mode', 'app', '--baud', '19200', '--control', os.path.join(work, f'ctl-{i}'),
             '--boot-reboot-ms', '300', '--app-reboot-ms', '300', *extra],
            stdout=out, stderr=subprocess.DEVNULL))
        for _ in range(100):
            out.seek(0)
            line = out.readline().strip()
            if line:
                break
            time.sleep(0.05)
        ports.append(line)
    address = f'127.0.0.1:{free_port()}'
    station = subprocess.Popen(
        [tool, '--watch', '--wait', 'poll', '--unit-id', 'scan', '--dashboard', address,
         ','.join(ports), '115200', 'KORVA', 'ARM', image],
        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, text=True)
    profile = tempfile.mkdtemp(prefix='dashboard-browser-')
    browser = None
    control = lambda i, word: open(os.path.join(work, f'ctl-{i}'), 'w').write(word + '\n')
    try:
        time.sleep(1)
        browser = browser_for(profile)
        browser.get(f'http://{address}/')
        wait_for(browser, 'at start', lambda p: states(p) == ['waiting', 'waiting'])
        station.stdin.write(f'1:LOT7-0001\n2:{HOSTILE}\n')
        station.stdin.flush()
        control(1, 'place')
        control(2, 'place')
        wait_for(browser, 'updating', lambda p: 'updating' in states(p) and p['tiles'][ports[0]]
                 ['percent'] not in (None, '0 %'))
        assert_no_alert(browser, 'while updating')
        browser.save_screenshot(os.path.join(build_dir, 'station-running.png'))
        seen = wait_for(browser, 'both done', lambda p: states(p) == ['remove', 'remove'] and
                        p['counts'][:2] == ['1', '1'] and len(p['rows']) == 2)
        assert seen['tiles'][ports[0]]['result'] == OK, seen
        assert seen['tiles'][ports[1]]['result'] == FAILED, seen
        assert seen['tiles'][ports[1]]['unit'] == HOSTILE, seen
        assert seen['rows'] == [[ports[1], HOSTILE, FAILED, 'record_refused'],
                                [ports[0], 'LOT7-0001', OK, 'done']] or \
            seen['rows'] == [[ports[0], 'LOT7-0001', OK, 'done'],
                             [ports[1], HOSTILE, FAILED, 'record_refused']], seen['rows']
        assert seen['counts'][2] == '50.0 %', seen['counts']
        assert seen['elements'] == 0, 'the hostile code became an element'
        assert_no_alert(browser, 'at the end')
        browser.save_screenshot(os.path.join(build_dir, 'station-end.png'))
        control(1, 'remove')
        control(2, 'remove')
        wait_for(browser, 'taken away', lambda p: states(p) == ['waiting', 'waiting'])
        station.send_signal(2)
        status = station.wait(timeout=60)
        assert status == 1, f'the watch ended with status {status}, not 1 (one unit failed)'
        wait_for(browser, 'gone', lambda p: p['link'] == 'Reconnecting…', 20)
    finally:
        if browser is not None:
            browser.quit()
        for process in [station, *sims]:
            if process.poll() is None:
                process.kill()
                process.wait()
        shutil.rmtree(profile, ignore_errors=True)
        shutil.rmtree(work, ignore_errors=True)
    print('dashboard_browser --watch: the tiles, counts and last units followed a real fixture '
          f'watch, the code as text; screenshots in {build_dir}/station-running.png and '
          'station-end.png')


def main():
    if sys.argv[1] == '--watch':
        watch_main(*sys.argv[2:6])
        return
    driver_path, build_dir = sys.argv[1], sys.argv[2]
    profile = tempfile.mkdtemp(prefix='dashboard-browser-')
    driver = Driver(driver_path)
    browser = None
    try:
        browser = browser_for(profile)
        browser.get(driver.url)
        await_page(browser, expected_page(0), 'step 0')
        for step in range(1, len(STEPS)):
            driver.next()
            assert driver.step == step, f'the driver is at step {driver.step}, not {step}'
            await_page(browser, expected_page(step), f'step {step}')
            assert_no_alert(browser, f'step {step}')
            if step == RUNNING_SCREENSHOT_STEP:
                # The code as the operator sees it: text, word for word.
                code = browser.find_element(By.CSS_SELECTOR, '#tiles .tile:nth-child(2) .unit')
                assert code.text == HOSTILE, f'the scanned code shows as {code.text!r}'
                browser.save_screenshot(os.path.join(build_dir, 'dashboard-running.png'))
        browser.save_screenshot(os.path.join(build_dir, 'dashboard-end.png'))

        # The tool goes: the page says it is reconnecting, and dims what it shows.
        port = driver.url.rstrip('/').rsplit(':', 1)[1]
        assert driver.end() == 0, 'the driver did not end cleanly'
        WebDriverWait(browser, 10, poll_frequency=0.1).until(
            lambda b: b.execute_script(SNAPSHOT)['link'] == 'Reconnecting…')
        assert browser.execute_script(SNAPSHOT)['stale'], 'the page does not dim a lost station'
        # It comes back (a new run, already at step 3): the page finds it by itself.
        time.sleep(1)
        driver = Driver(driver_path, '--listen', f'127.0.0.1:{port}', '--start-at', '3')
        await_page(browser, expected_page(3), 'after the restart')
        assert_no_alert(browser, 'after the restart')
    finally:
        if browser is not None:
            browser.quit()
        if driver.process.poll() is None:
            driver.process.kill()
            driver.process.wait()
        shutil.rmtree(profile, ignore_errors=True)
    print('dashboard_browser: every step shown, the code as text, reconnected after a restart; '
          f'screenshots in {build_dir}/dashboard-running.png and dashboard-end.png')


if __name__ == '__main__':
    main()
