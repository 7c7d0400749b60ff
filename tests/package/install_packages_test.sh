#!/bin/bash
# tests/package/install_packages_test.sh SOURCE_DIR: cmake/install-packages where one package source
# cannot be refreshed (apt-get update exits 100) and where packages cannot be installed at all.
#
# apt runs on a configuration of its own (APT_CONFIG): a good local source with no packages and a
# broken one, package lists and caches in a temporary directory, the machine's dpkg database read
# as it is. So nothing of the machine's sources, lists or marks changes, nothing is fetched, and
# only packages that are installed already or cannot exist are asked for. Root only (apt-get
# install takes dpkg's lock); skipped (77) elsewhere, with the reason.
set -u
source_dir=$1
script=$source_dir/cmake/install-packages
if [ "$(id -u)" != 0 ]; then echo "skipped: apt-get needs root"; exit 77; fi
if ! command -v apt-get >/dev/null || ! command -v dpkg-query >/dev/null; then
  echo "skipped: not a Debian machine"; exit 77
fi
dpkg-query -W -f='${Status}' make 2>/dev/null | grep -q 'ok installed' || { echo "skipped: make is not a Debian package here"; exit 77; }

work=$(mktemp -d /tmp/karvel-install-packages-XXXXXX) || exit 1
trap 'rm -rf "$work"' EXIT
mkdir -p "$work"/{sources.list.d,lists/partial,cache/archives/partial,repo}
: > "$work/repo/Packages"
cp /var/lib/apt/extended_states "$work/extended_states" 2>/dev/null || : > "$work/extended_states"
cat > "$work/sources.list.d/karvel-test.list" <<EOF
deb [trusted=yes] file:$work/repo ./
EOF
# The source that cannot be refreshed: a repository that is not there.
cat > "$work/sources.list.d/karvel-test-broken.list" <<EOF
deb [trusted=yes] file:/nonexistent/karvel-test-broken ./
EOF
cat > "$work/apt.conf" <<EOF
Dir::Etc::SourceList "$work/sources.list";
Dir::Etc::SourceParts "$work/sources.list.d";
Dir::Etc::Preferences "$work/preferences";
Dir::Etc::PreferencesParts "$work/preferences.d";
Dir::State::Lists "$work/lists";
Dir::State::extended_states "$work/extended_states";
Dir::Cache "$work/cache";
Acquire::Languages "none";
EOF
: > "$work/sources.list"
export APT_CONFIG=$work/apt.conf

# The premise: this apt exits non-zero on the refresh.
if apt-get update >/dev/null 2>&1; then
  echo "FAIL: apt-get update succeeded with a broken source; the cases below prove nothing"; exit 1
fi

absent=karvel-test-absent-package
# Each case: name | arguments (one string, eval'd) | exit status | text the output holds (several
# with ';;') | text it must not hold ('' for none).
cases=(
  "refresh fails, everything installed|--update make|0|were not all refreshed|the build needs"
  "refresh fails, a needed package cannot exist|make $absent|1|Unable to locate package $absent;;the build needs $absent,|"
  "an optional package cannot exist|make --for 'the sample test' $absent|0|could not install $absent: the sample test will be skipped|the build needs"
  "needed and optional both impossible: only the needed are named|$absent-needed --for 'the sample test' $absent-optional|1|the build needs $absent-needed,|could not install"
  "one line per skipped part, naming its packages|--for 'part A' $absent-a1 $absent-a2 --for 'part B' $absent-b|0|could not install $absent-a1 $absent-a2: part A will be skipped;;could not install $absent-b: part B will be skipped|"
  "nothing missing and no refresh asked: apt is not run|make --for 'the sample test' make|0||installing"
  "a --for without packages is refused|make --for|2|--for needs a description and packages|"
)
# A virtual package (debian/control names dh-apache2, which apache2-dev provides) is there when an
# installed package provides it: a name only a Provides line of an installed package carries.
virtual=$(dpkg-query -W -f='${db:Status-Abbrev}|${Provides}\n' 2>/dev/null | awk -F '|' '$1 ~ /^ii/ { print $2 }' |
  tr ',' '\n' | sed -e 's/([^)]*)//g' -e 's/^[ \t]*//; s/[ \t]*$//' | grep -v '^$' | sort -u |
  while read -r name; do
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed' || { echo "$name"; break; }
  done)
if [ -n "$virtual" ]; then
  cases+=("a virtual package an installed one provides: apt is not run|$virtual|0||installing")
else
  echo "skipped: no installed package provides a virtual one here"
fi

failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r name arguments status holds lacks <<<"$entry"
  out=$(eval "\"$script\" $arguments" </dev/null 2>&1)
  got=$?
  problem=""
  [ "$got" = "$status" ] || problem="exit $got, expected $status"
  if [ -n "$holds" ]; then
    rest=$holds
    while [ -n "$rest" ]; do
      text=${rest%%;;*}
      [ "$text" = "$rest" ] && rest="" || rest=${rest#*;;}
      grep -qF -- "$text" <<<"$out" || problem="$problem; no \"$text\""
    done
  fi
  if [ -n "$lacks" ] && grep -qF -- "$lacks" <<<"$out"; then problem="$problem; holds \"$lacks\""; fi
  if [ -n "$problem" ]; then
    failures=$((failures + 1))
    echo "FAIL: $name: ${problem#; }"
    sed 's/^/    | /' <<<"$out"
  else
    echo "ok: $name"
  fi
done
[ "$failures" = 0 ]
