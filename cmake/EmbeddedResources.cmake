# Compiles the web application, the explorer extension and the front-end
# library files into the plug-in. The bytes are turned into a generated C++
# source at build time, so the plug-in needs no file at run time.
#
#   file resource 0       the explorer extension script
#   directory resource 0  every file of WebApplication/ (the page, its script,
#                         style sheet and images), at "/" + its relative path
#   directory resource 1  the library files, at the fixed paths listed below

find_program(QUELBY_EMBED_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT QUELBY_EMBED_PYTHON)
  find_package(Python3 REQUIRED COMPONENTS Interpreter)
  set(QUELBY_EMBED_PYTHON ${Python3_EXECUTABLE})
endif()

set(QUELBY_EMBED_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/EmbedResources.py)

function(quelby_add_embedded_resources target)
  set(app_dir ${CMAKE_SOURCE_DIR}/WebApplication)
  set(modules_dir ${CMAKE_SOURCE_DIR}/WebLibraries/node_modules)
  set(explorer_script ${app_dir}/explorer.js)

  if(NOT EXISTS ${modules_dir}/jquery/package.json)
    message(FATAL_ERROR
      "The front-end libraries are missing (${modules_dir}). "
      "Run scripts/install-deps (it runs 'npm ci' in WebLibraries/) and configure again.")
  endif()
  if(NOT EXISTS ${explorer_script})
    message(FATAL_ERROR "The explorer extension script is missing: ${explorer_script}")
  endif()

  # Served path -> file of node_modules. The paths are what the page links to.
  set(library_files
    "/js/jquery-3.4.1.min.js=jquery/dist/jquery.min.js"
    "/js/bootstrap.js=bootstrap/dist/js/bootstrap.js"
    "/js/bootstrap.js.map=bootstrap/dist/js/bootstrap.js.map"
    "/css/bootstrap.css=bootstrap/dist/css/bootstrap.css"
    "/css/bootstrap.css.map=bootstrap/dist/css/bootstrap.css.map"
    "/js/vue.min.js=vue/dist/vue.min.js"
    "/css/font-awesome.css=font-awesome/css/font-awesome.css"
    "/fonts/fontawesome-webfont.eot=font-awesome/fonts/fontawesome-webfont.eot"
    "/fonts/fontawesome-webfont.svg=font-awesome/fonts/fontawesome-webfont.svg"
    "/fonts/fontawesome-webfont.ttf=font-awesome/fonts/fontawesome-webfont.ttf"
    "/fonts/fontawesome-webfont.woff=font-awesome/fonts/fontawesome-webfont.woff"
    "/fonts/fontawesome-webfont.woff2=font-awesome/fonts/fontawesome-webfont.woff2"
    "/fonts/FontAwesome.otf=font-awesome/fonts/FontAwesome.otf")

  set(arguments --file 0 ${explorer_script})
  set(inputs ${explorer_script})

  # CONFIGURE_DEPENDS: adding or removing a file of the page reconfigures.
  file(GLOB_RECURSE app_files CONFIGURE_DEPENDS RELATIVE ${app_dir} ${app_dir}/*)
  list(SORT app_files)
  foreach(relative ${app_files})
    # The extension script is a file resource of its own.
    if(relative STREQUAL "explorer.js")
      continue()
    endif()
    list(APPEND arguments --entry 0 "/${relative}" ${app_dir}/${relative})
    list(APPEND inputs ${app_dir}/${relative})
  endforeach()

  foreach(item ${library_files})
    string(FIND "${item}" "=" separator)
    string(SUBSTRING "${item}" 0 ${separator} served)
    math(EXPR rest "${separator} + 1")
    string(SUBSTRING "${item}" ${rest} -1 relative)
    if(NOT EXISTS ${modules_dir}/${relative})
      message(FATAL_ERROR
        "Front-end library file missing: ${modules_dir}/${relative}. Run scripts/install-deps.")
    endif()
    list(APPEND arguments --entry 1 "${served}" ${modules_dir}/${relative})
    list(APPEND inputs ${modules_dir}/${relative})
  endforeach()

  set(output ${CMAKE_CURRENT_BINARY_DIR}/EmbeddedResources.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${QUELBY_EMBED_PYTHON} ${QUELBY_EMBED_SCRIPT} ${output} ${arguments}
    DEPENDS ${QUELBY_EMBED_SCRIPT} ${inputs}
    COMMENT "Embedding the web application and its libraries"
    VERBATIM)

  target_sources(${target} PRIVATE ${output})
  # The data needs no optimization or debug information, which only slow the build.
  set_source_files_properties(${output} PROPERTIES COMPILE_OPTIONS "-O0;-g0")
endfunction()
