# Shared set-up of scripts/test, scripts/demo and scripts/bench: Debian packages, the
# Japanese locale that gives Wine its code page 932, and a private Wine prefix.

# What the Linux programs, their tests and the benchmarks need.
zt4_linux_packages=(
  cmake ninja-build g++ python3 pkg-config
  libgtest-dev googletest libbenchmark-dev
  zlib1g-dev libssl-dev libisal-dev libzstd-dev
)
# What the Windows build and its tests under Wine need on top.
zt4_windows_packages=(
  g++-mingw-w64-x86-64 wine wine64 locales dpkg-dev
  xvfb xdotool x11-xserver-utils imagemagick fonts-ipafont-gothic
)

# install_build_dependencies [windows] [PACKAGE...]: the Linux set, with "windows" the
# Windows set and the Japanese locale too.
install_build_dependencies() {
  local wanted=("${zt4_linux_packages[@]}")
  local windows=0
  if [ "${1:-}" = windows ]; then
    windows=1
    wanted+=("${zt4_windows_packages[@]}")
    shift
  fi
  local missing=()
  local p
  for p in "${wanted[@]}" "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    if [ "$(id -u)" != 0 ]; then
      echo "not root: install these packages first" >&2
      return 1
    fi
    apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
      >/dev/null || return 1
  fi
  if ((windows)); then ensure_wine_locales && ensure_zstd_for_windows || return 1; fi
}

# Japanese (ANSI code page 932) for the Windows suites; US English (code page 1252) for
# the Wine run of a Western Windows.
ensure_wine_locales() {
  local locale
  for locale in ja_JP en_US; do
    if ! locale -a 2>/dev/null | grep -qi "^${locale}\.utf-\?8\$"; then
      echo "generating the ${locale}.UTF-8 locale"
      localedef -i "${locale}" -f UTF-8 "${locale}.UTF-8" || return 1
    fi
  done
}

# Wine in its own prefix, with the Japanese ANSI code page (932) and no debug noise.
start_wine() {
  export WINEPREFIX="$1"
  # Quiet, but for the error of a process Wine could not start (lib/wine_test).
  export WINEDEBUG=-all,err+virtual
  export LANG=ja_JP.UTF-8
  export LC_ALL=ja_JP.UTF-8
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "${WINEPREFIX}"
  # A persistent server, and the prefix's services started here: a service that a test's
  # first Wine process started would hold CTest's output pipe open until it ends.
  wineserver -p >/dev/null 2>&1
  wineboot --init >/dev/null 2>&1
}

stop_wine() {
  wineserver -k >/dev/null 2>&1 || true
}

# libzstd for the Windows build: compiled with mingw-w64 from Debian's own source package
# into build/deps/zstd-mingw (include/, lib/libzstd.a), which the Windows toolchain file
# searches. Kept between runs: a finished build is not made again.
zt4_zstd_mingw_prefix="$(pwd)/build/deps/zstd-mingw"
ensure_zstd_for_windows() {
  local prefix="${zt4_zstd_mingw_prefix}"
  [ -f "${prefix}/lib/libzstd.a" ] && [ -f "${prefix}/include/zstd.h" ] && return 0
  local work="$(pwd)/build/deps/zstd-source"
  rm -rf "${work}" && mkdir -p "${work}" || return 1
  ensure_debian_sources || return 1
  echo "building libzstd for Windows from Debian's source package"
  (cd "${work}" && apt-get source --download-only zstd >apt-source.log 2>&1) || {
    cat "${work}/apt-source.log"
    return 1
  }
  local orig
  orig=$(ls "${work}"/*zstd_*.orig.tar.* 2>/dev/null | grep -v "\.asc$" | head -1)
  [ -n "${orig}" ] || { echo "no zstd source archive was fetched" >&2; return 1; }
  tar -xf "${orig}" -C "${work}" || return 1
  local tree
  tree=$(find "${work}" -mindepth 1 -maxdepth 1 -type d | head -1)
  # Only the library: no threads needed, no DLL, no programs.
  make -C "${tree}/lib" -j "$(nproc 2>/dev/null || echo 2)" libzstd.a \
    CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
    CFLAGS="-O2" ZSTD_LEGACY_SUPPORT=0 >"${work}/make.log" 2>&1 || {
    tail -30 "${work}/make.log"
    return 1
  }
  mkdir -p "${prefix}/include" "${prefix}/lib" || return 1
  cp "${tree}/lib/zstd.h" "${tree}/lib/zstd_errors.h" "${tree}/lib/zdict.h" "${prefix}/include/" &&
    cp "${tree}/lib/libzstd.a" "${prefix}/lib/" || return 1
  rm -rf "${work}"
}

# Source entries beside the binary ones the machine has: each deb822 stanza of the main
# archive (not the security one, whose source may be gone) once more as deb-src.
ensure_debian_sources() {
  local list=/etc/apt/sources.list.d/zt4-deb-src.sources
  [ -f "${list}" ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "not root: add deb-src entries for Debian's main archive first" >&2
    return 1
  fi
  local from
  from=$(grep -l '^Types: *deb$' /etc/apt/sources.list.d/*.sources 2>/dev/null | head -1)
  [ -n "${from}" ] || { echo "no deb822 source list to derive deb-src entries from" >&2; return 1; }
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
       /Suites:/ && !/-security/ && /Components:/ { sub(/Types: *deb\n/, "Types: deb-src\n"); print }' \
    "${from}" >"${list}" || return 1
  apt-get update -qq || return 1
}
