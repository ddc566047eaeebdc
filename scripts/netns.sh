#!/usr/bin/env bash
# A network namespace for the multicast tests: multicast datagrams stay in it
# and never reach the machine's real network.
#
#   netns.sh up        create the namespace (idempotent)
#   netns.sh down      delete it
#   netns.sh status    show its links and addresses
#   netns.sh exec CMD  run a command inside it
#   netns.sh wine OUT EXE [ARGS...]
#                      run a Windows program inside it under Wine with a Wine
#                      prefix of its own (a copy of the test prefix, so that
#                      its wineserver, which owns the sockets, lives in the
#                      namespace too); writes the program's output to OUT.log
#                      and its exit code to OUT.rc; it is ended after
#                      $QOV_NETNS_SECONDS (default 220) seconds
#
# Inside: loopback up; two veth pairs whose both ends stay in the namespace,
#   qvc0 10.77.0.1/24 <-> qvc1 10.77.0.2/24   (multicast route 224.0.0.0/4 on qvc0)
#   qvd0 10.78.0.1/24 <-> qvd1 10.78.0.2/24
# A sender sends out of qvc0 (and qvd0); receivers listen on qvc1 and qvd1.
# The namespace is named $QOV_NETNS_NAME (default qovcast).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
ns="${QOV_NETNS_NAME:-qovcast}"
lock="/tmp/qov-netns-$ns.lock"

in_ns() { ip netns exec "$ns" "$@"; }

up() {
  exec 9>"$lock"
  flock 9
  if ip netns list 2>/dev/null | grep -qw "^$ns"; then
    if in_ns ip -4 addr show dev qvd1 2>/dev/null | grep -q 10.78.0.2; then return 0; fi
    ip netns del "$ns" || true
  fi
  ip netns add "$ns"
  in_ns ip link set lo up
  in_ns ip link add qvc0 type veth peer name qvc1
  in_ns ip link add qvd0 type veth peer name qvd1
  in_ns ip addr add 10.77.0.1/24 dev qvc0
  in_ns ip addr add 10.77.0.2/24 dev qvc1
  in_ns ip addr add 10.78.0.1/24 dev qvd0
  in_ns ip addr add 10.78.0.2/24 dev qvd1
  for l in qvc0 qvc1 qvd0 qvd1; do
    in_ns ip link set "$l" multicast on
    in_ns ip link set "$l" up
    # Datagrams come in on one end of a pair and went out of the other:
    # reverse-path filtering must not drop them.
    in_ns sysctl -qw "net.ipv4.conf.$l.rp_filter=0" || true
    in_ns sysctl -qw "net.ipv4.conf.$l.accept_local=1" || true
  done
  in_ns sysctl -qw net.ipv4.conf.all.rp_filter=0 || true
  in_ns ip route add 224.0.0.0/4 dev qvc0
}

down() {
  ip netns del "$ns" 2>/dev/null || true
}

wine_in_ns() {
  local out="$1"; shift
  rm -f "$out.rc" "$out.log"
  if ! (up) >"$out.log" 2>&1; then
    echo "network namespace unavailable (ip netns add needs CAP_NET_ADMIN)" >>"$out.log"
    echo 125 >"$out.rc"
    return 0
  fi
  # The program's architecture picks the base prefix (and its copy).
  source "$here/cmake/wine-arch.sh"
  local arch; arch="$(qov_pe_arch "$1")"
  local prefix="${QOV_NETNS_WINEPREFIX:-$(qov_default_prefix "$arch" -netns)}"
  local base="${QOV_WINEPREFIX:-$(qov_default_prefix "$arch")}"
  # The copy is made aside and moved into place, so that an interrupted copy
  # is never taken for a ready prefix.
  if ! (
    flock 8
    if [ ! -f "$prefix/.qov-ready" ]; then
      [ -f "$base/.qov-ready" ] || { echo "no Wine prefix at $base (run scripts/wine-prefix.sh)"; exit 1; }  # leaves the ( )
      rm -rf "$prefix" "$prefix.tmp"
      qov_copy_prefix "$base" "$prefix.tmp" && rm -f "$prefix.tmp/.qov-ready" && mv "$prefix.tmp" "$prefix" &&
        touch "$prefix/.qov-ready"
    fi
  ) 8>"$lock.prefix" >>"$out.log" 2>&1; then
    echo "cannot make the namespace's Wine prefix $prefix" >>"$out.log"
    echo 1 >"$out.rc"
    return 0
  fi
  # Bounded: a hung program must not outlive its caller inside the namespace.
  set +e
  timeout -k 10 "${QOV_NETNS_SECONDS:-220}" ip netns exec "$ns" env QOV_NETNS="$ns" QOV_WINEPREFIX="$prefix" \
    bash "$here/cmake/wine-run.sh" "$@" >"$out.log" 2>&1
  echo $? >"$out.rc.tmp"
  mv "$out.rc.tmp" "$out.rc"
}

case "${1:-}" in
  up) up ;;
  down) down ;;
  status) in_ns ip -4 addr; in_ns ip route ;;
  exec) shift; up; in_ns "$@" ;;
  wine) shift; wine_in_ns "$@" ;;
  *) echo "usage: $0 up|down|status|exec CMD|wine OUT EXE [ARGS]" >&2; exit 2 ;;
esac
