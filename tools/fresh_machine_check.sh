#!/usr/bin/env bash
# Proves that halvern builds and passes everything on a new machine: a minimal Debian 12 root file
# system in a chroot, with nothing installed but git, gets a fresh clone of the repository and runs
#   1. scripts/demo.sh as a user without root or sudo (must fail, naming the command to run);
#   2. scripts/demo.sh and scripts/test.sh as root (the README's two commands);
#   3. CI=true bash .ci/run < /dev/null, as CI runs it: in a clone of its own, built from nothing.
# and prints the time of each stage. Run as root on a Debian or Ubuntu host:
#
#   tools/fresh_machine_check.sh [--dir DIR] [--repo PATH] [--ref REF] [--only-setup]
#
#   --dir DIR     where the root file systems live (default /work/fresh): DIR/base is the pristine
#                 one, made once with debootstrap (installed when missing) and never changed;
#                 DIR/run is a copy of it made anew for every check and left in place afterwards,
#                 so a failure can be looked into with `chroot DIR/run`.
#   --repo PATH   the repository to clone (default: the one this script is in); only committed
#                 work is cloned. It is bound read-only into the chroot.
#   --ref REF     the branch or commit to check (default: the repository's current branch).
#   --only-setup  prepares DIR/run with the clone and stops.
#
# Logs go to DIR/logs/<stage>.log; the summary with the stage times to DIR/logs/summary.txt.
set -euo pipefail

dir=/work/fresh
repo=$(cd "$(dirname "$0")/.." && pwd)
ref="" only_setup=0
while [ $# -gt 0 ]; do
  case "$1" in
    --dir) dir="$2"; shift 2 ;;
    --repo) repo=$(cd "$2" && pwd); shift 2 ;;
    --ref) ref="$2"; shift 2 ;;
    --only-setup) only_setup=1; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
[ "$(id -u)" = 0 ] || { echo "fresh_machine_check: run as root (debootstrap, chroot, mounts)" >&2; exit 1; }
[ -n "$ref" ] || ref=$(git -C "$repo" rev-parse --abbrev-ref HEAD)
commit=$(git -C "$repo" rev-parse "$ref")

base="$dir/base" root="$dir/run" logs="$dir/logs"
mkdir -p "$dir" "$logs"

# 1. The pristine root file system, once.
if [ ! -f "$base/etc/debian_version" ]; then
  if ! command -v debootstrap >/dev/null; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  fi
  echo "== debootstrap bookworm into $base"
  rm -rf "$base"
  debootstrap --variant=minbase --include=git bookworm "$base" http://deb.debian.org/debian >"$logs/debootstrap.log" 2>&1 ||
    { tail -n 20 "$logs/debootstrap.log"; exit 1; }
fi

# 2. A fresh copy for this check, with the host's name resolution and the repository bound in.
unmount_all() {
  for m in src dev/pts dev/shm dev sys proc; do
    mountpoint -q "$root/$m" 2>/dev/null && umount -l "$root/$m"
  done
  return 0
}
unmount_all
echo "== fresh root file system $root (commit $commit)"
rm -rf "$root"
cp -a "$base" "$root"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mkdir -p "$root/src"
trap unmount_all EXIT
mount -t proc proc "$root/proc"
mount --bind /sys "$root/sys"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
if mountpoint -q /dev/shm; then mount --bind /dev/shm "$root/dev/shm"; fi
mount --bind "$repo" "$root/src"
mount -o remount,bind,ro "$root/src"

# Runs a command in the chroot with a clean environment: as CI does, without standard input.
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM=dumb "$@" </dev/null
}
in_root git -c safe.directory='*' clone -q /src /root/halvern
in_root git -C /root/halvern -c advice.detachedHead=false checkout -q "$commit"
in_root git -c safe.directory='*' clone -q /src /root/ci
in_root git -C /root/ci -c advice.detachedHead=false checkout -q "$commit"
in_root useradd -m tester
in_root cp -a /root/halvern /home/tester/halvern
in_root chown -R tester:tester /home/tester/halvern
[ "$only_setup" = 0 ] || { echo "== prepared; chroot $root"; exit 0; }

# 3. The stages, each timed.
summary="$logs/summary.txt"
echo "fresh machine check of $commit, $(date -u '+%Y-%m-%d %H:%M UTC')" >"$summary"
failed=0
run_stage() {
  local name=$1 start=$SECONDS status=0
  shift
  echo "== $name"
  in_root "$@" >"$logs/$name.log" 2>&1 || status=$?
  local line
  line=$(printf '%-10s %5d s  exit %d' "$name" $((SECONDS - start)) "$status")
  echo "$line" | tee -a "$summary"
  return "$status"
}

# A user without root and without sudo is told what to install.
if run_stage demo-user runuser -u tester -- env HOME=/home/tester bash -c 'cd /home/tester/halvern && scripts/demo.sh'; then
  echo "demo-user: scripts/demo.sh succeeded without the build tools" | tee -a "$summary"; failed=1
elif ! grep -q 'as root: apt-get install cmake g++ make libgtest-dev libbenchmark-dev' "$logs/demo-user.log"; then
  echo "demo-user: no install command in the message:" | tee -a "$summary"; cat "$logs/demo-user.log"; failed=1
fi

run_stage demo bash -c 'cd /root/halvern && scripts/demo.sh' || failed=1
grep -q '^Product: SW Version 01.02.0345' "$logs/demo.log" || { echo "demo: no version line" | tee -a "$summary"; failed=1; }
# The demo's own lines: the set-up's few, then the tool's output.
echo "demo printed $(wc -l <"$logs/demo.log") lines" | tee -a "$summary"
run_stage test bash -c 'cd /root/halvern && scripts/test.sh' || failed=1
run_stage ci bash -c 'cd /root/ci && CI=true bash .ci/run' || failed=1
grep '^== stage .* took' "$logs/ci.log" | sed 's/^== stage /  ci /' | tee -a "$summary" || true
grep -E '^windows: [0-9]+ passed|tests passed, [0-9]+ tests failed' "$logs/test.log" "$logs/ci.log" |
  sed "s|^$logs/||" | tee -a "$summary" || true

if [ "$failed" = 0 ]; then
  echo "fresh machine check: all green" | tee -a "$summary"
else
  echo "fresh machine check: FAILED (logs in $logs)" | tee -a "$summary"
fi
exit "$failed"
