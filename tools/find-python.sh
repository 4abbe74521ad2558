# Sourced by the build and CI scripts: find_python VERSION [install] prints the path of a
# working CPython VERSION (e.g. 3.12): pyenv's versions first, then pythonVERSION on PATH
# (pyenv's shims refuse a version that is not selected, so only a real interpreter counts).
# With "install", a missing version is installed through pyenv where pyenv is there.
# Fails, saying so, when there is none.
find_python() {
  local version=$1 mode=${2:-} candidate
  for attempt in 1 2; do
    if command -v pyenv >/dev/null 2>&1; then
      for candidate in "$(pyenv root)"/versions/"$version".*/bin/python"$version"; do
        [[ -x $candidate ]] && "$candidate" -c '' 2>/dev/null && { echo "$candidate"; return 0; }
      done
    fi
    if candidate=$(command -v "python$version") && "$candidate" -c '' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
    [[ $attempt == 1 && $mode == install ]] && command -v pyenv >/dev/null 2>&1 || break
    echo "Python $version not found: installing it through pyenv" >&2
    pyenv install --skip-existing "$version" >&2 || break
  done
  echo "Python $version not found (pyenv install $version, or put python$version on PATH)" >&2
  return 1
}
