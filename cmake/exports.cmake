# Reads src/api/exports.list and writes, into the build tree, the three files
# the linkers want from it:
#   quodra.def          names and ordinals of quodra.dll
#   exports.version     the ELF version script of libquodra.so
#   quodra-stdcall.def  the 32-bit import library's map from the compiler's
#                       stdcall names (_httpGet@12) to the exports
# A file is rewritten only when its contents change, so that configuring
# again does not relink.

function(quodra_write_if_changed path content)
  file(WRITE "${path}.new" "${content}")
  configure_file("${path}.new" "${path}" COPYONLY)
  file(REMOVE "${path}.new")
endfunction()

function(quodra_export_files list_file out_dir)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${list_file}")
  file(STRINGS "${list_file}" lines)
  set(def "LIBRARY quodra.dll\nEXPORTS\n")
  set(stdcall "LIBRARY quodra.dll\nEXPORTS\n")
  set(version "{\n  global:\n")
  set(previous 0)
  foreach(line IN LISTS lines)
    if(line MATCHES "^[ \t]*(#|$)")
      continue()
    endif()
    if(NOT line MATCHES "^[ \t]*([0-9]+)[ \t]+([A-Za-z_][A-Za-z0-9_]*)[ \t]+([0-9]+)[ \t]*$")
      message(FATAL_ERROR "${list_file}: not 'ordinal name arguments': ${line}")
    endif()
    set(ordinal ${CMAKE_MATCH_1})
    set(name ${CMAKE_MATCH_2})
    math(EXPR bytes "${CMAKE_MATCH_3} * 4")
    # Ordinals are what callers bind to: they grow down the list, each once.
    # One left free (kept for a call that comes later) is an empty entry of
    # the DLL's export table.
    if(NOT ordinal GREATER previous)
      message(FATAL_ERROR "${list_file}: ${name} has ordinal ${ordinal}, not above ${previous}")
    endif()
    set(previous ${ordinal})
    string(APPEND def "  ${name} @${ordinal}\n")
    string(APPEND stdcall "  ${name}@${bytes} @${ordinal}\n")
    string(APPEND version "    ${name};\n")
  endforeach()
  string(APPEND version "  local: *;\n};\n")

  file(MAKE_DIRECTORY "${out_dir}")
  quodra_write_if_changed("${out_dir}/quodra.def" "${def}")
  quodra_write_if_changed("${out_dir}/quodra-stdcall.def" "${stdcall}")
  quodra_write_if_changed("${out_dir}/exports.version" "${version}")
endfunction()
