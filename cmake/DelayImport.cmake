# Delay-import libraries for system libraries that are not among the
# system's known libraries (winhttp, wininet, winmm, avrt). Linked
# normally, such a library is loaded at start from the executable's own
# folder first, before the client can say where libraries come from.
# Through a delay-import library the first call loads it by name, after
# LimitLibrarySearch (client/system_libraries.h) has limited that search to
# the system folder. dlltool makes each one from a .def file listing every
# function of the toolchain's own import library.

# tavrensil_delay_import_libraries(OUT name...): OUT gets the paths of the
# delay-import libraries of the system libraries `name`.dll.
function(tavrensil_delay_import_libraries out)
  find_program(TAVRENSIL_DLLTOOL NAMES ${TAVRENSIL_TRIPLE}-dlltool REQUIRED)
  find_program(TAVRENSIL_NM NAMES ${TAVRENSIL_TRIPLE}-nm REQUIRED)
  set(folder ${CMAKE_BINARY_DIR}/delay-import)
  file(MAKE_DIRECTORY ${folder})
  set(libraries)
  foreach(name IN LISTS ARGN)
    find_library(import_${name} NAMES lib${name}.a REQUIRED NO_CACHE)
    execute_process(COMMAND ${TAVRENSIL_NM} --defined-only ${import_${name}}
                    OUTPUT_VARIABLE symbols COMMAND_ERROR_IS_FATAL ANY)
    # The import thunks: "T WinHttpOpen" (64-bit), "T _WinHttpOpen@20"
    # (32-bit: stdcall names keep their @N here; -k drops it from the
    # name looked up in the library).
    string(REGEX MATCHALL "[0-9a-f]+ T [^\n]+" thunks "${symbols}")
    set(def "LIBRARY ${name}.dll\nEXPORTS\n")
    foreach(thunk IN LISTS thunks)
      string(REGEX REPLACE "^[0-9a-f]+ T " "" function "${thunk}")
      if(CMAKE_SIZEOF_VOID_P EQUAL 4)
        string(REGEX REPLACE "^_" "" function "${function}")
      endif()
      string(APPEND def "${function}\n")
    endforeach()
    if(NOT thunks)
      message(FATAL_ERROR "no functions in ${import_${name}}")
    endif()
    file(WRITE ${folder}/${name}.def "${def}")
    # Names relative to the folder: dlltool names the library's symbols
    # after its path, and the release must not depend on the build folder.
    # A fixed temporary prefix: dlltool's own holds its process id.
    execute_process(COMMAND ${TAVRENSIL_DLLTOOL} -k --input-def ${name}.def
                            --dllname ${name}.dll --output-delaylib lib${name}_delay.a
                            --temp-prefix ${name}_delay
                    WORKING_DIRECTORY ${folder} COMMAND_ERROR_IS_FATAL ANY)
    list(APPEND libraries ${folder}/lib${name}_delay.a)
  endforeach()
  set(${out} ${libraries} PARENT_SCOPE)
endfunction()
