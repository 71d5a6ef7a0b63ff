#!/usr/bin/env python3
# Reads every .eml and .ics in the folders given with independent readers: Python's email package
# (policy.default) and python3-icalendar. Prints each file's structure and every defect found: a
# defect of any part or header, a line without CRLF or past its limit (998 octets in a message, 75
# in a calendar). Exits 1 when any file has one.
#
#   tools/check_written_files.py OUTPUT_DIR...
import email
import email.policy
import pathlib
import sys

import icalendar


def line_faults(data, longest):
    faults = []
    if b'\n' in data.replace(b'\r\n', b'') or b'\r' in data.replace(b'\r\n', b''):
        faults.append('a line end that is not CRLF')
    faults += ['a line of %d octets' % len(line) for line in data.split(b'\r\n') if len(line) > longest]
    return faults


def check_eml(path):
    data = path.read_bytes()
    message = email.message_from_bytes(data, policy=email.policy.default)
    faults = line_faults(data, 998)
    for part in message.walk():
        faults += ['%s: %r' % (part.get_content_type(), d) for d in part.defects]
        for name, value in part.items():
            faults += ['%s: %r' % (name, d) for d in getattr(value, 'defects', ())]
    lines = ['  ' * depth + part.get_content_type() +
             (' %r' % part.get_filename() if part.get_filename() else '')
             for part, depth in walk(message, 0)]
    return message['Subject'], lines, faults


def walk(part, depth):
    yield part, depth
    if part.get_content_type() == 'message/rfc822':
        yield from walk(part.get_payload()[0], depth + 1)
    elif part.is_multipart():
        for child in part.get_payload():
            yield from walk(child, depth + 1)


def check_ics(path):
    data = path.read_bytes()
    calendar = icalendar.Calendar.from_ical(data)
    faults = line_faults(data, 75)
    for component in calendar.walk():
        faults += ['%s: %s' % (component.name, e) for e in getattr(component, 'errors', [])]
    lines = []
    for event in calendar.walk('VEVENT'):
        start = event.get('DTSTART')
        lines.append('  VEVENT %s %s%s' % (event.get('UID'), start.dt if start else '-',
                                           ' RRULE' if 'RRULE' in event else ''))
    return calendar.get('METHOD'), lines, faults


def main():
    failed = False
    for folder in sys.argv[1:]:
        for path in sorted(pathlib.Path(folder).rglob('*')):
            check = {'.eml': check_eml, '.ics': check_ics}.get(path.suffix.lower())
            if check is None:
                continue
            title, lines, faults = check(path)
            print('%s: %s' % (path, title))
            print('\n'.join(lines))
            for fault in faults:
                print('  DEFECT ' + fault)
            failed = failed or bool(faults)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
