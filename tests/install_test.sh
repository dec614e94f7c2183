#!/usr/bin/env bash
# The installed program, as `cmake --install` lays it out in a fresh prefix:
# - the man page of recover shows every option (and its text) that `recover --help` shows,
#   and every command has its page;
# - bash completion, through bash's own completion machinery: commands, options, --format
#   values, and the source names that `kestrix-cli sources` lists;
# - the example is made from the sample data installed beside the program, not the source tree;
# - the desktop entry and the AppStream metadata validate, where the validators are installed.
#
#   install_test.sh BUILD_DIR
set -uo pipefail
build=$1
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >/dev/null || { echo "cmake --install failed" >&2; exit 1; }
cli=$prefix/bin/kestrix-cli
man1=$prefix/share/man/man1
export ASAN_OPTIONS=detect_leaks=0

# --- man pages: the options of recover --help, each with its text, in the rendered page.
if ! command -v man >/dev/null; then
  fail "man is not installed (Debian package man-db)"
else
  page=$(LC_ALL=C.UTF-8 MANWIDTH=250 man -l "$man1/kestrix-cli-recover.1.gz" 2>&1 | tr -s ' \n' ' ')
  options=$("$cli" recover --help | sed -n '/^Options:/,/^$/p' | grep '^  -')
  [ -n "$options" ] || fail "recover --help lists no options"
  while IFS= read -r line; do
    names=$(sed -E 's/^  (\S+).*/\1/' <<<"$line" | tr ',' ' ')
    text=$(sed -E 's/^  \S+( \S+)*  +//' <<<"$line")
    for name in $names; do
      grep -qe " $name" <<<"$page" || fail "man kestrix-cli-recover lacks the option $name"
    done
    grep -qF -- "$text" <<<"$page" || fail "man kestrix-cli-recover lacks the text \"$text\""
  done <<<"$options"
  for command in $("$cli" --help | sed -n '/^Subcommands:/,/^$/p' | awk '/^  /{print $1}'); do
    [ -s "$man1/kestrix-cli-$command.1.gz" ] || fail "no man page for kestrix-cli $command"
  done
fi

# --- bash completion, with a stand-in kestrix-cli that lists two sources.
stub=$prefix/stub
mkdir -p "$stub"
cat >"$stub/kestrix-cli" <<EOF
#!/bin/sh
[ "\$1" = sources ] || exec "$cli" "\$@"
printf 'kind\tsource\tname\tcaption\tdevice\n'
printf 'image\tPATH\tOpenimage\t打开磁盘镜像\t\n'
printf 'disk\tPhysicalDrive0\tHD0\tHD0 Fixed Drive\t/dev/sda\n'
printf 'volume\tC:\tC\tC: data\t/dev/sda1\n'
EOF
chmod +x "$stub/kestrix-cli"
mkdir -p "$prefix/empty"  # file names complete too: none here
completions=$(cd "$prefix/empty" && PATH=$stub:$PATH bash --norc -c '
  source /usr/share/bash-completion/bash_completion 2>/dev/null
  source "$1/share/bash-completion/completions/kestrix-cli"
  complete_line() {
    COMP_WORDS=($2); [ "${2: -1}" = " " ] && COMP_WORDS+=("")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMP_LINE=$2; COMP_POINT=${#COMP_LINE}; COMPREPLY=()
    _kestrix_cli kestrix-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    echo "$1:${COMPREPLY[*]}"
  }
  complete_line command "kestrix-cli sc"
  complete_line option "kestrix-cli recover --re"
  complete_line format "kestrix-cli scan disk.img --format "
  complete_line disk "kestrix-cli scan Phys"
  complete_line volume "kestrix-cli recover C"
' _ "$prefix" 2>&1)
expect_completion() {
  grep -qxF "$1:$2" <<<"$completions" || fail "completion of $1 gives \"$(grep "^$1:" <<<"$completions")\", not \"$1:$2\""
}
expect_completion command "scan"
expect_completion option "--report"
expect_completion format "table tsv json"
expect_completion disk "PhysicalDrive0"
expect_completion volume "C:"

# --- the example from the installed sample data: a mailbox put there that is no PST is refused.
printf 'not a mailbox' >"$prefix/share/kestrix/enron.pst"
message=$("$cli" example --dir "$prefix/example" -q 2>&1)
grep -qF "Cannot hide \"$prefix/share/kestrix/enron.pst\"" <<<"$message" ||
  fail "kestrix-cli example did not take the sample installed beside it: $message"

# --- the desktop files, filled in by the build, as the validators see them.
if [ -f "$prefix/share/applications/org.kestrix.Kestrix.desktop" ]; then
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/org.kestrix.Kestrix.desktop" || fail "desktop-file-validate"
  fi
  if command -v appstreamcli >/dev/null; then
    appstreamcli validate --no-net "$prefix/share/metainfo/org.kestrix.Kestrix.metainfo.xml" >/dev/null ||
      fail "appstreamcli validate: $(appstreamcli validate --no-net "$prefix/share/metainfo/org.kestrix.Kestrix.metainfo.xml")"
  fi
  grep -qE '@[A-Z_]+@' "$prefix/share/polkit-1/actions/org.kestrix.Kestrix.policy" "$prefix/libexec/kestrix/kestrix-pkexec" &&
    fail "a placeholder is left in the polkit action or the launcher"
fi

[ "$failures" = 0 ] && echo "install layout: all checks passed"
exit $((failures > 0))
