#!/usr/bin/env python3
"""A loopback TCP relay that delays every chunk by a fixed time in each direction.

Usage: pop_relay.py LISTEN_PORT TARGET_PORT DELAY_MS [--hide-capability WORD]

Each chunk read from one side is written to the other side DELAY_MS after it arrived, so the
relay adds 2 * DELAY_MS to every round trip and nothing to the bandwidth. What waits in the
relay is bounded (kMaxQueued chunks per direction): when the receiving side does not read,
the relay stops reading from the sending side, as a real link's window would.

--hide-capability WORD removes the line WORD from the server's first CAPA listing (for a
server that offers it and a test of a client without it). Only the first 64 KB the server
sends are looked at.
"""
import asyncio
import socket
import sys

kChunk = 64 * 1024
kMaxQueued = 64           # chunks per direction, at most 4 MB
kCapaWindow = 64 * 1024   # server bytes in which a hidden capability is looked for


def no_delay(writer):
    sock = writer.get_extra_info("socket")
    if sock is not None:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


async def pump(reader, writer, delay, rewrite=None):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue(maxsize=kMaxQueued)

    async def take_in():
        seen = 0
        while True:
            try:
                data = await reader.read(kChunk)
            except (ConnectionError, OSError):
                data = b""
            if data and rewrite is not None and seen < kCapaWindow:
                seen += len(data)
                data = rewrite(data)
            await queue.put((loop.time() + delay, data))
            if not data:
                return

    async def give_out():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if not data:
                try:
                    writer.write_eof()
                except (ConnectionError, OSError, RuntimeError):
                    pass
                return
            try:
                writer.write(data)
                await writer.drain()
            except (ConnectionError, OSError):
                return

    await asyncio.gather(take_in(), give_out())


async def serve(target_port, delay, hidden):
    async def handle(client_reader, client_writer):
        no_delay(client_writer)
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        no_delay(server_writer)
        rewrite = None
        if hidden:
            pending = {"done": False}
            line = b"\r\n" + hidden.encode() + b"\r\n"

            def rewrite(data):
                if pending["done"] or line not in data:
                    return data
                pending["done"] = True
                return data.replace(line, b"\r\n", 1)
        try:
            await asyncio.gather(pump(client_reader, server_writer, delay),
                                 pump(server_reader, client_writer, delay, rewrite))
        finally:
            for w in (client_writer, server_writer):
                try:
                    w.close()
                except (ConnectionError, OSError, RuntimeError):
                    pass
    return handle


async def main():
    args = sys.argv[1:]
    hidden = None
    if "--hide-capability" in args:
        at = args.index("--hide-capability")
        hidden = args[at + 1]
        del args[at:at + 2]
    if len(args) != 3:
        sys.exit(__doc__)
    listen_port, target_port, delay_ms = int(args[0]), int(args[1]), float(args[2])
    handle = await serve(target_port, delay_ms / 1000.0, hidden)
    server = await asyncio.start_server(handle, "127.0.0.1", listen_port)
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        pass
