// The station's screen: draws /state, then follows /events, and finds the tool again by itself
// when it restarts. Every text that came from a product, a bridge or a scan goes in as text
// (textContent), never as HTML.
'use strict';

(() => {
  const STATES = {
    waiting: { word: 'Waiting', symbol: '○' },
    present: { word: 'Unit present', symbol: '◉' },
    scan: { word: 'Scan the code', symbol: '▥' },
    foreign: { word: 'Other product', symbol: '⊘' },
    updating: { word: 'Updating', symbol: '↻' },
    ok: { word: 'OK', symbol: '✔' },
    failed: { word: 'Failed', symbol: '✘' },
    remove: { word: 'Remove unit', symbol: '⏏' },
  };
  const RESULTS = {
    ok: { word: 'OK', symbol: '✔' },
    failed: { word: 'Failed', symbol: '✘' },
  };
  const REFRESH_DELAY_MS = 200; // events come in bursts: one fetch of /state for a burst
  const SAFETY_REFRESH_MS = 5000; // in case the stream lost events
  const RECONNECT_MS = 2000;
  const LAST_UNITS = 20;
  const MANY_PORTS = 6; // more get smaller tiles

  const tiles = new Map(); // port name -> its tile's elements
  let live = false;
  let startedAt = null; // the run's start on this clock, from the last state's elapsed_seconds
  let refreshTimer = null;
  let refreshing = false;
  let refreshAgain = false;

  function byId(id) {
    return document.getElementById(id);
  }

  function element(tag, className, text) {
    const node = document.createElement(tag);
    if (className) {
      node.className = className;
    }
    if (text !== undefined) {
      node.textContent = text;
    }
    return node;
  }

  function isNumber(value) {
    return typeof value === 'number' && Number.isFinite(value);
  }

  function textOf(value) {
    return value === null || value === undefined ? '' : String(value);
  }

  function twoDigits(value) {
    return String(value).padStart(2, '0');
  }

  function duration(seconds) {
    const whole = Math.max(0, Math.floor(seconds));
    const hours = Math.floor(whole / 3600);
    const minutes = Math.floor((whole % 3600) / 60);
    const rest = twoDigits(whole % 60);
    return hours > 0 ? `${hours}:${twoDigits(minutes)}:${rest}` : `${minutes}:${rest}`;
  }

  function clockTime(text) {
    const time = new Date(text);
    if (Number.isNaN(time.getTime())) {
      return textOf(text);
    }
    return `${twoDigits(time.getHours())}:${twoDigits(time.getMinutes())}:${twoDigits(time.getSeconds())}`;
  }

  function seconds(value) {
    return isNumber(value) ? `${value.toFixed(1)} s` : '';
  }

  function percent(value) {
    return isNumber(value) ? Math.min(100, Math.max(0, Math.round(value))) : 0;
  }

  function makeTile() {
    const tile = {
      root: element('article', 'tile'),
      number: element('span', 'number'),
      name: element('span', 'name'),
      symbol: element('span', 'symbol'),
      word: element('span', 'word'),
      result: element('div', 'result'),
      progress: element('div', 'progress'),
      fill: element('div', 'fill'),
      percent: element('span', 'percent'),
      unit: element('div', 'unit'),
      reason: element('span', 'reason'),
      seconds: element('span', 'seconds'),
    };
    tile.symbol.setAttribute('aria-hidden', 'true');
    const head = element('div', 'head');
    head.append(tile.number, tile.name);
    const state = element('div', 'state');
    state.append(tile.symbol, tile.word);
    const bar = element('div', 'bar');
    bar.append(tile.fill);
    tile.progress.append(bar, tile.percent);
    const detail = element('div', 'detail');
    detail.append(tile.reason, tile.seconds);
    tile.root.append(head, state, tile.result, tile.progress, tile.unit, detail);
    return tile;
  }

  function setProgress(tile, value) {
    const shown = percent(value);
    tile.fill.style.width = `${shown}%`;
    tile.percent.textContent = `${shown} %`;
  }

  function drawTile(tile, port, index) {
    const state = textOf(port.state);
    const look = STATES[state] || { word: state || 'Unknown', symbol: '?' };
    const result = textOf(port.result);
    const outcome = RESULTS[result];
    tile.root.className = `tile state-${state} result-${result || 'none'}`;
    tile.root.dataset.port = textOf(port.name);
    tile.root.dataset.state = state;
    tile.number.textContent = isNumber(port.number) ? String(port.number) : String(index + 1);
    tile.name.textContent = textOf(port.name);
    tile.symbol.textContent = look.symbol;
    tile.word.textContent = look.word;
    tile.result.hidden = !(state === 'remove' && outcome);
    tile.result.textContent = outcome ? `${outcome.symbol} ${outcome.word}` : '';
    tile.progress.hidden = state !== 'updating';
    setProgress(tile, port.progress);
    tile.unit.textContent = textOf(port.unit);
    const failed = state === 'failed' || (state === 'remove' && result === 'failed');
    tile.reason.textContent = failed ? textOf(port.reason) : '';
    tile.seconds.textContent = seconds(port.seconds);
  }

  function drawTiles(ports) {
    const container = byId('tiles');
    container.classList.toggle('many', ports.length > MANY_PORTS);
    const seen = new Set();
    ports.forEach((port, index) => {
      const key = textOf(port.name);
      let tile = tiles.get(key);
      if (!tile) {
        tile = makeTile();
        tiles.set(key, tile);
      }
      container.append(tile.root); // in the state's order
      drawTile(tile, port, index);
      seen.add(key);
    });
    for (const [key, tile] of tiles) {
      if (!seen.has(key)) {
        tile.root.remove();
        tiles.delete(key);
      }
    }
  }

  function drawCounts(counts, image) {
    byId('count-ok').textContent = isNumber(counts.ok) ? String(counts.ok) : '–';
    byId('count-failed').textContent = isNumber(counts.failed) ? String(counts.failed) : '–';
    byId('yield').textContent = isNumber(counts.first_pass_yield)
      ? `${(counts.first_pass_yield * 100).toFixed(1)} %`
      : '–';
    byId('rate').textContent = isNumber(counts.units_per_hour)
      ? counts.units_per_hour.toFixed(1)
      : '–';
    const path = textOf(image.path);
    const name = byId('image-name');
    name.textContent = path.split(/[\\/]/).pop() || '–';
    name.title = path;
    const sha = textOf(image.sha256);
    byId('image-sha').textContent = sha ? `SHA-256 ${sha.slice(0, 12)}` : '';
  }

  function drawLastUnits(units) {
    const body = byId('last-units');
    const rows = units.slice(0, LAST_UNITS).map((unit) => {
      const row = element('tr');
      const outcome = RESULTS[textOf(unit.result)];
      const result = element('td', `result-${textOf(unit.result)}`);
      result.textContent = outcome ? `${outcome.symbol} ${outcome.word}` : textOf(unit.result);
      row.append(
        element('td', 'time', clockTime(unit.time)),
        element('td', 'port', textOf(unit.port)),
        element('td', 'code', textOf(unit.unit)),
        result,
        element('td', 'reason', textOf(unit.reason)),
        element('td', 'seconds', seconds(unit.seconds)),
      );
      return row;
    });
    body.replaceChildren(...rows);
    byId('no-units').hidden = rows.length > 0;
  }

  function drawElapsed() {
    byId('elapsed').textContent = startedAt === null ? '–' : duration((Date.now() - startedAt) / 1000);
  }

  function draw(state) {
    if (!state || typeof state !== 'object') {
      return;
    }
    drawTiles(Array.isArray(state.ports) ? state.ports : []);
    drawCounts(state.counts || {}, state.image || {});
    drawLastUnits(Array.isArray(state.last_units) ? state.last_units : []);
    startedAt = isNumber(state.elapsed_seconds) ? Date.now() - state.elapsed_seconds * 1000 : null;
    drawElapsed();
  }

  async function refresh() {
    if (refreshing) {
      refreshAgain = true;
      return;
    }
    refreshing = true;
    try {
      const response = await fetch('/state', { cache: 'no-store' });
      if (response.ok) {
        draw(await response.json());
      }
    } catch (error) {
      // The tool is away: the event stream's error shows it, and its return fetches again.
    }
    refreshing = false;
    if (refreshAgain) {
      refreshAgain = false;
      scheduleRefresh();
    }
  }

  function scheduleRefresh() {
    if (refreshTimer === null) {
      refreshTimer = setTimeout(() => {
        refreshTimer = null;
        refresh();
      }, REFRESH_DELAY_MS);
    }
  }

  function setLink(kind) {
    live = kind === 'live';
    const link = byId('link');
    link.className = `link link-${kind}`;
    link.textContent = { live: 'Live', connecting: 'Connecting…', reconnecting: 'Reconnecting…' }[kind];
    document.body.classList.toggle('stale', !live);
  }

  // Progress moves the bar at once; everything else comes with the next /state.
  function takeEvent(data) {
    let event;
    try {
      event = JSON.parse(data);
    } catch (error) {
      return;
    }
    if (event && event.event === 'progress' && typeof event.port === 'string') {
      const tile = tiles.get(event.port);
      if (tile && tile.root.dataset.state === 'updating') {
        setProgress(tile, event.percent);
      }
    }
    scheduleRefresh();
  }

  function connect() {
    const source = new EventSource('/events');
    source.onopen = () => {
      setLink('live');
      refresh();
    };
    source.onmessage = (message) => takeEvent(message.data);
    source.onerror = () => {
      setLink('reconnecting');
      // The browser tries again by itself after a lost connection, but not after an answer
      // such as 503 (too many connections) or a tool that was not there.
      if (source.readyState === EventSource.CLOSED) {
        source.close();
        setTimeout(connect, RECONNECT_MS);
      }
    };
  }

  setLink('connecting');
  refresh();
  connect();
  setInterval(() => {
    if (live) {
      drawElapsed();
    }
  }, 1000);
  setInterval(() => {
    if (live) {
      refresh();
    }
  }, SAFETY_REFRESH_MS);
})();
