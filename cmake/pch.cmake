# Precompiled headers: the third-party headers that nearly every file of a target includes
# (the standard containers, JsonCpp, cppzmq, Boost.Format, and for the tests GoogleTest and
# GoogleMock) are parsed once per target instead of once per file. QUORVANE_PCH=OFF
# compiles without them (to check that every file includes what it uses).
option(QUORVANE_PCH "Precompile the common third-party headers" ON)

set(quorvane_pch_headers
  <algorithm> <chrono> <functional> <map> <memory> <mutex> <optional> <set> <string>
  <string_view> <thread> <vector>
  <json/json.h> <zmq.hpp> <boost/format.hpp>)

# quorvane_precompile(TARGET [HEADER...]): the common headers and these into TARGET's
# precompiled header.
function(quorvane_precompile target)
  if(QUORVANE_PCH)
    target_precompile_headers(${target} PRIVATE ${quorvane_pch_headers} ${ARGN})
  endif()
endfunction()

# quorvane_precompile_reuse(TARGET FROM): TARGET uses FROM's precompiled header (same
# compile flags and definitions).
function(quorvane_precompile_reuse target from)
  if(QUORVANE_PCH)
    target_precompile_headers(${target} REUSE_FROM ${from})
  endif()
endfunction()
