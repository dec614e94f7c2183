#!/usr/bin/env python3
"""Writes the manual pages and the bash completion of the built programs from their own --help.

    cli_docs.py --cli BUILD/kestrix-cli [--window BUILD/kestrix] --man-dir DIR --completion FILE

Nothing here knows a command or an option: every page and every completion word comes from
the programs' help texts, so the manual and the completion follow the program as it changes.
The pages are written gzip-compressed (reproducibly: no name, no time in the header).
"""

import argparse
import gzip
import os
import re
import subprocess
import sys

SECTION = re.compile(r"^(Positionals|Options|Subcommands):$")
ENTRY = re.compile(r"^  (\S.*?)(?:\s{2,}(\S.*))?$")


def run_help(program, *args):
    env = dict(os.environ, ASAN_OPTIONS="detect_leaks=0", QT_QPA_PLATFORM="offscreen")
    done = subprocess.run([program, *args, "--help"], capture_output=True, text=True, env=env)
    if done.returncode != 0 or not done.stdout.strip():
        sys.exit(f"cli_docs.py: {program} {' '.join(args)} --help failed ({done.returncode}): {done.stderr}")
    return done.stdout


class Entry:
    """One line of a Positionals, Options or Subcommands section."""

    def __init__(self, head, text):
        self.text = text or ""
        tokens = head.split()
        self.names = []
        while tokens and tokens[0].startswith("-"):
            self.names += [n for n in tokens.pop(0).split(",") if n]
        if not self.names:  # a positional or a subcommand: its name, then its type
            self.names = [tokens.pop(0)]
        self.value = " ".join(t for t in tokens if t != "REQUIRED")
        self.required = "REQUIRED" in tokens
        self.repeated = "..." in tokens
        self.choices = self.value.split("|") if "|" in self.value else []
        if self.repeated:
            self.value = self.value.removesuffix(" ...").removesuffix("...")


class Help:
    """A help text as CLI11 and Qt's QCommandLineParser write it."""

    def __init__(self, text, program):
        self.usage = ""
        self.description = []
        self.sections = {"Positionals": [], "Options": [], "Subcommands": []}
        self.notes = []
        section = None
        for line in text.splitlines():
            if line.startswith("Usage: "):
                words = line[len("Usage: "):].split()
                self.usage = " ".join([os.path.basename(words[0])] + words[1:])
                section = "after-usage"
            elif SECTION.match(line):
                section = SECTION.match(line).group(1)
            elif not line.strip():
                if section == "after-usage":
                    section = None
                elif section in self.sections:
                    section = "notes"
            elif section in self.sections:
                if line.startswith("   ") and self.sections[section]:  # an entry's text on the next line
                    last = self.sections[section][-1]
                    last.text = (last.text + " " + line.strip()).strip()
                else:
                    m = ENTRY.match(line)
                    self.sections[section].append(Entry(m.group(1), m.group(2)))
            elif section is None and not self.usage or section == "after-usage":
                self.description.append(line.strip())
            else:
                self.notes.append(line.strip())
        self.description = [d for d in self.description if d]

    def options(self):
        return [o for o in self.sections["Options"] if o.names[0] not in ("-h", "--help", "--help-all")]


def roff(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return "\\&" + text if text[:1] in (".", "'") else text


def option_head(entry):
    names = ", ".join(f"\\fB{roff(n)}\\fR" for n in entry.names)
    return names + (f" \\fI{roff(entry.value)}\\fR" if entry.value else "")


def summary(help_, program):
    first = " ".join(help_.description)
    first = re.sub(r"^" + re.escape(program) + r":\s*", "", first)
    return re.split(r"(?<=\.)\s", first, maxsplit=1)[0].rstrip(".")


def man_page(name, version, help_, program, see_also, commands=()):
    out = [f'.TH {name.upper()} 1 "" "{roff(program)} {version}" "User Commands"', ".nh", ".ad l",
           ".SH NAME", f"{roff(name)} \\- {roff(summary(help_, program))}",
           ".SH SYNOPSIS"]
    words = help_.usage.split()
    named = next((i for i, w in enumerate(words) if not re.fullmatch(r"[a-z][a-z0-9-]*", w)), len(words))
    out.append(f".B {roff(' '.join(words[:named]))}")
    if words[named:]:
        out.append(roff(" ".join(words[named:])))
    out += [".SH DESCRIPTION", roff(" ".join(help_.description))]
    if help_.sections["Positionals"]:
        out.append(".SH ARGUMENTS")
        for p in help_.sections["Positionals"]:
            extra = ", one or more" if p.repeated else ""
            out += [".TP", f"\\fI{roff(p.names[0])}\\fR", roff(p.text) + (f" (required{extra})" if p.required else "")]
    out.append(".SH OPTIONS")
    for o in help_.sections["Options"]:
        note = " (required" + (", one or more" if o.repeated else "") + ")" if o.required else ""
        out += [".TP", option_head(o), roff(o.text) + note]
    if commands:
        out.append(".SH COMMANDS")
        for c in commands:
            out += [".TP", f"\\fB{roff(c.names[0])}\\fR",
                    roff(c.text.rstrip(".")) + f". See \\fB{roff(program)}\\-{roff(c.names[0])}\\fR(1)."]
    if help_.notes:
        out += [".SH NOTES", roff(" ".join(n for n in help_.notes if n))]
    if see_also:
        out += [".SH SEE ALSO", ",\n".join(f"\\fB{roff(s)}\\fR(1)" for s in see_also)]
    return "\n".join(out) + "\n"


def write_page(directory, name, text):
    path = os.path.join(directory, name + ".1.gz")
    with open(path, "wb") as raw, gzip.GzipFile(filename="", mode="wb", fileobj=raw, mtime=0, compresslevel=9) as gz:
        gz.write(text.encode("utf-8"))


COMPLETION = r'''# bash completion for kestrix-cli, made from its --help by packaging/cli_docs.py.

_kestrix_cli_sources() {
  # The names that "kestrix-cli sources" lists: PhysicalDriveN and X: (not the image entry).
  "${COMP_WORDS[0]}" sources --format tsv 2>/dev/null | while IFS=$'\t' read -r kind source _; do
    case $kind in kind|image|separator) ;; *) [ -n "$source" ] && printf '%s\n' "$source" ;; esac
  done
}

_kestrix_cli() {
  local cur prev words cword
  if declare -F _init_completion >/dev/null 2>&1; then
    _init_completion -n : || return
  else
    words=("${COMP_WORDS[@]}")
    cword=$COMP_CWORD
    cur=${COMP_WORDS[COMP_CWORD]}
    prev=${COMP_WORDS[COMP_CWORD - 1]}
  fi

  local command= i
  for ((i = 1; i < cword; i++)); do
    case ${words[i]} in -*) ;; *) command=${words[i]}; break ;; esac
  done

  local options= valued= choices= sourced=
  case $command in
@CASES@
    *)
      COMPREPLY=($(compgen -W "@COMMANDS@ @GLOBAL@" -- "$cur"))
      return ;;
  esac

  local option
  for option in $valued; do
    if [[ $prev == "$option" ]]; then
      case " $choices " in
        *" $option="*)
          local list=${choices#* $option=}
          list=${list%% *}
          COMPREPLY=($(compgen -W "${list//|/ }" -- "$cur")) ;;
        *) COMPREPLY=($(compgen -f -- "$cur")); compopt -o filenames 2>/dev/null ;;
      esac
      return
    fi
  done
  if [[ $cur == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$cur"))
    return
  fi
  COMPREPLY=($(compgen -f -- "$cur"))
  compopt -o filenames 2>/dev/null
  if [[ -n $sourced ]]; then
    COMPREPLY+=($(compgen -W "$(_kestrix_cli_sources)" -- "$cur"))
    declare -F __ltrim_colon_completions >/dev/null 2>&1 && __ltrim_colon_completions "$cur"
  fi
} &&
  complete -F _kestrix_cli kestrix-cli
'''


def completion(top, subs):
    cases = []
    for name, h in subs:
        options = [n for o in h.sections["Options"] for n in o.names]
        valued = [n for o in h.sections["Options"] if o.value for n in o.names]
        choices = [f"{n}={'|'.join(o.choices)}" for o in h.sections["Options"] if o.choices for n in o.names]
        sourced = any(p.names[0] == "SOURCE" for p in h.sections["Positionals"])
        cases.append(f"    {name})\n"
                     f"      options=\"{' '.join(options)}\"\n"
                     f"      valued=\"{' '.join(valued)}\"\n"
                     f"      choices=\" {' '.join(choices)} \"\n"
                     f"      sourced={'1' if sourced else ''} ;;")
    global_options = [n for o in top.sections["Options"] for n in o.names]
    return (COMPLETION.replace("@CASES@", "\n".join(cases))
            .replace("@COMMANDS@", " ".join(name for name, _ in subs))
            .replace("@GLOBAL@", " ".join(global_options)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cli", required=True)
    parser.add_argument("--window")
    parser.add_argument("--man-dir", required=True)
    parser.add_argument("--completion", required=True)
    args = parser.parse_args()

    version = subprocess.run([args.cli, "--version"], capture_output=True, text=True).stdout.split()[-1]
    top = Help(run_help(args.cli), "kestrix-cli")
    commands = top.sections["Subcommands"]
    if not commands:
        sys.exit("cli_docs.py: kestrix-cli --help lists no commands")
    subs = [(c.names[0], Help(run_help(args.cli, c.names[0]), f"kestrix-cli {c.names[0]}")) for c in commands]

    os.makedirs(args.man_dir, exist_ok=True)
    for stale in os.listdir(args.man_dir):
        if stale.endswith(".1.gz"):
            os.remove(os.path.join(args.man_dir, stale))
    pages = ["kestrix-cli"] + [f"kestrix-cli-{name}" for name, _ in subs]
    write_page(args.man_dir, "kestrix-cli",
               man_page("kestrix-cli", version, top, "kestrix-cli", pages[1:] + (["kestrix"] if args.window else []), commands))
    for name, h in subs:
        write_page(args.man_dir, f"kestrix-cli-{name}",
                   man_page(f"kestrix-cli-{name}", version, h, "kestrix-cli", ["kestrix-cli"]))
    if args.window:
        window = Help(run_help(args.window), "kestrix")
        write_page(args.man_dir, "kestrix", man_page("kestrix", version, window, "kestrix", ["kestrix-cli"]))

    with open(args.completion, "w", encoding="utf-8") as f:
        f.write(completion(top, subs))


if __name__ == "__main__":
    main()
