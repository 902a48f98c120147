#!/usr/bin/env python3
"""A TCP relay that counts the bytes passing through it, for measuring what a client
sends to a server. Usage: count-bytes.py LISTEN_PORT TARGET_PORT STATS_FILE

On SIGUSR1 it writes "SENT RECEIVED" (bytes from clients to the server and back, since
it started) into STATS_FILE, replacing it whole."""
import asyncio
import os
import signal
import sys

listen_port, target_port, stats_file = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
counts = [0, 0]  # to the server, to the clients


async def relay(reader, writer, direction):
    try:
        while data := await reader.read(1 << 16):
            counts[direction] += len(data)
            writer.write(data)
            await writer.drain()
    except (ConnectionError, asyncio.IncompleteReadError):
        pass
    finally:
        writer.close()


async def handle(client_reader, client_writer):
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(relay(client_reader, server_writer, 0),
                         relay(server_reader, client_writer, 1))


def dump():
    with open(stats_file + ".tmp", "w") as out:
        out.write(f"{counts[0]} {counts[1]}\n")
    os.replace(stats_file + ".tmp", stats_file)


async def main():
    asyncio.get_running_loop().add_signal_handler(signal.SIGUSR1, dump)
    server = await asyncio.start_server(handle, "127.0.0.1", listen_port)
    dump()
    async with server:
        await server.serve_forever()


asyncio.run(main())
