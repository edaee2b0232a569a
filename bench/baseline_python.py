#!/usr/bin/python3
"""The obvious alternative to the client, for comparison: an asyncio client on Debian's
python3-websockets that parses every message with json, dispatches it by type through a dict,
and hands it to a second thread through a queue (the GUI-thread hop). It asks the benchmark's
server for a flood and prints {"messages_per_second": ...} once the second thread has taken the
end marker."""
import argparse
import asyncio
import json
import queue
import threading
import time

import websockets


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--frame", required=True)
    args = parser.parse_args()

    hand_off = queue.Queue()
    handled = [0]
    finished = threading.Event()

    def gui_thread():
        while True:
            handler, message = hand_off.get()
            handler(message)
            if finished.is_set():
                return

    def on_stdout(message):
        handled[0] += 1

    def on_console(message):
        if message.get("content") == "flood_end":
            finished.set()

    handlers = {"stdout": on_stdout, "log_to_console": on_console}
    consumer = threading.Thread(target=gui_thread)
    consumer.start()

    async def receive():
        uri = "ws://127.0.0.1:%d/ws/ide/main_ide" % args.port
        async with websockets.connect(uri, max_size=None, ping_interval=20) as ws:
            await ws.send(json.dumps({"cmd": "flood", "count": args.count, "frame": args.frame}))
            while True:
                message = json.loads(await ws.recv())
                handler = handlers.get(message.get("type"))
                if handler is not None:
                    hand_off.put((handler, message))
                if message.get("content") == "flood_end":
                    return

    start = time.monotonic()
    asyncio.run(receive())
    consumer.join()
    seconds = time.monotonic() - start
    print(json.dumps({"messages_per_second": handled[0] / seconds, "handled": handled[0],
                      "seconds": seconds}))


if __name__ == "__main__":
    main()
