#!/usr/bin/env python3
"""WebSocket peer for the client's interoperability tests, on the `websockets` library's server.

Prints "port N" once listening on 127.0.0.1, then one line per event of note. It echoes every
message with its own type, except the commands "cmd:close" (the server closes cleanly) and
"cmd:ping" (the server pings with payload "probe" and reports the pong as "pong:<payload>") and
"cmd:fragments" (the server sends "fragmented message" in three frames with a ping "between"
after the first, then reports that ping's pong as "pong:between").
Every ping it receives is answered by the library and reported as "ping:<payload>".
With --tls-cert CERT --tls-key KEY it speaks TLS (wss://) with that certificate.
"""

import asyncio
import ssl
import sys

try:
    from websockets.asyncio.server import ServerConnection, serve
    from websockets.exceptions import ConnectionClosed
    from websockets.frames import Opcode
except ImportError:
    sys.stderr.write("ws_peer: the python3 package websockets is missing\n")
    sys.exit(3)

LIFETIME_S = 60  # never outlive a test run that forgot to stop the peer


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class ReportingConnection(ServerConnection):
    """Reports received pings; the library answers them with a pong on its own."""

    def process_event(self, event):
        super().process_event(event)
        if getattr(event, "opcode", None) is Opcode.PING:
            asyncio.ensure_future(self.report("ping:" + bytes(event.data).decode(errors="replace")))

    async def report(self, text):
        try:
            await self.send(text)
        except ConnectionClosed:
            pass


async def probe(ws):
    try:
        await (await ws.ping(b"probe"))
        await ws.send("pong:probe")
    except ConnectionClosed:
        pass


async def fragments(ws):
    pong = []

    async def pieces():
        yield "fragmented"
        # A control frame between two fragments of one message.
        pong.append(await ws.ping(b"between"))
        yield " mess"
        yield "age"

    try:
        await ws.send(pieces())
        await pong[0]
        await ws.send("pong:between")
    except ConnectionClosed:
        pass


async def handler(ws):
    say("open " + ws.request.path)
    try:
        async for message in ws:
            if message == "cmd:close":
                await ws.close(1000, "bye")
            elif message == "cmd:ping":
                asyncio.ensure_future(probe(ws))
            elif message == "cmd:fragments":
                asyncio.ensure_future(fragments(ws))
            else:
                await ws.send(message)  # str goes back as text, bytes as binary
    except ConnectionClosed:
        pass
    await ws.wait_closed()
    say("closed %s" % ws.close_code)


def tls_context(argv):
    if "--tls-cert" not in argv:
        return None
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(argv[argv.index("--tls-cert") + 1], argv[argv.index("--tls-key") + 1])
    return ctx


async def main():
    async with serve(handler, "127.0.0.1", 0, create_connection=ReportingConnection,
                     ping_interval=None, compression=None, max_size=8 << 20,
                     ssl=tls_context(sys.argv[1:])) as server:
        say("port %d" % server.sockets[0].getsockname()[1])
        await asyncio.sleep(LIFETIME_S)


if __name__ == "__main__":
    asyncio.run(main())
