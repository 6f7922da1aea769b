# Renders the guide as one HTML page that a trader can open by double-click:
# cmark turns the Markdown into HTML; this script gives the headings the
# anchors the guide's own links use, puts each PNG inline as a data: URI, and
# wraps it all in a page with a title and a readable style.
#
# cmake -DCMARK=... -DBASE64=... -DGUIDE=docs/spreadsheets.md -DOUTPUT=guide.html
#       [-DFEED_HOST=host -DVERSION=1.3 -DSETTINGS=sign-settings.cmake] -P RenderGuide.cmake
# With FEED_HOST the page opens with the feed host this copy was built for and
# whether it is signed (SETTINGS and the environment, as cmake/Sign.cmake reads them).

foreach(v CMARK BASE64 GUIDE OUTPUT)
  if(NOT DEFINED ${v})
    message(FATAL_ERROR "RenderGuide.cmake: ${v} not given")
  endif()
endforeach()
if(NOT DEFINED TITLE)
  set(TITLE "TavroDDE guide")
endif()
get_filename_component(images "${GUIDE}" DIRECTORY)

file(READ "${GUIDE}" markdown)
if(DEFINED FEED_HOST)
  set(TAVRO_SIGN_PKCS12 "")
  if(DEFINED SETTINGS)
    include("${SETTINGS}")
  endif()
  if(DEFINED ENV{TAVRO_SIGN_PKCS12})
    set(TAVRO_SIGN_PKCS12 "$ENV{TAVRO_SIGN_PKCS12}")
  endif()
  if(TAVRO_SIGN_PKCS12 STREQUAL "")
    set(signature "**This copy is not signed.** Windows may warn that its publisher is unknown, and \
desktops that allow only signed programs will block it; ask your TAVRO contact for a signed package.")
    message(STATUS "guide: this package is NOT SIGNED (no TAVRO_SIGN_PKCS12)")
  else()
    set(signature "Its programs, installer and uninstaller carry a digital signature (Authenticode); \
Windows names the publisher when you run them.")
  endif()
  string(PREPEND markdown "> This copy of TavroDDE ${VERSION} connects to the feed server **${FEED_HOST}** \
(port 7000, else port 80). It was built for that host and cannot be pointed elsewhere.\n>\n> ${signature}\n\n")
endif()
set(source "${OUTPUT}.md")
file(WRITE "${source}" "${markdown}")
execute_process(COMMAND "${CMARK}" --to html "${source}"
  OUTPUT_VARIABLE body RESULT_VARIABLE rc ERROR_VARIABLE err)
file(REMOVE "${source}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmark failed (${rc}): ${err}")
endif()

# The anchor of a heading as the guide's links spell it: lower case, letters,
# digits, "-" and "_" kept, blanks turned into "-", everything else dropped.
function(anchor_of text out)
  string(REGEX REPLACE "<[^>]*>" "" t "${text}")
  string(REPLACE "&quot;" "\"" t "${t}")
  string(REPLACE "&amp;" "&" t "${t}")
  string(REPLACE "&lt;" "<" t "${t}")
  string(REPLACE "&gt;" ">" t "${t}")
  string(TOLOWER "${t}" t)
  string(REGEX REPLACE "[^a-z0-9 _-]" "" t "${t}")
  string(REPLACE " " "-" t "${t}")
  set(${out} "${t}" PARENT_SCOPE)
endfunction()

set(page "")
set(rest "${body}")
while(rest MATCHES "<h([1-6])>")
  string(FIND "${rest}" "${CMAKE_MATCH_0}" at)
  set(level "${CMAKE_MATCH_1}")
  string(SUBSTRING "${rest}" 0 ${at} before)
  math(EXPR textStart "${at} + 4")
  string(SUBSTRING "${rest}" ${textStart} -1 rest)
  string(FIND "${rest}" "</h${level}>" textEnd)
  string(SUBSTRING "${rest}" 0 ${textEnd} text)
  string(SUBSTRING "${rest}" ${textEnd} -1 rest)
  anchor_of("${text}" id)
  string(APPEND page "${before}<h${level} id=\"${id}\">${text}")
endwhile()
string(APPEND page "${rest}")

# Every image of the guide's folder goes inline, so the page is one file.
string(REGEX MATCHALL "<img src=\"[^\":/]+\\.png\"" refs "${page}")
list(REMOVE_DUPLICATES refs)
foreach(ref IN LISTS refs)
  string(REGEX REPLACE "<img src=\"([^\"]+)\"" "\\1" name "${ref}")
  if(NOT EXISTS "${images}/${name}")
    message(FATAL_ERROR "the guide shows ${name}, which is not in ${images}")
  endif()
  execute_process(COMMAND "${BASE64}" -w 0 "${images}/${name}"
    OUTPUT_VARIABLE data RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${BASE64} failed on ${images}/${name}")
  endif()
  string(STRIP "${data}" data)
  string(REPLACE "${ref}" "<img src=\"data:image/png;base64,${data}\"" page "${page}")
endforeach()

file(WRITE "${OUTPUT}.new" "<!DOCTYPE html>
<html lang=\"en\">
<head>
<meta charset=\"utf-8\">
<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">
<title>${TITLE}</title>
<style>
body { font-family: \"Segoe UI\", Tahoma, Arial, sans-serif; font-size: 15px; line-height: 1.5;
       color: #1b1b1b; background: #fff; max-width: 52em; margin: 0 auto; padding: 1em 1.5em 3em; }
h1 { font-size: 1.9em; margin: 0.4em 0; }
h2 { font-size: 1.35em; margin-top: 1.8em; padding-bottom: 0.2em; border-bottom: 1px solid #d0d7de; }
h3 { font-size: 1.1em; }
a { color: #0b5cad; }
code, pre { font-family: Consolas, \"Courier New\", monospace; font-size: 0.93em; background: #f3f4f6; }
code { padding: 0.05em 0.3em; border-radius: 3px; }
pre { padding: 0.7em 1em; overflow-x: auto; border-radius: 4px; }
pre code { padding: 0; background: none; }
table { border-collapse: collapse; margin: 0.8em 0; }
th, td { border: 1px solid #c8ccd1; padding: 0.3em 0.6em; text-align: left; vertical-align: top; }
th { background: #eef1f4; }
tr:nth-child(even) td { background: #fafbfc; }
blockquote { margin: 1em 0; padding: 0.5em 1em; background: #fff8e1; border-left: 4px solid #e0a800; }
blockquote p { margin: 0.3em 0; }
img { max-width: 100%; border: 1px solid #d0d7de; }
</style>
</head>
<body>
${page}</body>
</html>
")
file(COPY_FILE "${OUTPUT}.new" "${OUTPUT}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUTPUT}.new")
