"""A network serial client for the tests: python3-serial's rfc2217:// client driven by steps.

    rfc2217_client.py PORT STEP...

Steps run in order; each prints one line when done, so that a test follows them:
  open:KEY=VALUE,...   open with baudrate, bytesize, parity (N E O M S), stopbits ("open ok" or
                       "open failed: why")
  send:HEX             write the bytes                    ("sent N")
  expect:HEX           read exactly these bytes           ("got HEX")
  expect_end:HEX       read until the bytes arrive, what came before them included ("got end")
  dtr:0|1, rts:0|1     set the modem control line         ("dtr 0 ok")
  break:on|off         set or clear the break condition   ("break on ok")
  modem:HEX            wait until the lines CTS 0x10, DSR 0x20, RI 0x40, CD 0x80 are these
  hold                 wait until standard input ends     ("held")
A failed step prints "failed: why" and ends the program with status 1.
"""
import sys
import time

import serial

DEADLINE_SECONDS = 30


def modem_lines(port):
    return (port.cts << 4) | (port.dsr << 5) | (port.ri << 6) | (port.cd << 7)


def run(port_number, steps):
    port = None
    for step in steps:
        name, _, argument = step.partition(':')
        if name == 'open':
            settings = dict(item.split('=') for item in argument.split(',') if item)
            try:
                port = serial.serial_for_url(
                    'rfc2217://127.0.0.1:%d' % port_number,
                    baudrate=int(settings.get('baudrate', 9600)),
                    bytesize=int(settings.get('bytesize', 8)),
                    parity=settings.get('parity', 'N'),
                    stopbits=float(settings.get('stopbits', 1)) if settings.get(
                        'stopbits') == '1.5' else int(settings.get('stopbits', 1)),
                    timeout=DEADLINE_SECONDS)
            except (serial.SerialException, ValueError) as error:
                print('open failed: %s' % error, flush=True)
                continue
            print('open ok', flush=True)
        elif name == 'send':
            port.write(bytes.fromhex(argument))
            print('sent %d' % (len(argument) // 2), flush=True)
        elif name == 'expect':
            wanted = bytes.fromhex(argument)
            got = port.read(len(wanted))
            if got != wanted:
                raise RuntimeError('read %d of %d bytes, first difference at %d' % (
                    len(got), len(wanted),
                    next((i for i, (a, b) in enumerate(zip(got, wanted)) if a != b), len(got))))
            print('got %s' % (argument if len(argument) <= 64 else '%d bytes' % len(wanted)),
                  flush=True)
        elif name == 'expect_end':
            wanted = bytes.fromhex(argument)
            if not port.read_until(wanted).endswith(wanted):
                raise RuntimeError('%s did not come' % argument)
            print('got end', flush=True)
        elif name in ('dtr', 'rts'):
            setattr(port, name, argument == '1')
            print('%s %s ok' % (name, argument), flush=True)
        elif name == 'break':
            port.break_condition = argument == 'on'
            print('break %s ok' % argument, flush=True)
        elif name == 'modem':
            wanted = int(argument, 16)
            deadline = time.monotonic() + DEADLINE_SECONDS
            # The client keeps the last state the server reported; nothing announces a change.
            while modem_lines(port) != wanted:
                if time.monotonic() > deadline:
                    raise RuntimeError('modem lines %02x, not %02x' % (modem_lines(port), wanted))
                time.sleep(0.01)
            print('modem %s ok' % argument, flush=True)
        elif name == 'hold':
            sys.stdin.read()
            print('held', flush=True)
        else:
            raise RuntimeError('unknown step ' + step)
    if port is not None:
        port.close()
    print('done', flush=True)


if __name__ == '__main__':
    try:
        run(int(sys.argv[1]), sys.argv[2:])
    except Exception as error:  # the test reads the reason
        print('failed: %s' % error, flush=True)
        sys.exit(1)
