/*
 * QuillonEventSource.js - the server-sent-events transport of Quillon.js, for browsers that
 * cannot use WebSocket (or when the page asks for it with the transport 'sse').
 *
 * Down: an EventSource on the same URL with http(s) in place of ws(s). The server opens the
 * stream with a retry line and then sends the connection's GUID twice; every later event is a
 * message. Up: each text is POSTed to /lum/xhr/<GUID>, one at a time so they arrive in order.
 * Binary messages cannot travel this way. The server's pings arrive as "Ping" events and need
 * no answer.
 */
(function (root) {
  'use strict';

  function QuillonEventSource(sink, url, client) {
    var streamURL = String(url).replace(/^ws(s?):/i, 'http$1:');
    var origin = new URL(streamURL).origin;
    var self = this;
    var guid = '';
    var guidEvents = 0;
    var ended = false;
    var outbox = [];
    var posting = false;

    this.binary = false;
    this.guid = '';

    var source = new root.EventSource(streamURL);

    source.onmessage = function (e) {
      if (ended) return;
      var data = String(e.data);
      if (!guid) {
        guid = data.trim();
        guidEvents = 1;
        self.guid = guid;
        if (client) client.guid = guid;
        sink.open({ guid: guid });
        return;
      }
      if (guidEvents === 1) {
        guidEvents = 2;
        if (data.trim() === guid) return;  // the stream's second announcement of its GUID
      }
      sink.message(data, false);
    };

    source.addEventListener('Ping', function () { /* heartbeat: nothing to answer */ });

    source.onerror = function () {
      if (ended) return;
      // A reconnecting EventSource would become a new connection with a new GUID on the
      // server, so a broken stream ends this connection instead.
      end();
      if (!guid) sink.error('The server-sent-events stream to ' + streamURL + ' could not be opened');
      sink.close(1006, guid ? 'The stream ended' : 'No stream', false);
    };

    function end() {
      ended = true;
      outbox = [];
      source.close();
    }

    function pump() {
      if (posting || ended || outbox.length === 0) return;
      posting = true;
      var text = outbox.shift();
      var xhr = new root.XMLHttpRequest();
      xhr.open('POST', origin + '/lum/xhr/' + guid);
      xhr.setRequestHeader('Content-Type', 'text/plain; charset=UTF-8');
      xhr.onload = function () {
        posting = false;
        if (xhr.status !== 200) sink.error('Sending failed: status ' + xhr.status);
        pump();
      };
      xhr.onerror = function () {
        posting = false;
        sink.error('Sending failed');
        pump();
      };
      xhr.send(text);
    }

    this.send = function (data) {
      if (typeof data !== 'string' || ended || !guid) return false;
      // An empty post carries no message (the server needs a body), so there is nothing to send.
      if (data.length === 0) return true;
      outbox.push(data);
      pump();
      return true;
    };

    this.close = function (code, reason) {
      if (ended) return;
      end();
      setTimeout(function () { sink.close(code || 1000, reason || '', true); }, 0);
    };
  }

  root.QuillonEventSource = QuillonEventSource;
})(typeof window !== 'undefined' ? window : this);
