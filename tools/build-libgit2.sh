#!/usr/bin/env bash
# Builds libgit2 releases from their sources, and this package's modules against each, so that
# the engine can be held to git with a library other than the system's.
#
#   tools/build-libgit2.sh [--source PATH] [TAG...]
#
# PATH (or $VORNIK_LIBGIT2_SOURCE) is a clone of libgit2's repository, bare or with a work tree,
# that holds the release tags (default tag: v1.9.7). For each release:
#   build/libgit2-<version>/           the library, installed (lib/, include/, lib/pkgconfig/)
#   build/with-libgit2-<version>/site  the package with its modules linked to that library
# Run the tests against it with PYTHONPATH=build/with-libgit2-<version>/site.
# $JOBS sets the parallelism (default 2).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
source_repo=${VORNIK_LIBGIT2_SOURCE:-/work/.mirror/libgit2+libgit2/repo}
if [[ ${1:-} == --source ]]; then
  source_repo=$2
  shift 2
fi
tags=("$@")
((${#tags[@]})) || tags=(v1.9.7)

for tag in "${tags[@]}"; do
  version=${tag#v}
  prefix=$root/build/libgit2-$version
  if [[ ! -f $prefix/lib/pkgconfig/libgit2.pc ]]; then
    echo "build-libgit2: building $tag into $prefix"
    rm -rf "$prefix"
    mkdir -p "$prefix/src"
    git -C "$source_repo" archive --format=tar "$tag" | tar -x -C "$prefix/src"
    # Only what a file merge needs: no network transports, tests or command line.
    cmake -S "$prefix/src" -B "$prefix/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_INSTALL_PREFIX="$prefix" -DCMAKE_INSTALL_LIBDIR=lib -DBUILD_SHARED_LIBS=ON \
      -DBUILD_TESTS=OFF -DBUILD_CLI=OFF -DBUILD_EXAMPLES=OFF -DUSE_SSH=OFF -DUSE_HTTPS=OFF \
      -DUSE_GSSAPI=OFF -DUSE_NTLMCLIENT=OFF -DREGEX_BACKEND=builtin -DUSE_BUNDLED_ZLIB=ON \
      >/dev/null
    cmake --build "$prefix/build" -j"${JOBS:-2}"
    cmake --install "$prefix/build" >/dev/null
  fi

  # The package's modules, linked to that library (found through its run path).
  modules=$root/build/with-libgit2-$version
  PKG_CONFIG_PATH=$prefix/lib/pkgconfig cmake -S . -B "$modules" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE="$(command -v python3)" \
    -DCMAKE_INSTALL_RPATH="$prefix/lib" | grep 'libgit2'
  cmake --build "$modules" -j"${JOBS:-2}"
  rm -rf "$modules/site"
  mkdir -p "$modules/site"
  cp -r src/vornik_git "$modules/site/"
  find "$modules/site" \( -name '*.so' -o -name __pycache__ \) -prune -exec rm -rf {} +
  cmake --install "$modules" --prefix "$modules/site" >/dev/null
  PYTHONPATH=$modules/site python3 -c \
    "from vornik_git import _engine as e; print('build-libgit2: modules with libgit2', e.libgit2)"
done
