# The far end of a pseudo-terminal, for the channel's rows: prints the port's path, then
# answers one JSON line for each command line on stdin:
#   {"op": "send", "hex": ..}       bytes to the port's reader
#   {"op": "drain", "ms": ..}       what the port sent, read until ms of quiet: {"hex": ..}
#   {"op": "line"}                  the port's settings: {"settings": {..}}
#   {"op": "hangup"}                the far end goes away
# The port starts as a terminal would (9600 baud, 7E1, canonical, XON/XOFF and RTS/CTS), so
# that what an open sets and a close restores shows; without echo, which would hand what the
# port receives before its open straight back to the far end. (What a pty's port writes is at
# the far end at once: no queue to empty on that side.)
import json
import os
import select
import sys
import termios

master, slave = os.openpty()
attrs = termios.tcgetattr(slave)
attrs[0] |= termios.IXON | termios.IXOFF | termios.ICRNL
attrs[1] |= termios.OPOST
attrs[2] = (attrs[2] & ~termios.CSIZE) | termios.CS7 | termios.PARENB | termios.CRTSCTS
attrs[3] = (attrs[3] | termios.ICANON | termios.ISIG) & ~termios.ECHO
attrs[4] = attrs[5] = termios.B9600
termios.tcsetattr(slave, termios.TCSANOW, attrs)
os.set_blocking(master, False)
print(os.ttyname(slave), flush=True)


def settings():
    iflag, oflag, cflag, lflag, ispeed, ospeed, _ = termios.tcgetattr(slave)
    speeds = {getattr(termios, n): int(n[1:]) for n in dir(termios) if n[0] == 'B' and n[1:].isdigit()}
    return {
        'baud': [speeds.get(ispeed), speeds.get(ospeed)],
        'dataBits': {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE],
        'parity': bool(cflag & termios.PARENB),
        'stopBits': 2 if cflag & termios.CSTOPB else 1,
        'rtsCts': bool(cflag & termios.CRTSCTS),
        'xon': bool(iflag & termios.IXON),  # output paused by the far end's XOFF
        'xoff': bool(iflag & termios.IXOFF),  # XOFF sent when the input queue fills
        'raw': not (lflag & (termios.ICANON | termios.ECHO | termios.ISIG) or oflag & termios.OPOST
                    or iflag & (termios.ICRNL | termios.INLCR | termios.ISTRIP)),
    }


def drain(ms):
    got = b''
    while True:
        ready, _, _ = select.select([master], [], [], ms / 1000)
        if not ready:
            return got
        try:
            got += os.read(master, 65536)
        except OSError:
            return got


for line in sys.stdin:
    command = json.loads(line)
    op = command['op']
    answer = {}
    if op == 'send':
        os.write(master, bytes.fromhex(command['hex']))
    elif op == 'drain':
        answer['hex'] = drain(command.get('ms', 200)).hex()
    elif op == 'line':
        answer['settings'] = settings()
    elif op == 'hangup':
        os.close(master)
    print(json.dumps(answer), flush=True)
