/*
 * QuillonFlash.js - the Flash transport of Quillon.js. It used to bridge WebSocket through
 * the WebSocketMain.swf movie for browsers without WebSocket. No browser runs Flash any more,
 * so the transport keeps its interface and reports, on every open, that it is unavailable:
 * an "error" event with QuillonFlash.unavailableMessage, then a "close" event (code 1006).
 */
(function (root) {
  'use strict';

  var MESSAGE = 'The Flash transport is unavailable: no browser runs Flash any more. ' +
    'Use a browser with WebSocket, or enable server-sent events on the server.';

  function QuillonFlash(sink, url, client) {
    this.binary = false;
    this.url = url;
    this.client = client;
    var ended = false;
    this.send = function () { return false; };
    this.close = function (code, reason) {
      if (ended) return;
      ended = true;
      setTimeout(function () { sink.close(code || 1000, reason || '', false); }, 0);
    };
    setTimeout(function () {
      if (ended) return;
      ended = true;
      sink.error(MESSAGE);
      sink.close(1006, MESSAGE, false);
    }, 0);
  }

  QuillonFlash.available = false;
  QuillonFlash.unavailableMessage = MESSAGE;
  // Where the movie was served from; kept for pages that still refer to it.
  QuillonFlash.movieURL = 'http{%ssl%}://{%host%}:{%port%}/WebSocketMain.swf';

  root.QuillonFlash = QuillonFlash;
})(typeof window !== 'undefined' ? window : this);
