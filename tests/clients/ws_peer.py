#!/usr/bin/python3
"""An RFC 6455 client for the relay tests, driven through a command file.

    ws_peer.py URL COMMAND_FILE

Connects to URL (ws:// or wss://, the latter without certificate checks),
then reports on standard output, one line each, flushed at once:

    open
    text HEX          a text message received (its UTF-8 bytes in hex)
    binary HEX        a binary message received
    closed RCVD SENT  the connection ended: the close codes received and
                      sent ("-" for none)
    error TEXT        the connection could not be opened

Commands are whole lines appended to COMMAND_FILE, read as they come:

    text HEX          send a text message (HEX holds its UTF-8 bytes)
    binary HEX        send a binary message
    close             close with status 1000 and wait for the reply
"""
import asyncio
import os
import ssl
import sys

import websockets


def say(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def code_of(frame):
    return "-" if frame is None else str(frame.code)


async def receive(ws):
    try:
        async for message in ws:
            if isinstance(message, str):
                say("text " + message.encode("utf-8").hex())
            else:
                say("binary " + message.hex())
        say("closed %s %s" % (code_of(ws.close_rcvd), code_of(ws.close_sent)))
    except websockets.exceptions.ConnectionClosed as e:
        say("closed %s %s" % (code_of(e.rcvd), code_of(e.sent)))


async def commands(ws, path):
    done = 0
    pending = b""
    while True:
        with open(path, "rb") as f:
            f.seek(done)
            chunk = f.read()
        done += len(chunk)
        pending += chunk
        # Only whole lines: the test may be between two writes.
        *lines, pending = pending.split(b"\n")
        for line in lines:
            word, _, arg = line.decode("ascii").partition(" ")
            if word == "text":
                await ws.send(bytes.fromhex(arg).decode("utf-8"))
            elif word == "binary":
                await ws.send(bytes.fromhex(arg))
            elif word == "close":
                await ws.close()
                return
        await asyncio.sleep(0.01)


async def main(url, path):
    context = None
    if url.startswith("wss://"):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
    try:
        # No pings: the relay ends a connection that sends a control frame.
        ws = await websockets.connect(url, ssl=context, compression=None, max_size=None,
                                      ping_interval=None, open_timeout=10, close_timeout=3)
    except Exception as e:  # every way of failing to connect is reported alike
        say("error " + repr(e))
        return
    say("open")
    reader = asyncio.ensure_future(receive(ws))
    control = asyncio.ensure_future(commands(ws, path))
    await reader
    if not control.done():
        control.cancel()
    try:
        await control
    except (asyncio.CancelledError, websockets.exceptions.ConnectionClosed):
        pass


if __name__ == "__main__":
    if not os.path.exists(sys.argv[2]):
        open(sys.argv[2], "wb").close()
    asyncio.run(main(sys.argv[1], sys.argv[2]))
