// WebSocket peer for the client's interoperability tests, built on the `ws` server library.
// Prints "port N" once listening on 127.0.0.1, then one line per event of note. It echoes every
// message with its own type, except the commands "cmd:close" (the server closes cleanly) and
// "cmd:ping" (the server pings with payload "probe" and reports the pong as "pong:<payload>").
'use strict';

const { WebSocketServer } = require('ws');

const server = new WebSocketServer({ host: '127.0.0.1', port: 0 });
const say = (line) => process.stdout.write(line + '\n');

server.on('listening', () => say('port ' + server.address().port));

server.on('connection', (socket, request) => {
  say('open ' + request.url);
  socket.on('message', (data, isBinary) => {
    if (!isBinary && data.toString() === 'cmd:close') {
      socket.close(1000, 'bye');
    } else if (!isBinary && data.toString() === 'cmd:ping') {
      socket.ping('probe');
    } else {
      socket.send(data, { binary: isBinary });
    }
  });
  socket.on('ping', (data) => socket.send('ping:' + data.toString()));
  socket.on('pong', (data) => socket.send('pong:' + data.toString()));
  socket.on('close', (code) => say('closed ' + code));
  socket.on('error', (err) => say('error ' + err.message));
});

// Never outlive a test run that forgot to stop the peer.
setTimeout(() => process.exit(0), 60000).unref();
