#!/usr/bin/env bash
# Breaks the product code on purpose, one fault at a time (scripts/mutations.txt),
# rebuilds, runs the whole suite and says for each fault whether a test failed.
# A fault that no test notices is a hole in the tests. Slow (a rebuild and a full
# run per fault), so CI leaves it out.
#
#   scripts/mutation-check.sh                 every fault
#   scripts/mutation-check.sh --only ID ...   only these (repeatable)
#   scripts/mutation-check.sh --list          the faults, checked to apply
#   scripts/mutation-check.sh --targeted      per fault, build and run only the
#            suites its record names (much quicker); the whole suite when they miss
#   options: --timeout SECONDS (per test, default 240), --file LIST,
#            BUILD_DIR (default build-mutation), JOBS (default 2), and for a
#            quicker run over one area RUN_TESTS and SKIP_TESTS (ctest -R and -E
#            patterns) and BUILD_TARGETS (what to rebuild, space-separated)
set -euo pipefail
cd "$(dirname "$0")/.."
shopt -u patsub_replacement 2>/dev/null || true

list=scripts/mutations.txt
build=${BUILD_DIR:-build-mutation}
jobs=${JOBS:-2}
timeout=240
listOnly=0
targeted=0
only=()
while [ $# -gt 0 ]; do
    case "$1" in
        --only) only+=("$2"); shift 2 ;;
        --list) listOnly=1; shift ;;
        --targeted) targeted=1; shift ;;
        --timeout) timeout=$2; shift 2 ;;
        --file) list=$2; shift 2 ;;
        -h|--help) sed -n '2,15p' "$0" | cut -c3-; exit 0 ;;
        *) echo "unknown option: $1" >&2; exit 2 ;;
    esac
done

ids=() files=() finds=() replaces=() abouts=() suites=()
record_id="" record_file="" record_find="" record_replace="" record_about="" record_tests=""
flush() {
    [ -z "$record_id$record_file$record_find" ] && return 0
    if [ -z "$record_id" ] || [ -z "$record_file" ] || [ -z "$record_find" ]; then
        echo "$list: a record lacks id, file or find (near '$record_id')" >&2
        exit 2
    fi
    ids+=("$record_id") files+=("$record_file") finds+=("${record_find//\\n/$'\n'}")
    replaces+=("${record_replace//\\n/$'\n'}") abouts+=("$record_about") suites+=("$record_tests")
    record_id="" record_file="" record_find="" record_replace="" record_about="" record_tests=""
}
while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
        '#'*) continue ;;
        '') flush; continue ;;
    esac
    key=${line%%[[:space:]]*}
    value=${line#"$key"}
    value=${value#"${value%%[![:space:]]*}"}
    case "$key" in
        id) record_id=$value ;;
        file) record_file=$value ;;
        find) record_find=$value ;;
        replace) record_replace=$value ;;
        about) record_about=$value ;;
        tests) record_tests=$value ;;
        *) echo "$list: unknown key '$key'" >&2; exit 2 ;;
    esac
done < "$list"
flush

# How often text stands in a file (the file read whole, trailing newlines kept).
occurrences() {
    local content rest
    content=$(cat "$1"; printf x)
    content=${content%x}
    rest=${content//"$2"/}
    echo $(( (${#content} - ${#rest}) / ${#2} ))
}

selected=()
for i in "${!ids[@]}"; do
    if [ ${#only[@]} -gt 0 ]; then
        wanted=0
        for id in "${only[@]}"; do [ "$id" = "${ids[$i]}" ] && wanted=1; done
        [ $wanted = 1 ] || continue
    fi
    if [ ! -f "${files[$i]}" ]; then
        echo "${ids[$i]}: no file ${files[$i]}" >&2; exit 2
    fi
    n=$(occurrences "${files[$i]}" "${finds[$i]}")
    if [ "$n" != 1 ]; then
        echo "${ids[$i]}: the text stands $n times in ${files[$i]}, not once" >&2; exit 2
    fi
    selected+=("$i")
done
for id in "${only[@]}"; do
    found=0
    for i in "${ids[@]}"; do [ "$i" = "$id" ] && found=1; done
    [ $found = 1 ] || { echo "no fault named $id" >&2; exit 2; }
done

if [ $listOnly = 1 ]; then
    for i in "${selected[@]}"; do
        printf '%-32s %-28s %s\n' "${ids[$i]}" "${files[$i]}" "${abouts[$i]}"
    done
    exit 0
fi

# The file being broken and its copy; put back on any exit, Ctrl-C included.
broken="" backup=$(mktemp)
restore() {
    if [ -n "$broken" ]; then
        cp "$backup" "$broken"
        # A fresh time stamp, so the next build compiles the restored file again.
        touch "$broken"
        broken=""
    fi
}
trap 'restore; rm -f "$backup"' EXIT
trap 'exit 130' INT TERM

logs=$build/mutation-logs
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVEL_TEST_TIMEOUT_CAP="$timeout" >/dev/null
mkdir -p "$logs"

# Runs the suite (or the tests matching $2); prints the names of the tests
# that failed, space-separated. A test that fails once and then passes (a
# timing row on a loaded machine) has not caught anything.
failedTests() {
    local pattern=${2:-${RUN_TESTS:-}}
    QT_QPA_PLATFORM=offscreen ctest --test-dir "$build" -j"$jobs" --repeat until-pass:2 ${pattern:+-R "$pattern"} \
        ${SKIP_TESTS:+-E "$SKIP_TESTS"} >"$1" 2>&1 || true
    sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) (.*)$/\1/p' "$1" | tr '\n' ' ' | sed 's/ $//'
}

# Without a fault, build and run what the faults' runs will: with
# --targeted, only the suites their records name (a part of the tree that
# does not build then stands in the way of none of them).
baseTargets=${BUILD_TARGETS:-} basePattern=""
if [ $targeted = 1 ]; then
    names=""
    for i in "${selected[@]}"; do
        if [ -z "${suites[$i]}" ]; then names=""; break; fi
        names+=" ${suites[$i]}"
    done
    if [ -n "$names" ]; then
        names=$(printf '%s\n' $names | sort -u | tr '\n' ' ')
        names=${names% }
        baseTargets=$names basePattern="^(${names// /|})\$"
    fi
fi
echo "== $(date -u +%H:%M:%S) building and running the suite without any fault"
# shellcheck disable=SC2086 # the targets are words
if ! cmake --build "$build" -j"$jobs" ${baseTargets:+--target $baseTargets} >"$logs/baseline.build.log" 2>&1; then
    echo "the tree does not build without any fault: $logs/baseline.build.log" >&2; exit 1
fi
failing=$(failedTests "$logs/baseline.test.log" "$basePattern")
if [ -n "$failing" ]; then
    echo "the suite fails without any fault ($failing): $logs/baseline.test.log" >&2; exit 1
fi

caught=0 missed=0 unbuilt=0
for i in "${selected[@]}"; do
    id=${ids[$i]} file=${files[$i]}
    cp "$file" "$backup"
    broken=$file
    content=$(cat "$file"; printf x)
    content=${content%x}
    printf '%s' "${content/"${finds[$i]}"/"${replaces[$i]}"}" >"$file"
    targets=${BUILD_TARGETS:-} pattern=""
    if [ $targeted = 1 ] && [ -n "${suites[$i]}" ]; then
        targets=${suites[$i]} pattern="^(${suites[$i]// /|})\$"
    fi
    # shellcheck disable=SC2086 # the targets are words
    if ! cmake --build "$build" -j"$jobs" ${targets:+--target $targets} >"$logs/$id.build.log" 2>&1; then
        printf '%-10s %-32s (%s)\n' "no build" "$id" "$logs/$id.build.log"
        unbuilt=$((unbuilt + 1))
    else
        failing=$(failedTests "$logs/$id.test.log" "$pattern")
        # Missed by the suites named: perhaps another one catches it now.
        if [ -z "$failing" ] && [ -n "$pattern" ] && cmake --build "$build" -j"$jobs" >>"$logs/$id.build.log" 2>&1; then
            failing=$(failedTests "$logs/$id.test.log")
        fi
        if [ -n "$failing" ]; then
            printf '%-10s %-32s %s\n' "caught" "$id" "$failing"
            caught=$((caught + 1))
        else
            printf '%-10s %-32s %s\n' "MISSED" "$id" "${abouts[$i]}"
            missed=$((missed + 1))
        fi
    fi
    restore
done
echo "== $(date -u +%H:%M:%S) ${#selected[@]} faults: $caught caught, $missed missed, $unbuilt did not build"
[ $missed = 0 ] && [ $unbuilt = 0 ]
