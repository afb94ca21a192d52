# Shared by the bench scripts: sourced after `set -euo pipefail` and after `here` is set.
# Gives a scratch directory $work (removed at exit) and timing helpers.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# run CMD...: "WALL CPU MB" — wall seconds, processor seconds (user + system) and peak
# resident set of a command; its output is thrown away. Wall time is the measure: the
# machine may be shared, processor time tells how much of it was the command's own.
run() {
  local start end mem user sys
  start=$(date +%s.%N)
  /usr/bin/time -f "%M %U %S" -o "$work/.time" "$@" >/dev/null 2>&1 || echo "bench: failed: $*" >&2
  end=$(date +%s.%N)
  read -r mem user sys <"$work/.time"
  echo "$(awk -v a="$start" -v b="$end" -v u="$user" -v s="$sys" 'BEGIN { printf "%.3f %.3f", b - a, u + s }') $((mem / 1024))"
}

# peak CMD...: peak resident set (MB) of a command whose standard output goes to $work/out.
peak() {
  /usr/bin/time -f "%M" -o "$work/.mem" "$@" >"$work/out"
  echo $(($(cat "$work/.mem") / 1024))
}

# median NUMBERS...: the middle value (the mean of the two middle ones for an even count).
median() {
  printf "%s\n" "$@" | sort -g | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# ratio A B: A / B to two places.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# speedup A B: B / A as "N.Nx" (how many times faster A is).
speedup() { awk -v a="$1" -v b="$2" 'BEGIN { if (a > 0) printf "%.1fx", b / a; else print "-" }'; }
