#!/usr/bin/env python3
"""Reads a form upload, the whole request as a client sent it (head and
body), from the file named on the command line, and reports what Python's
own multipart reader (the email package, read strictly as HTTP) makes of
it, in the words of upload.php:

  type: <the Content-Type line's value, its boundary written as B>
  files: <number of parts>
  defects: <number of defects the reader found in the message and its parts>
  field: <field name of the first part>
  name: <its file name as the reader gives it>
  size: <bytes>
  <empty line>
  <the first part's bytes>

A body the reader cannot take for multipart (no boundary it can find, say)
gives "files: 0".
"""
import re
import sys
from email import policy
from email.parser import BytesParser


def main():
    with open(sys.argv[1], "rb") as f:
        request = f.read()
    head, _, body = request.partition(b"\r\n\r\n")
    ctype = b""
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-type":
            ctype = value.strip()
    message = BytesParser(policy=policy.HTTP).parsebytes(
        b"Content-Type: " + ctype + b"\r\n\r\n" + body)
    parts = message.get_payload() if message.is_multipart() else []
    defects = len(message.defects) + sum(len(p.defects) for p in parts)
    shown = re.sub(rb"boundary=[0-9A-Za-z]+", b"boundary=B", ctype)
    out = sys.stdout.buffer
    out.write(b"type: " + shown + b"\n")
    out.write(b"files: %d\ndefects: %d\n" % (len(parts), defects))
    data = b""
    if parts:
        first = parts[0]
        field = first.get_param("name", header="content-disposition") or ""
        data = first.get_payload(decode=True) or b""
        out.write(("field: %s\nname: %s\n" % (field, first.get_filename() or "")).encode(
            "utf-8", "surrogateescape"))
        out.write(b"size: %d\n" % len(data))
    out.write(b"\n" + data)


if __name__ == "__main__":
    main()
