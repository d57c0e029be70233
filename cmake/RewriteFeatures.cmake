# Optional parts of the build (tests, benchmarks, stores) and what they need.
#
# Each part has a cache variable with three values:
#   AUTO  built when everything it needs is found; otherwise left out, with
#         a line that says what is missing (the default at the top level)
#   ON    required: configuring fails, naming the Debian packages to install
#   OFF   not built (the default when librewrite is a subproject)
#
# rewrite_feature(<var> "<what it is>") declares the variable;
# rewrite_need(<var> <found> "<Debian package>") records a dependency, found
# when the variable <found> is true; rewrite_decide(<var>) then sets
# <var>_ENABLED in the caller's scope.

function(rewrite_feature var doc)
  if(REWRITE_TOP_LEVEL)
    set(default AUTO)
  else()
    set(default OFF)
  endif()
  set(${var} ${default} CACHE STRING "${doc}: AUTO (when its dependencies are found), ON or OFF")
  set_property(CACHE ${var} PROPERTY STRINGS AUTO ON OFF)
  set(${var}_MISSING "" PARENT_SCOPE)
endfunction()

# True when the part is wanted at all (AUTO or ON), so that its
# dependencies are worth looking for.
function(rewrite_wanted var out)
  string(TOUPPER "${${var}}" mode)
  if(mode STREQUAL "AUTO" OR mode STREQUAL "ON" OR mode STREQUAL "YES" OR mode STREQUAL "TRUE"
     OR mode STREQUAL "1")
    set(${out} TRUE PARENT_SCOPE)
  else()
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()

function(rewrite_need var found package)
  if(NOT ${found})
    list(APPEND ${var}_MISSING "${package}")
    set(${var}_MISSING "${${var}_MISSING}" PARENT_SCOPE)
  endif()
endfunction()

function(rewrite_decide var)
  string(TOUPPER "${${var}}" mode)
  rewrite_wanted(${var} wanted)
  set(enabled FALSE)
  if(wanted)
    if(${var}_MISSING)
      list(REMOVE_DUPLICATES ${var}_MISSING)
      string(REPLACE ";" " " packages "${${var}_MISSING}")
      if(mode STREQUAL "AUTO")
        message(STATUS "${var}: left out; it needs the Debian packages: ${packages}")
      else()
        message(FATAL_ERROR "${var}=${${var}} needs what is not installed here. "
                            "Install the Debian packages: ${packages}")
      endif()
    else()
      set(enabled TRUE)
    endif()
  endif()
  set(${var}_ENABLED ${enabled} PARENT_SCOPE)
endfunction()
