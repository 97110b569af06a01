#!/bin/sh
# The install checks: what `cmake --install`, the CMake package, pkg-config and the Debian
# package give a user of kestrel-snpp. Each step fails with what was missing.
#
#   install_check.sh prefix BUILD PREFIX          install into an empty PREFIX and check it
#   install_check.sh package SOURCE PREFIX WORK   build and run tests/consumer on the package
#   install_check.sh subdirectory SOURCE WORK     build tests/consumer with add_subdirectory
#   install_check.sh c-example PREFIX EXAMPLE FIXTURE WORK
#                                                 cc $(pkg-config ...) EXAMPLE, page the sandbox
#   install_check.sh deb BUILD WORK               cpack -G DEB, unpack, run snpp-send --help
#
# From the environment: KESTREL_CC, KESTREL_CXX (compilers), KESTREL_FLAGS (compile and link
# flags every consumer needs, such as the sanitizers), KESTREL_LAUNCHER (compiler launcher),
# CPACK (the cpack program).
set -eu

fail() {
  echo "install_check: $*" >&2
  exit 1
}

# Configures and builds a consumer project with Ninja and the build's own compilers and flags.
build_consumer() {
  source=$1 work=$2 target=$3
  shift 3
  rm -rf "$work"
  cmake -S "$source" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_COMPILER="${KESTREL_CC:-cc}" -DCMAKE_CXX_COMPILER="${KESTREL_CXX:-c++}" \
    -DCMAKE_C_FLAGS="${KESTREL_FLAGS:-}" -DCMAKE_CXX_FLAGS="${KESTREL_FLAGS:-}" \
    -DCMAKE_EXE_LINKER_FLAGS="${KESTREL_FLAGS:-}" \
    -DCMAKE_CXX_COMPILER_LAUNCHER="${KESTREL_LAUNCHER:-}" "$@" >"$work.configure.log" 2>&1 ||
    { cat "$work.configure.log" >&2; fail "configuring $source failed"; }
  cmake --build "$work" --target "$target" >"$work.build.log" 2>&1 ||
    { cat "$work.build.log" >&2; fail "building $source failed"; }
}

case "$1" in
prefix)
  build=$2 prefix=$3
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  libdir=$(cd "$prefix" && ls -d lib*/pkgconfig | head -n 1 | xargs dirname)
  for f in "$libdir/libkestrel_snpp.so" "$libdir/libkestrel_session.a" \
    "$libdir/libkestrel_platform.a" "$libdir/libkestrel_control.a" \
    "$libdir/libkestrel_persistence.a" "$libdir/libkestrel_outbox.a" \
    include/kestrel/outbox/store.hpp include/kestrel/outbox/sqlite_store.hpp \
    include/kestrel/kestrel_snpp.h \
    include/kestrel/session/snpp_instance.hpp include/kestrel/platform/event_loop.hpp \
    include/kestrel/control/snpp_control.hpp include/kestrel/control/persistence.hpp \
    "$libdir/cmake/kestrel_snpp/kestrel_snpp-config.cmake" \
    "$libdir/cmake/kestrel_snpp/kestrel_snpp-config-version.cmake" \
    bin/snpp-send bin/snpp-sandbox share/man/man1/snpp-send.1 share/man/man1/snpp-sandbox.1; do
    [ -e "$prefix/$f" ] || fail "cmake --install did not install $f"
  done
  # The PostgreSQL store is built, and installed, where libpq was found.
  if [ -e "$build/outbox/postgres/libkestrel_outbox_pg.a" ]; then
    for f in "$libdir/libkestrel_outbox_pg.a" include/kestrel/outbox/pg/store.hpp \
      include/kestrel/outbox/pg/client.hpp; do
      [ -e "$prefix/$f" ] || fail "cmake --install did not install $f"
    done
  fi
  soname=$(objdump -p "$prefix/$libdir/libkestrel_snpp.so" | awk '$1 == "SONAME" { print $2 }')
  case "$soname" in
  libkestrel_snpp.so.0.*) [ -e "$prefix/$libdir/$soname" ] || fail "no $soname beside it" ;;
  *) fail "libkestrel_snpp.so has the SONAME '$soname', not libkestrel_snpp.so.0.<minor>" ;;
  esac
  for page in snpp-send snpp-sandbox; do
    grep -q '^\.SH "EXIT STATUS"' "$prefix/share/man/man1/$page.1" ||
      fail "the man page $page.1 has no EXIT STATUS section"
  done
  grep -q '^\.B SNPP_PASSWORD' "$prefix/share/man/man1/snpp-send.1" ||
    fail "snpp-send.1 does not describe SNPP_PASSWORD"
  libs=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --libs kestrel-snpp | xargs)
  [ "$libs" = "-L$prefix/$libdir -lkestrel_snpp" ] || fail "pkg-config --libs gives '$libs'"
  echo "install_check: $prefix holds the libraries, headers, package, programs and man pages"
  ;;
package)
  source=$2 prefix=$3 work=$4
  build_consumer "$source/tests/consumer" "$work" consumer -DCMAKE_PREFIX_PATH="$prefix"
  "$work/consumer"
  ;;
subdirectory)
  source=$2 work=$3
  build_consumer "$source/tests/consumer" "$work" consumer_session \
    -DKESTREL_SOURCE_DIR="$source"
  "$work/consumer_session"
  ;;
c-example)
  prefix=$2 example=$3 fixture=$4 work=$5
  libdir=$(cd "$prefix" && ls -d lib*/pkgconfig | head -n 1 | xargs dirname)
  rm -rf "$work" && mkdir -p "$work"
  export PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig"
  # shellcheck disable=SC2046,SC2086 # pkg-config's output is a list of words
  "${KESTREL_CC:-cc}" -std=c11 -Wall -Wextra -Werror ${KESTREL_FLAGS:-} -o "$work/send_page" \
    "$example" $(pkg-config --cflags --libs kestrel-snpp) || fail "cc send_page.c failed"
  sh "$fixture" start "$prefix/bin/snpp-sandbox" "$work/sandbox" 666 >/dev/null
  trap 'sh "$fixture" stop "$work/sandbox"' EXIT
  address=$(cat "$work/sandbox/address")
  out=$(LD_LIBRARY_PATH="$prefix/$libdir" "$work/send_page" "${address%:*}" "${address##*:}" \
    5551234 "install check") || fail "send_page failed: $out"
  echo "$out"
  case "$out" in "delivered: 250"*) ;; *) fail "send_page printed '$out'" ;; esac
  # The sandbox writes its page log from a thread of its own: the page may land just after the
  # client heard 250. Wait for it, at most 10 s.
  tries=0
  until grep -q '"id":"5551234".*"message":"install check"' "$work/sandbox/out"; do
    tries=$((tries + 1))
    [ "$tries" -le 100 ] || fail "the sandbox did not log the page: $(cat "$work/sandbox/out")"
    sleep 0.1
  done
  out=$(LD_LIBRARY_PATH="$prefix/$libdir" "$work/send_page" "${address%:*}" "${address##*:}" \
    666 "refused") && fail "send_page succeeded for a refused pager: $out"
  case "$out" in "failed: 5"*) echo "$out" ;; *) fail "a refused pager gives '$out'" ;; esac
  ;;
deb)
  build=$2 work=$3
  rm -rf "$work" && mkdir -p "$work"
  (cd "$build" && "${CPACK:-cpack}" -G DEB -B "$work" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log" >&2; fail "cpack -G DEB failed"; }
  deb=$(ls "$work"/kestrel-snpp_*_*.deb 2>/dev/null | head -n 1)
  [ -n "$deb" ] || fail "cpack made no kestrel-snpp_<version>_<arch>.deb: $(ls "$work")"
  contents=$(dpkg -c "$deb")
  for f in ./usr/bin/snpp-send ./usr/bin/snpp-sandbox ./usr/include/kestrel/kestrel_snpp.h \
    ./usr/share/man/man1/snpp-send.1; do
    echo "$contents" | grep -q " $f\$" || fail "$deb does not contain $f"
  done
  echo "$contents" | grep -q ' ./usr/lib/.*libkestrel_snpp\.so\.0\.' ||
    fail "$deb does not contain libkestrel_snpp.so"
  depends=$(dpkg -f "$deb" Depends)
  case "$depends" in *libc6*) ;; *) fail "$deb's Depends is '$depends', without libc6" ;; esac
  dpkg -x "$deb" "$work/root"
  "$work/root/usr/bin/snpp-send" --help | grep -q -- '--pager' ||
    fail "the unpacked snpp-send --help does not describe --pager"
  echo "install_check: $(basename "$deb") (Depends: $depends) unpacks and runs"
  ;;
*)
  echo "usage: install_check.sh prefix|package|subdirectory|c-example|deb ..." >&2
  exit 2
  ;;
esac
