# tamb_embed_resources(TARGET <target> RESOURCES <file>...), part of tamb's
# CMake package (tambConfig.cmake includes it): the files are merged at build
# time into an x86 resource image (tamb --strict, so that an input holding
# any damage fails the build), and the image is linked into the target, a
# program or a shared library, as read-only data, where tamb_open_self finds
# it. An edit of any file listed, or of a file a text names, builds it
# again (where the generator takes a depfile). The image is never turned
# into C source, nor passed through the assembler: the assembler makes a
# small object that holds the symbol and a section of 16 bytes (the
# template), and tamb-embed (tamb::embed) writes the merge straight into a
# copy of it (gcc or clang, on Linux and other ELF systems, and mingw-w64
# for Windows). The target links tamb::resources (libtamb), found for it
# if need be.

function(tamb_embed_resources)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "TARGET" "RESOURCES")
  if(arg_UNPARSED_ARGUMENTS OR NOT arg_TARGET OR NOT arg_RESOURCES)
    message(FATAL_ERROR "usage: tamb_embed_resources(TARGET <target> RESOURCES <file>...)")
  endif()
  if(NOT TARGET "${arg_TARGET}")
    message(FATAL_ERROR "tamb_embed_resources: no target ${arg_TARGET}")
  endif()
  get_target_property(aliased "${arg_TARGET}" ALIASED_TARGET)
  if(aliased)
    set(arg_TARGET "${aliased}")
  endif()
  set(target "${arg_TARGET}")
  get_target_property(type "${target}" TYPE)
  get_target_property(imported "${target}" IMPORTED)
  if(imported OR NOT type MATCHES "^(EXECUTABLE|SHARED_LIBRARY|MODULE_LIBRARY)$")
    message(FATAL_ERROR "tamb_embed_resources: ${target} is not a program or shared library")
  endif()
  get_target_property(directory "${target}" SOURCE_DIR)
  if(NOT directory STREQUAL CMAKE_CURRENT_SOURCE_DIR)
    message(FATAL_ERROR "tamb_embed_resources: call it where ${target} is defined (${directory})")
  endif()
  # The assembler: the driver of the C or the C++ compiler, gcc or clang.
  get_property(languages GLOBAL PROPERTY ENABLED_LANGUAGES)
  set(lang "")
  foreach(candidate IN ITEMS C CXX)
    if(candidate IN_LIST languages AND CMAKE_${candidate}_COMPILER_ID MATCHES "^(GNU|Clang)$"
       AND NOT CMAKE_${candidate}_COMPILER_FRONTEND_VARIANT STREQUAL "MSVC")
      set(lang ${candidate})
      break()
    endif()
  endforeach()
  if(NOT lang OR APPLE)
    message(FATAL_ERROR "tamb_embed_resources: embedding needs gcc or clang (C or C++ enabled), "
                        "building for an ELF system or for Windows (mingw-w64)")
  endif()
  _tamb_absolute_paths(files ${arg_RESOURCES})
  get_target_property(known "${target}" TAMB_EMBEDDED_RESOURCES)
  set_property(TARGET "${target}" APPEND PROPERTY TAMB_EMBEDDED_RESOURCES ${files})
  if(known)
    return() # the first call's build takes the files of every call
  endif()

  set(base "${CMAKE_CURRENT_BINARY_DIR}/tamb_embed/${target}")
  set(template "${base}-template${CMAKE_${lang}_OUTPUT_EXTENSION}")
  set(object "${base}${CMAKE_${lang}_OUTPUT_EXTENSION}")
  # The image behind a hidden symbol, tamb_embedded_image, that libtamb's
  # copy in the same module reads: its length (8 bytes), 8 bytes of padding,
  # the image; in the template, the 16 bytes alone, which tamb-embed fills.
  # On Windows the linker is told not to export it.
  if(WIN32)
    set(symbol tamb_embedded_image)
    if(CMAKE_SIZEOF_VOID_P EQUAL 4)
      set(symbol _tamb_embedded_image)
    endif()
    set(text "\t.section .rdata$tamb,\"dr\"\n\t.balign 16\n\t.globl ${symbol}\n${symbol}:\n"
             "\t.quad 0\n\t.quad 0\n"
             "\t.section .drectve\n\t.ascii \" -exclude-symbols:${symbol}\"\n")
  else()
    # In a large-data section on x86-64, placed after the program's other
    # data, so that a big image does not come between its code and data.
    set(section .rodata.tamb_image)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
      set(section .lrodata.tamb_image)
    endif()
    set(text "\t.section ${section},\"a\"\n\t.balign 16\n\t.globl tamb_embedded_image\n"
             "\t.hidden tamb_embedded_image\n\t.type tamb_embedded_image, %object\n"
             "tamb_embedded_image:\n\t.quad 0\n\t.quad 0\n"
             "\t.size tamb_embedded_image, . - tamb_embedded_image\n"
             "\t.section .note.GNU-stack,\"\",%progbits\n")
  endif()
  string(CONCAT text ${text})
  file(WRITE "${base}.s.new" "${text}")
  configure_file("${base}.s.new" "${base}.s" COPYONLY) # touched only when it changes

  set(assembler "${CMAKE_${lang}_COMPILER}")
  if(CMAKE_${lang}_COMPILER_TARGET)
    list(APPEND assembler "--target=${CMAKE_${lang}_COMPILER_TARGET}")
  endif()
  separate_arguments(flags NATIVE_COMMAND "${CMAKE_${lang}_FLAGS}")
  add_custom_command(OUTPUT "${template}"
    COMMAND ${assembler} ${flags} -c "${base}.s" -o "${template}"
    DEPENDS "${base}.s"
    COMMENT "Assembling the template of ${target}'s resources"
    VERBATIM)
  # The files of every call, in call order, from the target's property when
  # the build is generated; tamb takes its --depfile among them. tamb-embed
  # removes the object first, and leaves none when the merge fails.
  _tamb_depfile(depfile "${object}")
  add_custom_command(OUTPUT "${object}"
    COMMAND tamb::embed "${template}" "${depfile_OUTPUT}" --strict ${depfile_ARGS}
            "$<TARGET_PROPERTY:${target},TAMB_EMBEDDED_RESOURCES>"
    DEPENDS "$<TARGET_PROPERTY:${target},TAMB_EMBEDDED_RESOURCES>" "$<TARGET_FILE:tamb::embed>"
            "${template}"
    ${depfile}
    COMMENT "Embedding the resources of ${target}"
    VERBATIM COMMAND_EXPAND_LISTS)
  if(CMAKE_GENERATOR MATCHES "Ninja")
    # Only the link waits for the object: the target's compiles, which would
    # wait for a generated source (as if it were a header they include), go
    # on meanwhile. Ninja builds the object for the link through its own
    # target, which nothing else needs.
    add_custom_target("${target}_tamb_embed" DEPENDS "${object}")
    target_link_options("${target}" PRIVATE "${object}")
    set_property(TARGET "${target}" APPEND PROPERTY LINK_DEPENDS "${object}")
  else()
    set_source_files_properties("${object}" PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    target_sources("${target}" PRIVATE "${object}")
  endif()

  if(NOT TARGET tamb::resources)
    find_package(tambresources ${tamb_VERSION} REQUIRED PATHS "${CMAKE_CURRENT_FUNCTION_LIST_DIR}/../../..")
  endif()
  set_property(TARGET "${target}" APPEND PROPERTY LINK_LIBRARIES tamb::resources)
endfunction()
