#!/bin/sh
# Runs a program under umockdev-wrapper with the sanitizers' settings its preload needs: ASan
# accepts not coming first, TSan leaves alone what races inside libudev and umockdev.
here=$(dirname "$0")
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
export TSAN_OPTIONS="${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$here/umockdev.tsan.supp"
exec umockdev-wrapper "$@"
