#!/usr/bin/env bash
# check_install.sh - checks what a user gets from an installation.
#
#   check_install.sh prefix BUILD_DIR WORK_DIR
#       `cmake --install BUILD_DIR --prefix WORK_DIR/prefix`, then checks the
#       installed tree (ctest runs this after every normal build).
#   check_install.sh package DIST_DIR WORK_DIR
#       unpacks the Debian packages in DIST_DIR into WORK_DIR/root and checks
#       them: the files, lintian, the man pages, the systemd units (`make
#       test-package` runs this after `make package`).
#
# Both then run the installed gwcheck against the installed gwsim and its
# default scenario, and build a program against the installed framework and
# client library, as C and as C++, once with find_package and once with
# pkg-config.
# Every check runs; the last line counts them.
set -u

mode=${1:-}
input=${2:-}
work=${3:-}
if [ "$mode" != prefix ] && [ "$mode" != package ] || [ -z "$input" ] || [ -z "$work" ]; then
    echo "usage: $0 prefix BUILD_DIR WORK_DIR | package DIST_DIR WORK_DIR" >&2
    exit 2
fi
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
input=$(cd "$input" && pwd) || exit 2
rm -rf "$work" && mkdir -p "$work" && work=$(cd "$work" && pwd) || exit 2

passed=0
failed=0
# check NAME COMMAND...: runs COMMAND, shows its output only when it fails.
check() {
    local name=$1
    shift
    local output
    if output=$("$@" 2>&1); then
        passed=$((passed + 1))
        echo "ok   $name"
    else
        failed=$((failed + 1))
        echo "FAIL $name"
        [ -n "$output" ] && printf '%s\n' "$output" | sed 's/^/     /'
    fi
}

# files_present ROOT PATH...: every PATH (relative to ROOT) exists.
files_present() {
    local root=$1 missing=0
    shift
    for path in "$@"; do
        if [ ! -e "$root/$path" ]; then
            echo "missing: $path"
            missing=1
        fi
    done
    return $missing
}

# dynamic_section ELF: the dynamic section, one entry per line.
dynamic_section() { readelf -d "$1" | sed -n 's/.*(\([A-Z]*\)).*\[\(.*\)\]$/\1 \2/p'; }

# library_layout BIN LIB RUNPATH: libgwapi has soname libgwapi.so.1, gwcheck
# needs exactly that, and gwcheck's run path is RUNPATH; without one, the
# loader must search installed_libdir by itself.
library_layout() {
    local gwcheck=$1 library=$2 runpath=$3
    local lib_dynamic bin_dynamic
    lib_dynamic=$(dynamic_section "$library") && bin_dynamic=$(dynamic_section "$gwcheck") || return 1
    grep -qx 'SONAME libgwapi.so.1' <<<"$lib_dynamic" || { echo "libgwapi soname: $lib_dynamic"; return 1; }
    grep -qx 'NEEDED libgwapi.so.1' <<<"$bin_dynamic" || { echo "gwcheck needs: $bin_dynamic"; return 1; }
    if grep -q 'RPATH\|RUNPATH' <<<"$lib_dynamic"; then
        echo "libgwapi has a run path: $lib_dynamic"
        return 1
    fi
    local actual
    actual=$(sed -n 's/^R\(UN\)\{0,1\}PATH //p' <<<"$bin_dynamic")
    [ "$actual" = "$runpath" ] || { echo "gwcheck run path '$actual', expected '$runpath'"; return 1; }
    # Without a run path the library must be in one of the loader's own directories.
    local loader
    loader=$(readelf -l "$gwcheck" | sed -n 's/.*interpreter: \(.*\)\]$/\1/p')
    if [ -z "$runpath" ] && ! "$loader" --help | grep -qx "  $installed_libdir (system search path)"; then
        echo "$loader does not search $installed_libdir by itself"
        return 1
    fi
}

# no_cxx_runtime ELF...: ldd lists no library of the C++ runtime (libstdc++,
# libm, libgcc_s) among what each ELF loads.
no_cxx_runtime() {
    local elf loaded status=0
    for elf in "$@"; do
        loaded=$("${run_environment[@]}" ldd "$elf") || { echo "ldd $elf: $loaded"; return 1; }
        if grep -E '^\s*(libstdc\+\+|libm|libgcc_s)\.so' <<<"$loaded"; then
            echo "$elf loads the C++ runtime:"
            echo "$loaded"
            status=1
        fi
    done
    return $status
}

# installed_run GWSIM GWCHECK SCENARIO: gwsim serves SCENARIO on a free
# loopback port, gwcheck runs the whole check with P against it and must
# succeed.
installed_run() {
    local gwsim=$1 gwcheck=$2 scenario=$3
    local run=$work/run
    mkdir -p "$run"
    "$gwsim" --scenario "$scenario" --port-file "$run/port" >"$run/gwsim.out" 2>&1 &
    local gwsim_pid=$!
    for _ in $(seq 300); do
        [ -s "$run/port" ] || ! kill -0 $gwsim_pid 2>/dev/null && break
        sleep 0.1
    done
    local status=1
    if [ -s "$run/port" ]; then
        "${run_environment[@]}" "$gwcheck" demo demo-pass 127.0.0.1 "$(cat "$run/port")" P \
            >"$run/gwcheck.out" 2>&1
        status=$?
    fi
    kill -TERM $gwsim_pid 2>/dev/null
    wait $gwsim_pid 2>/dev/null
    cat "$run/gwsim.out" "$run/gwcheck.out" 2>/dev/null
    [ $status -eq 0 ] && grep -qx 'Login status: successful' "$run/gwcheck.out"
}

# pc_prefixes: exc.pc and gwapi.pc name the prefix they were installed into.
pc_prefixes() {
    local pc status=0
    for pc in exc gwapi; do
        grep -qx "prefix=$install_prefix" "$root/$libdir/pkgconfig/$pc.pc" ||
            { echo "$pc.pc:"; cat "$root/$libdir/pkgconfig/$pc.pc"; status=1; }
    done
    return $status
}

# consumer_with_cmake PREFIX: tests/install/consumer built with
# find_package(exc) and find_package(gwapi) from PREFIX, then run: the C
# program and the same program as C++.
consumer_with_cmake() {
    local build=$work/consumer-cmake
    cmake -S "$source_dir/tests/install/consumer" -B "$build" -DCMAKE_PREFIX_PATH="$1" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null &&
        cmake --build "$build" >/dev/null &&
        "$build/consumer_c" && "$build/consumer"
}

# consumer_with_pkg_config LIBDIR [SYSROOT]: the same source compiled with
# the flags of LIBDIR/pkgconfig/exc.pc and gwapi.pc (their paths moved under
# SYSROOT, for an unpacked package), then run.
consumer_with_pkg_config() {
    local flags
    flags=$(PKG_CONFIG_PATH=$1/pkgconfig PKG_CONFIG_SYSROOT_DIR=${2:-} pkg-config --cflags --libs exc gwapi) ||
        return 1
    echo "pkg-config: $flags"
    local consumer=$source_dir/tests/install/consumer
    # shellcheck disable=SC2086 # the flags are words
    cc -std=gnu11 -Wall -Wextra -Werror -o "$work/consumer-pkg-config-c" "$consumer/consumer.c" \
        $flags -Wl,-rpath,"$1" &&
        "$work/consumer-pkg-config-c" &&
        cc -std=c11 -D_POSIX_C_SOURCE=200809L -Wall -Wextra -Werror -o "$work/consumer-pkg-config-c11" \
            "$consumer/consumer.c" $flags -Wl,-rpath,"$1" &&
        "$work/consumer-pkg-config-c11" &&
        c++ -std=c++17 -Wall -Wextra -Werror -o "$work/consumer-pkg-config" "$consumer/consumer.cpp" \
            $flags -Wl,-rpath,"$1" &&
        "$work/consumer-pkg-config"
}

if [ "$mode" = prefix ]; then
    prefix=$work/prefix
    check "cmake --install into a new prefix" cmake --install "$input" --prefix "$prefix"
    libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:[A-Z]*=//p' "$input/CMakeCache.txt")
    bindir=bin
    scenario=$prefix/share/gwsim/scenarios/default.toml
    # A prefix the loader does not search: gwcheck finds the library relative to itself.
    expected_runpath="\$ORIGIN/../$libdir"
    root=$prefix
    run_environment=()
    sysroot=
    install_prefix=$prefix
    credentials_dir=$prefix/etc/gwcheck
else
    debs=("$input"/*.deb)
    sysroot=$work/root
    root=$sysroot
    names=$(for deb in "${debs[@]}"; do dpkg-deb -f "$deb" Package; done | sort | tr '\n' ' ')
    check "the five packages" test "$names" = "gwcheck gwsim libexc-dev libgwapi-dev libgwapi1 "
    check "lintian finds no error" lintian --fail-on error --info "${debs[@]}"
    for deb in "${debs[@]}"; do
        dpkg-deb -x "$deb" "$root"
    done
    libdir=lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
    root=$root/usr
    bindir=bin
    scenario=$root/share/gwsim/scenarios/default.toml
    expected_runpath=
    install_prefix=/usr
    credentials_dir=/etc/gwcheck
    installed_libdir=/usr/$libdir
    # Installed, the loader finds the library in its own directory; unpacked, it is told where.
    run_environment=(env "LD_LIBRARY_PATH=$root/$libdir")
fi

check "installed files" files_present "$root" \
    bin/gwcheck bin/gwsim "$libdir/libgwapi.so.1" "$libdir/libgwapi.so" \
    share/man/man1/gwcheck.1.gz share/man/man1/gwsim.1.gz share/man/man5/gwsim-scenario.5.gz \
    share/man/man3/exc.3.gz \
    lib/systemd/system/gwcheck@.service lib/systemd/system/gwcheck@.timer lib/sysusers.d/gwcheck.conf \
    share/gwsim/scenarios/default.toml include/exc/exc.h include/gwapi/gwapi.h "$libdir/libexc.a" \
    "$libdir/cmake/exc/excConfig.cmake" "$libdir/cmake/gwapi/gwapiConfig.cmake" \
    "$libdir/pkgconfig/exc.pc" "$libdir/pkgconfig/gwapi.pc" \
    share/doc/gwcheck/copyright share/doc/libexc-dev/changelog.gz \
    share/gwcheck/gwcheck.rules.yml share/doc/gwcheck/examples/gwcheck-node-exporter.conf
check "libgwapi.so.1 soname, gwcheck run path '$expected_runpath', loader finds the library" \
    library_layout "$root/$bindir/gwcheck" "$root/$libdir/libgwapi.so.1" "$expected_runpath"
check "gwcheck and libgwapi.so.1 load no C++ runtime" \
    no_cxx_runtime "$root/$bindir/gwcheck" "$root/$libdir/libgwapi.so.1"
check "gwcheck@.service runs $install_prefix/bin/gwcheck with $credentials_dir" grep -qx \
    "ExecStart=$install_prefix/bin/gwcheck --timeout 120 --poll-interval 10 --credentials $credentials_dir/%i.conf --metrics /var/lib/gwcheck/gwcheck-%i.prom P" \
    "$root/lib/systemd/system/gwcheck@.service"
# The run's deadline, plus the answer timeout a renewal may hold a stop
# back, plus a second, must end it before systemd's stop timeout does.
unit_deadline_fits() {
    local unit=$1 deadline start_timeout
    deadline=$(sed -n 's/^ExecStart=.* --timeout \([0-9]*\) .*/\1/p' "$unit")
    start_timeout=$(sed -n 's/^TimeoutStartSec=\([0-9]*\)min$/\1/p' "$unit")
    [ -n "$deadline" ] && [ -n "$start_timeout" ] &&
        [ $((deadline + 10 + 1)) -lt $((start_timeout * 60)) ]
}
check "gwcheck@.service's deadline ends the run before TimeoutStartSec" \
    unit_deadline_fits "$root/lib/systemd/system/gwcheck@.service"
check "promtool accepts the installed alerting rules" \
    promtool check rules "$root/share/gwcheck/gwcheck.rules.yml"
check "installed gwcheck against installed gwsim and default.toml" \
    installed_run "$root/$bindir/gwsim" "$root/$bindir/gwcheck" "$scenario"
check "consumer in C and C++ built with find_package(exc) and find_package(gwapi)" \
    consumer_with_cmake "$root"
check "exc.pc and gwapi.pc name the prefix $install_prefix" pc_prefixes
check "consumer in C (gnu11, c11) and C++ built with pkg-config" \
    consumer_with_pkg_config "$root/$libdir" "$sysroot"

if [ "$mode" = package ]; then
    # groff prints nothing for a page without problems; lintian's own man
    # page check runs too.
    man_pages_clean() {
        local page warnings status=0
        for page in "$root"/share/man/man*/*.gz; do
            warnings=$(zcat "$page" | LC_ALL=C.UTF-8 groff -man -ww -z 2>&1)
            [ -z "$warnings" ] || { echo "$page: $warnings"; status=1; }
        done
        for page in gwcheck.1 gwsim.1; do
            for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" ENVIRONMENT FILES EXAMPLES; do
                zcat "$root/share/man/man1/$page.gz" | grep -qx "\.SH \"\{0,1\}$section\"\{0,1\}" ||
                    { echo "$page: no section $section"; status=1; }
            done
        done
        for section in NAME LIBRARY SYNOPSIS DESCRIPTION "EXIT STATUS" THREADS EXAMPLES; do
            zcat "$root/share/man/man3/exc.3.gz" | grep -qx "\.SH \"\{0,1\}$section\"\{0,1\}" ||
                { echo "exc.3: no section $section"; status=1; }
        done
        return $status
    }
    check "man pages render without warnings, with every section" man_pages_clean

    # systemd-analyze verify loads an instance of each template from the
    # unpacked tree; it also checks that the command gwcheck exists there.
    units_verify() {
        local units=$work/units
        mkdir -p "$units"
        cp "$root/lib/systemd/system/gwcheck@.service" "$root/lib/systemd/system/gwcheck@.timer" "$units/"
        sed -i "s#^ExecStart=/usr/bin/gwcheck #ExecStart=$root/bin/gwcheck #" "$units/gwcheck@.service"
        local output
        output=$(SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no \
                 "$units/gwcheck@check.service" "$units/gwcheck@check.timer" 2>&1)
        local status=$?
        [ -n "$output" ] && echo "$output"
        [ $status -eq 0 ] && [ -z "$output" ]
    }
    check "systemd-analyze verify gwcheck@.service and gwcheck@.timer" units_verify
    # systemd's own rating of the sandbox, 0 (tight) to 10 (none); 1.3 today.
    check "gwcheck@.service exposure at most 2.0" \
        systemd-analyze security --offline=true --threshold=20 "$work/units/gwcheck@check.service"
fi

echo "$mode: $passed passed, $failed failed"
[ $failed -eq 0 ]
