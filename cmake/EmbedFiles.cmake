# Writes OUTPUT, a C++ source defining FUNCTION() (declared in HEADER) as the files FILES (a list
# separated by '|', relative to BASE) with their contents, so that a program serves them without
# installing anything beside it. Run as: cmake -DOUTPUT=... -DBASE=... -DFILES=a|b
# -DHEADER=... -DNAMESPACE=... -DFUNCTION=... -P EmbedFiles.cmake
string(REPLACE "|" ";" files "${FILES}")
set(body "")
foreach(name IN LISTS files)
  file(READ ${BASE}/${name} text)
  string(FIND "${text}" ")cv_embed\"" clash)
  if(NOT clash EQUAL -1)
    message(FATAL_ERROR "${BASE}/${name} holds the raw string's delimiter")
  endif()
  string(APPEND body "        {\"${name}\", text(R\"cv_embed(${text})cv_embed\")},\n")
endforeach()
file(WRITE ${OUTPUT}.new "// Generated from ${BASE} by EmbedFiles.cmake.
#include \"${HEADER}\"

namespace ${NAMESPACE} {

namespace {

template <size_t N>
constexpr std::string_view text(const char (&literal)[N]) {
    return {literal, N - 1};
}

}  // namespace

const std::vector<EmbeddedFile>& ${FUNCTION}() {
    static const std::vector<EmbeddedFile> files = {
${body}    };
    return files;
}

}  // namespace ${NAMESPACE}
")
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
