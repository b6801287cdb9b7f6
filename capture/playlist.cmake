# Segment file names, playlists by time range and by programme, and HLS playlists built from the
# segment files and their indexes on disk.
corvid_library(NAME corvid_capture_playlist
  SOURCES segment_name.cc playlist.cc hls_index.cc hls.cc
  DEPS corvid_index2 corvid_epg gantry_log gantry_time)

corvid_test(NAME corvid_capture_playlist_tests
  SOURCES tests/segment_name_test.cc tests/playlist_test.cc tests/hls_test.cc
  DEPS corvid_capture_playlist gantry_log
  STREAMS LABELS capture)

# Run by hand: build/bench/corvid_capture_playlist_bench.
corvid_bench(NAME corvid_capture_playlist_bench
  SOURCES bench/playlist_bench.cc
  DEPS corvid_capture_playlist)
