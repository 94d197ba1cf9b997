# Turns the IANA release in DIR (third_party/tzdata, see scripts/tzdata.sh)
# into C++ source OUT: the release, and every zone and link name of its
# `zones` list, sorted, with its compiled zone file (TZif). Names whose
# files are identical (a link and its zone) share one copy of the bytes.
# RELEASE_FILE (src/calendar/tzdata.release) names the release the build
# must embed; DIR must hold that very release.
file(STRINGS "${RELEASE_FILE}" release_line REGEX "^release=")
string(REGEX REPLACE "^release=" "" release "${release_line}")
file(STRINGS "${RELEASE_FILE}" version_line REGEX "^version=")
string(REGEX REPLACE "^version=" "" version "${version_line}")
if(NOT EXISTS "${DIR}/RELEASE")
  message(FATAL_ERROR "${DIR} holds no time zone release: run scripts/tzdata.sh fetch")
endif()
file(STRINGS "${DIR}/RELEASE" unpacked)
if(NOT release OR NOT unpacked STREQUAL release)
  message(FATAL_ERROR "${DIR} holds tz release '${unpacked}', ${RELEASE_FILE} names '${release}': "
                      "run scripts/tzdata.sh fetch")
endif()

file(STRINGS "${DIR}/zones" names)
list(SORT names COMPARE STRING)
list(LENGTH names count)
set(files "")
set(entries "")
set(offset 0)
set(seen "")
string(REPEAT "." 64 line_of_hex)
foreach(name IN LISTS names)
  set(path "${DIR}/zoneinfo/${name}")
  if(NOT EXISTS "${path}")
    message(FATAL_ERROR "${path} is missing: run scripts/tzdata.sh fetch")
  endif()
  file(SHA256 "${path}" digest)
  list(FIND seen "${digest}" at)
  if(at EQUAL -1)
    list(APPEND seen "${digest}")
    file(READ "${path}" hex HEX)
    string(LENGTH "${hex}" hexlen)
    math(EXPR size "${hexlen} / 2")
    set(at_${digest} "${offset}")
    set(size_${digest} "${size}")
    math(EXPR offset "${offset} + ${size}")
    # 32 bytes to a line, each as a \xHH escape of a string literal.
    string(REGEX REPLACE "(${line_of_hex})" "\\1\"\n    \"" lines "${hex}")
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "\\\\x\\1" escaped "${lines}")
    string(APPEND files "    // ${name}\n    \"${escaped}\"\n")
  endif()
  string(APPEND entries "    {\"${name}\", {kFiles + ${at_${digest}}, ${size_${digest}}}},\n")
endforeach()
list(LENGTH seen distinct)

file(WRITE "${OUT}" "// Generated at build time by cmake/embed_tzdata.cmake from PyPI's tzdata
// ${version}, IANA time zone release ${release}; do not edit.
#include \"calendar/tz_embedded.hpp\"

#include <algorithm>
#include <array>

namespace korvex::calendar::tz_embedded {

namespace {

// The ${distinct} distinct zone files, one after the other (${offset} bytes).
constexpr char kFiles[] =
${files}    ;
static_assert(sizeof kFiles == ${offset} + 1);

constexpr std::array<Zone, ${count}> kZoneArray = {{
${entries}}};
// Looked up by binary search.
static_assert(std::ranges::is_sorted(kZoneArray, {}, &Zone::name));

}  // namespace

const std::string_view kRelease = \"${release}\";
const std::span<const Zone> kZones{kZoneArray};

}  // namespace korvex::calendar::tz_embedded
")
