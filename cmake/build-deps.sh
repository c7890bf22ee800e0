#!/usr/bin/env bash
# Builds the third-party decoders as static libraries for one cross target, from Debian's source
# packages (so Debian's patches apply), into a cache outside the source tree:
#   build-deps.sh TARGET CACHE     TARGET: win64 | win32 | linux32
# Leaves CACHE/TARGET/{include,lib}; does nothing when that is already complete.
set -euo pipefail
target=$1
cache=$2
prefix=$cache/$target
stamp=$prefix/.complete-v3
[[ -f $stamp ]] && exit 0

case $target in
  win64) triple=x86_64-w64-mingw32; system=Windows; cpu=x86_64; cc=$triple-gcc-posix; opt=ON ;;
  win32) triple=i686-w64-mingw32; system=Windows; cpu=i686; cc=$triple-gcc-posix; opt=OFF ;;
  linux32) triple=i686-linux-gnu; system=Linux; cpu=i686; cc=$triple-gcc; opt=OFF ;;
  *) echo "build-deps: unknown target $target" >&2; exit 2 ;;
esac

src=$cache/src
mkdir -p "$src" "$prefix/include" "$prefix/lib"
log=$prefix/build.log
: >"$log"
echo "build-deps: building libjpeg-turbo, libspng, libdeflate, giflib, Little CMS and zlib for $target (log: $log)" >&2

fetch() { # package directory-glob
  bash "$(dirname "$0")/fetch-source.sh" "$1" "$2" "$src" "$log"
}

jpeg=$(fetch libjpeg-turbo 'libjpeg-turbo-*')
spng=$(fetch libspng 'libspng-*')
gif=$(fetch giflib 'giflib-*')
deflate=$(fetch libdeflate 'libdeflate-*')
lcms=$(fetch lcms2 'lcms2-*')

work=$prefix/work
rm -rf "$work"
mkdir -p "$work"

# zlib: MinGW has Debian's own static build; the i686 Linux target builds it.
if [[ $system == Windows ]]; then
  zlib_a=/usr/$triple/lib/libz.a
  zlib_inc=/usr/$triple/include
else
  zsrc=$(fetch zlib 'zlib-*')
  cp -r "$zsrc" "$work/zlib"
  (cd "$work/zlib" && CC=$cc CFLAGS="-O2 -fPIC" ./configure --static --prefix="$prefix" >>"$log" 2>&1 &&
    make -j"$(nproc)" libz.a >>"$log" 2>&1)
  cp "$work/zlib/libz.a" "$prefix/lib/"
  cp "$work/zlib/zlib.h" "$work/zlib/zconf.h" "$prefix/include/"
  zlib_a=$prefix/lib/libz.a
  zlib_inc=$prefix/include
fi

common=(-G Ninja -DCMAKE_SYSTEM_NAME=$system -DCMAKE_SYSTEM_PROCESSOR=$cpu -DCMAKE_C_COMPILER=$cc
        -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_POSITION_INDEPENDENT_CODE=ON)

# libjpeg-turbo with its SIMD; the processor name selects it and nasm picks the object format.
cmake -S "$jpeg" -B "$work/jpeg" "${common[@]}" -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF \
  -DREQUIRE_SIMD=ON >>"$log" 2>&1
cmake --build "$work/jpeg" --target jpeg-static >>"$log" 2>&1
cp "$work/jpeg/libjpeg.a" "$prefix/lib/"
cp "$work/jpeg/jconfig.h" "$jpeg/jpeglib.h" "$jpeg/jmorecfg.h" "$jpeg/jerror.h" "$prefix/include/"

# libspng: its configure needs the shared option on, so only the static target is built.
cmake -S "$spng" -B "$work/spng" "${common[@]}" -DSPNG_SHARED=ON -DSPNG_STATIC=ON -DBUILD_EXAMPLES=OFF \
  -DENABLE_OPT=$opt -DZLIB_LIBRARY="$zlib_a" -DZLIB_INCLUDE_DIR="$zlib_inc" >>"$log" 2>&1
cmake --build "$work/spng" --target spng_static >>"$log" 2>&1
cp "$work/spng/libspng_static.a" "$prefix/lib/libspng.a"
cp "$spng/spng/spng.h" "$prefix/include/"

cp -r "$gif" "$work/gif"
make -C "$work/gif" libgif.a CC="$cc" AR="${cc%-gcc*}-ar" OFLAGS="-O2 -fPIC" >>"$log" 2>&1
cp "$work/gif/libgif.a" "$prefix/lib/"
cp "$work/gif/gif_lib.h" "$prefix/include/"

# libdeflate's own makefile, which names the static library after the target system (its entry
# points realign a 32-bit Windows caller's stack themselves).
cp -r "$deflate" "$work/deflate"
deflate_lib=libdeflate.a
deflate_flags="-O2 -fPIC"
[[ $system == Windows ]] && deflate_lib=libdeflatestatic.lib deflate_flags="-O2"
make -C "$work/deflate" -j"$(nproc)" "$deflate_lib" CC="$cc" AR="${cc%-gcc*}-ar" CFLAGS="$deflate_flags" >>"$log" 2>&1
cp "$work/deflate/$deflate_lib" "$prefix/lib/libdeflate.a"
cp "$deflate/libdeflate.h" "$prefix/include/"

# Little CMS: its sources compiled straight into a static library (it needs no configuration).
mkdir -p "$work/lcms"
export cc lcms work deflate_flags
printf '%s\n' "$lcms"/src/*.c | xargs -P "$(nproc)" -I{} sh -c \
  '"$cc" $deflate_flags -I"$lcms/include" -c "$1" -o "$work/lcms/$(basename "$1" .c).o"' _ {} >>"$log" 2>&1
"${cc%-gcc*}-ar" rcs "$prefix/lib/liblcms2.a" "$work"/lcms/*.o
cp "$lcms/include/lcms2.h" "$prefix/include/"

rm -rf "$work"
touch "$stamp"
echo "build-deps: $target done" >&2
