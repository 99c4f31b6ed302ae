// A stand-in for a host with the plug-in: serves the page's files from the
// source tree and answers the REST API from an in-memory state. Used to
// develop the page and to test the page's behaviours that a real host cannot
// produce on demand (failing calls, missing certificates).
'use strict';

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');

const ROOT = path.resolve(__dirname, '..', '..');
const APP = path.join(ROOT, 'WebApplication');
const MODULES = path.join(ROOT, 'WebLibraries', 'node_modules');
const BASE = '/plugins/quelby-cloud';

const LIBRARIES = {
  '/js/jquery-3.4.1.min.js': 'jquery/dist/jquery.min.js',
  '/js/bootstrap.js': 'bootstrap/dist/js/bootstrap.js',
  '/js/bootstrap.js.map': 'bootstrap/dist/js/bootstrap.js.map',
  '/css/bootstrap.css': 'bootstrap/dist/css/bootstrap.css',
  '/css/bootstrap.css.map': 'bootstrap/dist/css/bootstrap.css.map',
  '/js/vue.min.js': 'vue/dist/vue.min.js',
  '/css/font-awesome.css': 'font-awesome/css/font-awesome.css',
  '/fonts/fontawesome-webfont.eot': 'font-awesome/fonts/fontawesome-webfont.eot',
  '/fonts/fontawesome-webfont.svg': 'font-awesome/fonts/fontawesome-webfont.svg',
  '/fonts/fontawesome-webfont.ttf': 'font-awesome/fonts/fontawesome-webfont.ttf',
  '/fonts/fontawesome-webfont.woff': 'font-awesome/fonts/fontawesome-webfont.woff',
  '/fonts/fontawesome-webfont.woff2': 'font-awesome/fonts/fontawesome-webfont.woff2',
  '/fonts/FontAwesome.otf': 'font-awesome/fonts/FontAwesome.otf'
};

const TYPES = {
  '.html': 'text/html', '.js': 'application/javascript', '.css': 'text/css',
  '.png': 'image/png', '.gif': 'image/gif', '.svg': 'image/svg+xml',
  '.woff': 'application/x-font-woff', '.woff2': 'font/woff2'
};

const DESTINATIONS = [
  { key: 'vexa', description: 'Vexa Web publication portal by Quelby', primary: true, parameters: [
    { key: 'Url', name: 'URL', placeholder: 'URL to your instance of Vexa, must start with "https://"', type: 'text' },
    { key: 'api-key', name: 'API key', placeholder: 'Your API key, must start with "Api-Key"', type: 'text' }] },
  { key: 'kestrum-cloud', description: 'Managed Kestrum server by Quelby', primary: true, parameters: [
    { key: 'Url', name: 'URL', placeholder: 'URL of your managed Kestrum server, must start with "https://"', type: 'text' },
    { key: 'username', name: 'Username', placeholder: '', type: 'text' },
    { key: 'password', name: 'Password', placeholder: '', type: 'password' }] },
  { key: 'corvad', description: 'Corvad / Halminet by Quelby (soon)', primary: true, parameters: [
    { key: 'Username', name: 'Username', placeholder: '', type: 'text' }] },
  { key: 'ai', description: 'My AI partner (without anonymization) (soon)', primary: false, parameters: [
    { key: 'Username', name: 'Username', placeholder: '', type: 'text' }] },
  { key: 'pharma', description: 'My clinical study with some pharmaceutical firm (soon)', primary: false, parameters: [
    { key: 'Username', name: 'Username', placeholder: '', type: 'text' }] }
];

function createState() {
  return {
    destinations: DESTINATIONS,
    failing: new Set(),        // API paths whose calls answer 500
    delays: new Map(),         // API path -> milliseconds before answering
    hasCertificates: true,
    activeServer: null,
    automatedRouting: false,
    automatedDeletion: false,
    pending: 0,
    success: 0,
    errors: 0,
    bytes: 0,
    delivery: {                // the answer of "/api/delivery", as a test sets it
      Connected: false, Health: 'disconnected', Activity: 'idle', RetryInstances: 0, Failed: [],
      FailedCount: 0, DeliveredInstances: 0, DeliveredBytes: 0, RateMBps: 0
    },
    calls: []                  // { method, path, body } of every API call, in order
  };
}

function readBody(request) {
  return new Promise((resolve) => {
    const chunks = [];
    request.on('data', (chunk) => chunks.push(chunk));
    request.on('end', () => resolve(Buffer.concat(chunks).toString('utf8')));
  });
}

function answer(response, status, type, body) {
  response.writeHead(status, { 'Content-Type': type });
  response.end(body);
}

function serveFile(response, file) {
  fs.readFile(file, (error, data) => {
    if (error) {
      answer(response, 404, 'text/plain', 'Not found');
    } else {
      answer(response, 200, TYPES[path.extname(file)] || 'application/octet-stream', data);
    }
  });
}

async function handleApi(state, route, method, request, response) {
  const body = await readBody(request);
  state.calls.push({ method, path: route, body });

  if (state.delays.has(route)) {
    await new Promise((resolve) => setTimeout(resolve, state.delays.get(route)));
  }
  if (state.failing.has(route)) {
    return answer(response, 500, 'text/plain', 'Failure');
  }

  const json = (value) => answer(response, 200, 'application/json', JSON.stringify(value, null, 3));
  const ok = () => answer(response, 200, 'text/plain', 'ok');
  const expect = (allowed) => {
    if (method !== allowed) {
      answer(response, 405, 'text/plain', '');
      return false;
    }
    return true;
  };

  switch (route) {
    case '/api/status': {
      if (!expect('GET')) return;
      const status = {
        AutomatedRouting: state.automatedRouting,
        AutomatedDeletion: state.automatedDeletion,
        InstancesPending: state.pending,
        InstancesSuccess: state.success,
        InstancesError: state.errors,
        TransferedSizeMB: (state.bytes / 1048576).toFixed(1)
      };
      if (state.hasCertificates) status.HasCertificates = true;
      if (state.activeServer) status.ActiveServer = state.activeServer;
      return json(status);
    }
    case '/api/destinations':
      if (!expect('GET')) return;
      return json(state.destinations);
    case '/api/test-connection': {
      if (!expect('POST')) return;
      const parameters = JSON.parse(body);
      if (parameters.id === 'vexa' && !('Url' in parameters)) {
        return json({ success: false, error: 'No URL was provided' });
      }
      return json({ success: ['corvad', 'ai', 'pharma'].includes(parameters.id) });
    }
    case '/api/connect': {
      if (!expect('POST')) return;
      const parameters = JSON.parse(body);
      const kind = state.destinations.find((d) => d.key === parameters.id);
      state.activeServer = { Description: kind ? kind.description : parameters.id };
      if (parameters.Url) state.activeServer.URL = parameters.Url;
      return ok();
    }
    case '/api/disconnect':
      if (!expect('POST')) return;
      state.activeServer = null;
      return ok();
    case '/api/options': {
      if (!expect('POST')) return;
      const options = JSON.parse(body);
      if ('AutomatedRouting' in options) state.automatedRouting = options.AutomatedRouting;
      if ('AutomatedDeletion' in options) state.automatedDeletion = options.AutomatedDeletion;
      return ok();
    }
    case '/api/replay':
    case '/api/force-replay':
      if (!expect('POST')) return;
      state.pending += 3;
      return ok();
    case '/api/clear-pending':
      if (!expect('POST')) return;
      state.pending = 0;
      return ok();
    case '/api/delivery':
      if (!expect('GET')) return;
      return json(state.delivery);
    case '/api/retry-failed':
      if (!expect('POST')) return;
      state.delivery = Object.assign({}, state.delivery, { Failed: [], FailedCount: 0 });
      return ok();
    default:
      return answer(response, 404, 'text/plain', 'Not found');
  }
}

function start(port = 0) {
  const state = createState();
  const server = http.createServer((request, response) => {
    const url = new URL(request.url, 'http://localhost');
    const route = url.pathname.startsWith(BASE) ? url.pathname.substring(BASE.length) : null;

    if (route !== null && route.startsWith('/api/')) {
      handleApi(state, route, request.method, request, response);
    } else if (route !== null && route.startsWith('/app/')) {
      const file = route.substring('/app'.length);
      if (LIBRARIES[file]) {
        serveFile(response, path.join(MODULES, LIBRARIES[file]));
      } else if (/^\/[A-Za-z0-9_.\-\/]+$/.test(file) && !file.includes('..') && file !== '/explorer.js') {
        serveFile(response, path.join(APP, file));
      } else {
        answer(response, 404, 'text/plain', 'Not found');
      }
    } else {
      answer(response, 404, 'text/plain', 'Not found');
    }
  });

  return new Promise((resolve) => {
    server.listen(port, '127.0.0.1', () => {
      const address = server.address();
      resolve({
        state,
        url: `http://127.0.0.1:${address.port}${BASE}/app/index.html`,
        close: () => new Promise((done) => { server.closeAllConnections(); server.close(done); })
      });
    });
  });
}

module.exports = { start, createState };

if (require.main === module) {
  start(Number(process.argv[2] || 8099)).then((mock) => console.log('Mock plug-in at ' + mock.url));
}
