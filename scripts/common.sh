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

# Builds and installs the extension into .venv, with the given extras.
install_project() {
  local extras="$1"
  "$venv/bin/python" -m pip install -q "$repo_root${extras:+[$extras]}"
}
