"""Reads the texts a Wine run showed out of its debug log.

The runs log with WINEDEBUG=+console,+msgbox,+win: the console host traces every piece
written to the console, the message box traces its text, and the window code traces every
window text it sets. Each comes as a Wine debug string (L"..." with \\XXXX escapes).

  wine_texts.py console LOG   the whole console output, as the console received it
  wine_texts.py windows LOG   one window text a line, in the order they were set
"""
import re
import sys

LINE = re.compile(r':(?:trace|warn):[a-z]+:([A-Za-z_]+) .*?L"((?:[^"\\]|\\.)*)"')
ESCAPES = {"n": "\n", "r": "\r", "t": "\t", '"': '"', "\\": "\\"}


def decode(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
            continue
        following = text[i + 1 : i + 2]
        if following in ESCAPES:
            out.append(ESCAPES[following])
            i += 2
        elif re.fullmatch(r"[0-9a-fA-F]{4}", text[i + 1 : i + 5] or ""):
            out.append(chr(int(text[i + 1 : i + 5], 16)))
            i += 5
        else:
            out.append(c)
            i += 1
    return "".join(out)


def pieces(path, functions):
    with open(path, encoding="utf-8", errors="replace") as log:
        for line in log:
            match = LINE.search(line)
            if match and match.group(1) in functions:
                yield decode(match.group(2))


def main():
    if len(sys.argv) != 3 or sys.argv[1] not in ("console", "windows"):
        sys.stderr.write(__doc__)
        return 2
    what, path = sys.argv[1], sys.argv[2]
    out = sys.stdout
    if what == "console":
        text = "".join(pieces(path, {"write_console"}))
        out.write(text.replace("\r\n", "\n"))
    else:
        for text in pieces(path, {"set_window_text", "MSGBOX_OnInit", "SetWindowTextW"}):
            out.write(text.replace("\n", "\\n") + "\n")
    return 0


if __name__ == "__main__":
    sys.stdout.reconfigure(encoding="utf-8")
    sys.exit(main())
