#!/usr/bin/env bash
# Builds, once, what Debian 12 lacks to make Windows ARM64 binaries with its own clang and lld:
# the mingw-w64 headers and C runtime for aarch64 (msvcrt, as the x86 and x64 builds use),
# compiler-rt's builtins, and a static libunwind, libc++abi and libc++. Everything comes from
# Debian's source packages (apt-get source); nothing is installed into the system.
#
# Usage: arm64-sysroot.sh BUILD_DIR   -> prints the toolchain folder (BUILD_DIR/arm64-toolchain)
# The result is kept, keyed on the package versions and this script; a second run prints the
# folder at once. bin/ holds the wrappers: aarch64-w64-mingw32-clang, -clang++, -windres.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=$1
top="$build/arm64-toolchain"
sysroot="$top/sysroot"
triple=aarch64-w64-mingw32

mingw_version=$(apt-cache showsrc --only-source mingw-w64 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n1)
llvm_version=$(apt-cache showsrc --only-source llvm-toolchain-14 2>/dev/null | sed -n 's/^Version: //p' | sort -V | tail -n1)
if [ -z "$mingw_version" ] || [ -z "$llvm_version" ]; then
  echo "arm64-sysroot: the archive offers no mingw-w64 or llvm-toolchain-14 source (run scripts/setup.sh)" >&2
  exit 1
fi
want="mingw-w64 $mingw_version, llvm-toolchain-14 $llvm_version, $(sha256sum "$0" | cut -c1-16)"
if [ -f "$top/.made" ] && [ "$(cat "$top/.made")" = "$want" ]; then
  echo "$top"; exit 0
fi
rm -rf "$top"
mkdir -p "$top/src" "$top/bin" "$sysroot"
log="$top/build.log"
say() { echo "arm64-sysroot: $*" >&2; }
jobs=$(nproc)

# --- sources ---------------------------------------------------------------------------------
say "fetching the sources (mingw-w64 $mingw_version, llvm-toolchain-14 $llvm_version)"
( cd "$top/src"
  apt-get source -qq "mingw-w64=$mingw_version" >>"$log" 2>&1
  apt-get source --download-only -qq "llvm-toolchain-14=$llvm_version" >>"$log" 2>&1
  tarball=$(ls llvm-toolchain-14_*.orig.tar.xz)
  root=$(tar -tf "$tarball" 2>/dev/null | head -n1 | cut -d/ -f1 || true)
  tar -xf "$tarball" "$root/cmake" "$root/compiler-rt" "$root/libcxx" "$root/libcxxabi" \
    "$root/libunwind" "$root/runtimes" "$root/llvm/cmake" "$root/llvm/utils/lit" \
    "$root/llvm/include/llvm/Config" )
mingw=$(ls -d "$top"/src/mingw-w64-*/ | head -n1)
llvm=$(ls -d "$top"/src/llvm-toolchain-14*/ | head -n1)

# --- wrappers --------------------------------------------------------------------------------
resource="$top/resource"
mkdir -p "$resource"
cp -r "$(clang-14 -print-resource-dir)/include" "$resource/"
# The runtime and linker choices are passed only where something is linked: clang warns of them
# as unused in a compile-only call.
for tool in clang clang++; do
  cat > "$top/bin/$triple-$tool" <<EOF
#!/bin/sh
link="-rtlib=compiler-rt -unwindlib=libunwind -fuse-ld=lld"
for arg; do case "\$arg" in -c|-E|-S) link= ;; esac; done
exec ${tool/clang/clang-14} --target=$triple --sysroot="$sysroot" -resource-dir="$resource" \\
  -stdlib=libc++ \$link "\$@"
EOF
done
sed -i 's/clang-14++/clang++-14/' "$top/bin/$triple-clang++"
cat > "$top/bin/$triple-windres" <<EOF
#!/bin/sh
exec llvm-windres-14 --target=$triple -I "$sysroot/$triple/include" "\$@"
EOF
for tool in ar ranlib dlltool nm strip objdump readobj; do
  ln -sf "$(command -v llvm-$tool-14)" "$top/bin/$triple-$tool"
done
chmod +x "$top/bin/"*
export PATH="$top/bin:$PATH"

# --- headers and C runtime -------------------------------------------------------------------
say "mingw-w64 headers"
mkdir -p "$top/obj/headers" && ( cd "$top/obj/headers"
  "$mingw/mingw-w64-headers/configure" --host=$triple --prefix="$sysroot/$triple" \
    --with-default-msvcrt=msvcrt >>"$log" 2>&1
  make install >>"$log" 2>&1 )
say "mingw-w64 C runtime (a few minutes)"
mkdir -p "$top/obj/crt" && ( cd "$top/obj/crt"
  "$mingw/mingw-w64-crt/configure" --host=$triple --prefix="$sysroot/$triple" \
    --enable-libarm64 --disable-lib32 --disable-lib64 --disable-libarm32 --with-default-msvcrt=msvcrt \
    CC="$triple-clang" AR=llvm-ar-14 RANLIB=llvm-ranlib-14 DLLTOOL=llvm-dlltool-14 >>"$log" 2>&1
  make -j"$jobs" >>"$log" 2>&1
  make install >>"$log" 2>&1 )
# No arm64 wintrust import library comes with the runtime; made from its definition file.
llvm-dlltool-14 -m arm64 -d "$mingw/mingw-w64-crt/lib64/wintrust.def" -l "$sysroot/$triple/lib/libwintrust.a"

cmake_common=(-G Ninja -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_SYSTEM_PROCESSOR=aarch64
  -DCMAKE_C_COMPILER="$top/bin/$triple-clang" -DCMAKE_CXX_COMPILER="$top/bin/$triple-clang++"
  -DCMAKE_AR="$(command -v llvm-ar-14)" -DCMAKE_RANLIB="$(command -v llvm-ranlib-14)"
  -DCMAKE_C_COMPILER_WORKS=ON -DCMAKE_CXX_COMPILER_WORKS=ON -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_C_COMPILER_TARGET=$triple -DCMAKE_CXX_COMPILER_TARGET=$triple)

# --- compiler-rt builtins --------------------------------------------------------------------
say "compiler-rt builtins"
cmake -S "$llvm/compiler-rt/lib/builtins" -B "$top/obj/builtins" "${cmake_common[@]}" \
  -DCOMPILER_RT_DEFAULT_TARGET_ONLY=ON -DCOMPILER_RT_BUILD_BUILTINS=ON \
  -DLLVM_CONFIG_PATH="" -DCMAKE_INSTALL_PREFIX="$top/obj/builtins-install" >>"$log" 2>&1
cmake --build "$top/obj/builtins" -j"$jobs" >>"$log" 2>&1
mkdir -p "$resource/lib/windows"
cp "$(find "$top/obj/builtins" -name 'libclang_rt.builtins*.a' | head -n1)" \
  "$resource/lib/windows/libclang_rt.builtins-aarch64.a"

# --- libunwind, libc++abi, libc++ (static) ---------------------------------------------------
# HAS_THREAD_LOCAL: libc++abi keeps its exception globals in thread_local storage rather than
# registering an FLS destructor, which would run after a host unloads the DLL.
say "libunwind, libc++abi, libc++"
cmake -S "$llvm/runtimes" -B "$top/obj/runtimes" "${cmake_common[@]}" \
  -DLLVM_ENABLE_RUNTIMES="libunwind;libcxxabi;libcxx" -DCMAKE_INSTALL_PREFIX="$sysroot/$triple" \
  -DCMAKE_C_FLAGS="-D__USE_MINGW_ANSI_STDIO=1" -DCMAKE_CXX_FLAGS="-D__USE_MINGW_ANSI_STDIO=1 -DHAS_THREAD_LOCAL" \
  -DLIBUNWIND_ENABLE_SHARED=OFF -DLIBUNWIND_USE_COMPILER_RT=ON \
  -DLIBCXXABI_ENABLE_SHARED=OFF -DLIBCXXABI_USE_COMPILER_RT=ON -DLIBCXXABI_USE_LLVM_UNWINDER=ON \
  -DLIBCXXABI_ENABLE_STATIC_UNWINDER=ON -DLIBCXXABI_ENABLE_THREADS=ON -DLIBCXXABI_HAS_WIN32_THREAD_API=ON \
  -DLIBCXX_ENABLE_SHARED=OFF -DLIBCXX_USE_COMPILER_RT=ON -DLIBCXX_CXX_ABI=libcxxabi \
  -DLIBCXX_ENABLE_STATIC_ABI_LIBRARY=ON -DLIBCXX_HAS_WIN32_THREAD_API=ON \
  -DLIBCXX_ENABLE_EXPERIMENTAL_LIBRARY=OFF -DLIBCXX_INCLUDE_TESTS=OFF -DLIBCXX_INCLUDE_BENCHMARKS=OFF \
  -DLIBCXXABI_INCLUDE_TESTS=OFF -DLIBUNWIND_INCLUDE_TESTS=OFF -DLLVM_INCLUDE_TESTS=OFF >>"$log" 2>&1
cmake --build "$top/obj/runtimes" -j"$jobs" >>"$log" 2>&1
cmake --install "$top/obj/runtimes" >>"$log" 2>&1

rm -rf "$top/obj" "$top/src"
echo "$want" > "$top/.made"
say "done: $(du -sh "$top" | cut -f1)"
echo "$top"
