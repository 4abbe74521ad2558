#!/usr/bin/env bash
# Builds the `git` program of given releases from git's own sources, one after the other, into
# build/git-<version>/ (the source tree and the binary `build/git-<version>/git`). Nothing is
# installed: point a test or a benchmark at the binary.
#
#   tools/build-git.sh [--source PATH] [TAG...]
#
# PATH (or $VORNIK_GIT_SOURCE) is a clone of git's repository, bare or with a work tree, that
# holds the release tags. Default tags: v2.34.0 v2.43.0 v2.47.0 v2.50.0 v2.53.0 v2.55.0.
# $JOBS sets make's parallelism (default 2). A release whose binary already reports its version
# is not built again.
set -euo pipefail
cd "$(dirname "$0")/.."
source_repo=${VORNIK_GIT_SOURCE:-/work/.mirror/git+git/repo}
if [[ ${1:-} == --source ]]; then
  source_repo=$2
  shift 2
fi
tags=("$@")
((${#tags[@]})) || tags=(v2.34.0 v2.43.0 v2.47.0 v2.50.0 v2.53.0 v2.55.0)

# Only what the Makefile needs for the program itself: a C compiler, make and zlib.
if ! echo '#include <zlib.h>' | cc -E - >/dev/null 2>&1; then
  if [[ $(id -u) == 0 ]] && command -v apt-get >/dev/null; then
    apt-get install -y --no-install-recommends zlib1g-dev >/dev/null
  else
    echo "build-git: zlib headers are missing (Debian: zlib1g-dev)" >&2
    exit 1
  fi
fi

for tag in "${tags[@]}"; do
  version=${tag#v}
  dir=build/git-$version
  if [[ -x $dir/git ]] && [[ $("$dir/git" version) == "git version $version" ]]; then
    echo "build-git: $dir/git is there"
    continue
  fi
  echo "build-git: building $tag into $dir"
  rm -rf "$dir"
  mkdir -p "$dir"
  git -C "$source_repo" archive --format=tar "$tag" | tar -x -C "$dir"
  # An exported tree has no history to describe; the release names itself.
  echo "$version" >"$dir/version"
  options=(prefix=/usr/local NO_TCLTK=1 NO_GETTEXT=1 NO_PERL=1 NO_PYTHON=1 NO_CURL=1 NO_EXPAT=1
    NO_OPENSSL=1 NO_RUST=1 NO_INSTALL_HARDLINKS=1)
  # Some releases do not make the `git` target wait for their generated headers.
  headers=$(sed -n 's/^GENERATED_H += \([a-z-]*\.h\)$/\1/p' "$dir/Makefile")
  # shellcheck disable=SC2086
  [[ -z $headers ]] || make -C "$dir" "${options[@]}" $headers
  make -C "$dir" -j"${JOBS:-2}" "${options[@]}" git
  "$dir/git" version
done
