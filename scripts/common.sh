# Shared helpers for the project's scripts. Source it; it defines functions only.

tw_root() { cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd; }

tw_die() {
  printf 'error: %s\n' "$*" >&2
  exit 1
}

# Prints the path of pyenv's CPython 3.10 interpreter. Never the pyenv shim or the
# default python3: the modules are built for exactly 3.10.
tw_python310() {
  local root candidates
  root=$(pyenv root 2>/dev/null) || root="${PYENV_ROOT:-$HOME/.pyenv}"
  candidates=$(ls -d "$root"/versions/3.10.*/bin/python3.10 2>/dev/null | sort -V | tail -n 1)
  if [ -z "$candidates" ] || [ ! -x "$candidates" ]; then
    tw_die "CPython 3.10 not found under $root/versions/3.10.*/bin/python3.10;" \
      "install it with 'pyenv install 3.10' (the python3.10 shim and the default python3 are not used)"
  fi
  printf '%s\n' "$candidates"
}

# Bootstraps deps/ and configures DIR from the CMake preset PRESET (CMakePresets.json); the
# interpreter, the one machine-specific value, comes from tw_python310. Further arguments go
# to cmake.
tw_configure() {  # preset dir [cmake args...]
  local root preset=$1 dir=$2
  shift 2
  root=$(tw_root)
  tw_python310 >/dev/null
  "$root/scripts/bootstrap"
  command -v cmake >/dev/null || tw_die "cmake is missing (Debian package cmake)"
  cmake -S "$root" --preset "$preset" -B "$dir" -DPython_EXECUTABLE="$(tw_python310)" "$@" >/dev/null
}
