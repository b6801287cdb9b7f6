#!/bin/sh
# Makes the ffmpeg test streams once per build folder. Without ffmpeg or the shared tools it makes
# nothing and succeeds: the tests that need the streams then skip with their own message.
shared=$1
out=$2
[ -f "$out/.done" ] && exit 0
if [ ! -x "$shared/tools/make-test-streams" ]; then
    echo "no $shared/tools/make-test-streams: generated-stream tests will skip"
    exit 0
fi
if ! command -v ffmpeg >/dev/null 2>&1; then
    echo "ffmpeg is not installed: generated-stream tests will skip"
    exit 0
fi
rm -rf "$out.tmp"
"$shared/tools/make-test-streams" "$out.tmp" 20 && rm -rf "$out" && mv "$out.tmp" "$out" && touch "$out/.done"
