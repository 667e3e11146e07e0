# Writes a C++ source that holds files as byte arrays, each behind a function that returns it as a
# std::string_view, so that the files stay readable as they are in the source tree and still end
# up inside the executable. Run with cmake -P:
#   -DOUTPUT=<file.cpp> -DHEADER=<header to include> -DNAMESPACE=<name>
#   -DFILES=<function>=<path>|<function>=<path>...
cmake_minimum_required(VERSION 3.25)
set(text "// Made by cmake/embed_files.cmake from the files named below; edit those instead.\n")
string(APPEND text "#include \"${HEADER}\"\n\nnamespace ${NAMESPACE} {\n")
string(REPLACE "|" ";" entries "${FILES}")
foreach(entry IN LISTS entries)
    string(REGEX MATCH "^([A-Za-z_][A-Za-z0-9_]*)=(.+)$" matched "${entry}")
    if(NOT matched)
        message(FATAL_ERROR "embed_files: '${entry}' is not <function>=<path>")
    endif()
    set(function ${CMAKE_MATCH_1})
    set(path ${CMAKE_MATCH_2})
    file(READ ${path} bytes HEX)
    string(LENGTH "${bytes}" digits)
    if(digits EQUAL 0)
        message(FATAL_ERROR "embed_files: ${path} is empty")
    endif()
    # Two hex digits a byte, 24 bytes a line.
    string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${bytes}")
    string(REPEAT "0x[0-9a-f][0-9a-f]," 24 line)
    string(REGEX REPLACE "(${line})" "\\1\n    " bytes "${bytes}")
    get_filename_component(name ${path} NAME)
    string(APPEND text "\nnamespace {\n// ${name}\nconst unsigned char ${function}Bytes[] = {\n    ${bytes}\n};\n} // namespace\n")
    string(APPEND text "std::string_view ${function}() {\n")
    string(APPEND text "    return {reinterpret_cast<const char*>(${function}Bytes), sizeof ${function}Bytes};\n}\n")
endforeach()
string(APPEND text "\n} // namespace ${NAMESPACE}\n")
# Only a change rewrites the file, so that an unchanged page rebuilds nothing.
if(EXISTS ${OUTPUT})
    file(READ ${OUTPUT} previous)
endif()
if(NOT previous STREQUAL text)
    file(WRITE ${OUTPUT} "${text}")
endif()
