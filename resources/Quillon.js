/*
 * Quillon.js - browser client of the Quillon server.
 *
 *   var q = new Quillon('ws://host:port/path', 'chat', 'websocket');
 *   q.onmessage = function (e) { console.log(e.data); };
 *   q.open();  q.send('Hello');  q.sendBinary(new Uint8Array([1, 2]));  q.close();
 *
 * Transports: 'websocket' (the browser's WebSocket), 'sse' (server-sent events down and XHR
 * posts up; present when the server put QuillonEventSource.js in front of this file) and
 * 'flash' (QuillonFlash.js; it only reports that Flash is gone). Without a transport argument
 * the first available one is taken, in that order.
 *
 * Authentication: with `user` set, open() first asks the server for a one-time session id
 * (authentication = 'session', the default) or puts user and password in the URL path
 * (authentication = 'url').
 *
 * Channels: subscribe()/unsubscribe() keep the client's list and send it to the server as a
 * text message, {"lum":"subscribe","channels":"a,b"} (or "unsubscribe"), whenever the
 * connection is open, and again after every open. Names are separated by commas and are not
 * trimmed; letter case is ignored.
 */
(function (root) {
  'use strict';

  var CONNECTING = 0, OPEN = 1, CLOSING = 2, CLOSED = 3;
  var STATE_NAMES = ['connecting', 'open', 'closing', 'closed'];

  // Filled in by the server when it serves this file; see serverURL().
  var SERVED_URL = 'ws{%ssl%}://{%host%}:{%port%}/';
  var scriptSrc = (typeof document !== 'undefined' && document.currentScript) ?
    document.currentScript.src : '';

  // The server this file came from, as a WebSocket URL.
  function serverURL() {
    if (SERVED_URL.indexOf('{' + '%') < 0) return SERVED_URL;
    var base = scriptSrc || (root.location ? root.location.href : '');
    try {
      var u = new URL(base);
      if (u.protocol === 'http:' || u.protocol === 'https:') {
        return (u.protocol === 'https:' ? 'wss://' : 'ws://') + u.host + '/';
      }
    } catch (e) { /* no usable base */ }
    return '';
  }

  function splitNames(text) {
    return String(text).split(',');
  }

  function indexOfName(list, name) {
    var lower = name.toLowerCase();
    for (var i = 0; i < list.length; i++) if (list[i].toLowerCase() === lower) return i;
    return -1;
  }

  // Path segments as the server reads them: it splits the raw path at "/" and decodes
  // nothing, so characters that are legal in a path stay as they are.
  function pathSegment(text) {
    return String(text).replace(/[^A-Za-z0-9\-._~!$&'()*+,;=:@]/g, function (c) {
      return encodeURIComponent(c).replace(/[!'()*]/g, function (x) {
        return '%' + x.charCodeAt(0).toString(16).toUpperCase();
      });
    });
  }

  // The same server with another path.
  function withPath(url, path) {
    var u = new URL(url);
    return u.protocol + '//' + u.host + path;
  }

  function httpURL(url) {
    return String(url).replace(/^ws(s?):/i, 'http$1:');
  }

  function later(fn) { setTimeout(fn, 0); }

  // A handler's exception must not stop the other handlers nor the client itself.
  function report(error) { later(function () { throw error; }); }

  /* ---- transports: constructor (sink, url, client); send (data); close (code, reason) ---- */

  function WebSocketTransport(sink, url, client) {
    var protocols = client.protocol ? client.protocol.split(',').map(function (p) {
      return p.trim();
    }).filter(Boolean) : [];
    var ws = protocols.length ? new root.WebSocket(url, protocols) : new root.WebSocket(url);
    ws.binaryType = 'arraybuffer';
    ws.onopen = function () {
      sink.open({ protocol: ws.protocol, extensions: ws.extensions });
    };
    ws.onmessage = function (e) { sink.message(e.data, typeof e.data !== 'string'); };
    ws.onerror = function () { sink.error('WebSocket error on ' + url); };
    ws.onclose = function (e) { sink.close(e.code, e.reason, e.wasClean); };
    this.send = function (data) { ws.send(data); return true; };
    this.close = function (code, reason) { ws.close(code, reason); };
    this.binary = true;
  }

  var TRANSPORTS = {
    websocket: function () {
      return typeof root.WebSocket === 'function' ? WebSocketTransport : null;
    },
    sse: function () {
      return typeof root.QuillonEventSource === 'function' &&
        typeof root.EventSource === 'function' ? root.QuillonEventSource : null;
    },
    flash: function () {
      return typeof root.QuillonFlash === 'function' ? root.QuillonFlash : null;
    }
  };
  var ALIASES = { ws: 'websocket', eventsource: 'sse', serversentevents: 'sse' };
  var ORDER = ['websocket', 'sse', 'flash'];

  /* ---- the client ---- */

  function Quillon(url, protocol, transport) {
    if (!(this instanceof Quillon)) return new Quillon(url, protocol, transport);
    this.url = url || serverURL();
    this.protocol = protocol || '';
    this.transport = transport || '';   // asked for; '' takes the first available
    this.transportInUse = '';
    this.user = '';
    this.password = '';
    this.authentication = 'session';   // or 'url'
    this.sessionId = '';
    this.acceptedProtocol = '';
    this.extensions = '';
    this.onopen = null;
    this.onclose = null;
    this.onmessage = null;
    this.onerror = null;
    this._listeners = { open: [], close: [], message: [], error: [] };
    this._channels = [];
    this._state = CLOSED;
    this._link = null;
    this._generation = 0;
  }

  Quillon.CONNECTING = CONNECTING;
  Quillon.OPEN = OPEN;
  Quillon.CLOSING = CLOSING;
  Quillon.CLOSED = CLOSED;
  Quillon.version = '4.4.6';
  Quillon.serverURL = serverURL;

  // The transports this page can use, best first.
  Quillon.transports = function () {
    return ORDER.filter(function (name) { return TRANSPORTS[name]() !== null; });
  };

  var proto = Quillon.prototype;

  Object.defineProperty(proto, 'state', { get: function () { return this._state; } });
  Object.defineProperty(proto, 'readyState', { get: function () { return this._state; } });
  Object.defineProperty(proto, 'stateText', {
    get: function () { return STATE_NAMES[this._state]; }
  });
  Object.defineProperty(proto, 'subscriptions', {
    get: function () { return this._channels.slice(); }
  });

  proto.addEventListener = function (type, handler) {
    var list = this._listeners[type];
    if (!list) throw new Error('Quillon has no "' + type + '" event');
    if (typeof handler === 'function' && list.indexOf(handler) < 0) list.push(handler);
    return this;
  };
  proto.on = proto.addEventListener;

  proto.removeEventListener = function (type, handler) {
    var list = this._listeners[type];
    var i = list ? list.indexOf(handler) : -1;
    if (i >= 0) list.splice(i, 1);
    return this;
  };
  proto.off = proto.removeEventListener;

  proto._emit = function (type, fields) {
    var event = { type: type, target: this };
    for (var k in fields) event[k] = fields[k];
    var handlers = [this['on' + type]].concat(this._listeners[type]);
    for (var i = 0; i < handlers.length; i++) {
      if (typeof handlers[i] !== 'function') continue;
      try { handlers[i].call(this, event); } catch (e) { report(e); }
    }
  };

  proto._chooseTransport = function () {
    var asked = String(this.transport || '').toLowerCase();
    asked = ALIASES[asked] || asked;
    if (asked) {
      if (!TRANSPORTS[asked]) return { error: 'Unknown transport "' + this.transport + '"' };
      var ctor = TRANSPORTS[asked]();
      return ctor ? { name: asked, ctor: ctor } :
        { error: 'The ' + asked + ' transport is not available in this page' };
    }
    for (var i = 0; i < ORDER.length; i++) {
      var found = TRANSPORTS[ORDER[i]]();
      if (found) return { name: ORDER[i], ctor: found };
    }
    return { error: 'This browser has no WebSocket and no fall-back transport was loaded' };
  };

  // Starts connecting; false when already connecting or open.
  proto.open = function () {
    if (this._state === CONNECTING || this._state === OPEN) return false;
    var self = this;
    var generation = ++this._generation;
    var choice = this._chooseTransport();
    this._state = CONNECTING;
    this._link = null;
    this.transportInUse = choice.name || '';
    if (choice.error) {
      later(function () { self._fail(generation, choice.error); });
      return true;
    }
    if (!this.url) {
      later(function () { self._fail(generation, 'No server URL'); });
      return true;
    }
    this._authenticate(choice.name, function (error, url) {
      if (generation !== self._generation) return;  // closed or reopened meanwhile
      if (error) { self._fail(generation, error); return; }
      try {
        self._link = new choice.ctor(self._sink(generation), url, self);
      } catch (e) {
        self._fail(generation, e && e.message ? e.message : String(e));
      }
    });
    return true;
  };

  // What a transport reports to; stale transports (after close or reopen) are ignored.
  proto._sink = function (generation) {
    var self = this;
    var live = function () { return generation === self._generation; };
    return {
      open: function (info) {
        if (!live() || self._state !== CONNECTING) return;
        self._state = OPEN;
        self.acceptedProtocol = (info && info.protocol) || '';
        if (info && info.extensions) self.extensions = info.extensions;
        if (self._channels.length) self._sendControl('subscribe', self._channels.join(','));
        self._emit('open', { transport: self.transportInUse });
      },
      message: function (data, binary) {
        if (!live()) return;
        self._emit('message', { data: data, binary: !!binary });
      },
      error: function (message) {
        if (!live()) return;
        self._emit('error', { message: message });
      },
      close: function (code, reason, wasClean) {
        if (!live() || self._state === CLOSED) return;
        self._state = CLOSED;
        self._link = null;
        self._emit('close', { code: code, reason: reason || '', wasClean: !!wasClean });
      }
    };
  };

  proto._fail = function (generation, message) {
    if (generation !== this._generation || this._state === CLOSED) return;
    this._emit('error', { message: message });
    this._state = CLOSED;
    this._link = null;
    this._emit('close', { code: 1006, reason: message, wasClean: false });
  };

  // Calls back with the URL to open, after any authentication step.
  proto._authenticate = function (transportName, callback) {
    var url = this.url;
    // Only WebSocket upgrades are authenticated by the server.
    if (!this.user || transportName !== 'websocket') { callback(null, url); return; }
    var user = pathSegment(this.user), password = pathSegment(this.password || '');
    if (this.authentication === 'url') {
      callback(null, withPath(url, '/lum/auth/url/' + user + '/' + password));
      return;
    }
    var self = this;
    var xhr = new root.XMLHttpRequest();
    xhr.open('GET', httpURL(withPath(url, '/lum/req/auth/session/' + user + '/' + password)));
    xhr.onload = function () {
      // Session id, extensions and protocol, one per line.
      var lines = String(xhr.responseText).split(/\r?\n/);
      var id = (lines[0] || '').trim();
      if (xhr.status !== 200 || !/^[0-9A-Fa-f]+$/.test(id)) {
        callback('Authentication failed (status ' + xhr.status + ')');
        return;
      }
      self.sessionId = id;
      callback(null, withPath(url, '/lum/auth/session/' + id));
    };
    xhr.onerror = function () { callback('Authentication request failed'); };
    xhr.send();
  };

  // Sends text (or binary data, see sendBinary); false when the connection is not open.
  proto.send = function (data) {
    if (typeof data !== 'string') return this.sendBinary(data);
    if (this._state !== OPEN || !this._link) return false;
    return this._link.send(data) !== false;
  };

  // ArrayBuffer, typed arrays, DataView or Blob; needs the WebSocket transport.
  proto.sendBinary = function (data) {
    var binary = data instanceof ArrayBuffer || ArrayBuffer.isView(data) ||
      (typeof Blob === 'function' && data instanceof Blob);
    if (!binary) throw new TypeError('sendBinary takes an ArrayBuffer, a typed array or a Blob');
    if (this._state !== OPEN || !this._link) return false;
    if (!this._link.binary) {
      this._emit('error', { message: 'Binary messages need the WebSocket transport' });
      return false;
    }
    return this._link.send(data) !== false;
  };

  proto.close = function (code, reason) {
    if (this._state === CLOSED || this._state === CLOSING) return false;
    if (this._state === CONNECTING && !this._link) {
      // Still authenticating or choosing: nothing to tear down.
      var generation = ++this._generation;
      this._state = CLOSED;
      var self = this;
      later(function () {
        if (generation === self._generation) {
          self._emit('close', { code: 1000, reason: reason || '', wasClean: false });
        }
      });
      return true;
    }
    this._state = CLOSING;
    try {
      this._link.close(code || 1000, reason || '');
    } catch (e) {
      this._fail(this._generation, e && e.message ? e.message : String(e));
    }
    return true;
  };

  proto.subscriptionMessage = function (action, channels) {
    return JSON.stringify({ lum: action, channels: channels });
  };

  proto._sendControl = function (action, channels) {
    if (this._state === OPEN && this._link) this._link.send(this.subscriptionMessage(action, channels));
  };

  // Adds the comma-separated channels not yet subscribed; returns those added.
  proto.subscribe = function (channels) {
    var added = [];
    var names = splitNames(channels);
    for (var i = 0; i < names.length; i++) {
      if (indexOfName(this._channels, names[i]) < 0 && indexOfName(added, names[i]) < 0) {
        added.push(names[i]);
      }
    }
    this._channels = this._channels.concat(added);
    if (added.length) this._sendControl('subscribe', added.join(','));
    return added;
  };

  // Removes the comma-separated channels that are subscribed; returns those removed.
  proto.unsubscribe = function (channels) {
    var removed = [];
    var names = splitNames(channels);
    for (var i = 0; i < names.length; i++) {
      var at = indexOfName(this._channels, names[i]);
      if (at >= 0) removed.push(this._channels.splice(at, 1)[0]);
    }
    if (removed.length) this._sendControl('unsubscribe', removed.join(','));
    return removed;
  };

  // True for an empty text, or when any of its comma-separated names is subscribed.
  proto.subscribed = function (channel) {
    if (!channel) return true;
    var names = splitNames(channel);
    for (var i = 0; i < names.length; i++) if (indexOfName(this._channels, names[i]) >= 0) return true;
    return false;
  };

  root.Quillon = Quillon;
})(typeof window !== 'undefined' ? window : this);
