# Shared by the scripts: find CPython 3.13, make the project's virtual
# environment, and install the Debian packages the build needs.

repo_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
venv="$repo_root/.venv"

find_python313() {
  local candidate
  for candidate in "$(PYENV_VERSION=3.13.0 pyenv which python3.13 2>/dev/null)" \
                   "$(command -v python3.13 2>/dev/null)" /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] && "$candidate" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  echo "CPython 3.13 not found (tried pyenv 3.13.0 and python3.13 on PATH)" >&2
  return 1
}

# Installs Debian packages that are missing, when we may (root, apt-get present).
ensure_debian_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing Debian packages: ${missing[*]}"
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
  else
    echo "missing Debian packages (install them as root): ${missing[*]}" >&2
    return 1
  fi
}

# Creates .venv from CPython 3.13 and installs the build tools into it.
ensure_venv() {
  if [ ! -x "$venv/bin/python" ]; then
    "$(find_python313)" -m venv "$venv"
  fi
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q cmake ninja
}

# A digest of what the package is built from: the files the build reads
# (tracked or not, as they are on disk), and the interpreter it is built for.
build_digest() {
  {
    (cd "$repo_root" && find src python CMakeLists.txt pyproject.toml README.md LICENSE \
      -name __pycache__ -prune -o -type f ! -name '*.pyc' ! -name '*.so' -print0 |
      LC_ALL=C sort -z | xargs -0 sha256sum)
    "$venv/bin/python" -VV
  } | sha256sum | cut -d' ' -f1
}

# Builds and installs the extension into .venv, with the given extras,
# unless the last install was built from the same files and had those
# extras: .venv/.qarn-installed holds that install's digest on its first
# line, then the extras installed with it, one a line. It is removed before
# an install and written once one succeeds, so an interrupted install is
# done again.
install_project() {
  local extras="$1"
  local stamp="$venv/.qarn-installed"
  local digest listed=""
  digest="$(build_digest)" || digest=""
  if [ -n "$digest" ] && [ -f "$stamp" ] && [ "$(head -n 1 "$stamp")" = "$digest" ]; then
    listed="$(tail -n +2 "$stamp")"
    if { [ -z "$extras" ] || grep -qxF -- "$extras" <<<"$listed"; } &&
       "$venv/bin/python" -c 'import _qarn, qarn._native' 2>/dev/null; then
      echo "qarn in .venv is up to date with $repo_root"
      return 0
    fi
  fi
  rm -f "$stamp"
  "$venv/bin/python" -m pip install -q "$repo_root${extras:+[$extras]}"
  if [ -n "$digest" ]; then
    printf '%s\n' "$digest" $listed $extras >"$stamp"
  fi
}
