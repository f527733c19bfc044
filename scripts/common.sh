# Shared by the scripts: paths, the private Wine prefix, and the build of both architectures.
# Sourced, not run.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD="$ROOT/build"
export WINEPREFIX="${WINEPREFIX:-$BUILD/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono/Gecko install prompts. A query.dll beside a program (the tests' own LoadIFilter, Wine's
# is a stub) comes before Wine's; elsewhere Wine's own is used.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=;query=n,b}"

# The tests' prefix of one architecture: x86 in $WINEPREFIX, x64 (and arm64, whose programs are
# built but not run here) in a prefix of its own beside it,
# so that the two architectures' tests can run side by side (each prefix has its own registry and
# user folders).
arch_prefix() { case "$1" in x64|arm64) echo "$WINEPREFIX-$1" ;; *) echo "$WINEPREFIX" ;; esac; }

# Creates the prefix on first use (about 15 s) and starts a persistent wineserver for it.
wine_up() {
  mkdir -p "$WINEPREFIX"
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating prefix $WINEPREFIX" >&2
    wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
  # -p fails when a wineserver already runs for this prefix; that one serves as well.
  wineserver -p 2>/dev/null || true
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
wine_down() { wineserver -k 2>/dev/null || true; }

# Registers one architecture's child filters in the prefix as the test set-up does (the plain-text
# filter serves .txt), so that a dump shows the words inside an archive's documents. Needs wine_up.
register_child_filters() {
  local arch=$1
  PELLUCIDOR_ARCH=$([ "$arch" = x64 ] && echo AMD64 || echo x86) PELLUCIDOR_BIN="$BUILD/$arch" \
    bash "$ROOT/tests/setup.d/30-child-filters.sh" --register-only
}

# Installs what is missing, fetches UnRAR's source, configures and builds one architecture:
# everything, or only the targets named after it (build_arch x86 Pellucidor fixtures).
build_arch() {
  local arch=$1
  local targets=("${@:2}")
  local src
  src=$("$ROOT/scripts/fetch-unrar.sh" "$BUILD/third_party")
  local launcher=()
  # ccache, when the machine has it, shares compiled objects between checkouts of the tree.
  if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
    export CCACHE_BASEDIR="$ROOT" CCACHE_NOHASHDIR=true
  fi
  # Configured again when the UnRAR tree or the prefix is not the one the build was made for: the
  # tree moves with a new source version, and ctest runs every program in the configured prefix.
  local cache="$BUILD/$arch/CMakeCache.txt"
  if [ ! -f "$BUILD/$arch/build.ninja" ] ||
     [ "$(sed -n 's/^UNRAR_SOURCE_DIR:PATH=//p' "$cache" 2>/dev/null)" != "$src" ] ||
     [ "$(sed -n 's/^PELLUCIDOR_WINEPREFIX:PATH=//p' "$cache" 2>/dev/null)" != "$(arch_prefix "$arch")" ] ||
     [ "$(sed -n 's/^PELLUCIDOR_TESTDATA_DIR:PATH=//p' "$cache" 2>/dev/null)" != "$BUILD/testdata" ]; then
    cmake -S "$ROOT" -B "$BUILD/$arch" -G Ninja "${launcher[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/toolchain-$arch.cmake" \
      -DUNRAR_SOURCE_DIR="$src" -DPELLUCIDOR_WINEPREFIX="$(arch_prefix "$arch")" \
      -DPELLUCIDOR_TESTDATA_DIR="$BUILD/testdata" >/dev/null
  fi
  cmake --build "$BUILD/$arch" ${targets[@]:+--target "${targets[@]}"} -- -j"$(nproc)"
}

prepare() {
  "$ROOT/scripts/setup.sh"
}

# What a run builds and tests with: the UnRAR source (once fetched), the rar that makes the test
# archives, and the prefix.
print_versions() {
  echo "UnRAR source: $("$ROOT/scripts/fetch-unrar.sh" --version "$BUILD/third_party")"
  echo "rar: $(rar -iver 2>/dev/null | head -n1 || echo missing)"
  echo "Wine prefix: $WINEPREFIX"
}
